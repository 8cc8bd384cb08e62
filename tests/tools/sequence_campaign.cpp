// imbrel-sequence-campaign: sequences of jobs on one NAND or NOR module, as the module meets
// them between two updates: updates of generated images (in the boot area, across 0x40000, in
// high blocks), a cancel at a chosen progress step, a power cut at a chosen flash operation,
// a restart, imbrel-module write --erase, faults set and cleared, on NAND a bit that reads
// flipped in any page (the table page too). Each job runs in a process of its own, as the
// program runs on the module. After every job the flash (on NAND the logical flash, read from
// nand.img through the table page as the next start finds it) is held to a reference of the
// tool's own:
// - a job that reports success leaves exactly what it wrote, and nothing else changed;
// - a job that fails or is cut leaves every byte it did not own as it was;
// - the block map in the module's RAM, when there is one, is the one the table page implies.
// A failing sequence is shrunk (jobs left out while it still fails) and printed as a list of
// jobs that `--replay` runs again.

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "ce/ce.h"
#include "flash/flash_ops.h"
#include "host/bin_image.h"
#include "host/hardware/power.h"
#include "host/hardware/pxa3xx_dfc.h"
#include "host/imbrel_module_commands.h"
#include "host/module/module.h"
#include "host/module/nand_logical.h"
#include "host/system/text.h"
#include "host/ui/script_backend.h"
#include "module_copy.h"
#include "resources/resources.h"
#include "shell/program_state.h"
#include "update/update_dialog.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<std::uint8_t>;
using Rng = std::mt19937_64;

constexpr std::uint32_t kBlock = 0x20000;
constexpr std::uint32_t kBootArea = 0x40000;
constexpr std::uint32_t kSkippedPage = 0x3F800;     // logical page 127: never written
constexpr std::uint32_t kTablePage = 63;            // physical page of the relocation table
constexpr std::uint32_t kNandWindow = 48 * kBlock;  // the logical bytes the jobs use
constexpr std::uint32_t kBlocks = 1024;             // 0xF1EC
constexpr std::uint32_t kReserveFirst = 1004;

// NOR: a pair of bottom-boot P30 chips of 2 MB each side by side on the 32-bit bus: four
// 64 KB parameter blocks, then blocks of 256 KB. The jobs use the whole flash.
constexpr std::uint32_t kNorSize = 0x400000;
constexpr std::uint32_t kNorParameterEnd = 0x40000;

bool nor = false;                     // the campaign's modules are NOR
std::uint32_t kWindow = kNandWindow;  // the bytes the jobs use and the checks read

// The NOR block holding `at`: its first byte and its end.
std::pair<std::uint32_t, std::uint32_t> NorBlock(std::uint32_t at) {
  const std::uint32_t size = at < kNorParameterEnd ? 0x10000 : 0x40000;
  return {at - at % size, at - at % size + size};
}

enum class Kind { kUpdate, kCancel, kCut, kRestart, kWrite, kFault, kClear, kFlip };

struct Job {
  Kind kind = Kind::kRestart;
  std::uint32_t place = 0, length = 0;  // update, write: the range
  std::uint64_t seed = 0;               // update, write: the data and the records
  std::uint32_t step = 0;               // cancel: the progress step; cut: the operation
  int landed = 0;                       // cut: quarters of the operation that land
  std::uint32_t block = 0;  // fault: the physical block (NOR: an offset); flip: the page
  bool erase = false;       // NAND fault: erase (else program); flip: byte, bit below
  std::uint32_t byte = 0, bit = 0;
  std::string fault;  // NOR fault: erase, program, locked, buffer, never
  std::string chip;   // NOR fault: low, high, both
};

const char* const kNorFaults[][2] = {{"erase", "erase-error"},
                                     {"program", "program-error"},
                                     {"locked", "locked-down"},
                                     {"buffer", "buffer-unavailable"},
                                     {"never", "never-ready"}};

std::string Hex(std::uint64_t v) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(v));
  return text;
}

std::string Show(const Job& j) {
  switch (j.kind) {
    case Kind::kUpdate:
    case Kind::kCancel:
    case Kind::kCut: {
      std::string text =
          "update " + Hex(j.place) + " " + Hex(j.length) + " " + std::to_string(j.seed);
      if (j.kind == Kind::kCancel) text += " cancel " + std::to_string(j.step);
      if (j.kind == Kind::kCut) {
        text += " cut " + std::to_string(j.step) + " " + std::to_string(j.landed);
      }
      return text;
    }
    case Kind::kRestart:
      return "restart";
    case Kind::kWrite:
      return "write " + Hex(j.place) + " " + Hex(j.length) + " " + std::to_string(j.seed);
    case Kind::kFault:
      if (nor) return "fault " + j.fault + " " + Hex(j.block) + " " + j.chip;
      return std::string("fault ") + (j.erase ? "erase " : "program ") + std::to_string(j.block);
    case Kind::kClear:
      return "clear";
    case Kind::kFlip:
      return "flip " + std::to_string(j.block) + " " + std::to_string(j.byte) + " " +
             std::to_string(j.bit);
  }
  return "";
}

std::optional<Job> Parse(const std::string& line) {
  std::istringstream in(line);
  std::string word;
  in >> word;
  Job j;
  auto number = [&](auto& into) {
    std::string w;
    in >> w;
    into = static_cast<std::remove_reference_t<decltype(into)>>(std::stoull(w, nullptr, 0));
  };
  if (word == "update") {
    j.kind = Kind::kUpdate;
    number(j.place);
    number(j.length);
    number(j.seed);
    std::string how;
    if (in >> how) {
      j.kind = how == "cut" ? Kind::kCut : Kind::kCancel;
      number(j.step);
      if (j.kind == Kind::kCut) number(j.landed);
    }
  } else if (word == "restart") {
    j.kind = Kind::kRestart;
  } else if (word == "write") {
    j.kind = Kind::kWrite;
    number(j.place);
    number(j.length);
    number(j.seed);
  } else if (word == "fault") {
    j.kind = Kind::kFault;
    std::string on;
    in >> on;
    j.erase = on == "erase";
    j.fault = on;
    number(j.block);
    if (nor) in >> j.chip;
  } else if (word == "clear") {
    j.kind = Kind::kClear;
  } else if (word == "flip") {
    j.kind = Kind::kFlip;
    number(j.block);
    number(j.byte);
    number(j.bit);
  } else {
    return std::nullopt;
  }
  return j;
}

std::uint32_t Pick(Rng& rng, std::uint32_t low, std::uint32_t high) {
  return std::uniform_int_distribution<std::uint32_t>(low, high)(rng);
}

Job MakeNorJob(Rng& rng) {
  Job j;
  const std::uint32_t r = Pick(rng, 0, 99);
  auto anywhere = [&] {
    const std::uint32_t where = Pick(rng, 0, 9);
    return where < 2   ? 0
           : where < 4 ? Pick(rng, 1, 0x3F) * 0x1000
           : where < 6 ? kNorParameterEnd - Pick(rng, 1, 8) * 0x800
                       : Pick(rng, 1, 15) * 0x40000 + Pick(rng, 0, 0x7F) * 0x800;
  };
  if (r < 45) {
    j.kind = r < 30 ? Kind::kUpdate : r < 37 ? Kind::kCancel : Kind::kCut;
    j.place = anywhere();
    j.length = std::min(Pick(rng, 1, 0x60) * 0x800 - Pick(rng, 0, 0x7FF), kNorSize - j.place);
    j.seed = rng();
    j.step = Pick(rng, 0, j.kind == Kind::kCut ? 4000 : 40);
    j.landed = static_cast<int>(Pick(rng, 0, 3));
  } else if (r < 55) {
    j.kind = Kind::kRestart;
  } else if (r < 68) {
    j.kind = Kind::kWrite;
    j.place = std::min(anywhere() + Pick(rng, 0, 0xFF), kNorSize - 1);
    j.length = std::min(Pick(rng, 1, 0x3000), kNorSize - j.place);
    j.seed = rng();
  } else if (r < 85) {
    j.kind = Kind::kFault;
    const std::uint32_t what = Pick(rng, 0, 19);
    j.fault = kNorFaults[what < 7 ? 0 : what < 14 ? 1 : what < 16 ? 2 : what < 19 ? 3 : 4][0];
    j.block = j.fault == "buffer" ? Pick(rng, 1, 8) : anywhere() + Pick(rng, 0, 0x7FF);
    j.chip = std::vector<std::string>{"low", "high", "both"}[Pick(rng, 0, 2)];
  } else {
    j.kind = Kind::kClear;
  }
  return j;
}

Job MakeJob(Rng& rng) {
  if (nor) return MakeNorJob(rng);
  Job j;
  const std::uint32_t r = Pick(rng, 0, 99);
  if (r < 45) {
    j.kind = r < 30 ? Kind::kUpdate : r < 37 ? Kind::kCancel : Kind::kCut;
    const std::uint32_t where = Pick(rng, 0, 9);
    j.place = where < 2   ? 0
              : where < 4 ? Pick(rng, 1, 0x3F) * 0x1000
              : where < 6 ? kBootArea - Pick(rng, 1, 8) * 0x800
                          : Pick(rng, 2, 40) * kBlock + Pick(rng, 0, 0x3F) * 0x800;
    j.length = std::min(Pick(rng, 1, 0x60) * 0x800 - Pick(rng, 0, 0x7FF), kWindow - j.place);
    j.seed = rng();
    j.step = Pick(rng, 0, j.kind == Kind::kCut ? 600 : 40);
    j.landed = static_cast<int>(Pick(rng, 0, 3));
  } else if (r < 55) {
    j.kind = Kind::kRestart;
  } else if (r < 65) {
    j.kind = Kind::kWrite;
    j.place = Pick(rng, 0, kWindow / 0x100 - 0x40) * 0x100 + Pick(rng, 0, 0xFF);
    j.length = Pick(rng, 1, 0x3000);
    j.seed = rng();
  } else if (r < 80) {
    j.kind = Kind::kFault;
    j.erase = Pick(rng, 0, 1) == 0;
    const std::uint32_t where = Pick(rng, 0, 9);
    j.block = where < 2   ? Pick(rng, 0, 1)
              : where < 7 ? Pick(rng, 2, 47)
                          : Pick(rng, kReserveFirst, kBlocks - 1);
  } else if (r < 92) {
    j.kind = Kind::kClear;
  } else {
    j.kind = Kind::kFlip;
    j.block = Pick(rng, 0, 2) == 0 ? kTablePage : Pick(rng, 0, 48 * 64 - 1);
    j.byte = Pick(rng, 0, 2) == 0 ? Pick(rng, 0, 15) : Pick(rng, 0, 2111);
    j.bit = Pick(rng, 0, 7);
  }
  return j;
}

// An update image's records: the range cut into one to four pieces in ascending order, some
// left out.
host::BinWriter ImageOf(const Job& j, Bytes* data) {
  Rng rng(j.seed);
  data->resize(j.length);
  for (auto& b : *data) b = static_cast<std::uint8_t>(rng());
  host::BinWriter writer(j.place);
  writer.SetLength(j.length);
  const std::uint32_t pieces = Pick(rng, 1, 4);
  std::uint32_t at = 0;
  for (std::uint32_t i = 0; i < pieces && at < j.length; ++i) {
    std::uint32_t n = i + 1 == pieces ? j.length - at : Pick(rng, 1, j.length - at);
    if (Pick(rng, 0, 3) != 0 || pieces == 1) {
      writer.Add(j.place + at, std::span<const std::uint8_t>(data->data() + at, n), 0x4000);
    } else {
      std::fill(data->begin() + at, data->begin() + at + n, 0xFF);  // not in the image
    }
    at += n;
  }
  return writer;
}

// The window's bytes, in memory of their own that forked jobs do not share: the lane forks a
// process for every job, and memory it shares would be copied page by page at its next write.
class Window {
 public:
  Window() {
    void* p = mmap(nullptr, kWindow, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::runtime_error("no memory for the window");
    madvise(p, kWindow, MADV_DONTFORK);
    bytes_ = static_cast<std::uint8_t*>(p);
  }
  ~Window() { munmap(bytes_, kWindow); }
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;
  std::uint8_t& operator[](std::uint32_t at) { return bytes_[at]; }
  std::uint8_t operator[](std::uint32_t at) const { return bytes_[at]; }
  std::uint8_t* data() { return bytes_; }
  const std::uint8_t* data() const { return bytes_; }
  bool operator==(const Window& other) const {
    return std::memcmp(bytes_, other.bytes_, kWindow) == 0;
  }
  void CopyFrom(const Window& other) { std::memcpy(bytes_, other.bytes_, kWindow); }

 private:
  std::uint8_t* bytes_;
};

struct Flash {
  Window bytes;                                       // the window, as the table page lays it out
  std::vector<std::uint16_t> table_map;               // what the table page implies
  std::optional<std::vector<std::uint16_t>> ram_map;  // the map in RAM, when filled
  bool table_valid = false;
};

// The flash image of a lane's module, mapped once: the jobs change it in place.
class FlashImage {
 public:
  explicit FlashImage(const fs::path& file) : file_(file) {}
  ~FlashImage() { Unmap(); }
  const std::uint8_t* Get() {
    struct stat now {};
    if (stat(file_.c_str(), &now) != 0) throw std::runtime_error(file_.string() + " is gone");
    if (!image_ || now.st_ino != inode_ || now.st_size != static_cast<off_t>(size_)) {
      Unmap();
      int fd = open(file_.c_str(), O_RDONLY | O_CLOEXEC);
      void* p = fd < 0 ? MAP_FAILED
                       : mmap(nullptr, static_cast<std::size_t>(now.st_size), PROT_READ, MAP_SHARED,
                              fd, 0);
      if (fd >= 0) close(fd);
      if (p == MAP_FAILED) throw std::runtime_error(file_.string() + " cannot be mapped");
      madvise(p, static_cast<std::size_t>(now.st_size), MADV_DONTFORK);
      image_ = static_cast<std::uint8_t*>(p);
      size_ = static_cast<std::size_t>(now.st_size);
      inode_ = now.st_ino;
    }
    return image_;
  }

 private:
  void Unmap() {
    if (image_) munmap(image_, size_);
    image_ = nullptr;
  }
  fs::path file_;
  std::uint8_t* image_ = nullptr;
  std::size_t size_ = 0;
  ino_t inode_ = 0;
};

void ReadFlash(FlashImage& image, const fs::path& dir, Flash& f) {
  if (nor) {  // the bus's view of the pair is the file's
    std::memcpy(f.bytes.data(), image.Get(), kWindow);
    f.table_valid = true;
    return;
  }
  host::NandLogicalView view(const_cast<std::uint8_t*>(image.Get()), kBlocks);
  // Page by page, as a reader with ECC sees it: a page programmed with its ECC bytes (spare
  // bytes 40 to 63) reads with a single flipped bit a step mended.
  for (std::uint32_t page = 0; page < kWindow / host::kNandPageBytes; ++page) {
    std::uint8_t* out = f.bytes.data() + std::uint64_t{page} * host::kNandPageBytes;
    std::optional<std::uint32_t> physical = view.PhysicalPage(page);
    if (!physical) {
      std::memset(out, 0xFF, host::kNandPageBytes);
      continue;
    }
    const std::uint8_t* raw = view.RawPage(*physical);
    std::memcpy(out, raw, host::kNandPageBytes);
    const std::uint8_t* ecc = raw + host::kNandPageBytes + 40;
    if (std::all_of(ecc, ecc + 24, [](std::uint8_t b) { return b == 0xFF; })) continue;
    for (std::uint32_t step = 0; step < 4; ++step) {
      std::uint8_t mended[512];
      std::memcpy(mended, out + step * 512, 512);
      if (host::DfcEccCorrect(mended, ecc + step * 6) != host::DfcEccResult::kUncorrectable) {
        std::memcpy(out + step * 512, mended, 512);
      }
    }
  }
  f.table_valid = view.TableValid();
  f.table_map.clear();
  for (std::uint32_t b : view.Map()) f.table_map.push_back(static_cast<std::uint16_t>(b));
  f.ram_map.reset();
  std::ifstream ram(dir / "ram" / "mapping-NAND_FLASH_BBMT", std::ios::binary);
  std::uint32_t signature = 0;
  if (ram.read(reinterpret_cast<char*>(&signature), 4) && signature == 0x544D4242) {
    std::vector<std::uint16_t> map(kBlocks);
    ram.read(reinterpret_cast<char*>(map.data()), kBlocks * 2);
    f.ram_map = map;
  }
}

// What a job's child process reports.
enum Status { kDone = 0, kFailed = 1, kCut = 2 };

int RunChild(const std::function<int()>& body) {
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    std::freopen("/dev/null", "w", stderr);
    std::freopen("/dev/null", "w", stdout);
    std::_Exit(body());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status) && WEXITSTATUS(status) == host::kPowerCutStatus) return kCut;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

struct Sequence {
  std::vector<Job> jobs;
};

struct Finding {
  std::size_t job;  // index of the job after which the invariant broke
  std::string what;
};

// The faults.toml text of the faults in force.
struct Faults {
  std::vector<std::string> entries;
  bool boot_blocks_fail = false;  // physical block 0 or 1 fails its erase or program
  bool table_flipped = false;     // a bit reads flipped in the table page
  std::string Text() const {
    std::string text;
    for (const std::string& e : entries) text += e;
    return text;
  }
};

class Runner {
 public:
  Runner(const fs::path& work) : work_(work) {
    host::CreateOptions options;  // a factory module: a bootloader in block 0
    if (nor) {
      options.nor_device = 0x8922;
      options.cfi_size = 0x15;
    } else {
      options.flash = host::FlashKind::kNand;
      options.nand_chip = 0xF1EC;
      options.part_number = 8;
    }
    host::CreateModule(work_ / "template", options);
    std::ofstream(work_ / "template" / "faults.toml") << "";
    copy_.emplace(work_ / "template", work_ / "m", nor ? "nor.img" : "nand.img");
  }

  std::optional<Finding> Run(const Sequence& s, std::vector<std::string>* outcomes = nullptr) {
    copy_->Restore();
    const fs::path dir = work_ / "m";
    Faults faults;
    ReadFlash(image_, dir, *before_);
    expect_.CopyFrom(before_->bytes);
    Window& expect = expect_;
    for (std::size_t i = 0; i < s.jobs.size(); ++i) {
      const Job& j = s.jobs[i];
      std::string outcome;
      // The range the job may change: [owned_from, owned_to), and for a boot-area update
      // that does not start at 0 the bytes of the area outside its image are not its own.
      std::uint32_t owned_from = 0, owned_to = 0;
      std::optional<std::pair<std::uint32_t, std::uint32_t>> image;
      Bytes wrote;  // update/write: what the job puts at its range
      int status = kDone;
      switch (j.kind) {
        case Kind::kUpdate:
        case Kind::kCancel:
        case Kind::kCut: {
          Bytes data;
          host::BinWriter writer = ImageOf(j, &data);
          Bytes bin = writer.Build();
          std::ofstream(dir / "fs" / "job.bin", std::ios::binary)
              .write(reinterpret_cast<const char*>(bin.data()),
                     static_cast<std::streamsize>(bin.size()));
          const fs::path box = work_ / "box.txt";
          status = RunChild([&] {
            auto module = host::Module::Open(dir);
            host::ui::ScriptBackend& ui = host::ui::UseScriptBackend();
            ui.SetIdleLimit(std::chrono::milliseconds(600000));
            InitCommonControls();
            if (j.kind == Kind::kCancel) {
              auto seen = std::make_shared<std::uint32_t>(0);
              ui.When(
                  [seen, step = j.step](const host::ui::UiEvent& e) {
                    return e.kind == host::ui::UiEvent::Kind::kProgressPos && (*seen)++ == step;
                  },
                  IDCANCEL);
            }
            if (j.kind == Kind::kCut) host::ArmPowerCut(j.step, j.landed);
            AbortFlag = 0;
            QuietFlag = 1;
            std::memcpy(ImagePath, u"\\job.bin", sizeof u"\\job.bin");
            DialogBoxParamW(nullptr, MAKEINTRESOURCEW(IDD_UPDATE), nullptr, UpdateDialogProc, 0);
            for (const auto& e : ui.Events(host::ui::UiEvent::Kind::kMessageBox)) {
              std::ofstream(box) << host::Utf8(e.text);
              return kFailed;
            }
            return AbortFlag ? kFailed : kDone;
          });
          if (status == kFailed) outcome = test_box(box);
          if (status == kFailed && outcome.empty()) outcome = "stopped, no error box";
          owned_from = j.place - j.place % kBlock;
          owned_to =
              std::min<std::uint32_t>((j.place + j.length + kBlock - 1) / kBlock * kBlock, kWindow);
          if (nor) {  // the blocks the image's range touches
            owned_from = NorBlock(j.place).first;
            owned_to = NorBlock(j.place + j.length - 1).second;
          } else if (j.place < kBootArea) {
            owned_from = 0;
            owned_to = std::max(owned_to, kBootArea);
            if (j.place != 0) image = {j.place, j.place + j.length};
          }
          wrote = data;
          break;
        }
        case Kind::kWrite: {
          Rng rng(j.seed);
          wrote.resize(j.length);
          for (auto& b : wrote) b = static_cast<std::uint8_t>(rng());
          const fs::path file = work_ / "write.bin";
          std::ofstream(file, std::ios::binary)
              .write(reinterpret_cast<const char*>(wrote.data()),
                     static_cast<std::streamsize>(wrote.size()));
          status = RunChild([&] {
            host::FlashArgs args;
            args.dir = dir.string();
            args.offset = Hex(j.place);
            args.file = file.string();
            args.erase = true;
            try {
              return host::RunWrite(args) == 0 ? kDone : kFailed;
            } catch (...) {
              return kFailed;
            }
          });
          if (status == kFailed) outcome = "failed";
          owned_from = j.place - j.place % kBlock;
          owned_to = (j.place + j.length + kBlock - 1) / kBlock * kBlock;
          if (nor) {
            owned_from = NorBlock(j.place).first;
            owned_to = NorBlock(j.place + j.length - 1).second;
          } else if (j.place < kBootArea) {
            owned_from = 0, owned_to = std::max(owned_to, kBootArea);
          }
          image = {j.place, j.place + j.length};
          break;
        }
        case Kind::kRestart:
          for (const auto& e : fs::directory_iterator(dir / "ram")) fs::remove_all(e.path());
          break;
        case Kind::kFault:
          if (nor) {
            std::string text;
            for (const auto& [name, kind] : kNorFaults) {
              if (j.fault == name) text = std::string("[[nor]]\nkind = \"") + kind + "\"\n";
            }
            if (j.fault == "buffer") {
              text += "count = " + std::to_string(j.block) + "\n";
            } else if (j.fault != "never") {
              text += "block = " + Hex(j.block) + "\n";
            }
            faults.entries.push_back(text + "chip = \"" + j.chip + "\"\n");
            std::ofstream(dir / "faults.toml") << faults.Text();
            break;
          }
          faults.boot_blocks_fail |= j.block < 2;
          faults.entries.push_back(std::string("[[nand]]\nkind = \"") +
                                   (j.erase ? "erase-error" : "program-error") +
                                   "\"\nblock = " + std::to_string(j.block) + "\n");
          std::ofstream(dir / "faults.toml") << faults.Text();
          break;
        case Kind::kClear:
          faults.entries.clear();
          faults.boot_blocks_fail = false;
          faults.table_flipped = false;
          std::ofstream(dir / "faults.toml") << "";
          break;
        case Kind::kFlip:
          faults.table_flipped |= j.block == kTablePage;
          faults.entries.push_back(
              "[[nand]]\nkind = \"bit-flip\"\npage = " + std::to_string(j.block) +
              "\nbyte = " + std::to_string(j.byte) + "\nbit = " + std::to_string(j.bit) + "\n");
          std::ofstream(dir / "faults.toml") << faults.Text();
          break;
      }
      if (outcomes) {
        outcomes->push_back(status == kDone ? "done" : status == kCut ? "cut" : outcome);
      }
      ReadFlash(image_, dir, *now_);
      const Flash& now = *now_;
      const Flash& before = *before_;
      auto fail = [&](const std::string& what) { return Finding{i, what}; };
      if (!now.table_valid) {
        // The table page is gone: the driver cannot start again. A named window (a cut
        // between block 0's erase and the table's program); the sequence ends here.
        if (status == kCut) {
          ++windows["a cut left no table page (the driver does not start again)"];
          return std::nullopt;
        }
        return fail("the table page is gone after a job that was not cut");
      }
      if (now.ram_map && *now.ram_map != now.table_map) {
        std::uint32_t k = 0;
        while ((*now.ram_map)[k] == now.table_map[k]) ++k;
        return fail("the block map in RAM says logical block " + std::to_string(k) + " -> " +
                    std::to_string((*now.ram_map)[k]) + ", the table page " +
                    std::to_string(now.table_map[k]));
      }
      if (status > kCut) return fail("the job crashed (" + std::to_string(status) + ")");
      const bool update =
          j.kind == Kind::kUpdate || j.kind == Kind::kCancel || j.kind == Kind::kCut;
      if (!nor && (update || j.kind == Kind::kWrite) && status == kFailed && !now.ram_map) {
        // The driver did not start: only a table page that reads damaged may stop it, and
        // only while the bits read flipped.
        if (!faults.table_flipped) {
          return fail("the driver did not start, with no bit of the table page read flipped");
        }
        ++windows["the driver refused a table page read with bits flipped that nothing mends"];
      }
      if ((update || j.kind == Kind::kWrite) && status == kDone) {
        // What the job wrote, and nothing else changed.
        if (update) {
          for (std::uint32_t at = owned_from; at < owned_to; ++at) expect[at] = 0xFF;
          if (!nor && j.place != 0 && j.place < kBootArea) {
            for (std::uint32_t at = 0; at < kBootArea; ++at) {
              if (at < j.place || at >= j.place + j.length) expect[at] = before.bytes[at];
            }
          }
          Bytes data;
          host::BinWriter writer = ImageOf(j, &data);
          for (const host::BinRecordData& r : writer.records()) {
            for (std::size_t k = 0; k < r.data.size(); ++k) {
              std::uint32_t at = r.address + static_cast<std::uint32_t>(k);
              if (at < kWindow && (nor || !(at >= kSkippedPage && at < kBootArea))) {
                expect[at] = r.data[k];
              }
            }
          }
          for (std::uint32_t at = kSkippedPage; at < kBootArea && j.place < kBootArea && !nor;
               ++at) {
            expect[at] = 0xFF;
          }
        } else {
          std::copy(wrote.begin(), wrote.end(), expect.data() + j.place);
        }
        for (std::uint32_t at = 0; at < kWindow; ++at) {
          if (now.bytes[at] != expect[at]) {
            return fail("reported success, but logical " + Hex(at) + " holds " +
                        Hex(now.bytes[at]) + ", not " + Hex(expect[at]));
          }
        }
      } else if (update || j.kind == Kind::kWrite) {
        // Failed or cut: nothing outside what it owned changed. A cut in a boot-area update
        // loses the area's RAM copy: that is the job's own window.
        bool kept_lost = false;  // bytes of the boot area outside the image changed
        for (std::uint32_t at = 0; at < kWindow; ++at) {
          bool own = at >= owned_from && at < owned_to;
          const bool kept = !nor && own && image && at < kBootArea &&
                            (at < image->first || at >= image->second) && at < kSkippedPage;
          // Where physical block 0 or 1 fails, the area cannot always be written back: a
          // named window, which the job reports as an error.
          if (kept && status != kCut && !faults.boot_blocks_fail) {
            own = false;  // kept bytes of the boot area come back on a failure
          }
          kept_lost |= kept && now.bytes[at] != expect[at];
          if (!own && now.bytes[at] != expect[at]) {
            return fail(std::string(status == kCut ? "cut" : "failed (" + outcome + ")") +
                        ", and logical " + Hex(at) + " outside what it owned changed: " +
                        Hex(now.bytes[at]) + ", was " + Hex(expect[at]));
          }
        }
        if (kept_lost) {
          ++windows[status == kCut
                        ? "a cut lost boot-area bytes outside the image (its RAM copy)"
                        : "boot-area bytes outside the image lost with physical block 0 or 1 "
                          "failing"];
        }
        expect.CopyFrom(now.bytes);
      } else if (!(now.bytes == expect)) {
        std::uint32_t at = 0;
        while (now.bytes[at] == expect[at]) ++at;
        return fail("the flash changed at " + Hex(at));
      }
      std::swap(before_, now_);
    }
    return std::nullopt;
  }

  // The named windows the jobs met: what happened, and how often.
  std::map<std::string, std::uint64_t> windows;

 private:
  static std::string test_box(const fs::path& file) {
    std::ifstream in(file);
    std::string text;
    std::getline(in, text);
    return text;
  }

  fs::path work_;
  std::optional<campaign::ModuleCopy> copy_;
  FlashImage image_{work_ / "m" / (nor ? "nor.img" : "nand.img")};
  std::unique_ptr<Flash> before_ = std::make_unique<Flash>(), now_ = std::make_unique<Flash>();
  Window expect_;
};

Sequence MakeSequence(std::uint64_t seed, std::uint64_t number) {
  Rng rng(seed * 0x9E3779B97F4A7C15ull + number);
  Sequence s;
  const std::uint32_t n = Pick(rng, 2, 10);
  for (std::uint32_t i = 0; i < n; ++i) s.jobs.push_back(MakeJob(rng));
  return s;
}

// Leaves out jobs, one at a time, while the sequence still fails.
Sequence Shrink(Runner& runner, Sequence s, Finding* finding) {
  s.jobs.resize(finding->job + 1);
  for (bool smaller = true; smaller;) {
    smaller = false;
    for (std::size_t i = 0; i < s.jobs.size(); ++i) {
      Sequence t = s;
      t.jobs.erase(t.jobs.begin() + static_cast<long>(i));
      if (t.jobs.empty()) continue;
      if (std::optional<Finding> f = runner.Run(t)) {
        s = t;
        s.jobs.resize(f->job + 1);
        *finding = *f;
        smaller = true;
        break;
      }
    }
  }
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  if (!std::getenv("LD_BIND_NOW")) {
    setenv("LD_BIND_NOW", "1", 1);
    execv("/proc/self/exe", argv);
  }
  CLI::App app{
      "imbrel-sequence-campaign: generated sequences of jobs on one NAND or NOR module (updates, "
      "cancels, power cuts, restarts, write --erase, faults, bit flips), the flash held to a "
      "reference after every job"};
  std::uint64_t count = 100, seed = 1;
  std::string work, replay;
  bool quiet = false;
  int lanes = static_cast<int>(std::max(1L, sysconf(_SC_NPROCESSORS_ONLN)));
  app.add_option("SEQUENCES", count, "how many sequences (default 100)");
  app.add_option("SEED", seed, "the seed (default 1)");
  app.add_option("--work", work, "directory for the module (default: a new one in $TMPDIR)");
  app.add_option("--replay", replay, "run the jobs in FILE, one a line, and print each outcome");
  app.add_flag("--quiet", quiet, "print only the summary and the findings");
  app.add_flag("--nor", nor,
               "NOR modules (a pair of bottom-boot P30 chips, 4 MB) instead of NAND (0xF1EC)");
  app.add_option("--jobs", lanes,
                 "sequences run at once, each lane on a module of its own "
                 "(default: the processors)")
      ->check(CLI::Range(1, 64));
  app.footer(
      "Exit status: 0 the invariant held, 1 a sequence broke it, 2 the campaign could not run.");
  CLI11_PARSE(app, argc, argv);
  if (nor) kWindow = kNorSize;

  fs::path dir = work;
  if (work.empty()) {
    std::string pattern = (fs::temp_directory_path() / "imbrel-sequences-XXXXXX").string();
    if (!mkdtemp(pattern.data())) return 2;
    dir = pattern;
  }
  int result = 0;
  if (!replay.empty()) {
    std::ifstream in(replay);
    if (!in) {
      std::fprintf(stderr, "imbrel-sequence-campaign: cannot read %s\n", replay.c_str());
      return 2;
    }
    std::optional<Runner> made;
    try {
      made.emplace(dir);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "imbrel-sequence-campaign: %s\n", e.what());
      return 2;
    }
    Runner& runner = *made;
    Sequence s;
    for (std::string line; std::getline(in, line);) {
      if (line.empty() || line[0] == '#') continue;
      if (std::optional<Job> j = Parse(line)) s.jobs.push_back(*j);
    }
    std::vector<std::string> outcomes;
    std::optional<Finding> f = runner.Run(s, &outcomes);
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
      std::printf("%-50s %s\n", Show(s.jobs[i]).c_str(), outcomes[i].c_str());
    }
    if (f) std::printf("finding after job %zu: %s\n", f->job + 1, f->what.c_str());
    result = f ? 1 : 0;
  } else {
    // The sequences run in `lanes` processes at once, each on a module of its own; each lane
    // writes its findings and its counts to a file of its own, read here in lane order.
    const auto started = std::chrono::steady_clock::now();
    std::vector<pid_t> pids;
    for (int lane = 0; lane < lanes; ++lane) {
      std::fflush(nullptr);
      pid_t pid = fork();
      if (pid < 0) return 2;
      if (pid > 0) {
        pids.push_back(pid);
        continue;
      }
      const fs::path lane_dir = dir / ("lane-" + std::to_string(lane));
      fs::create_directories(lane_dir);
      Runner runner(lane_dir);
      std::ofstream out(dir / ("lane-" + std::to_string(lane) + ".txt"));
      std::map<std::string, std::uint64_t> ends;  // "kind: outcome" -> jobs
      for (std::uint64_t number = static_cast<std::uint64_t>(lane); number < count;
           number += static_cast<std::uint64_t>(lanes)) {
        Sequence s = MakeSequence(seed, number);
        std::vector<std::string> outcomes;
        std::optional<Finding> f = runner.Run(s, &outcomes);
        for (std::size_t i = 0; i < outcomes.size(); ++i) {
          std::string kind = Show(s.jobs[i]);
          kind = kind.substr(0, kind.find(' '));
          if (s.jobs[i].kind == Kind::kCancel) kind = "update, cancelled";
          if (s.jobs[i].kind == Kind::kCut) kind = "update, power cut";
          ++ends[kind + ": " + outcomes[i]];
        }
        if (!f) continue;
        const auto windows = runner.windows;  // the shrinking's runs are not the campaign's
        Sequence small = Shrink(runner, s, &*f);
        runner.windows = windows;
        out << "F\tfinding, sequence " << number << " (seed " << seed << "): after job "
            << f->job + 1 << ": " << f->what << "\n";
        out << "F\t  jobs (imbrel-sequence-campaign " << (nor ? "--nor " : "")
            << "--replay FILE):\n";
        for (const Job& j : small.jobs) out << "F\t    " << Show(j) << "\n";
        out.flush();
      }
      for (const auto& [what, n] : ends) out << "C\t" << n << "\t" << what << "\n";
      for (const auto& [what, n] : runner.windows) out << "W\t" << n << "\t" << what << "\n";
      out.close();
      std::fflush(nullptr);
      std::_Exit(0);
    }
    bool lanes_failed = false;
    for (pid_t pid : pids) {
      int status = 0;
      waitpid(pid, &status, 0);
      lanes_failed |= !WIFEXITED(status) || WEXITSTATUS(status) != 0;
    }
    std::uint64_t jobs = 0, findings = 0;
    std::map<std::string, std::uint64_t> ends, windows;
    for (int lane = 0; lane < lanes; ++lane) {
      std::ifstream in(dir / ("lane-" + std::to_string(lane) + ".txt"));
      for (std::string line; std::getline(in, line);) {
        if (line.rfind("F\t", 0) == 0) {
          if (line.find("finding, sequence") != std::string::npos) ++findings;
          std::printf("%s\n", line.c_str() + 2);
        } else if (line.rfind("C\t", 0) == 0) {
          std::size_t tab = line.find('\t', 2);
          std::uint64_t n = std::stoull(line.substr(2, tab - 2));
          ends[line.substr(tab + 1)] += n;
          jobs += n;
        } else if (line.rfind("W\t", 0) == 0) {
          std::size_t tab = line.find('\t', 2);
          windows[line.substr(tab + 1)] += std::stoull(line.substr(2, tab - 2));
        }
      }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf(
        "%s: %llu sequences, %llu jobs (seed %llu), %.1f s, %.0f jobs a second (%d at once): "
        "%llu findings\n",
        nor ? "NOR" : "NAND", static_cast<unsigned long long>(count),
        static_cast<unsigned long long>(jobs), static_cast<unsigned long long>(seed), seconds,
        jobs / seconds, lanes, static_cast<unsigned long long>(findings));
    if (!quiet) {
      for (const auto& [what, n] : ends) {
        std::printf("  %8llu  %s\n", static_cast<unsigned long long>(n), what.c_str());
      }
    }
    std::printf("named windows met: %s\n", windows.empty() ? "none" : "");
    for (const auto& [what, n] : windows) {
      std::printf("  %8llu  %s\n", static_cast<unsigned long long>(n), what.c_str());
    }
    if (lanes_failed) {
      std::printf("a lane did not finish\n");
      result = 2;
    } else if (findings) {
      result = 1;
    }
  }
  if (work.empty()) fs::remove_all(dir);
  return result;
}

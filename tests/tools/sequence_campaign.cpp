// imbrel-sequence-campaign: sequences of jobs on one NAND or NOR module, as the module meets
// them between two updates: updates of generated images (in the boot area, across 0x40000, in
// high blocks, over the configuration block), quiet or loud (the overwrite warning answered
// OK), a cancel at a chosen progress step, a power cut at a chosen flash operation, a restart,
// imbrel-module write with or without --erase, faults set and cleared, on NAND a bit that reads
// flipped in any page (the table page too: its data, marks and CRC slots). A NAND module may
// start with a block the maker marked bad, without a configuration block or with it at its
// old place (0x88000), or with logical block 1 moved to the reserve. Each job runs in a
// process of its own, as the program runs on the module. After every job the flash (on NAND
// the logical flash, read from nand.img through the table page as the next start finds it) is
// held to a reference of the tool's own:
// - a job that reports success leaves exactly what it wrote, and nothing else changed, and
//   every page it wrote reads;
// - a job that fails or is cut leaves every byte it did not own as it was;
// - the block map in the module's RAM, when there is one, is the one the table page implies,
//   and no block in use carries a bad-block mark;
// - a loud update warns of "ConfigBlock" exactly when its image reaches the block's region,
//   and moves a block found only at its old place to 0x40000;
// - the driver refuses a table page only while bits of it read flipped that nothing mends;
// - the registry copies in item 5's area are what the saves and clears left (a cut save the
//   copy before or the new one), and a start takes the newest;
// - a cold restart boots the OS image the last update of one wrote (its version record),
//   unless a job since touched the bootloader or the image; a warm restart keeps the running
//   image. The program's jobs run whether or not the module would start, as from a debugger.
// A failing sequence is shrunk (jobs left out while it still fails) and printed as a list of
// jobs that `--replay` runs again.

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "ce/ce.h"
#include "flash/flash_ops.h"
#include "host/bin_image.h"
#include "host/hardware/power.h"
#include "host/hardware/pxa3xx_dfc.h"
#include "host/imbrel_module_commands.h"
#include "host/module/flash_file.h"
#include "host/module/module.h"
#include "host/module/module_boot.h"
#include "host/module/nand_logical.h"
#include "host/oal/platform_codes.h"
#include "host/oal/registry_flash.h"
#include "host/system/text.h"
#include "host/ui/script_backend.h"
#include "module_copy.h"
#include "resources/resources.h"
#include "shell/program_state.h"
#include "shell/version_report.h"
#include "update/update_dialog.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<std::uint8_t>;
using Rng = std::mt19937_64;

constexpr std::uint32_t kBlock = 0x20000;
constexpr std::uint32_t kBootArea = kBootAreaBytes;
constexpr std::uint32_t kSkippedPage = 0x3F800;             // logical page 127: never written
constexpr std::uint32_t kTablePage = kRelocationTablePage;  // physical page of the table
constexpr std::uint32_t kNandWindow = 48 * kBlock;          // the logical bytes the jobs use
constexpr std::uint32_t kBlocks = 1024;                     // 0xF1EC
constexpr std::uint32_t kReserveFirst = 1004;
// The table page's raw bytes past its data: the marks, then the CRC slots.
constexpr std::uint32_t kTableMarks = 2049, kTableSlots = 2052, kTableSlotsEnd = 2088;
constexpr std::uint32_t kConfigPlace = 0x40000, kConfigOldPlace = 0x88000;
constexpr std::uint32_t kConfigMagic = 0xCF014000;

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

enum class Kind {
  kUpdate,
  kCancel,
  kCut,
  kRestart,
  kWrite,
  kFault,
  kClear,
  kFlip,
  kSave,           // a registry save; cut at `step` when `cut`
  kRegistryClear,  // the registry clear control code
  kCold,           // a cold restart, then a start
  kWarm            // a warm restart, then a start
};

struct Job {
  Kind kind = Kind::kRestart;
  std::uint32_t place = 0, length = 0;  // update, write: the range
  std::uint64_t seed = 0;               // update, write: the data and the records
  std::uint32_t step = 0;               // cancel: the progress step; cut: the operation
  int landed = 0;                       // cut: quarters of the operation that land
  std::uint32_t block = 0;  // fault: the physical block (NOR: an offset); flip: the page
  bool erase = false;       // NAND fault: erase (else program); flip: byte, bit below
  std::uint32_t byte = 0, bit = 0;
  std::string fault;   // NOR fault: erase, program, locked, buffer, never
  std::string chip;    // NOR fault: low, high, both
  bool loud = false;   // update: not quiet (the overwrite warning is shown, and answered OK)
  bool plain = false;  // write: without --erase (the range must read erased)
  bool os = false;     // update: a boot image with a version record, at the OS image's place
  bool cut = false;    // save: the power fails during operation `step`
};

// Where the factory places the OS image, and the bootloader's blocks: a job that touches them
// leaves the next start unknown to the reference.
constexpr std::uint32_t kOsPlace = 0x80000;
constexpr std::uint32_t kBootloaderEnd = 0x20000;

// What the NAND module holds before the first job, beside the factory content.
enum class Config { kAtPlace, kNone, kOldPlace };  // the configuration block

struct Start {
  std::uint32_t bad = 0;  // a physical block the chip maker marked bad (0: none)
  Config config = Config::kAtPlace;
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
      if (j.loud) text += " loud";
      if (j.os) text += " os";
      if (j.kind == Kind::kCancel) text += " cancel " + std::to_string(j.step);
      if (j.kind == Kind::kCut) {
        text += " cut " + std::to_string(j.step) + " " + std::to_string(j.landed);
      }
      return text;
    }
    case Kind::kRestart:
      return "restart";
    case Kind::kWrite:
      return "write " + Hex(j.place) + " " + Hex(j.length) + " " + std::to_string(j.seed) +
             (j.plain ? " plain" : "");
    case Kind::kFault:
      if (nor) return "fault " + j.fault + " " + Hex(j.block) + " " + j.chip;
      return std::string("fault ") + (j.erase ? "erase " : "program ") + std::to_string(j.block);
    case Kind::kClear:
      return "clear";
    case Kind::kFlip:
      return "flip " + std::to_string(j.block) + " " + std::to_string(j.byte) + " " +
             std::to_string(j.bit);
    case Kind::kSave:
      return j.cut ? "save cut " + std::to_string(j.step) + " " + std::to_string(j.landed)
                   : std::string("save");
    case Kind::kRegistryClear:
      return "registry-clear";
    case Kind::kCold:
      return "cold";
    case Kind::kWarm:
      return "warm";
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
    for (std::string how; in >> how;) {
      if (how == "loud" || how == "os") {
        (how == "os" ? j.os : j.loud) = true;
        continue;
      }
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
    std::string how;
    j.plain = in >> how && how == "plain";
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
  } else if (word == "save") {
    j.kind = Kind::kSave;
    std::string how;
    if (in >> how && how == "cut") {
      j.cut = true;
      number(j.step);
      number(j.landed);
    }
  } else if (word == "registry-clear") {
    j.kind = Kind::kRegistryClear;
  } else if (word == "cold" || word == "warm") {
    j.kind = word == "cold" ? Kind::kCold : Kind::kWarm;
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

// One job in eight: a registry save (cut now and then), a registry clear, a cold or a warm
// restart, or an update of an OS image at its place.
std::optional<Job> MakeModuleJob(Rng& rng) {
  if (Pick(rng, 0, 7) != 0) return std::nullopt;
  Job j;
  const std::uint32_t r = Pick(rng, 0, 99);
  if (r < 30) {
    j.kind = Kind::kSave;
  } else if (r < 45) {
    j.kind = Kind::kSave;
    j.cut = true;
    j.step = Pick(rng, 0, 10);
    j.landed = static_cast<int>(Pick(rng, 0, 3));
  } else if (r < 55) {
    j.kind = Kind::kRegistryClear;
  } else if (r < 70) {
    j.kind = Kind::kCold;
  } else if (r < 80) {
    j.kind = Kind::kWarm;
  } else {
    j.kind = Kind::kUpdate;
    j.os = true;
    j.place = kOsPlace;
    j.length = Pick(rng, 4, 0x40) * 0x800;
    j.seed = rng();
  }
  return j;
}

Job MakeNorJob(Rng& rng) {
  if (std::optional<Job> module_job = MakeModuleJob(rng)) return *module_job;
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

Job MakeJob(Rng& rng, const Start& start) {
  if (nor) return MakeNorJob(rng);
  if (std::optional<Job> module_job = MakeModuleJob(rng)) return *module_job;
  Job j;
  const std::uint32_t r = Pick(rng, 0, 99);
  if (r < 45) {
    j.kind = r < 30 ? Kind::kUpdate : r < 37 ? Kind::kCancel : Kind::kCut;
    const std::uint32_t where = Pick(rng, 0, 11);
    j.place = where < 2   ? 0
              : where < 4 ? Pick(rng, 1, 0x3F) * 0x1000
              : where < 6 ? kBootArea - Pick(rng, 1, 8) * 0x800
              : where < 7 ? kConfigPlace + Pick(rng, 0, 0x3F) * 0x800  // in the block
              : where < 8 ? kConfigOldPlace - Pick(rng, 0, 0x20) * 0x800
                          : Pick(rng, 2, 40) * kBlock + Pick(rng, 0, 0x3F) * 0x800;
    j.length = std::min(Pick(rng, 1, 0x60) * 0x800 - Pick(rng, 0, 0x7FF), kWindow - j.place);
    j.seed = rng();
    j.step = Pick(rng, 0, j.kind == Kind::kCut ? 600 : 40);
    j.landed = static_cast<int>(Pick(rng, 0, 3));
    j.loud = Pick(rng, 0, 9) < 3;
  } else if (r < 55) {
    j.kind = Kind::kRestart;
  } else if (r < 65) {
    j.kind = Kind::kWrite;
    j.plain = Pick(rng, 0, 9) < 4;
    if (j.plain && start.bad && Pick(rng, 0, 2) != 0) {  // over the maker's bad block
      j.place = start.bad * kBlock + Pick(rng, 0, kBlock / 0x100 - 1) * 0x100 + Pick(rng, 0, 0xFF);
    } else {
      j.place = Pick(rng, 0, kWindow / 0x100 - 0x40) * 0x100 + Pick(rng, 0, 0xFF);
    }
    j.length = std::min(Pick(rng, 1, 0x3000), kWindow - j.place);
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
    // On the table page: its header and first entries, its marks and CRC slots (spare bytes
    // 1 to 39; the first slot, of six bytes, is the one the first append fills), anywhere.
    const std::uint32_t where = Pick(rng, 0, 5);
    j.byte = where < 2   ? Pick(rng, 0, 15)
             : where < 3 ? Pick(rng, kTableSlots, kTableSlots + 5)
             : where < 4 ? Pick(rng, kTableMarks, kTableSlotsEnd - 1)
                         : Pick(rng, 0, 2111);
    j.bit = Pick(rng, 0, 7);
  }
  return j;
}

void Put32(Bytes& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// The version record and the build time an OS image job's image carries.
std::array<std::uint32_t, 3> OsVersion(const Job& j) {
  return {1, static_cast<std::uint32_t>(j.seed % 90 + 6), static_cast<std::uint32_t>(j.seed >> 48)};
}
std::uint64_t OsBuilt(const Job& j) { return 128808576000000000ull + (j.seed % 100000) * 10000000; }

// Makes `data` (random bytes, j.length of them) the boot image of an OS image job.
void OsImage(const Job& j, Bytes* data) {
  constexpr std::uint32_t kRom = 0x1000, kRecord = 0x1800;
  const std::uint32_t first = 0x80000000 + j.place;
  Put32(*data, RomSignatureOffset, RomSignature);
  Put32(*data, RomSignatureOffset + 4, first + kRom);
  Put32(*data, RomSignatureOffset + 8, kRom);
  Put32(*data, kRom + 8, first);
  Put32(*data, kRom + 12, first + j.length - 4);
  Put32(*data, kRom + RomHeaderBytes + 4, static_cast<std::uint32_t>(OsBuilt(j)));
  Put32(*data, kRom + RomHeaderBytes + 8, static_cast<std::uint32_t>(OsBuilt(j) >> 32));
  const std::array<std::uint32_t, 3> v = OsVersion(j);
  const std::uint32_t record[] = {VersionRecordStart, v[0], v[1], v[2], VersionRecordEnd};
  for (int i = 0; i < 5; ++i) Put32(*data, kRecord + 4 * i, record[i]);
}

// An update image's records: the range cut into one to four pieces in ascending order, some
// left out.
host::BinWriter ImageOf(const Job& j, Bytes* data) {
  Rng rng(j.seed);
  data->resize(j.length);
  for (auto& b : *data) b = static_cast<std::uint8_t>(rng());
  if (j.os) {
    // A boot image, whole in one record: its ROM header, a module entry with its build time,
    // and a version record.
    OsImage(j, data);
    host::BinWriter writer(j.place);
    writer.SetLength(j.length);
    writer.Add(j.place, *data, 0x4000);
    return writer;
  }
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
  bool table_unchecked = false;  // the stored table page carries nothing that checks it
  // NAND: the logical pages whose ECC does not match their data (more bit errors than it
  // corrects); a reader gets an error for them.
  std::vector<bool> unreadable = std::vector<bool>(kNandWindow / host::kNandPageBytes);
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

bool TableUnchecked(const std::uint8_t* raw);

void ReadFlash(FlashImage& image, const fs::path& dir, Flash& f) {
  if (nor) {  // the bus's view of the pair is the file's
    std::memcpy(f.bytes.data(), image.Get(), kWindow);
    f.table_valid = true;
    return;
  }
  host::NandLogicalView view(const_cast<std::uint8_t*>(image.Get()), kBlocks);
  // Page by page, as the driver reads it with ECC: a step with a single flipped bit is mended;
  // a step its ECC cannot mend reads erased when its cells are erased but for a flipped bit,
  // and otherwise does not read (a program cut before its ECC bytes landed leaves such
  // pages).
  for (std::uint32_t page = 0; page < kWindow / host::kNandPageBytes; ++page) {
    std::uint8_t* out = f.bytes.data() + std::uint64_t{page} * host::kNandPageBytes;
    f.unreadable[page] = false;
    std::optional<std::uint32_t> physical = view.PhysicalPage(page);
    if (!physical) {
      std::memset(out, 0xFF, host::kNandPageBytes);
      continue;
    }
    const std::uint8_t* raw = view.RawPage(*physical);
    std::memcpy(out, raw, host::kNandPageBytes);
    const std::uint8_t* ecc = raw + host::kNandPageBytes + 40;
    for (std::uint32_t step = 0; step < 4; ++step) {
      std::uint8_t mended[512];
      std::memcpy(mended, out + step * 512, 512);
      if (host::DfcEccCorrect(mended, ecc + step * 6) != host::DfcEccResult::kUncorrectable) {
        std::memcpy(out + step * 512, mended, 512);
      } else if (ErasedButForBitFlips(raw + step * 512, 512)) {
        std::memset(out + step * 512, 0xFF, 512);
      } else {
        f.unreadable[page] = true;
      }
    }
  }
  // The table page as stored, read here on its own rather than through the driver's rules:
  // the signature, then entries up to the end mark, a later entry for a block winning.
  const std::uint8_t* table = image.Get() + std::uint64_t{kTablePage} * host::kNandRawPageBytes;
  auto word = [&](std::uint32_t at) {
    return static_cast<std::uint16_t>(table[at] | table[at + 1] << 8);
  };
  f.table_valid = word(0) == 0x524E;
  f.table_unchecked = TableUnchecked(image.Get());
  f.table_map.resize(kBlocks);
  for (std::uint32_t k = 0; k < kBlocks; ++k) f.table_map[k] = static_cast<std::uint16_t>(k);
  const std::uint32_t logical_blocks = kBlocks - kBlocks / 50;
  for (std::uint32_t at = 4; f.table_valid && at + 4 <= host::kNandPageBytes; at += 4) {
    const std::uint16_t bad = word(at), replacement = word(at + 2);
    if (bad == 0xFFFF) break;
    if (bad == 0 || bad >= logical_blocks) continue;
    if (replacement < logical_blocks || replacement >= kBlocks) continue;
    f.table_map[bad] = replacement;
  }
  f.ram_map.reset();
  std::ifstream ram(dir / "ram" / "mapping-NAND_FLASH_BBMT", std::ios::binary);
  std::uint32_t signature = 0;
  if (ram.read(reinterpret_cast<char*>(&signature), 4) && signature == 0x544D4242) {
    std::vector<std::uint16_t> map(kBlocks);
    ram.read(reinterpret_cast<char*>(map.data()), kBlocks * 2);
    f.ram_map = map;
  }
}

// The configuration block as a region refresh finds it in the logical flash: at its place,
// else at its old place (and then moved), else none (the region 0x40000, length 0). Its
// region reaches from where it was found over its used length rounded up to 256 KB.
struct ConfigView {
  bool found = false, moves = false;
  bool unsure = false;  // a page the refresh reads does not read: what it does is not known
  std::uint32_t place = kConfigPlace, used = 0;
  std::uint32_t End() const { return place + (used + 0x3FFFF) / 0x40000 * 0x40000; }
};

ConfigView SeeConfig(const Window& flash, const std::vector<bool>& unreadable) {
  ConfigView c;
  auto word = [&](std::uint32_t at) {
    std::uint32_t w;
    std::memcpy(&w, flash.data() + at, 4);
    return w;
  };
  auto readable = [&](std::uint32_t at, std::uint32_t n) {
    for (std::uint32_t page = at / host::kNandPageBytes; page * host::kNandPageBytes < at + n;
         ++page) {
      if (unreadable[page]) return false;
    }
    return true;
  };
  if (!readable(kConfigPlace, 0x1000)) {
    c.unsure = true;
    return c;
  }
  if (word(kConfigPlace) != kConfigMagic) {
    if (!readable(kConfigOldPlace, 0x1000)) {
      c.unsure = true;
      return c;
    }
    if (word(kConfigOldPlace) != kConfigMagic) return c;
    c.place = kConfigOldPlace;
    c.moves = true;
  }
  c.found = true;
  c.used = 0x40000;
  for (std::uint32_t at = 0; at < 0x40000; at += 4) {
    if (at % 0x1000 == 0 && !readable(c.place + at, 0x1000)) c.unsure = true;
    if (word(c.place + at) == 0xFFFFFFFF) {
      c.used = at;
      break;
    }
  }
  return c;
}

// A move of the block from its old place: 0x40000 to 0x7FFFF erased, then every 4 KB chunk up
// to the one that holds the end word copied.
void Move(const ConfigView& c, Window& flash) {
  std::memset(flash.data() + kConfigPlace, 0xFF, 0x40000);
  const std::uint32_t copied = std::min<std::uint32_t>(c.used / 0x1000 + 1, 0x40);
  std::memcpy(flash.data() + kConfigPlace, flash.data() + c.place, copied * 0x1000);
}

// Where the bits read flipped in the table page lie, for the named windows.
std::string FlipPlaces(const std::vector<std::uint32_t>& flips) {
  bool data = false, marks = false, slots = false, spare = false;
  for (std::uint32_t f : flips) {
    const std::uint32_t byte = f / 8;
    data |= byte < host::kNandPageBytes;
    marks |= byte >= kTableMarks - 1 && byte < kTableSlots;
    slots |= byte >= kTableSlots && byte < kTableSlotsEnd;
    spare |= byte >= kTableSlotsEnd;
  }
  std::string text;
  for (auto [in, name] : {std::pair{data, "data"}, std::pair{marks, "marks"},
                          std::pair{slots, "CRC slots"}, std::pair{spare, "ECC bytes"}}) {
    if (in) text += (text.empty() ? "" : ", ") + std::string(name);
  }
  return text;
}

// Whether the table page as stored (no flips) carries nothing that checks it: no ECC or
// append mark, no CRC slot in its spare bytes and no check in the top of its data area.
bool TableUnchecked(const std::uint8_t* raw) {
  const std::uint8_t* page = raw + std::uint64_t{kTablePage} * host::kNandRawPageBytes;
  auto erased = [](const std::uint8_t* from, const std::uint8_t* to) {
    return std::all_of(from, to, [](std::uint8_t b) { return b == 0xFF; });
  };
  return erased(page + kTableMarks, page + kTableSlotsEnd) &&
         erased(page + 768, page + host::kNandPageBytes);
}

// What a start ran: whether the module started, and the version record of its image.
struct BootSeen {
  bool starts = false;
  std::optional<std::array<std::uint32_t, 3>> version;
  bool operator==(const BootSeen&) const = default;
  std::string Show() const {
    if (!starts) return "no start";
    if (!version) return "an image without a version record";
    std::string text = "an image of version " + std::to_string((*version)[1]) + "." +
                       std::to_string((*version)[2] & 0xFFFF);
    if ((*version)[2] >> 16) text += "-beta" + std::to_string((*version)[2] >> 16);
    return text;
  }
};

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
  Start start;
  std::vector<Job> jobs;
};

// The lines that set a sequence's start, as `--replay` reads them.
std::vector<std::string> ShowStart(const Start& start) {
  std::vector<std::string> lines;
  if (start.bad) lines.push_back("module bad " + std::to_string(start.bad));
  if (start.config != Config::kAtPlace) {
    lines.push_back(std::string("module config ") +
                    (start.config == Config::kNone ? "none" : "old"));
  }
  return lines;
}

struct Finding {
  std::size_t job;  // index of the job after which the invariant broke
  std::string what;
};

// The faults.toml text of the faults in force.
struct Faults {
  std::vector<std::string> entries;
  bool boot_blocks_fail = false;            // physical block 0 or 1 fails its erase or program
  std::vector<std::uint32_t> failing;       // NAND: the physical blocks that fail
  bool table_flipped = false;               // a bit reads flipped in the table page
  std::vector<std::uint32_t> table_flips;   // those bits: raw byte * 8 + bit
  std::map<std::uint32_t, int> page_flips;  // bits read flipped in each other page
  std::string Text() const {
    std::string text;
    for (const std::string& e : entries) text += e;
    return text;
  }
};

// A factory module: a bootloader in block 0.
host::CreateOptions ModuleOptions() {
  host::CreateOptions options;
  if (nor) {
    options.nor_device = 0x8922;
    options.cfi_size = 0x15;
  } else {
    options.flash = host::FlashKind::kNand;
    options.nand_chip = 0xF1EC;
    options.part_number = 8;
  }
  return options;
}

// What a module differs in from the template: raw pages of its flash image, and files.
struct Variant {
  std::vector<std::pair<std::uint64_t, std::string>> pages;
  std::vector<std::pair<fs::path, std::string>> files;
};

Variant Differences(const fs::path& base, const fs::path& other) {
  Variant v;
  FlashImage a(base / "nand.img"), b(other / "nand.img");
  const std::uint64_t size = fs::file_size(base / "nand.img");
  const std::uint8_t* a_image = a.Get();
  const std::uint8_t* b_image = b.Get();
  if (fs::file_size(other / "nand.img") != size) {
    throw std::runtime_error("the flash images of " + other.string() + " differ in size");
  }
  for (std::uint64_t at = 0; at < size; at += host::kNandRawPageBytes) {
    const char* page = reinterpret_cast<const char*>(b_image) + at;
    if (std::memcmp(a_image + at, page, host::kNandRawPageBytes) != 0) {
      v.pages.emplace_back(at, std::string(page, host::kNandRawPageBytes));
    }
  }
  std::string a_text, b_text;
  for (const fs::directory_entry& e : fs::recursive_directory_iterator(other)) {
    const fs::path relative = e.path().lexically_relative(other);
    if (!e.is_regular_file() || relative == "nand.img") continue;
    if (!campaign::ReadWhole(e.path(), b_text)) {
      throw std::runtime_error("cannot read " + relative.string());
    }
    if (!campaign::ReadWhole(base / relative, a_text) || a_text != b_text) {
      v.files.emplace_back(relative, b_text);
    }
  }
  return v;
}

// The other configuration blocks' modules, made once: what they differ in from the factory
// module, put on a lane's module when a sequence starts with them.
std::map<Config, Variant> variants;

void MakeVariants(const fs::path& dir) {
  host::CreateModule(dir / "base", ModuleOptions());
  std::ofstream(dir / "base" / "faults.toml") << "";
  for (Config config : {Config::kNone, Config::kOldPlace}) {
    host::CreateOptions options = ModuleOptions();
    options.config_block =
        config == Config::kNone ? std::nullopt : std::optional<std::uint32_t>(kConfigOldPlace);
    host::CreateModule(dir / "other", options);
    std::ofstream(dir / "other" / "faults.toml") << "";
    variants[config] = Differences(dir / "base", dir / "other");
    fs::remove_all(dir / "other");
  }
  fs::remove_all(dir / "base");
}

class Runner {
 public:
  Runner(const fs::path& work) : work_(work) {
    host::CreateModule(work_ / "template", ModuleOptions());
    std::ofstream(work_ / "template" / "faults.toml") << "";
    copy_.emplace(work_ / "template", work_ / "m", nor ? "nor.img" : "nand.img");
    config_ = host::LoadModuleConfig(work_ / "template");
    area_ = *host::RegistryAreaOf(config_.platform,
                                  host::FlashFile(work_ / "template", config_).size());
  }

  std::optional<Finding> Run(const Sequence& s, std::vector<std::string>* outcomes = nullptr) {
    copy_->Restore();
    const fs::path dir = work_ / "m";
    if (!nor) MakeStart(s.start, dir);
    Faults faults;
    ReadFlash(image_, dir, *before_);
    copy_ranges_ = {};  // the factory's module holds no registry copy
    start_gen_.reset();
    expect_.CopyFrom(before_->bytes);
    Window& expect = expect_;
    // The registry copies each half of item 5's area may hold: Gen\N of each (-1: none).
    std::array<std::set<long>, 2> halves = {std::set<long>{-1}, std::set<long>{-1}};
    // What the next start runs, when the reference knows it: the factory image, which carries
    // no version record; and what the module runs since its last start (none: not started).
    std::optional<BootSeen> next_boot = BootSeen{true, std::nullopt};
    // Item 5 places the OS image further on when the configuration block is at its old place.
    const std::uint32_t os_place = !nor && s.start.config == Config::kOldPlace ? 0xC8000 : kOsPlace;
    std::uint32_t os_end = os_place + 0x100000;  // the OS image's extent in the flash
    std::optional<BootSeen> running;
    bool bootloader_whole = true;  // no job touched it since a start last ran it
    for (std::size_t i = 0; i < s.jobs.size(); ++i) {
      const Job& j = s.jobs[i];
      std::string outcome;
      // The range the job may change: [owned_from, owned_to), and for a boot-area update
      // that does not start at 0 the bytes of the area outside its image are not its own.
      std::uint32_t owned_from = 0, owned_to = 0;
      std::optional<std::pair<std::uint32_t, std::uint32_t>> image;
      Bytes wrote;  // update/write: what the job puts at its range
      int status = kDone;
      // A loud update refreshes the flash regions first: where it finds the configuration
      // block, whether it warns that the image overwrites it, and whether it moves the block
      // from its old place (the move's blocks are then the job's too).
      ConfigView config;
      bool moves = false, move_known = false;
      const fs::path warning = work_ / "warning.txt";
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
          fs::remove(box);
          fs::remove(warning);
          if (j.loud && !nor) {
            config = SeeConfig(expect, before_->unreadable);
            // Two bits flipped in one page may be more than its ECC mends: a read of it fails.
            for (const auto& [page, n] : faults.page_flips) config.unsure |= n > 1;
            moves = config.moves || config.unsure;
            // A move the flash lets fail leaves the old copy, which the next refresh moves.
            move_known = !config.unsure && faults.failing.empty();
            if (config.moves && move_known) Move(config, expect);
          }
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
            if (j.kind == Kind::kCut) module->power().ArmCut(j.step, j.landed);
            AbortFlag = 0;
            QuietFlag = j.loud ? 0 : 1;
            // A loud update: OK to the overwrite warning when there is one, No to the restart.
            if (j.loud) ui.AnswerMessageBoxes({IDOK, IDNO});
            std::memcpy(ImagePath, u"\\job.bin", sizeof u"\\job.bin");
            DialogBoxParamW(nullptr, MAKEINTRESOURCEW(IDD_UPDATE), nullptr, UpdateDialogProc, 0);
            for (const auto& e : ui.Events(host::ui::UiEvent::Kind::kMessageBox)) {
              if (e.caption == u"WARNING") {
                std::ofstream(warning) << host::Utf8(e.text);
                continue;
              }
              if (e.caption == u"RESET") continue;
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
            args.erase = !j.plain;
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
          } else if (j.plain) {  // the pages it programs, wherever they come to live
            owned_from = j.place - j.place % host::kNandPageBytes;
            owned_to = std::min<std::uint32_t>((j.place + j.length + host::kNandPageBytes - 1) /
                                                   host::kNandPageBytes * host::kNandPageBytes,
                                               kWindow);
          } else if (j.place < kBootArea) {
            owned_from = 0, owned_to = std::max(owned_to, kBootArea);
          }
          image = {j.place, j.place + j.length};
          break;
        }
        case Kind::kRestart:
          for (const auto& e : fs::directory_iterator(dir / "ram")) fs::remove_all(e.path());
          running.reset();
          break;
        case Kind::kSave: {
          const long gen = static_cast<long>(i) + 1;
          status = RunChild([&] {
            auto module = host::Module::Open(dir);
            // The live registry as this boot has it (made from the flash after a restart),
            // with a value that tells this save's copy apart.
            host::StartLiveRegistryFromFlash(dir, module->config(),
                                             host::FlashFile(dir, module->config()));
            const fs::path live = host::LiveRegistryFile(dir);
            host::RegistryTree tree = host::LoadRegistryFile(live);
            tree.SetValue(u"Gen", {u"N", REG_DWORD, static_cast<DWORD>(gen), {}});
            host::WriteRegistryFile(live, tree);
            if (j.cut) module->power().ArmCut(j.step, j.landed);
            return RegFlushKey(HKEY_LOCAL_MACHINE) == ERROR_SUCCESS ? kDone : kFailed;
          });
          if (status == kFailed) outcome = "failed";
          // Into the half not holding the newest copy: a cut or failed save leaves it as it
          // was, erased, or holding the new copy.
          const long newest = std::max(*halves[0].rbegin(), *halves[1].rbegin());
          const int target = newest < 0 ? 0 : *halves[0].rbegin() == newest ? 1 : 0;
          const long old = *halves[target].rbegin();
          halves[target] = status == kDone ? std::set<long>{gen} : std::set<long>{old, -1, gen};
          break;
        }
        case Kind::kRegistryClear:
          status = RunChild([&] {
            auto module = host::Module::Open(dir);
            return KernelIoControl(host::kCodeRegistryClear, nullptr, 0, nullptr, 0, nullptr)
                       ? kDone
                       : kFailed;
          });
          if (status == kFailed) outcome = "failed";
          for (std::set<long>& half : halves) {
            half = status == kDone ? std::set<long>{-1} : std::set<long>{*half.rbegin(), -1};
          }
          break;
        case Kind::kCold:
        case Kind::kWarm: {
          // The restart: the module's RAM is lost, but for what this boot runs on a warm one.
          for (const auto& e : fs::directory_iterator(dir / "ram")) {
            if (j.kind == Kind::kCold || e.path().filename() != "boot.toml") {
              fs::remove_all(e.path());
            }
          }
          const fs::path seen = work_ / "start.txt";
          fs::remove(seen);
          status = RunChild([&] {
            auto module = host::Module::Open(dir);
            std::optional<std::string> why = host::StartModule(*module);
            std::ofstream out(seen);
            if (why) {
              out << "down\n";
              return kDone;
            }
            std::optional<host::FoundBootImage> image = host::RunningImage(dir);
            const host::RegistryTree live = host::LoadRegistryFile(host::LiveRegistryFile(dir));
            const host::RegistryValue* gen = live.FindValue(u"Gen", u"N");
            out << "up " << (gen ? static_cast<long>(gen->number) : -1L);
            if (image && image->version) {
              for (std::uint32_t w : *image->version) out << " " << w;
            }
            out << "\n";
            return kDone;
          });
          std::ifstream in(seen);
          std::string state;
          in >> state;
          BootSeen got{state == "up", std::nullopt};
          long live_gen = -1;
          if (got.starts) {
            in >> live_gen;
            std::array<std::uint32_t, 3> v;
            if (in >> v[0] >> v[1] >> v[2]) got.version = v;
          }
          outcome = got.Show();
          if (status != kDone) break;  // a crash, said below
          const bool kept = j.kind == Kind::kWarm && running;
          const std::optional<BootSeen> want = kept ? running : next_boot;
          if (want && !(got == *want)) {
            return Finding{i, std::string(kept ? "a warm restart" : "a cold restart") + " ran " +
                                  got.Show() + ", not " + want->Show() +
                                  (kept ? ", the image it ran before" : ", what the flash holds")};
          }
          if (got.starts) {
            // The start takes the newest copy in flash (read below, as the halves hold them).
            start_gen_ = live_gen;
          }
          if (!kept) next_boot = got;
          bootloader_whole |= got.starts;
          running = got.starts ? std::optional<BootSeen>(got) : std::nullopt;
          ++roads[std::string(j.kind == Kind::kCold ? "cold" : "warm") + " restarts: " +
                  (got.starts ? got.version ? "an image with a version record ran"
                                            : "an image without a version record ran"
                              : "the module did not start")];
          break;
        }
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
          faults.failing.push_back(j.block);
          faults.entries.push_back(std::string("[[nand]]\nkind = \"") +
                                   (j.erase ? "erase-error" : "program-error") +
                                   "\"\nblock = " + std::to_string(j.block) + "\n");
          std::ofstream(dir / "faults.toml") << faults.Text();
          break;
        case Kind::kClear:
          faults.entries.clear();
          faults.boot_blocks_fail = false;
          faults.failing.clear();
          faults.table_flipped = false;
          faults.table_flips.clear();
          faults.page_flips.clear();
          std::ofstream(dir / "faults.toml") << "";
          break;
        case Kind::kFlip:
          faults.table_flipped |= j.block == kTablePage;
          if (j.block == kTablePage) faults.table_flips.push_back(j.byte * 8 + j.bit);
          if (j.block != kTablePage) ++faults.page_flips[j.block];
          faults.entries.push_back(
              "[[nand]]\nkind = \"bit-flip\"\npage = " + std::to_string(j.block) +
              "\nbyte = " + std::to_string(j.byte) + "\nbit = " + std::to_string(j.bit) + "\n");
          std::ofstream(dir / "faults.toml") << faults.Text();
          break;
      }
      if (outcomes) {
        const bool restart = j.kind == Kind::kCold || j.kind == Kind::kWarm;
        outcomes->push_back(restart           ? outcome
                            : status == kDone ? "done"
                            : status == kCut  ? "cut"
                                              : outcome);
      }
      if (status == kCut) running.reset();  // the power went: the next run starts the module
      ReadFlash(image_, dir, *now_);
      const Flash& now = *now_;
      const Flash& before = *before_;
      auto fail = [&](const std::string& what) { return Finding{i, what}; };
      const bool update =
          j.kind == Kind::kUpdate || j.kind == Kind::kCancel || j.kind == Kind::kCut;
      if (!nor && (update || j.kind == Kind::kWrite)) {
        // The roads the campaign is made to meet, counted.
        if (before.table_valid && before.table_map[1] != 1) {
          ++roads["jobs on a module whose logical block 1 lives in the reserve"];
          if (update && j.place < kBootArea && j.place != 0 && status != kDone) {
            ++roads["boot-area updates not at 0 that failed or were cut there"];
          }
        }
        if (j.plain && s.start.bad && before.table_valid &&
            before.table_map[s.start.bad] == s.start.bad && j.place < (s.start.bad + 1) * kBlock &&
            j.place + j.length > s.start.bad * kBlock) {
          ++roads["plain writes over a block the maker marked bad"];
        }
        if (!before.ram_map && !faults.table_flips.empty()) {
          ++roads["jobs at the first start of a boot with bits read flipped in the table page's " +
                  FlipPlaces(faults.table_flips)];
        }
        if (j.loud && !config.unsure && j.place < config.End() &&
            j.place + j.length > config.place) {
          ++roads[std::string("loud updates over the configuration block's region, the block ") +
                  (!config.found  ? "absent"
                   : config.moves ? "at its old place"
                                  : "at 0x40000")];
        }
      }
      if (!now.table_valid) {
        // The table page is gone: the driver cannot start again. A named window (a cut
        // between block 0's erase and the table's program); the sequence ends here.
        if (status == kCut) {
          ++windows["a cut left no table page (the driver does not start again)"];
          return std::nullopt;
        }
        return fail("the table page is gone after a job that was not cut");
      }
      if (now.ram_map && *now.ram_map != before.table_map && !before.ram_map &&
          faults.table_flipped && before.table_unchecked) {
        // A table page whose program failed or was cut after block 0's erase holds entries
        // but neither the ECC bytes nor the check that land after them, as a page of the
        // earlier driver does: a bit read flipped in it at a start is taken as the table (and
        // block 0's next erase programs it back so). A named window; the sequence ends here.
        ++windows
            ["a start read a bit flipped in a table page left without its check (its "
             "program failed or was cut)"];
        return std::nullopt;
      }
      if (now.ram_map && *now.ram_map != now.table_map) {
        std::uint32_t k = 0;
        while ((*now.ram_map)[k] == now.table_map[k]) ++k;
        return fail("the block map in RAM says logical block " + std::to_string(k) + " -> " +
                    std::to_string((*now.ram_map)[k]) + ", the table page " +
                    std::to_string(now.table_map[k]));
      }
      if (status > kCut) return fail("the job crashed (" + std::to_string(status) + ")");
      if (!nor && (update || j.kind == Kind::kWrite) && status == kFailed && !now.ram_map) {
        // The driver did not start: only a table page that reads damaged may stop it, and
        // only while the bits read flipped. One bit flipped in a CRC slot leaves the table
        // intact: its check is disputed, not its entries.
        if (!faults.table_flipped) {
          return fail("the driver did not start, with no bit of the table page read flipped");
        }
        const std::vector<std::uint32_t>& flips = faults.table_flips;
        if (flips.size() == 1 && flips[0] / 8 >= kTableSlots && flips[0] / 8 < kTableSlotsEnd) {
          return fail(
              "the driver did not start: it refused an intact table, one bit read "
              "flipped in a CRC slot (raw byte " +
              std::to_string(flips[0] / 8) + ", bit " + std::to_string(flips[0] % 8) + ")");
        }
        ++windows
            ["the driver refused a table page read with bits flipped that nothing mends (in "
             "its " +
             FlipPlaces(flips) + ")"];
      }
      if (!nor) {
        // A block in use never carries a bad-block mark: a relocation copies data, not the
        // mark of a block the maker marked bad.
        const std::uint8_t* raw = image_.Get();
        for (std::uint32_t block = 0; block < kWindow / kBlock; ++block) {
          const std::uint32_t physical = now.table_map[block];
          if (physical == block || physical >= kBlocks) continue;
          for (std::uint64_t page = 0; page < 2; ++page) {
            if (raw[(std::uint64_t{physical} * 64 + page) * host::kNandRawPageBytes +
                    host::kNandPageBytes] != 0xFF) {
              return fail("logical block " + std::to_string(block) + " lives in physical block " +
                          std::to_string(physical) + ", whose page " + std::to_string(page) +
                          " carries a bad-block mark");
            }
          }
        }
      }
      if (j.loud && !nor && !config.unsure && status != kCut && now.ram_map) {
        // The overwrite warning names the configuration block when the image reaches it (a
        // driver that did not start reads nothing).
        const bool over = j.place < config.End() && j.place + j.length > config.place;
        std::string shown;
        campaign::ReadWhole(warning, shown);
        const bool named = shown.find("ConfigBlock\n") != std::string::npos;
        if (over && !named && status == kDone) {
          return fail("no \"ConfigBlock\" overwrite warning for an image at " + Hex(j.place) +
                      " of " + Hex(j.length) + " bytes, with " +
                      (config.found ? "the configuration block at " + Hex(config.place)
                                    : std::string("no configuration block")));
        }
        if (named && !over) {
          return fail("a \"ConfigBlock\" overwrite warning for an image at " + Hex(j.place) +
                      " of " + Hex(j.length) + " bytes, which does not reach it");
        }
      }
      if (!nor && (update || j.kind == Kind::kWrite) && status == kDone) {
        // What a job that reports success wrote reads back: no page of it fails its ECC.
        for (std::uint32_t page = j.place / host::kNandPageBytes;
             page * host::kNandPageBytes < std::min(j.place + j.length, kWindow); ++page) {
          if (now.unreadable[page] && !(page * host::kNandPageBytes == kSkippedPage)) {
            return fail("reported success, but the page at logical " +
                        Hex(page * host::kNandPageBytes) +
                        " does not read: its ECC does not match its data");
          }
        }
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
        if (moves && !move_known) {  // a move that may or may not have happened
          for (std::uint32_t at = kConfigPlace; at < kConfigPlace + 0x40000; ++at) {
            if (at < owned_from || at >= owned_to) expect[at] = now.bytes[at];
          }
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
        // Logical block 1 moved to a reserve block that fails: its bytes may be lost with it,
        // not those of block 0.
        auto fails = [&](std::uint32_t block) {
          return std::find(faults.failing.begin(), faults.failing.end(), block) !=
                 faults.failing.end();
        };
        const bool moved_block_fails =
            !nor && ((before.table_map[1] != 1 && fails(before.table_map[1])) ||
                     (now.table_map[1] != 1 && fails(now.table_map[1])));
        for (std::uint32_t at = 0; at < kWindow; ++at) {
          bool own = (at >= owned_from && at < owned_to) ||
                     (moves && at >= kConfigPlace && at < kConfigPlace + 0x40000);
          const bool kept = !nor && own && image && at < kBootArea &&
                            (at < image->first || at >= image->second) && at < kSkippedPage;
          // Where physical block 0 or 1 fails, the area cannot always be written back: a
          // named window, which the job reports as an error.
          if (kept && status != kCut && !faults.boot_blocks_fail &&
              !(moved_block_fails && at >= kBlock)) {
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
          ++windows[status == kCut ? "a cut lost boot-area bytes outside the image (its RAM copy)"
                    : faults.boot_blocks_fail
                        ? "boot-area bytes outside the image lost with physical block 0 or 1 "
                          "failing"
                        : "boot-area bytes of logical block 1 lost with the reserve block that "
                          "holds it failing"];
        }
        expect.CopyFrom(now.bytes);
      } else {
        // A registry save or clear owns item 5's area (in the window on NOR), and nothing else.
        if (j.kind == Kind::kSave || j.kind == Kind::kRegistryClear) {
          for (std::uint64_t at = area_.start; at < area_.start + 2ull * area_.half && at < kWindow;
               ++at) {
            expect[static_cast<std::uint32_t>(at)] = now.bytes[static_cast<std::uint32_t>(at)];
          }
        }
        if (!(now.bytes == expect)) {
          std::uint32_t at = 0;
          while (now.bytes[at] == expect[at]) ++at;
          return fail("the flash changed at " + Hex(at));
        }
      }
      if (update || j.kind == Kind::kWrite) {
        // A job over the bootloader or the OS image leaves the next start to be seen; an OS
        // image written whole is what the next cold start runs.
        if (owned_from < kBootloaderEnd) bootloader_whole = false;
        if (j.os && status == kDone && j.place == os_place) {
          next_boot = bootloader_whole ? std::optional<BootSeen>(BootSeen{true, OsVersion(j)})
                                       : std::nullopt;
          os_end = j.place + j.length;
          ++roads["OS images written by an update"];
        } else if (owned_from < kBootloaderEnd || (owned_from < os_end && owned_to > os_place)) {
          next_boot.reset();
        }
        // On NOR the jobs reach item 5's registry area: a copy whose bytes a job wrote over
        // is gone, and one in a block it failed or was cut in may be (a write with --erase
        // puts back what it does not write).
        for (int h = 0; h < 2; ++h) {
          if (!copy_ranges_[h]) continue;
          const auto [from, to] = *copy_ranges_[h];
          const bool written = j.kind == Kind::kWrite ? j.place < to && j.place + j.length > from
                                                      : owned_from < to && owned_to > from;
          if (status == kDone && written) {
            halves[h] = {-1};
          } else if (status != kDone && owned_from < to && owned_to > from) {
            halves[h] = {*halves[h].rbegin(), -1};
          }
        }
      }
      // The registry copies as the next start finds them.
      {
        host::FlashFile flash(dir, config_);
        std::array<std::optional<host::RegistryCopy>, 2> copies =
            host::RegistryCopies(host::FlashFile::ReadFn, &flash, area_);
        for (int h = 0; h < 2; ++h) {
          long gen = -1;
          if (copies[h]) {
            const host::RegistryValue* v = copies[h]->tree.FindValue(u"Gen", u"N");
            gen = v ? static_cast<long>(v->number) : 0;
          }
          copy_ranges_[h].reset();
          if (copies[h]) {
            copy_ranges_[h] = {copies[h]->offset, copies[h]->offset + 16 + copies[h]->bytes};
          }
          if (!halves[h].count(gen)) {
            std::string may;
            for (long g : halves[h]) may += (may.empty() ? "" : ", ") + std::to_string(g);
            return fail("half " + std::to_string(h) + " of the registry area holds copy " +
                        std::to_string(gen) + " (-1: none), where the jobs before leave " + may);
          }
          halves[h] = {gen};
        }
        if (start_gen_) {
          const long newest = std::max(*halves[0].begin(), *halves[1].begin());
          if (*start_gen_ != newest) {
            return fail("the start took registry copy " + std::to_string(*start_gen_) +
                        " (-1: the default), the newest in flash is " + std::to_string(newest));
          }
          start_gen_.reset();
        }
        if (j.kind == Kind::kSave) {
          ++roads[std::string(j.cut ? "registry saves cut" : "registry saves") + ": " +
                  (status == kDone  ? "done"
                   : status == kCut ? "cut"
                                    : "failed")];
        }
      }
      std::swap(before_, now_);
    }
    return std::nullopt;
  }

  // The named windows the jobs met: what happened, and how often.
  std::map<std::string, std::uint64_t> windows;
  // The roads the jobs took that the campaign is made to meet, and how often.
  std::map<std::string, std::uint64_t> roads;

 private:
  static std::string test_box(const fs::path& file) {
    std::ifstream in(file);
    std::string text;
    std::getline(in, text);
    return text;
  }

  // Puts the start on the module the template's copy holds: the other configuration block,
  // and the maker's bad mark (a non-0xFF first spare byte in the block's first two pages).
  void MakeStart(const Start& start, const fs::path& dir) {
    std::vector<std::pair<std::uint64_t, std::string>> pages;
    if (start.config != Config::kAtPlace) {
      const Variant& v = variants.at(start.config);
      pages = v.pages;
      for (const auto& [relative, text] : v.files) campaign::WriteWhole(dir / relative, text);
    }
    if (start.bad) {
      for (std::uint64_t page = 0; page < 2; ++page) {
        pages.emplace_back(
            (std::uint64_t{start.bad} * 64 + page) * host::kNandRawPageBytes + host::kNandPageBytes,
            std::string(1, '\0'));
      }
      std::string toml;
      if (!campaign::ReadWhole(dir / "module.toml", toml)) {
        throw std::runtime_error("cannot read the module's module.toml");
      }
      const std::size_t chip = toml.find("\nchip = ");
      if (chip == std::string::npos) throw std::runtime_error("module.toml names no NAND chip");
      toml.insert(toml.find('\n', chip + 1) + 1,
                  "factory_bad_blocks = [" + std::to_string(start.bad) + "]\n");
      campaign::WriteWhole(dir / "module.toml", toml);
    }
    if (pages.empty()) return;
    int fd = open((dir / "nand.img").c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("cannot open the module's flash image");
    for (const auto& [at, bytes] : pages) {
      const bool written = pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(at)) ==
                           static_cast<ssize_t>(bytes.size());
      for (std::uint64_t piece = at / campaign::kPiece;
           piece <= (at + bytes.size() - 1) / campaign::kPiece; ++piece) {
        campaign::changed_pieces[piece] = 1;  // the next sequence's copy puts it back
      }
      if (!written) {
        close(fd);
        throw std::runtime_error("cannot write the module's flash image");
      }
    }
    close(fd);
  }

  fs::path work_;
  host::ModuleConfig config_;
  host::RegistryArea area_;
  std::optional<long> start_gen_;  // the registry copy the last start took, to check
  // The bytes of the copy in each half, as the last check found them.
  std::array<std::optional<std::pair<std::uint32_t, std::uint32_t>>, 2> copy_ranges_;
  std::optional<campaign::ModuleCopy> copy_;
  FlashImage image_{work_ / "m" / (nor ? "nor.img" : "nand.img")};
  std::unique_ptr<Flash> before_ = std::make_unique<Flash>(), now_ = std::make_unique<Flash>();
  Window expect_;
};

Sequence MakeSequence(std::uint64_t seed, std::uint64_t number) {
  Rng rng(seed * 0x9E3779B97F4A7C15ull + number);
  Sequence s;
  const std::uint32_t n = Pick(rng, 2, 10);
  if (!nor) {
    // Some modules start with a block the maker marked bad among the blocks the jobs use
    // (past the factory content), without a configuration block or with it at its old place,
    // or with logical block 1 moved to the reserve: a failed erase of physical block 1
    // followed by a bootloader update.
    if (Pick(rng, 0, 99) < 15) s.start.bad = Pick(rng, 16, 47);  // past either OS image
    const std::uint32_t config = Pick(rng, 0, 9);
    s.start.config = config == 0   ? Config::kNone
                     : config == 1 ? Config::kOldPlace
                                   : Config::kAtPlace;
    if (Pick(rng, 0, 99) < 10) {
      Job fault;
      fault.kind = Kind::kFault;
      fault.erase = true;
      fault.block = 1;
      Job update;
      update.kind = Kind::kUpdate;
      update.place = kBlock;
      update.length = Pick(rng, 1, 0x20) * 0x800;
      update.seed = rng();
      Job clear;
      clear.kind = Kind::kClear;
      s.jobs = {fault, update, clear};
    }
  }
  for (std::uint32_t i = 0; i < n; ++i) {
    s.jobs.push_back(MakeJob(rng, s.start));
    // A bit flipped in the table page matters most at the first start of a boot.
    if (!nor && s.jobs.back().kind == Kind::kFlip && s.jobs.back().block == kTablePage &&
        Pick(rng, 0, 1) == 0) {
      s.jobs.push_back(Job{});  // a restart
    }
    // An OS image written is what a cold restart then runs.
    if (s.jobs.back().os && Pick(rng, 0, 1) == 0) {
      Job cold;
      cold.kind = Kind::kCold;
      s.jobs.push_back(cold);
    }
  }
  return s;
}

// Leaves out jobs, one at a time, while the sequence still fails.
Sequence Shrink(Runner& runner, Sequence s, Finding* finding) {
  s.jobs.resize(finding->job + 1);
  // The start too, when the sequence still fails from the factory's.
  for (int part = 0; part < 2; ++part) {
    Sequence t = s;
    if (part == 0 && t.start.bad) {
      t.start.bad = 0;
    } else if (part == 1 && t.start.config != Config::kAtPlace) {
      t.start.config = Config::kAtPlace;
    } else {
      continue;
    }
    if (std::optional<Finding> f = runner.Run(t)) {
      s = t;
      s.jobs.resize(f->job + 1);
      *finding = *f;
    }
  }
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
      "cancels, power cuts, restarts, writes, faults, bit flips), the flash held to a "
      "reference after every job"};
  std::uint64_t count = 100, seed = 1;
  std::string work, replay;
  bool quiet = false;
  int lanes = static_cast<int>(std::max(1L, sysconf(_SC_NPROCESSORS_ONLN)));
  app.add_option("SEQUENCES", count, "how many sequences (default 100)");
  app.add_option("SEED", seed, "the seed (default 1)");
  app.add_option("--work", work, "directory for the module (default: a new one in $TMPDIR)");
  app.add_option("--replay", replay,
                 "run the jobs in FILE, one a line (after `module bad N` or `module config "
                 "none|old` lines for the start), and print each outcome");
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
    Sequence s;
    for (std::string line; std::getline(in, line);) {
      if (line.empty() || line[0] == '#') continue;
      std::istringstream words(line);
      std::string word, what, value;
      if (words >> word && word == "module") {  // the start: module bad N, module config WHERE
        words >> what >> value;
        if (what == "bad") s.start.bad = static_cast<std::uint32_t>(std::stoul(value, nullptr, 0));
        if (what == "config") {
          s.start.config = value == "none"  ? Config::kNone
                           : value == "old" ? Config::kOldPlace
                                            : Config::kAtPlace;
        }
        continue;
      }
      if (std::optional<Job> j = Parse(line)) s.jobs.push_back(*j);
    }
    std::optional<Runner> made;
    try {
      if (!nor && s.start.config != Config::kAtPlace) MakeVariants(dir);
      made.emplace(dir);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "imbrel-sequence-campaign: %s\n", e.what());
      return 2;
    }
    Runner& runner = *made;
    std::vector<std::string> outcomes;
    std::optional<Finding> f = runner.Run(s, &outcomes);
    for (const std::string& line : ShowStart(s.start)) std::printf("%s\n", line.c_str());
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
      std::printf("%-50s %s\n", Show(s.jobs[i]).c_str(), outcomes[i].c_str());
    }
    if (f) std::printf("finding after job %zu: %s\n", f->job + 1, f->what.c_str());
    result = f ? 1 : 0;
  } else {
    // The sequences run in `lanes` processes at once, each on a module of its own; each lane
    // writes its findings and its counts to a file of its own, read here in lane order.
    const auto started = std::chrono::steady_clock::now();
    try {
      if (!nor) MakeVariants(dir);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "imbrel-sequence-campaign: %s\n", e.what());
      return 2;
    }
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
        const auto roads = runner.roads;
        Sequence small = Shrink(runner, s, &*f);
        runner.windows = windows;
        runner.roads = roads;
        out << "F\tfinding, sequence " << number << " (seed " << seed << "): after job "
            << f->job + 1 << ": " << f->what << "\n";
        out << "F\t  jobs (imbrel-sequence-campaign " << (nor ? "--nor " : "")
            << "--replay FILE):\n";
        for (const std::string& line : ShowStart(small.start)) out << "F\t    " << line << "\n";
        for (const Job& j : small.jobs) out << "F\t    " << Show(j) << "\n";
        out.flush();
      }
      for (const auto& [what, n] : ends) out << "C\t" << n << "\t" << what << "\n";
      for (const auto& [what, n] : runner.windows) out << "W\t" << n << "\t" << what << "\n";
      for (const auto& [what, n] : runner.roads) out << "R\t" << n << "\t" << what << "\n";
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
    std::map<std::string, std::uint64_t> ends, windows, roads;
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
        } else if (line.rfind("R\t", 0) == 0) {
          std::size_t tab = line.find('\t', 2);
          roads[line.substr(tab + 1)] += std::stoull(line.substr(2, tab - 2));
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
    if (!nor) std::printf("roads met: %s\n", roads.empty() ? "none" : "");
    for (const auto& [what, n] : roads) {
      std::printf("  %8llu  %s\n", static_cast<unsigned long long>(n), what.c_str());
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

// imbrel-power-cut: cuts the module's power at points spread over a whole update, restarts
// the module, runs the same update again and checks every byte of the image through the
// flash driver. Prints how many cuts it made, how many the module survived, and where each
// cut it did not survive fell.

#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ce/ce.h"
#include "flash/flash_ops.h"
#include "host/bin_image.h"
#include "host/hardware/power.h"
#include "host/hardware/virtual_clock.h"
#include "host/module/module.h"
#include "host/system/text.h"
#include "host/ui/script_backend.h"
#include "resources/resources.h"
#include "shell/program_state.h"
#include "update/update_dialog.h"

namespace fs = std::filesystem;

namespace {

struct Scenario {
  const char* name;
  const char* what;
  host::CreateOptions options;
  std::string faults;
  std::uint32_t place;  // flash offset of the image
  std::uint32_t bytes;
};

std::vector<Scenario> Scenarios() {
  std::vector<Scenario> list;
  host::CreateOptions nor = host::CreateOptions::Blank();
  nor.cfi_size = 0x15;  // 2 x 2 MB
  list.push_back(
      {"nor", "a 1 MB image at 0x80000 on a 4 MB NOR module", nor, "", 0x80000, 0x100000});
  host::CreateOptions nand = host::CreateOptions::Blank();
  nand.flash = host::FlashKind::kNand;
  nand.nand_chip = 0xF1EC;
  nand.part_number = 8;
  list.push_back({"nand",
                  "a 1 MB image at 0x100000 on a 1024-block NAND module whose physical blocks 9 "
                  "and 12 fail their erase and program",
                  nand,
                  "[[nand]]\nkind = \"erase-error\"\nblock = 9\n"
                  "[[nand]]\nkind = \"program-error\"\nblock = 12\n",
                  0x100000, 0x100000});
  list.push_back({"nand-boot",
                  "a 384 KB bootloader update at 0 that rewrites the NAND boot area (physical "
                  "block 3 fails its program)",
                  nand, "[[nand]]\nkind = \"program-error\"\nblock = 3\n", 0, 0x60000});
  return list;
}

std::vector<std::uint8_t> ImageBytes(const Scenario& s) {
  std::vector<std::uint8_t> data(s.bytes);
  for (std::size_t i = 0; i < data.size(); ++i) {
    data[i] = static_cast<std::uint8_t>((i * 11 + (i >> 11) * 7) ^ 0xA5);
  }
  return data;
}

// What the flash must hold after a good update (the last page of the NAND boot area is
// never written).
std::vector<std::uint8_t> Expected(const Scenario& s) {
  std::vector<std::uint8_t> data = ImageBytes(s);
  if (s.options.flash == host::FlashKind::kNand) {
    for (std::uint32_t at = 0x3F800; at < 0x40000; ++at) {
      if (at >= s.place && at < s.place + s.bytes) data[at - s.place] = 0xFF;
    }
  }
  return data;
}

void MakeTemplate(const Scenario& s, const fs::path& dir) {
  host::CreateModule(dir, s.options);
  std::ofstream(dir / "faults.toml") << s.faults;
  host::BinWriter writer(s.place);
  writer.Add(s.place, ImageBytes(s), 0x4000);
  std::vector<std::uint8_t> bin = writer.Build();
  std::ofstream(dir / "fs" / "image.bin", std::ios::binary)
      .write(reinterpret_cast<const char*>(bin.data()), static_cast<std::streamsize>(bin.size()));
}

// Runs one quiet update of \image.bin on the open module; the error text, or "" on success.
std::string RunUpdate() {
  host::ui::ScriptBackend& backend = host::ui::UseScriptBackend();
  backend.SetIdleLimit(std::chrono::milliseconds(600000));
  InitCommonControls();
  QuietFlag = 1;
  std::memcpy(ImagePath, u"\\image.bin", sizeof u"\\image.bin");
  DialogBoxParamW(nullptr, MAKEINTRESOURCEW(IDD_UPDATE), nullptr, UpdateDialogProc, 0);
  for (const host::ui::UiEvent& e : backend.Events(host::ui::UiEvent::Kind::kMessageBox)) {
    if (e.caption == u"ERROR" || e.caption == u"ERRER") return host::Utf8(e.text);
  }
  return "";
}

// Exit statuses of the checking process.
constexpr int kSurvived = 0;
constexpr int kUpdateFailed = 10;
constexpr int kBytesDiffer = 11;
constexpr int kNoDriver = 12;

// Runs `body` in a child process; its exit status.
template <typename Body>
int InChild(Body body) {
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    // The child's output would repeat the update's console lines: keep it quiet.
    std::freopen("/dev/null", "w", stderr);
    std::_Exit(body());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string LastPowerCut(const fs::path& dir) {
  std::ifstream log(dir / "boot.log");
  std::string line, last;
  while (std::getline(log, line)) {
    if (line.rfind("power cut", 0) == 0) last = line;
  }
  std::size_t open = last.find('(');
  std::size_t close = last.rfind(')');
  return open != std::string::npos && close > open ? last.substr(open + 1, close - open - 1)
                                                   : "no cut";
}

struct Outcome {
  std::uint64_t cut;
  int landed;
  int status;
  std::string where;
  std::string detail;
};

int RunScenario(const Scenario& s, int cuts, const fs::path& work, bool keep) {
  std::printf("%s: %s\n", s.name, s.what);
  fs::path base = work / s.name / "template";
  fs::create_directories(base.parent_path());
  MakeTemplate(s, base);
  fs::path error_file = work / s.name / "error.txt";

  // An uncut update: how many flash operations it makes, and that it works at all.
  fs::path probe = work / s.name / "probe";
  fs::copy(base, probe, fs::copy_options::recursive);
  fs::path count_file = work / s.name / "count.txt";
  int status = InChild([&] {
    auto module = host::Module::Open(probe);
    std::uint64_t before = host::FlashOperations();
    std::string error = RunUpdate();
    std::ofstream(count_file) << host::FlashOperations() - before << "\n" << error;
    return error.empty() ? 0 : 1;
  });
  std::ifstream counts(count_file);
  std::uint64_t total = 0;
  counts >> total;
  fs::remove_all(probe);
  if (status != 0 || total == 0) {
    std::printf("  the uncut update fails: %s\n", status == 0 ? "no flash operations" : "error");
    return 2;
  }
  std::printf("  %llu flash operations in an uncut update\n",
              static_cast<unsigned long long>(total));

  std::vector<Outcome> lost;
  int made = 0;
  for (int i = 0; i < cuts; ++i) {
    // Every operation with each part of it landed over the first ones (the boot area and the
    // table page), then spread over the rest of the update.
    const int dense = cuts / 2;
    std::uint64_t cut = i < dense ? static_cast<std::uint64_t>(i / 4)
                                  : total * static_cast<std::uint64_t>(i) / cuts;
    if (cut >= total) break;
    int landed = i % 4;
    fs::path dir = work / s.name / "run";
    fs::remove_all(dir);
    fs::copy(base, dir, fs::copy_options::recursive);
    int first = InChild([&] {
      auto module = host::Module::Open(dir);
      host::ArmPowerCut(cut, landed);
      RunUpdate();
      return 0;  // not reached when the power fails
    });
    ++made;
    if (first != host::kPowerCutStatus) {
      lost.push_back({cut, landed, -1, "no cut", "the update ended before the cut"});
      continue;
    }
    std::string where = LastPowerCut(dir);
    // The module restarts (the cut cleared ram/) and the same update runs again.
    int second = InChild([&] {
      auto module = host::Module::Open(dir);
      std::string error = RunUpdate();
      if (!error.empty()) {
        std::ofstream(error_file) << error;
        return SelectFlashDriver() ? kUpdateFailed : kNoDriver;
      }
      std::vector<std::uint8_t> expected = Expected(s);
      std::vector<std::uint8_t> flash(expected.size());
      // The last NAND boot-area page is never read; compare around it.
      for (std::uint32_t at = 0; at < expected.size(); at += 0x800) {
        std::uint32_t n = std::min<std::uint32_t>(0x800, expected.size() - at);
        std::uint32_t offset = s.place + at;
        if (s.options.flash == host::FlashKind::kNand && offset >= 0x3F800 && offset < 0x40000) {
          std::memset(&flash[at], 0xFF, n);
        } else if (!FlashOps.ReadBuffer(&flash[at], offset, n)) {
          std::ofstream(error_file) << "a read of " << offset << " failed";
          return kBytesDiffer;
        }
      }
      if (flash != expected) {
        std::size_t at = 0;
        while (flash[at] == expected[at]) ++at;
        std::ofstream(error_file) << "the first wrong byte is at flash offset 0x" << std::hex
                                  << s.place + at;
        return kBytesDiffer;
      }
      return kSurvived;
    });
    if (second != kSurvived) {
      std::ifstream in(error_file);
      std::stringstream text;
      text << in.rdbuf();
      std::string detail = second == kNoDriver ? "the flash driver no longer starts: " + text.str()
                           : second == kUpdateFailed ? "the next update fails: " + text.str()
                           : second == kBytesDiffer
                               ? "the next update reports success but " + text.str()
                               : "the next update crashed (" + std::to_string(second) + ")";
      lost.push_back({cut, landed, second, where, detail});
    }
  }
  if (!keep) fs::remove_all(work / s.name);

  std::printf("  %d cuts made, %d survived\n", made, made - static_cast<int>(lost.size()));
  for (const Outcome& o : lost) {
    std::printf("  not survived: cut during operation %llu of %llu (%s, %d/4 landed): %s\n",
                static_cast<unsigned long long>(o.cut + 1), static_cast<unsigned long long>(total),
                o.where.c_str(), o.landed, o.detail.c_str());
  }
  return lost.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "imbrel-power-cut: power cuts over whole updates, each followed by a restart and "
      "the same update again; every byte of the image is checked"};
  int cuts = 100;
  std::vector<std::string> names;
  std::string work;
  bool keep = false;
  app.add_option("SCENARIO", names, "nor, nand, nand-boot (default: all)");
  app.add_option("--cuts", cuts, "cuts per scenario (default 100)")->check(CLI::Range(1, 100000));
  app.add_option("--work", work, "directory for the modules (default: a new one in /tmp)");
  app.add_flag("--keep", keep, "keep the modules afterwards");
  app.footer("Exit status: 0 every cut survived, 1 some were not, 2 a scenario could not run.");
  CLI11_PARSE(app, argc, argv);

  fs::path dir = work;
  if (work.empty()) {
    char pattern[] = "/tmp/imbrel-power-cut-XXXXXX";
    if (!mkdtemp(pattern)) return 2;
    dir = pattern;
  }
  int result = 0;
  for (const Scenario& s : Scenarios()) {
    if (!names.empty() && std::find(names.begin(), names.end(), s.name) == names.end()) continue;
    result = std::max(result, RunScenario(s, cuts, dir, keep));
  }
  if (work.empty() && !keep) fs::remove_all(dir);
  return result;
}

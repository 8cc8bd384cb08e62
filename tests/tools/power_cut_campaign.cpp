// imbrel-power-cut: cuts the module's power at points spread over a whole update, restarts
// the module, runs the same update again and checks every byte of the image through the
// flash driver. The registry scenarios cut a registry save instead: after the restart the copy
// saved before or the new one is in force, never neither, and the save again puts the new one
// in force. Prints how many cuts it made, how many the module survived, and where each cut it
// did not survive fell.

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
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "ce/ce.h"
#include "flash/flash_ops.h"
#include "host/bin_image.h"
#include "host/hardware/flash_activity.h"
#include "host/hardware/power.h"
#include "host/hardware/virtual_clock.h"
#include "host/module/flash_file.h"
#include "host/module/module.h"
#include "host/module/nand_logical.h"
#include "host/oal/registry_flash.h"
#include "host/system/text.h"
#include "host/tool_support.h"
#include "host/ui/script_backend.h"
#include "module_copy.h"
#include "resources/resources.h"
#include "shell/program_state.h"
#include "update/update_dialog.h"

namespace fs = std::filesystem;

namespace {

using campaign::ModuleCopy;

struct Scenario {
  const char* name;
  const char* what;
  host::CreateOptions options;
  std::string faults;
  std::uint32_t place;  // flash offset of the image
  std::uint32_t bytes;
  bool registry = false;  // a registry save, not an update
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
  // The factory's content: item 5's registry area, one copy saved in its first half.
  host::CreateOptions nor_factory;
  nor_factory.cfi_size = 0x15;
  nor_factory.samples = false;
  list.push_back({"registry-nor",
                  "a registry save into the second half of the registry area of a 4 MB NOR "
                  "module, a copy in the first",
                  nor_factory, "", 0, 0, true});
  host::CreateOptions nand_factory;
  nand_factory.flash = host::FlashKind::kNand;
  nand_factory.nand_chip = 0xF1EC;
  nand_factory.part_number = 8;
  nand_factory.samples = false;
  list.push_back({"registry-nand",
                  "a registry save into the second half of the registry area of a 1024-block "
                  "NAND module, a copy in the first",
                  nand_factory, "", 0, 0, true});
  return list;
}

// The registry value that tells the copies apart: what the module saved before the cut, and
// what the save that is cut writes.
constexpr DWORD kSavedBefore = 1, kSavedNow = 2;

// The live registry of the open module as a start makes it, with Gen\N set to `generation`.
void SetLiveGeneration(host::Module& module, DWORD generation) {
  host::StartLiveRegistryFromFlash(module.dir(), module.config(),
                                   host::FlashFile(module.dir(), module.config()));
  const fs::path live = host::LiveRegistryFile(module.dir());
  host::RegistryTree tree = host::LoadRegistryFile(live);
  tree.SetValue(u"Gen", {u"N", REG_DWORD, generation, {}});
  host::WriteRegistryFile(live, tree);
}

// Gen\N of the registry a start of the module finds in force, or -1.
long GenerationInForce(host::Module& module) {
  host::StartLiveRegistryFromFlash(module.dir(), module.config(),
                                   host::FlashFile(module.dir(), module.config()));
  const host::RegistryTree live = host::LoadRegistryFile(host::LiveRegistryFile(module.dir()));
  const host::RegistryValue* value = live.FindValue(u"Gen", u"N");
  return value ? static_cast<long>(value->number) : -1;
}

// A save of the live registry with Gen\N = kSavedNow; the error, or "" on success.
std::string RunSave(host::Module& module) {
  SetLiveGeneration(module, kSavedNow);
  LONG result = RegFlushKey(HKEY_LOCAL_MACHINE);
  return result == ERROR_SUCCESS ? ""
                                 : "the registry save failed with error " + std::to_string(result);
}

// Byte `i` of the image the scenario writes.
std::uint8_t ImageByte(std::size_t i) {
  return static_cast<std::uint8_t>((i * 11 + (i >> 11) * 7) ^ 0xA5);
}

std::vector<std::uint8_t> ImageBytes(const Scenario& s) {
  std::vector<std::uint8_t> data(s.bytes);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = ImageByte(i);
  return data;
}

// What the flash must hold at offsets s.place + at to s.place + at + count after a good update
// (the last page of the NAND boot area is never written). Made where it is compared: a run
// forked for a cut pays for every page of its parent's memory it first reads, a copy of the
// image included.
void Expected(const Scenario& s, std::uint32_t at, std::uint32_t count, std::uint8_t* out) {
  for (std::uint32_t i = 0; i < count; ++i) out[i] = ImageByte(at + i);
  if (s.options.flash != host::FlashKind::kNand) return;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint64_t flash = std::uint64_t{s.place} + at + i;
    if (flash >= 0x3F800 && flash < 0x40000) out[i] = 0xFF;
  }
}

template <typename Body>
int InChild(Body body);

void MakeTemplate(const Scenario& s, const fs::path& dir) {
  host::CreateModule(dir, s.options);
  std::ofstream(dir / "faults.toml") << s.faults;
  if (s.registry) {
    // The copy saved before, in the first half; then the module restarts (ram/ cleared).
    int status = InChild([&] {
      auto module = host::Module::Open(dir);
      SetLiveGeneration(*module, kSavedBefore);
      return RegFlushKey(HKEY_LOCAL_MACHINE) == ERROR_SUCCESS ? 0 : 1;
    });
    if (status != 0) throw std::runtime_error("the template's first registry save failed");
    fs::remove_all(dir / "ram");
    fs::create_directory(dir / "ram");
    return;
  }
  host::BinWriter writer(s.place);
  writer.Add(s.place, ImageBytes(s), 0x4000);
  std::vector<std::uint8_t> bin = writer.Build();
  std::ofstream(dir / "fs" / "image.bin", std::ios::binary)
      .write(reinterpret_cast<const char*>(bin.data()), static_cast<std::streamsize>(bin.size()));
}

// Runs one quiet update of \image.bin on the open module; the error text, or "" on success.
std::string RunUpdate() { return host::RunQuietUpdate(u"\\image.bin"); }

// The scenario's job on the open module: the error, or "" on success.
std::string RunJob(const Scenario& s, host::Module& module) {
  return s.registry ? RunSave(module) : RunUpdate();
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

// One line of text, for the lanes' result files: tabs and line ends become blanks.
std::string OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\t' || c == '\n' || c == '\r') c = ' ';
  }
  return text;
}

// Cuts the power during operation `cut` of the update on the module in `dir` (put back to its
// template first), restarts it, runs the update again and checks the image. The outcome when
// the module did not survive.
std::optional<Outcome> CutOnce(const Scenario& s, ModuleCopy& copy, const fs::path& dir,
                               const host::ModuleConfig& config, const fs::path& error_file,
                               std::uint64_t cut, int landed) {
  copy.Restore();
  int first = InChild([&] {
    auto module = host::Module::Open(dir, config);
    module->power().ArmCut(cut, landed);
    RunJob(s, *module);
    return 0;  // not reached when the power fails
  });
  if (first != host::kPowerCutStatus) {
    return Outcome{cut, landed, -1, "no cut", "the update ended before the cut"};
  }
  std::string where = LastPowerCut(dir);
  // The module restarts (the cut cleared ram/) and the same update runs again.
  int second = InChild([&] {
    auto module = host::Module::Open(dir, config);
    if (s.registry) {
      // The start after the cut: the copy before or the new one, never neither.
      const long in_force = GenerationInForce(*module);
      if (in_force != kSavedBefore && in_force != kSavedNow) {
        std::ofstream(error_file) << "neither copy is in force (Gen " << in_force << ")";
        return kBytesDiffer;
      }
      fs::remove(host::LiveRegistryFile(module->dir()));
    }
    std::string error = RunJob(s, *module);
    if (!error.empty()) {
      std::ofstream(error_file) << error;
      return SelectFlashDriver() ? kUpdateFailed : kNoDriver;
    }
    if (s.registry) {
      fs::remove(host::LiveRegistryFile(module->dir()));
      if (GenerationInForce(*module) == kSavedNow) return kSurvived;
      std::ofstream(error_file) << "the saved copy is not in force at the next start";
      return kBytesDiffer;
    }
    // A NAND module is read straight from nand.img through its table page, as the next
    // start of the module finds it; a NOR module through the driver. Through the module's own
    // mapping, whose pages the update has touched already.
    std::optional<host::NandLogicalView> nand;
    if (s.options.flash == host::FlashKind::kNand) {
      nand.emplace(module->image(),
                   static_cast<std::uint32_t>(
                       module->image_size() /
                       (std::uint64_t{host::kNandRawPageBytes} * host::kNandPagesPerBlock)));
    }
    std::uint8_t flash[0x800];
    std::uint8_t want[0x800];
    for (std::uint32_t at = 0; at < s.bytes; at += 0x800) {
      std::uint32_t n = std::min<std::uint32_t>(0x800, s.bytes - at);
      std::uint32_t offset = s.place + at;
      const bool read = nand ? nand->Read(offset, flash, n) : FlashOps.ReadBuffer(flash, offset, n);
      if (!read) {
        std::ofstream(error_file) << "a read of " << offset << " failed";
        return kBytesDiffer;
      }
      Expected(s, at, n, want);
      if (std::memcmp(flash, want, n) != 0) {
        std::uint32_t wrong = 0;
        while (flash[wrong] == want[wrong]) ++wrong;
        std::ofstream(error_file) << "the first wrong byte is at flash offset 0x" << std::hex
                                  << offset + wrong;
        return kBytesDiffer;
      }
    }
    return kSurvived;
  });
  if (second == kSurvived) return std::nullopt;
  std::ifstream in(error_file);
  std::stringstream text;
  text << in.rdbuf();
  std::string detail = second == kNoDriver ? "the flash driver no longer starts: " + text.str()
                       : second == kUpdateFailed ? "the next update fails: " + text.str()
                       : second == kBytesDiffer
                           ? "the next update reports success but " + text.str()
                           : "the next update crashed (" + std::to_string(second) + ")";
  return Outcome{cut, landed, second, where, detail};
}

int RunScenario(const Scenario& s, int cuts, int jobs, const fs::path& work, bool keep,
                bool check) {
  std::printf("%s: %s\n", s.name, s.what);
  std::fflush(stdout);
  fs::path base = work / s.name / "template";
  fs::create_directories(base.parent_path());
  MakeTemplate(s, base);
  const char* image_name = s.options.flash == host::FlashKind::kNand ? "nand.img" : "nor.img";

  // An uncut update: how many flash operations it makes, and that it works at all.
  fs::path count_file = work / s.name / "count.txt";
  std::uint64_t total = 0;
  int status = 0;
  {
    fs::path dir = work / s.name / "probe";
    ModuleCopy copy(base, dir, image_name);
    status = InChild([&] {
      auto module = host::Module::Open(dir);
      std::uint64_t before = module->power().Operations();
      std::string error = RunJob(s, *module);
      std::ofstream(count_file) << module->power().Operations() - before << "\n" << error;
      return error.empty() ? 0 : 1;
    });
    fs::remove_all(dir);
    std::ifstream counts(count_file);
    counts >> total;
  }
  if (status != 0 || total == 0) {
    std::printf("  the uncut update fails: %s\n", status == 0 ? "no flash operations" : "error");
    return 2;
  }
  std::printf("  %llu flash operations in an uncut update\n",
              static_cast<unsigned long long>(total));
  std::fflush(stdout);

  // Every operation with each part of it landed over the first ones (the boot area and the
  // table page), then spread over the rest of the update.
  struct Cut {
    std::uint64_t operation;
    int landed;
  };
  std::vector<Cut> plan;
  for (int i = 0; i < cuts; ++i) {
    const int dense = cuts / 2;
    std::uint64_t cut = i < dense ? static_cast<std::uint64_t>(i / 4)
                                  : total * static_cast<std::uint64_t>(i) / cuts;
    if (cut >= total) break;
    plan.push_back({cut, i % 4});
  }
  const auto started = std::chrono::steady_clock::now();

  // The cuts run in `jobs` lanes at once, each a process with a module of its own; each lane
  // writes one line a cut it made: its index, 0 (survived), 1 (not) or 2 (the module was not
  // put back exactly), and for 1 the outcome's fields.
  std::vector<pid_t> lanes;
  for (int lane = 0; lane < jobs; ++lane) {
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) return 2;
    if (pid > 0) {
      lanes.push_back(pid);
      continue;
    }
    int result = 0;
    try {
      const fs::path lane_dir = work / s.name / ("lane-" + std::to_string(lane));
      fs::create_directories(lane_dir);
      ModuleCopy copy(base, lane_dir / "run", image_name);
      // Read once: the runs change neither module.toml nor faults.toml, and a forked run
      // would pay for reading them with most of a millisecond.
      const host::ModuleConfig config = host::LoadModuleConfig(lane_dir / "run");
      std::ofstream results(lane_dir / "results.txt");
      for (std::size_t i = static_cast<std::size_t>(lane); i < plan.size(); i += jobs) {
        std::optional<Outcome> lost =
            CutOnce(s, copy, lane_dir / "run", config, lane_dir / "error.txt", plan[i].operation,
                    plan[i].landed);
        if (check) {
          copy.Restore();
          if (!copy.SameAsTemplate()) {
            results << i << "\t2\n";
            continue;
          }
        }
        results << i << "\t" << (lost ? 1 : 0);
        if (lost) {
          results << "\t" << lost->status << "\t" << OneLine(lost->where) << "\t"
                  << OneLine(lost->detail);
        }
        results << "\n";
      }
    } catch (const std::exception& e) {
      std::fprintf(stderr, "imbrel-power-cut: %s\n", e.what());
      result = 2;
    }
    std::fflush(nullptr);
    std::_Exit(result);
  }
  bool lanes_failed = false;
  for (pid_t pid : lanes) {
    int lane_status = 0;
    waitpid(pid, &lane_status, 0);
    lanes_failed |= !WIFEXITED(lane_status) || WEXITSTATUS(lane_status) != 0;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  std::vector<std::optional<Outcome>> outcomes(plan.size());
  std::vector<bool> made(plan.size(), false);
  int restore_faults = 0;
  for (int lane = 0; lane < jobs; ++lane) {
    std::ifstream results(work / s.name / ("lane-" + std::to_string(lane)) / "results.txt");
    for (std::string line; std::getline(results, line);) {
      std::vector<std::string> fields;
      std::stringstream split(line);
      for (std::string field; std::getline(split, field, '\t');) fields.push_back(field);
      if (fields.size() < 2) continue;
      std::size_t i = std::stoul(fields[0]);
      if (i >= plan.size()) continue;
      made[i] = true;
      if (fields[1] == "2") ++restore_faults;
      if (fields[1] == "1" && fields.size() == 5) {
        outcomes[i] =
            Outcome{plan[i].operation, plan[i].landed, std::stoi(fields[2]), fields[3], fields[4]};
      }
    }
  }
  if (!keep) fs::remove_all(work / s.name);

  const int count = static_cast<int>(std::count(made.begin(), made.end(), true));
  const int lost = static_cast<int>(
      std::count_if(outcomes.begin(), outcomes.end(), [](const auto& o) { return o.has_value(); }));
  std::printf("  %d cuts made, %d survived; %.2f s, %.0f cuts a second (%d at once)\n", count,
              count - lost, seconds, count / seconds, jobs);
  if (lanes_failed || count != static_cast<int>(plan.size())) {
    std::printf("  %zu cuts were planned; a lane could not make them all\n", plan.size());
    return 2;
  }
  if (restore_faults) {
    std::printf("  the module was not put back exactly after %d cuts\n", restore_faults);
    return 2;
  }
  for (const std::optional<Outcome>& o : outcomes) {
    if (!o) continue;
    std::printf("  not survived: cut during operation %llu of %llu (%s, %d/4 landed): %s\n",
                static_cast<unsigned long long>(o->cut + 1), static_cast<unsigned long long>(total),
                o->where.c_str(), o->landed, o->detail.c_str());
  }
  return lost ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Every run is a fork of this process: with every library symbol bound before the first
  // fork (the dynamic linker's LD_BIND_NOW), no run binds them again as it first calls them.
  if (!std::getenv("LD_BIND_NOW")) {
    setenv("LD_BIND_NOW", "1", 1);
    execv("/proc/self/exe", argv);  // on failure, carry on unbound
  }
  CLI::App app{
      "imbrel-power-cut: power cuts over whole updates, each followed by a restart and "
      "the same update again; every byte of the image is checked"};
  int cuts = 100;
  std::vector<std::string> names;
  std::string work;
  bool keep = false;
  bool check = false;
  int jobs = static_cast<int>(std::max(1L, sysconf(_SC_NPROCESSORS_ONLN)));
  app.add_option("SCENARIO", names,
                 "nor, nand, nand-boot, registry-nor, registry-nand (default: all)");
  app.add_option("--cuts", cuts, "cuts per scenario (default 100)")->check(CLI::Range(1, 100000));
  app.add_option("--work", work,
                 "directory for the modules (default: a new one in $TMPDIR or /tmp)");
  app.add_option("--jobs", jobs,
                 "cuts made at once, each on a module of its own (default: the "
                 "processors)")
      ->check(CLI::Range(1, 64));
  app.add_flag("--keep", keep, "keep the modules afterwards");
  app.add_flag("--check-restore", check,
               "after each cut, check that the module is put back to every byte of its "
               "template (slower: reads the whole module)");
  app.footer("Exit status: 0 every cut survived, 1 some were not, 2 a scenario could not run.");
  CLI11_PARSE(app, argc, argv);

  fs::path dir = work;
  if (work.empty()) {
    std::string pattern = (fs::temp_directory_path() / "imbrel-power-cut-XXXXXX").string();
    if (!mkdtemp(pattern.data())) return 2;
    dir = pattern;
  }
  int result = 0;
  for (const Scenario& s : Scenarios()) {
    if (!names.empty() && std::find(names.begin(), names.end(), s.name) == names.end()) continue;
    result = std::max(result, RunScenario(s, cuts, jobs, dir, keep, check));
  }
  if (work.empty() && !keep) fs::remove_all(dir);
  return result;
}

#include "host/module/module_boot.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <toml++/toml.h>

#include <cerrno>
#include <cstring>

#include <cstdio>
#include <fstream>

#include "host/module/flash_file.h"
#include "host/module/module.h"
#include "host/module/module_content.h"
#include "host/module/module_files.h"
#include "host/oal/registry_flash.h"
#include "host/system/calendar.h"
#include "shell/version_report.h"

namespace fs = std::filesystem;

namespace host {

namespace {

constexpr std::uint32_t kDefaultOsPlace = 0x80000;
constexpr std::uint32_t kBootloaderPlaces[] = {0, 0x8000};

fs::path BootStateFile(const fs::path& dir) { return dir / "ram" / "boot.toml"; }

void* Context(const FlashFile& flash) { return const_cast<FlashFile*>(&flash); }

}  // namespace

std::optional<FoundBootImage> FindBootImage(const FlashFile& flash, std::uint32_t place,
                                            std::string* problem) {
  const std::uint64_t end = flash.size();
  DWORD head[3];
  if (FlashFile::ReadFn(Context(flash), head, place + RomSignatureOffset, sizeof head) &&
      head[0] == RomSignature &&
      std::uint64_t{place} + head[2] + RomHeaderBytes + ModuleEntryBytes > end) {
    *problem = "the boot image at " + Hex(place) + " has its ROM header at " +
               Hex(std::uint64_t{place} + head[2]) + ", outside the flash";
    return std::nullopt;
  }
  FoundBootImage image;
  image.place = place;
  image.size = ImageSizeWith(FlashFile::ReadFn, Context(flash), place);
  if (image.size == 0) {
    *problem = "no boot image at " + Hex(place);
    return std::nullopt;
  }
  if (std::uint64_t{place} + image.size > end) {
    *problem = "the boot image at " + Hex(place) + " says it is " + Hex(image.size) +
               " bytes, past the flash's end at " + Hex(end);
    return std::nullopt;
  }
  BYTE rom[RomHeaderBytes];
  DWORD rom_offset = 0;
  if (ReadRomHeaderWith(FlashFile::ReadFn, Context(flash), place, rom, &rom_offset)) {
    image.rom_offset = rom_offset;
    FILETIME built;
    if (ReadImageBuildTime(FlashFile::ReadFn, Context(flash), rom_offset, &built)) {
      image.built = built.dwLowDateTime | (std::uint64_t{built.dwHighDateTime} << 32);
    }
  }
  VersionInfo info = {};
  if (FindVersionRecordWith(FlashFile::ReadFn, Context(flash), place, image.size, &info)) {
    image.version = {info.Id, static_cast<std::uint32_t>(info.Major), info.MinorBuild};
  }
  return image;
}

namespace {

std::string VersionWords(const std::array<std::uint32_t, 3>& v) {
  std::string text = "version " + std::to_string(static_cast<std::int32_t>(v[1])) + "." +
                     std::to_string(v[2] & 0xFFFF);
  if (v[2] >> 16) text += "-beta" + std::to_string(v[2] >> 16);
  return text + (v[0] == 1 ? "" : " (id " + std::to_string(v[0]) + ")");
}

// An exclusive lock on a file for as long as it lives (released too if the process dies).
class StartLock {
 public:
  explicit StartLock(const fs::path& file)
      : fd_(open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
    if (fd_ < 0) Fail(file, std::string("cannot open: ") + std::strerror(errno));
    while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~StartLock() { close(fd_); }
  StartLock(const StartLock&) = delete;
  StartLock& operator=(const StartLock&) = delete;

 private:
  int fd_;
};

void WriteBootState(const fs::path& dir, const FoundBootImage& image) {
  std::string text =
      "# What this boot of the module runs, written at its start. A warm restart keeps it; a\n"
      "# cold restart or a power cut loses it, and the next run starts the module again.\n";
  text += "place = " + Hex(image.place, 8) + "\nsize = " + Hex(image.size, 8) + "\n";
  if (image.rom_offset) text += "rom_offset = " + Hex(*image.rom_offset, 8) + "\n";
  if (image.version) {
    text += "version = [" + Hex((*image.version)[0], 8) + ", " + Hex((*image.version)[1], 8) +
            ", " + Hex((*image.version)[2], 8) + "]\n";
  }
  if (image.built) text += "built = " + std::to_string(*image.built) + "\n";
  WriteFileWhole(BootStateFile(dir), text);
}

}  // namespace

std::uint32_t OsImagePlace(const ModuleConfig& config) {
  return config.platform.item5 ? (*config.platform.item5)[0] : kDefaultOsPlace;
}

BootVerdict ExamineBoot(const FlashFile& flash, const ModuleConfig& config) {
  BootVerdict verdict;
  if (!flash.ok()) {
    verdict.problem = "the flash image cannot be read";
    return verdict;
  }
  std::string first_problem;
  for (std::uint32_t place : kBootloaderPlaces) {
    std::string problem;
    verdict.bootloader = FindBootImage(flash, place, &problem);
    if (verdict.bootloader) break;
    if (first_problem.empty()) first_problem = problem;
  }
  if (!verdict.bootloader) {
    verdict.problem =
        (first_problem.starts_with("no boot image") ? std::string("no boot image at 0x0 or 0x8000")
                                                    : first_problem) +
        ", where the bootloader belongs; nothing runs";
    return verdict;
  }
  const std::uint32_t place = OsImagePlace(config);
  std::string problem;
  verdict.os = FindBootImage(flash, place, &problem);
  if (!verdict.os) {
    verdict.problem = problem +
                      (config.platform.item5 ? ", where item 5 places the OS image"
                                             : ", where the OS image belongs (no item 5)") +
                      "; the bootloader stays in its menu";
  }
  return verdict;
}

std::optional<FoundBootImage> RunningImage(const fs::path& dir) {
  fs::path file = BootStateFile(dir);
  std::error_code ec;
  if (!fs::exists(file, ec)) return std::nullopt;
  toml::table state;
  try {
    state = toml::parse_file(file.string());
  } catch (const toml::parse_error& e) {
    Fail(file, std::string("cannot be read: ") + std::string(e.description()));
  }
  FoundBootImage image;
  image.place = static_cast<std::uint32_t>(state["place"].value_or(std::int64_t{0}));
  image.size = static_cast<std::uint32_t>(state["size"].value_or(std::int64_t{0}));
  if (auto rom = state["rom_offset"].value<std::int64_t>()) {
    image.rom_offset = static_cast<std::uint32_t>(*rom);
  }
  if (const toml::array* v = state["version"].as_array(); v && v->size() == 3) {
    image.version = {static_cast<std::uint32_t>((*v)[0].value_or(std::int64_t{0})),
                     static_cast<std::uint32_t>((*v)[1].value_or(std::int64_t{0})),
                     static_cast<std::uint32_t>((*v)[2].value_or(std::int64_t{0}))};
  }
  if (auto built = state["built"].value<std::int64_t>()) {
    image.built = static_cast<std::uint64_t>(*built);
  }
  return image;
}

std::string DescribeBootImage(const FoundBootImage& image, const ModuleConfig& config) {
  std::string text = "the OS image at " + Hex(image.place) + " (" + Hex(image.size) + " bytes, ";
  if (image.version) {
    text += VersionWords(*image.version) + " from its version record";
  } else if (config.platform.image_version) {
    text += VersionWords(*config.platform.image_version) + " from module.toml: it has no record";
  } else {
    text += "no version record";
  }
  text += image.built ? ", built " + FormatTicks(*image.built) + ")" : ", no build time)";
  return text;
}

std::optional<std::string> StartModule(Module& module) {
  const fs::path& dir = module.dir();
  const ModuleConfig& config = module.config();
  // One process starts the module; another that runs meanwhile finds it started.
  StartLock lock(dir / "ram" / "start.lock");
  FlashFile flash(dir, config);
  std::optional<FoundBootImage> running = RunningImage(dir);
  if (!running) {
    BootVerdict verdict = ExamineBoot(flash, config);
    if (!verdict.Starts()) return verdict.problem;
    running = verdict.os;
    // "\windows\default.fdf" is a file of the running image: it carries the image's build time.
    // A file system that cannot take it (fs/ broken) does not keep the module from starting:
    // the report then shows what the file system holds.
    if (running->built) {
      try {
        SetDefaultFdfTime(dir, *running->built);
      } catch (const ModuleError&) {
      }
    }
  }
  StartLiveRegistryFromFlash(dir, config, flash);
  // Written last: a start cut short by anything above starts again at the next run.
  if (!fs::exists(BootStateFile(dir))) WriteBootState(dir, *running);
  SetRunningImageVersion(running->version);
  return std::nullopt;
}

}  // namespace host

// What the fuzz targets share: a scratch directory that lives as long as the process, a
// virtual module made once and opened, and the platform layer answering like a real module
// without ever ending the process.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ce/types.h"
#include "host/hardware/flash_activity.h"
#include "host/hardware/model_notes.h"
#include "host/hardware/virtual_clock.h"
#include "host/module/module.h"
#include "host/oal/platform_layer.h"
#include "host/system/kernel_objects.h"
#include "host/module/flash_file.h"
#include "host/oal/registry_flash.h"
#include "host/system/registry.h"
#include "host/ui/script_backend.h"
#include "platform/platform_codes.h"

namespace fuzz {

/// A fresh directory for the process's files, removed (with its contents) when the process ends
/// normally; a crashing run leaves it for a look. In memory (/dev/shm) when the machine has it:
/// the targets write and read files for every input.
class ScratchDir {
 public:
  ScratchDir() {
    std::error_code ec;
    std::filesystem::path base = "/dev/shm";
    if (!std::filesystem::is_directory(base, ec) || access(base.c_str(), W_OK | X_OK) != 0) {
      base = std::filesystem::temp_directory_path();
    }
    std::string pattern = (base / "imbrel-fuzz-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
      std::perror("imbrel fuzz: mkdtemp");
      std::abort();
    }
    path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline void WriteBytes(const std::filesystem::path& path, const std::uint8_t* data,
                       std::size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  if (!out) {
    std::fprintf(stderr, "imbrel fuzz: cannot write %s\n", path.c_str());
    std::abort();
  }
}

/// A file that each input rewrites whole, kept open between inputs.
class InputFile {
 public:
  explicit InputFile(const std::filesystem::path& path) : path_(path) {
    fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0) Fail();
  }
  ~InputFile() { close(fd_); }
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  void Write(const std::uint8_t* data, std::size_t size) {
    if (ftruncate(fd_, static_cast<off_t>(size)) != 0) Fail();
    for (std::size_t done = 0; done < size;) {
      ssize_t n = pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
      if (n <= 0) Fail();
      done += static_cast<std::size_t>(n);
    }
  }

 private:
  [[noreturn]] void Fail() {
    std::fprintf(stderr, "imbrel fuzz: cannot write %s: %s\n", path_.c_str(), std::strerror(errno));
    std::abort();
  }
  std::filesystem::path path_;
  int fd_ = -1;
};

/// Word 0 of configuration item 5 that the fuzzed modules answer: kernel-address images land
/// a quarter into the smallest flash, so that their records reach the flash at all.
inline constexpr DWORD kFuzzImageBase = 0x20000;

/// A NOR module of the smallest size the model accepts (2 x 256 KB), blank, opened as this
/// process's module, whose flash can be put back to erased between runs.
class FuzzModule {
 public:
  explicit FuzzModule(const std::filesystem::path& dir) : dir_(dir) {
    host::CreateOptions options = host::CreateOptions::Blank();
    options.cfi_size = 0x12;
    host::CreateModule(dir_, options);
    host::ClockReset();
    module_ = host::Module::Open(dir_);
    // The registry's part of a start (a blank module boots nothing): the live registry.
    host::StartLiveRegistryFromFlash(dir_, module_->config(),
                                     host::FlashFile(dir_, module_->config()));
    // A second shared mapping of the same file: writes through it are what the module sees.
    size_ = std::uint64_t{2} << module_->config().nor.cfi_size;
    FILE* file = std::fopen((dir_ / "nor.img").c_str(), "r+b");
    if (!file) std::abort();
    void* p = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED, fileno(file), 0);
    std::fclose(file);
    if (p == MAP_FAILED) std::abort();
    flash_ = static_cast<std::uint8_t*>(p);
    AnswerPlatformCodes();
    // A command the chips do not know is a driver fault, whatever the input.
    host::SetUnknownCommandHook([](const std::string& text) {
      std::fprintf(stderr, "imbrel fuzz finding: a chip was sent %s\n", text.c_str());
      std::abort();
    });
    ram_ = dir_ / "ram";
    kept_.Keep(host::KeptRegistryFile(dir_));
    live_.Keep(host::LiveRegistryFile(dir_));
  }
  ~FuzzModule() { munmap(flash_, size_); }
  FuzzModule(const FuzzModule&) = delete;
  FuzzModule& operator=(const FuzzModule&) = delete;

  const std::filesystem::path& dir() const { return dir_; }
  std::uint64_t size() const { return size_; }
  const std::uint8_t* flash() const { return flash_; }
  /// Restarts the program asked for since the last Reset.
  int restarts() const {
    int count = 0;
    for (const host::KernelIoCall& call : host::KernelIoCalls()) {
      if (call.code == host::kIoctlReboot) ++count;
    }
    return count;
  }

  /// Back to the state after opening: flash erased, clock at 0, call log empty, the kept and
  /// live registries as they were, nothing else in ram/. A named mutex's lock file stays: it
  /// holds no state (its lock is released with the mutex), and it would only be made again.
  void Reset() {
    // Only what was programmed since the last reset holds anything but ones: an erase leaves
    // ones, and the blank module started all ones.
    if (!reset_before_) {
      std::memset(flash_, 0xFF, size_);
      reset_before_ = true;
    } else {
      for (const auto& [start, end] : host::FlashActivityOfRun().programmed.spans) {
        if (start < size_) std::memset(flash_ + start, 0xFF, std::min(end, size_) - start);
      }
    }
    host::ForgetFlashActivity();
    host::ClockReset();
    host::ClearKernelIoCalls();
    if (DIR* ram = opendir(ram_.c_str())) {
      while (const dirent* entry = readdir(ram)) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == ".." || name == live_.path.filename().native() ||
            (name.starts_with("mutex-") && name.ends_with(".lock"))) {
          continue;
        }
        std::error_code ec;
        std::filesystem::remove_all(ram_ / name, ec);
      }
      closedir(ram);
    }
    kept_.Restore();
    live_.Restore();
  }

 private:
  // Configuration items 0 and 5 answered, item writes taken, restarts refused.
  void AnswerPlatformCodes() {
    host::SetControlCodeHandler(
        kIoctlConfigGet,
        [](LPVOID in, DWORD in_size, LPVOID out, DWORD size, LPDWORD returned) -> BOOL {
          if (!in || in_size < sizeof(ConfigRequest) || !out) return FALSE;
          ConfigRequest request;
          std::memcpy(&request, in, sizeof request);
          if (request.item == 0 && size >= 8) {
            std::memcpy(out, "\x01\0\0\0\0\0\0\0", 8);
            if (returned) *returned = 8;
            return TRUE;
          }
          if (request.item == 5 && size >= 24) {
            DWORD words[6] = {kFuzzImageBase, 0x30000, 0x1000, 0, 0, 0};
            std::memcpy(out, words, sizeof words);
            if (returned) *returned = 24;
            return TRUE;
          }
          return FALSE;
        });
    host::SetControlCodeHandler(kIoctlConfigSet,
                                [](LPVOID, DWORD, LPVOID, DWORD, LPDWORD) -> BOOL { return TRUE; });
    // The platform refuses every restart (the restart code would end the process); the calls
    // stay in the log.
    host::FailKernelIoControl(host::kIoctlReboot, -1);
  }

  // A file's text as it was, written back when the file has changed. Every writer of the
  // registry files replaces them (a new file renamed over the old), so a changed file has
  // another inode.
  struct KeptFile {
    std::filesystem::path path;
    std::string text;
    struct stat st {};

    void Keep(const std::filesystem::path& file) {
      path = file;
      std::ifstream in(path, std::ios::binary);
      text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
      if (!in.good() && !in.eof()) std::abort();
      if (stat(path.c_str(), &st) != 0) std::abort();
    }
    void Restore() {
      struct stat now {};
      if (stat(path.c_str(), &now) == 0 && now.st_ino == st.st_ino && now.st_size == st.st_size &&
          now.st_mtim.tv_sec == st.st_mtim.tv_sec && now.st_mtim.tv_nsec == st.st_mtim.tv_nsec) {
        return;
      }
      WriteBytes(path, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
      if (stat(path.c_str(), &st) != 0) std::abort();
    }
  };

  std::filesystem::path dir_;
  std::filesystem::path ram_;
  KeptFile kept_;
  KeptFile live_;
  std::unique_ptr<host::Module> module_;
  std::uint64_t size_ = 0;
  std::uint8_t* flash_ = nullptr;
  bool reset_before_ = false;
};

/// Stops the process with a message libFuzzer reports as a crash, with the input saved.
[[noreturn]] inline void Finding(const char* what) {
  std::fprintf(stderr, "imbrel fuzz finding: %s\n", what);
  std::abort();
}

/// After an input's checks: puts the module back and lets go of what the window system and the
/// platform layer recorded for the input, so that an input frees what it allocated. libFuzzer
/// runs an input again, and scans the whole heap for leaks, when it allocates more than it
/// frees: notes an input leaves for the next one to free (ranges of flash programmed, say) would
/// cost that whenever an input makes more of them than the one before.
inline void EndInput(FuzzModule& module) {
  // A worker shows its end before it lets go of what it held: wait for that too.
  if (!host::WaitForPooledThreads(std::chrono::seconds(5))) {
    Finding("a thread the input started still runs 5 s after the input ended");
  }
  module.Reset();
  host::ui::UseScriptBackend();
}

}  // namespace fuzz

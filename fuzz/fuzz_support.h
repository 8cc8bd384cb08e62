// What the fuzz targets share: a scratch directory that lives as long as the process, a
// virtual module made once and opened, and the platform layer answering like a real module
// without ever ending the process.
#pragma once

#include <sys/mman.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "ce/types.h"
#include "host/module/module.h"
#include "host/module/platform_layer.h"
#include "host/module/virtual_clock.h"
#include "platform/platform_codes.h"

namespace fuzz {

/// A fresh directory under the system's temporary directory, removed (with its contents) when
/// the process ends normally. A crashing run leaves it for a look.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "imbrel-fuzz-XXXXXX").string();
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
    // A second shared mapping of the same file: writes through it are what the module sees.
    size_ = std::uint64_t{2} << module_->config().nor.cfi_size;
    FILE* file = std::fopen((dir_ / "nor.img").c_str(), "r+b");
    if (!file) std::abort();
    void* p = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED, fileno(file), 0);
    std::fclose(file);
    if (p == MAP_FAILED) std::abort();
    flash_ = static_cast<std::uint8_t*>(p);
    AnswerPlatformCodes();
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

  /// Back to the state after opening: flash erased, clock at 0, call log empty, ram/ empty.
  void Reset() {
    std::memset(flash_, 0xFF, size_);
    host::ClockReset();
    host::ClearKernelIoCalls();
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir_ / "ram", ec)) {
      std::filesystem::remove_all(entry.path(), ec);
    }
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

  std::filesystem::path dir_;
  std::unique_ptr<host::Module> module_;
  std::uint64_t size_ = 0;
  std::uint8_t* flash_ = nullptr;
};

/// Stops the process with a message libFuzzer reports as a crash, with the input saved.
[[noreturn]] inline void Finding(const char* what) {
  std::fprintf(stderr, "imbrel fuzz finding: %s\n", what);
  std::abort();
}

}  // namespace fuzz

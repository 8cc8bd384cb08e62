// A whole virtual module in a temporary directory, opened as this process's module.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "host/hardware/virtual_clock.h"
#include "host/module/module.h"
#include "host/oal/platform_layer.h"
#include "test_support.h"

namespace test {

struct ModuleSetup {
  std::uint16_t device = 0x8922;
  std::uint8_t cfi_size = 0x12;  // 2 x 256 KB: four 64 KB blocks and one of 256 KB
  std::string faults;            // faults.toml text
  std::string extra_nor;         // more lines for module.toml's [nor]
  host::NorTimeMode times = host::NorTimeMode::kVaried;
};

/// Makes the module described by `setup` in `dir` and opens it.
inline std::unique_ptr<host::Module> OpenNewModule(const std::filesystem::path& dir,
                                                   const ModuleSetup& setup) {
  // An erased flash and nothing else: tests put in what they look at.
  host::CreateOptions options = host::CreateOptions::Blank();
  options.nor_device = setup.device;
  options.cfi_size = setup.cfi_size;
  options.times = setup.times;
  host::CreateModule(dir, options);
  if (!setup.faults.empty()) std::ofstream(dir / "faults.toml") << setup.faults;
  if (!setup.extra_nor.empty()) {
    // Each "key = value" line replaces the key's line in [nor], or joins the table.
    std::ifstream in(dir / "module.toml");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream lines(setup.extra_nor);
    for (std::string line; std::getline(lines, line);) {
      std::string key = line.substr(0, line.find(' '));
      std::size_t at = text.find("\n" + key + " ");
      if (at != std::string::npos) {
        std::size_t end = text.find('\n', at + 1);
        text.replace(at + 1, end - at - 1, line);
      } else {
        text.insert(text.find("[nor]\n") + 6, line + "\n");
      }
    }
    std::ofstream(dir / "module.toml") << text;
  }
  host::ClockReset();
  host::ClearKernelIoCalls();
  return host::Module::Open(dir);
}

class ModuleTest : public ::testing::Test {
 protected:
  void Open(const ModuleSetup& setup = {}) { module_ = OpenNewModule(dir_ / "module", setup); }
  host::Module& module() { return *module_; }

  TempDir dir_;
  std::unique_ptr<host::Module> module_;
};

}  // namespace test

namespace test {

/// Bytes of the module's flash image file, as any tool would read them.
inline std::vector<std::uint8_t> ReadImage(const std::filesystem::path& module_dir,
                                           std::uint64_t offset, std::size_t count) {
  std::ifstream in(module_dir / "nor.img", std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset));
  std::vector<std::uint8_t> bytes(count);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(count));
  return bytes;
}

/// Puts bytes straight into the flash image file (what an earlier program left there).
inline void PokeImage(const std::filesystem::path& module_dir, std::uint64_t offset,
                      const std::vector<std::uint8_t>& bytes) {
  std::fstream io(module_dir / "nor.img", std::ios::binary | std::ios::in | std::ios::out);
  io.seekp(static_cast<std::streamoff>(offset));
  io.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace test

namespace test {

struct NandSetup {
  std::uint16_t chip = 0xF1EC;  // 1024 blocks: the smallest known chip, a 138 MB nand.img
  std::uint32_t part_number = 9;
  std::string faults;  // faults.toml text
};

/// Makes an erased NAND module (its table page only) in `dir` and opens it.
inline std::unique_ptr<host::Module> OpenNewNandModule(const std::filesystem::path& dir,
                                                       const NandSetup& setup = {}) {
  host::CreateOptions options = host::CreateOptions::Blank();
  options.flash = host::FlashKind::kNand;
  options.nand_chip = setup.chip;
  options.part_number = setup.part_number;
  host::CreateModule(dir, options);
  if (!setup.faults.empty()) std::ofstream(dir / "faults.toml") << setup.faults;
  host::ClockReset();
  host::ClearKernelIoCalls();
  return host::Module::Open(dir);
}

/// One raw page of nand.img: 2048 data bytes, then the 64 spare bytes.
inline std::vector<std::uint8_t> ReadRawNandPage(const std::filesystem::path& module_dir,
                                                 std::uint32_t page) {
  std::ifstream in(module_dir / "nand.img", std::ios::binary);
  in.seekg(static_cast<std::streamoff>(std::uint64_t{page} * 2112));
  std::vector<std::uint8_t> bytes(2112);
  in.read(reinterpret_cast<char*>(bytes.data()), 2112);
  return bytes;
}

}  // namespace test

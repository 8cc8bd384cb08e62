// A virtual module: a directory whose files are the module's state (module.toml, the flash
// image, faults.toml, ram/). Opening it builds the hardware and makes it the module that the
// CE calls of this process reach.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "host/module/intel_nor_chip.h"
#include "host/module/nor_array.h"
#include "host/module/physical_bus.h"
#include "host/module/virtual_clock.h"

namespace host {

/// A problem with a module's files or with options for one; the message names the file.
class ModuleError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class FlashKind { kNor, kNand };

struct ModuleConfig {
  std::uint32_t part_number = 17;
  std::uint32_t main_id = 0;  // derived from the part number when module.toml has none
  FlashKind flash = FlashKind::kNor;
  NorConfig nor;
  Pace pace = Pace::kFast;
};

struct CreateOptions {
  FlashKind flash = FlashKind::kNor;
  std::uint16_t nor_device = 0x8922;
  std::optional<std::uint8_t> cfi_size;  // the device's own size when not given
};

/// Makes a new module in `dir`, which must not exist or be empty. Nothing is left behind
/// when it fails.
void CreateModule(const std::filesystem::path& dir, const CreateOptions& options);

/// Reads module.toml and faults.toml of `dir` without opening the flash.
ModuleConfig LoadModuleConfig(const std::filesystem::path& dir);

class Module {
 public:
  /// Opens the module in `dir` and makes it the current module of the process.
  static std::unique_ptr<Module> Open(const std::filesystem::path& dir);
  ~Module();
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  const std::filesystem::path& dir() const { return dir_; }
  const ModuleConfig& config() const { return config_; }
  NorArray* nor() { return nor_.get(); }
  PhysicalBus& bus() { return bus_; }

 private:
  Module() = default;

  std::filesystem::path dir_;
  ModuleConfig config_;
  PhysicalBus bus_;
  std::unique_ptr<NorArray> nor_;
  std::uint8_t* image_ = nullptr;
  std::size_t image_size_ = 0;
};

/// The module that this process has open, or null.
Module* CurrentModule();

/// Text for `imbrel-module info`.
std::string DescribeModule(const std::filesystem::path& dir);

/// Physical address of the NOR flash.
constexpr std::uint64_t kNorPhysicalBase = 0;

}  // namespace host

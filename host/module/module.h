// A virtual module: a directory whose files are the module's state (module.toml, the flash
// image, faults.toml, ram/). Opening it builds the hardware and makes it the module that the
// CE calls of this process reach.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "host/hardware/flash_activity.h"
#include "host/hardware/intel_nor_chip.h"
#include "host/hardware/model_links.h"
#include "host/hardware/model_notes.h"
#include "host/hardware/nand_chip.h"
#include "host/hardware/nor_array.h"
#include "host/hardware/physical_bus.h"
#include "host/hardware/power.h"
#include "host/hardware/pxa3xx_dfc.h"
#include "host/hardware/virtual_clock.h"
#include "host/module/module_content.h"
#include "host/oal/platform_codes.h"
#include "host/system/registry.h"

namespace host {

/// A problem with a module's files or with options for one; the message names the file.
class ModuleError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class FlashKind { kNor, kNand };

/// module.toml's [nand] and faults.toml's [[nand]] entries.
struct NandConfig {
  std::uint16_t chip = 0xDAEC;  // maker code in bits 0-7, device code in bits 8-15
  NandTiming timing;
  bool spoil_rule_breaks = false;  // rule_breaks = "bit-errors"
  /// Blocks the chip maker found bad and marked (a non-0xFF first spare byte in pages 0 and
  /// 1): they fail every erase and program.
  std::vector<std::uint32_t> factory_bad_blocks;
  std::vector<NandFault> faults;
};

/// module.toml's [dump]: the module was made from a flash dump.
struct DumpOrigin {
  std::string file;  // the dump, as `create --from-dump` was given it
  /// What was read from the dump's flash rather than from options or defaults: "item0",
  /// "item5", "factory_bad_blocks".
  std::vector<std::string> read;
};

struct ModuleConfig {
  std::uint32_t part_number = 17;
  std::uint32_t main_id = 0;  // derived from the part number when module.toml has none
  FlashKind flash = FlashKind::kNor;
  NorConfig nor;
  NandConfig nand;
  Pace pace = Pace::kFast;
  PlatformConfig platform;         // module.toml's [platform]
  RegistryTree default_registry;   // module.toml's [registry]
  PlatformFaults platform_faults;  // faults.toml's [platform]
  RegistryFaults registry_faults;  // faults.toml's [registry]
  /// faults.toml's [power] cut_after: the power fails during the flash operation after this
  /// many, counted from the module's opening.
  std::optional<std::uint64_t> power_cut_after;
  std::optional<DumpOrigin> dump;
};

struct CreateOptions {
  FlashKind flash = FlashKind::kNor;
  std::uint16_t nor_device = 0x8922;
  std::optional<std::uint8_t> cfi_size;  // the device's own size when not given
  std::uint16_t nand_chip = 0xDAEC;
  /// Physical blocks the NAND chip comes with marked bad (never block 0, which makers
  /// guarantee good).
  std::vector<std::uint32_t> factory_bad_blocks;
  /// The processor: 17 (PXA270) for NOR; 8 or 9 (PXA3xx) for NAND, 9 when not given.
  std::optional<std::uint32_t> part_number;
  /// module.toml's [time]: how long the flash operations take, and the seed of varied times.
  NorTimeMode times = NorTimeMode::kVaried;
  std::uint64_t seed = 1;

  // What the factory puts on the module (module_content.h); each part may be left out. The
  // defaults make a realistic module; places and sizes not given follow from the flash size.
  // A NAND module gets none of it yet: an erased chip with a relocation table page.
  std::optional<BootloaderOptions> bootloader = BootloaderOptions{};
  /// kConfigBlockPlace, or kConfigBlockOldPlace.
  std::optional<std::uint32_t> config_block = kConfigBlockPlace;
  std::optional<ImageOptions> image = ImageOptions{};
  std::optional<std::array<std::uint32_t, 2>> item0 = std::array<std::uint32_t, 2>{1, 0};
  /// Item 5; its words, when not given: {the image's place, 5/8 of the flash, 1/128 of it}.
  bool item5 = true;
  std::optional<std::array<std::uint32_t, 6>> item5_words;
  /// {id, major, minor | beta build << 16}.
  std::optional<std::array<std::uint32_t, 3>> image_version = std::array<std::uint32_t, 3>{1, 5, 3};
  /// The creation time (FILETIME ticks) of "\windows\default.fdf"; nullopt: no such file.
  std::optional<std::uint64_t> fdf_time = 128808576000000000ull;  // 2009-03-07 00:00:00
  /// MemBase and MemLen of the flash file-system driver in the default registry; by default
  /// the flash from the end of item 5's registry area to the end.
  bool registry = true;
  /// Sample BIN images in fs/USB HD/IMAGES: nk.bin (an operating-system image) and eboot.bin
  /// (a bootloader update).
  bool samples = true;
  std::optional<std::uint32_t> mem_base;
  std::optional<std::uint32_t> mem_len;

  /// No content: an erased flash, no platform items, no default.fdf, no default registry.
  static CreateOptions Blank();
};

/// Makes a new module in `dir`, which must not exist or be empty. Nothing is left behind
/// when it fails.
void CreateModule(const std::filesystem::path& dir, const CreateOptions& options);

/// Reads module.toml and faults.toml of `dir` without opening the flash.
ModuleConfig LoadModuleConfig(const std::filesystem::path& dir);
/// The same from the files' texts (no faults.toml: nullopt); messages name the files in `dir`,
/// which is not read.
ModuleConfig LoadModuleConfigText(const std::filesystem::path& dir, std::string_view module_toml,
                                  std::optional<std::string_view> faults_toml);

class Module {
 public:
  /// Opens the module in `dir` and makes it the current module of the process.
  static std::unique_ptr<Module> Open(const std::filesystem::path& dir);
  /// The same with `config` as LoadModuleConfig read it from `dir` earlier: for a tool that
  /// opens one module in many short-lived processes, whose files it keeps as they were.
  static std::unique_ptr<Module> Open(const std::filesystem::path& dir, const ModuleConfig& config);
  /// The module in `dir` with the flash of another module's image file, `image` (nor.img or
  /// nand.img), mapped copy-on-write: the flash reads as that file and changes only in this
  /// process's memory, which a fork of it shares until either writes. A rehearsal's module.
  static std::unique_ptr<Module> OpenPrivate(const std::filesystem::path& dir,
                                             const ModuleConfig& config,
                                             const std::filesystem::path& image);
  ~Module();
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  const std::filesystem::path& dir() const { return dir_; }
  const ModuleConfig& config() const { return config_; }
  NorArray* nor() { return nor_.get(); }
  /// The NAND chip on chip select `cs`, or null (NOR module, or no chip there).
  NandChip* nand(int cs = 0) {
    return static_cast<std::size_t>(cs) < nand_.size() ? nand_[cs].get() : nullptr;
  }
  Pxa3xxDfc* dfc() { return dfc_.get(); }
  /// The flash image file as this process maps it (nor.img or nand.img), and its size.
  std::uint8_t* image() { return image_; }
  std::uint64_t image_size() const { return image_size_; }
  /// Maps again what the module keeps in ram/ (the NAND controller's registers), for a
  /// process forked from one that holds the module open after ram/ was put back or lost.
  void ReloadRam();
  /// Reads again what a power-up reads of the cells the models keep beside the flash (J3's
  /// lock bits), for a process forked from one that holds the module open, after a power cut
  /// in another process changed them.
  void ReadLockBitsAgain();
  /// Whether the flash is another file's, copy-on-write (OpenPrivate).
  bool private_image() const { return !private_image_.empty(); }
  PhysicalBus& bus() { return bus_; }
  /// The module's power supply: a cut armed on it falls on this module's chips.
  PowerSupply& power() { return *power_; }

 private:
  Module() = default;
  /// Opens the module in `dir` into this new one: Open's work.
  void Build(const std::filesystem::path& dir, const ModuleConfig& config);
  void OpenNand();
  /// Gives the models the image file, mapped at image_ (image_size_ bytes) and open in
  /// image_fd_.
  void LinkImageFile();

  /// The flash image file of this module's flash, or the other file OpenPrivate maps.
  std::uint8_t* MapImage(const std::filesystem::path& file, std::uint64_t size,
                         const std::string& size_problem);

  std::filesystem::path dir_;
  std::filesystem::path private_image_;  // OpenPrivate's image file; empty: dir_'s own
  ModuleConfig config_;
  // What the module gives each model it builds; made before the models and outliving them.
  std::unique_ptr<ModelNotes> notes_;
  std::unique_ptr<PowerSupply> power_;
  std::unique_ptr<FlashImageFile> image_file_;
  ModelLinks links_;
  PhysicalBus bus_;
  std::unique_ptr<NorArray> nor_;
  std::vector<std::unique_ptr<NandChip>> nand_;
  std::unique_ptr<Pxa3xxDfc> dfc_;
  std::uint8_t* image_ = nullptr;
  int image_fd_ = -1;  // the image file, open for the chips' reads (FlashImageFile)
  std::size_t image_size_ = 0;
  std::uint8_t* dfc_settings_ = nullptr;  // ram/pxa3xx-dfc-registers
  std::uint8_t* programs_ = nullptr;      // nand.programs: one counter a page
  std::uint8_t* locks_ = nullptr;         // nor.locks: J3's non-volatile lock bits
  std::size_t locks_size_ = 0;
  std::uint8_t* weak_ = nullptr;  // nor.weak, nand.weak: blocks whose last erase did not finish
  std::size_t weak_size_ = 0;
  std::uint8_t* erase_counts_ = nullptr;  // nor.erases, nand.erases: 32-bit counts a block
  std::size_t erase_counts_size_ = 0;
  std::size_t programs_size_ = 0;
};

/// The module that this process has open, or null.
Module* CurrentModule();

/// Text for `imbrel-module info`.
std::string DescribeModule(const std::filesystem::path& dir);

/// Physical address of the NOR flash.
constexpr std::uint64_t kNorPhysicalBase = 0;

/// Bytes of nand.img for a chip ID: every raw page of every block.
std::uint64_t NandImageBytes(std::uint16_t chip);

}  // namespace host

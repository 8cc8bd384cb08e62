// The flash as the program's driver presents it, read straight from a module's image file:
// nor.img as it stands, or the logical space of nand.img behind its relocation table. What a
// bootloader reads at a start, and what `imbrel-module info` shows, without starting a driver.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include "ce/types.h"
#include "host/module/nand_logical.h"

namespace host {

struct ModuleConfig;

class FlashFile {
 public:
  FlashFile(const std::filesystem::path& dir, const ModuleConfig& config);
  ~FlashFile();
  FlashFile(const FlashFile&) = delete;
  FlashFile& operator=(const FlashFile&) = delete;

  bool ok() const { return logical_size_ > 0; }
  std::uint64_t size() const { return logical_size_; }
  /// The bytes of [offset, offset + count) that lie in the flash (fewer at its end).
  std::vector<std::uint8_t> Read(std::uint64_t offset, std::size_t count) const;
  std::optional<std::uint32_t> WordAt(std::uint64_t offset) const;
  const NandLogicalView* nand() const { return nand_ ? &*nand_ : nullptr; }

  /// The bytes as a reader with the controller's ECC gets them: on NAND a step of a page that
  /// its ECC cannot mend fails the read, unless it reads erased (one bit flipped allowed);
  /// bits flipped only as a fault of faults.toml are not seen. False also past the end.
  bool ReadChecked(std::uint64_t offset, void* destination, std::size_t count) const;
  /// ReadChecked as a reader for the program's recognition code (FlashReadFn): `context` is
  /// a FlashFile.
  static int ReadFn(void* context, void* destination, DWORD offset, DWORD count);

 private:
  std::uint8_t* map_ = nullptr;
  std::uint64_t size_ = 0;
  bool owned_ = true;  // false: the open module's own mapping
  /// The NAND page ReadChecked read last: its raw bytes then, and what it gave.
  struct CachedPage {
    std::uint32_t physical = ~0u;
    bool readable = false;
    std::uint8_t raw[kNandRawPageBytes];
    std::uint8_t data[kNandPageBytes];
  };
  mutable CachedPage cached_;
  std::uint64_t logical_size_ = 0;
  std::optional<NandLogicalView> nand_;
};

}  // namespace host

// Intel command-set NOR flash as the PXA270's static memory bus sees it: two 16-bit chips side
// by side, the low half of each 32-bit bus word going to chip 0, the high half to chip 1.
// Does not model: byte or half-word bus accesses, the chips' x8 mode, bus timing (the
// dispatcher charges AccessNs per access); nor what the chips do not (intel_nor_chip.h).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "host/hardware/intel_nor_chip.h"
#include "host/hardware/physical_bus.h"

namespace host {

class NorArray : public BusDevice {
 public:
  /// `image` holds 2 << config.cfi_size bytes, the flash as the bus sees it (little-endian
  /// 32-bit words); it is not owned and normally is the module's mapped nor.img. `links`:
  /// what the module gives the chips (model_links.h).
  NorArray(const NorConfig& config, std::uint8_t* image, const ModelLinks& links = {});
  // The chips point at config_: the array stays where it was made.
  NorArray(const NorArray&) = delete;
  NorArray& operator=(const NorArray&) = delete;

  std::string Name() const override { return "NOR flash"; }
  std::uint32_t AccessNs() const override { return config_.timing.access_ns; }
  std::uint32_t Read32(std::uint32_t offset) override;
  void Write32(std::uint32_t offset, std::uint32_t value) override;
  void ReadBlock(void* destination, std::uint32_t offset, std::uint32_t count) override;
  /// Each word to both chips as Write32 gives it (a buffered program's data words).
  void WriteBlock32(std::uint32_t offset, const std::uint32_t* source, std::uint32_t count,
                    std::uint32_t access_ns) override;

  /// Bytes on the bus: both chips.
  std::uint64_t Size() const { return std::uint64_t{2} << config_.cfi_size; }
  /// Erase blocks as the bus sees them (each is one block of each chip side by side).
  std::vector<NorBlock> Blocks() const;
  IntelNorChip& Chip(int index) { return chips_[index]; }
  const IntelNorChip& Chip(int index) const { return chips_[index]; }
  const NorConfig& Config() const { return config_; }
  /// Bytes of non-volatile lock bits for KeepLockBits: one a block of each chip.
  std::size_t LockBitBytes() const { return 2 * std::size_t{chips_[0].BlockCount()}; }
  /// J3 chips keep their lock bits in `cells` (chip 0's blocks, then chip 1's).
  void KeepLockBits(std::uint8_t* cells) {
    chips_[0].KeepLockBits(cells);
    chips_[1].KeepLockBits(cells + chips_[0].BlockCount());
  }
  /// J3: the lock bits as a power-up reads them from the cells kept.
  void ReadLockBitsAgain() {
    chips_[0].ReadLockBitsAgain();
    chips_[1].ReadLockBitsAgain();
  }
  /// The chips keep their weak blocks in `cells` (as the lock bits: LockBitBytes of them).
  void KeepWeakBlocks(std::uint8_t* cells) {
    chips_[0].KeepWeakBlocks(cells);
    chips_[1].KeepWeakBlocks(cells + chips_[0].BlockCount());
  }
  /// The chips keep their erase counts in `counts` (LockBitBytes of them, as the lock bits).
  void KeepEraseCounts(std::uint32_t* counts) {
    chips_[0].KeepEraseCounts(counts);
    chips_[1].KeepEraseCounts(counts + chips_[0].BlockCount());
  }

 private:
  NorConfig config_;
  std::uint8_t* image_;
  std::array<IntelNorChip, 2> chips_;
  // The last access was a status read of this offset, with no write since: the next read of
  // the same offset is a poll, and only a poll moves the clock on.
  std::uint32_t status_read_at_ = 0;
  bool status_read_last_ = false;
};

}  // namespace host

// The module's physical address space: devices attached at physical ranges, reached through
// the process's physical mappings (VirtualCopy) by the register accessors of platform/mmio.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace host {

/// A device on the physical bus. Offsets are bytes from the device's base.
class BusDevice {
 public:
  virtual ~BusDevice() = default;
  virtual std::string Name() const = 0;
  /// Bus time of one 32-bit access, in nanoseconds; the dispatcher adds it to the clock.
  virtual std::uint32_t AccessNs() const = 0;
  virtual std::uint32_t Read32(std::uint32_t offset) = 0;
  virtual void Write32(std::uint32_t offset, std::uint32_t value) = 0;
  /// Reads `count` bytes from `offset` (4-byte aligned). The default reads word by word.
  virtual void ReadBlock(void* destination, std::uint32_t offset, std::uint32_t count);
  /// `count` 32-bit writes of `source`'s words to consecutive words from `offset`, each access
  /// charged `access_ns` before it. The default calls Write32 for each.
  virtual void WriteBlock32(std::uint32_t offset, const std::uint32_t* source, std::uint32_t count,
                            std::uint32_t access_ns);
  /// `count` 32-bit reads of the register at `offset`, the words to `destination` (any
  /// alignment), each access charged `access_ns` before it as a single read is. The default
  /// calls Read32 for each; a device with a data FIFO takes them without the dispatch.
  virtual void ReadRepeat32(void* destination, std::uint32_t offset, std::uint32_t count,
                            std::uint32_t access_ns);
  /// `count` 32-bit writes of words from `source` to the register at `offset`, likewise.
  virtual void WriteRepeat32(std::uint32_t offset, const void* source, std::uint32_t count,
                             std::uint32_t access_ns);
};

class PhysicalBus {
 public:
  struct Slot {
    std::uint64_t base;
    std::uint64_t size;
    BusDevice* device;
  };

  /// Attaches `device` (not owned) at [base, base + size). Ranges must not overlap.
  void Attach(std::uint64_t base, std::uint64_t size, BusDevice* device);
  /// The slot that holds physical address `address`, or null.
  const Slot* Find(std::uint64_t address) const;
  const std::vector<Slot>& Slots() const { return slots_; }

 private:
  std::vector<Slot> slots_;
};

/// The bus that physical mappings reach: the open module's, or none. Changing it drops
/// every cached translation.
void SetPhysicalBus(PhysicalBus* bus);
PhysicalBus* CurrentPhysicalBus();

}  // namespace host

// The physical bus: which device answers which physical address.

#include "host/hardware/physical_bus.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/hardware/virtual_clock.h"

namespace host {

void BusDevice::ReadBlock(void* destination, std::uint32_t offset, std::uint32_t count) {
  auto* out = static_cast<std::uint8_t*>(destination);
  while (count >= 4) {
    std::uint32_t word = Read32(offset);
    std::memcpy(out, &word, 4);
    out += 4;
    offset += 4;
    count -= 4;
  }
  if (count) {
    std::uint32_t word = Read32(offset);
    std::memcpy(out, &word, count);
  }
}

void BusDevice::WriteBlock32(std::uint32_t offset, const std::uint32_t* source, std::uint32_t count,
                             std::uint32_t access_ns) {
  for (std::uint32_t i = 0; i < count; ++i) {
    ClockChargeAccess(access_ns);
    Write32(offset + 4 * i, source[i]);
  }
}

void BusDevice::ReadRepeat32(void* destination, std::uint32_t offset, std::uint32_t count,
                             std::uint32_t access_ns) {
  auto* out = static_cast<std::uint8_t*>(destination);
  for (std::uint32_t i = 0; i < count; ++i) {
    ClockChargeAccess(access_ns);
    std::uint32_t word = Read32(offset);
    std::memcpy(out + 4 * i, &word, 4);
  }
}

void BusDevice::WriteRepeat32(std::uint32_t offset, const void* source, std::uint32_t count,
                              std::uint32_t access_ns) {
  const auto* in = static_cast<const std::uint8_t*>(source);
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t word;
    std::memcpy(&word, in + 4 * i, 4);
    ClockChargeAccess(access_ns);
    Write32(offset, word);
  }
}

void PhysicalBus::Attach(std::uint64_t base, std::uint64_t size, BusDevice* device) {
  for (const Slot& slot : slots_) {
    if (base < slot.base + slot.size && slot.base < base + size) {
      std::fprintf(stderr, "host: %s at 0x%llx overlaps %s on the physical bus\n",
                   device->Name().c_str(), static_cast<unsigned long long>(base),
                   slot.device->Name().c_str());
      std::abort();
    }
  }
  slots_.push_back({base, size, device});
}

const PhysicalBus::Slot* PhysicalBus::Find(std::uint64_t address) const {
  for (const Slot& slot : slots_) {
    if (address >= slot.base && address - slot.base < slot.size) return &slot;
  }
  return nullptr;
}

}  // namespace host

// The process's virtual memory as the CE calls see it: reservations, committed pages and
// physical mappings. Register accesses through a physical mapping dispatch to the device on
// the open module's physical bus.
#pragma once

#include <cstdint>
#include <vector>

namespace host {

struct PhysicalMapping {
  std::uintptr_t virtual_base;
  std::uint64_t physical_base;
  std::uint64_t size;
};

/// Every physical mapping of the process, in the order made.
std::vector<PhysicalMapping> PhysicalMappings();
/// Reservations currently held.
std::size_t ReservationCount();

/// Maps a physical range for the calling process, as the kernel does for VirtualCopy with
/// PAGE_PHYSICAL; no privilege check (the platform layer calls it on a process's behalf).
bool MapPhysicalForProcess(void* destination, std::uint64_t physical, std::uint64_t size);

/// Makes the next `count` VirtualAlloc or VirtualCopy calls fail.
void FailVirtualAlloc(int count);
void FailVirtualCopy(int count);

}  // namespace host

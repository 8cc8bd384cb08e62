// VirtualAlloc, VirtualFree, VirtualCopy and the register accessors of platform/mmio.h.

#include "host/system/virtual_memory.h"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "ce/kernel.h"
#include "host/hardware/physical_bus.h"
#include "host/hardware/virtual_clock.h"
#include "host/hardware/virtual_cpu.h"
#include "platform/mmio.h"

namespace host {

namespace {

constexpr std::uintptr_t kPageSize = 0x1000;

struct Reservation {
  std::uintptr_t base;
  std::uintptr_t size;
};

// A virtual range that shows one device: address a reaches device offset a - device_origin.
struct Translation {
  std::uintptr_t low = 0;
  std::uintptr_t high = 0;
  std::uintptr_t device_origin = 0;
  BusDevice* device = nullptr;
  std::uint32_t access_ns = 0;
  std::uint64_t generation = 0;
};

std::mutex vm_mutex;
std::vector<Reservation> reservations;
std::vector<PhysicalMapping> mappings;
PhysicalBus* bus = nullptr;
std::atomic<int> alloc_failures{0};
std::atomic<int> copy_failures{0};
// Bumped whenever a mapping or the bus changes; a thread's cached translation is valid only
// for the generation it was made in.
std::atomic<std::uint64_t> generation{1};
thread_local Translation cached;

bool TakeFailure(std::atomic<int>& counter) {
  int n = counter.load();
  while (n > 0 && !counter.compare_exchange_weak(n, n - 1)) {
  }
  return n > 0;
}

Reservation* FindReservation(std::uintptr_t address) {
  for (Reservation& r : reservations) {
    if (address >= r.base && address - r.base < r.size) return &r;
  }
  return nullptr;
}

[[noreturn]] void BadAccess(const char* what, std::uintptr_t address, const char* why) {
  std::fprintf(stderr, "host: %s at %#" PRIxPTR ": %s\n", what, address, why);
  std::abort();
}

// The slow path of Translate: find the mapping and device, and cache the translation.
[[gnu::noinline]] const Translation& TranslateMiss(const char* what, std::uintptr_t address,
                                                   std::uintptr_t length) {
  if (address & 3) BadAccess(what, address, "not aligned to a 32-bit word");
  std::lock_guard lock(vm_mutex);
  const PhysicalMapping* hit = nullptr;
  for (auto it = mappings.rbegin(); it != mappings.rend(); ++it) {
    if (address >= it->virtual_base && address - it->virtual_base < it->size) {
      hit = &*it;
      break;
    }
  }
  if (!hit) BadAccess(what, address, "no physical mapping shows this address");
  // Pieces mapped side by side onto adjacent physical ranges (a 64 MB flash mapped in 32 MB
  // VirtualCopy pieces) are one contiguous view.
  std::uintptr_t view_low = hit->virtual_base, view_high = hit->virtual_base + hit->size;
  std::uint64_t view_physical = hit->physical_base;  // physical address of view_low
  for (bool grew = true; grew;) {
    grew = false;
    for (const PhysicalMapping& m : mappings) {
      if (m.virtual_base == view_high &&
          m.physical_base == view_physical + (view_high - view_low)) {
        view_high += m.size;
        grew = true;
      } else if (m.virtual_base + m.size == view_low && m.physical_base + m.size == view_physical) {
        view_low = m.virtual_base;
        view_physical = m.physical_base;
        grew = true;
      }
    }
  }
  std::uint64_t physical = view_physical + (address - view_low);
  const PhysicalBus::Slot* slot = bus ? bus->Find(physical) : nullptr;
  if (!slot) BadAccess(what, address, "no device answers its physical address");
  // The part of the view that shows this one device.
  std::uint64_t phys_low = std::max<std::uint64_t>(view_physical, slot->base);
  std::uint64_t phys_high =
      std::min<std::uint64_t>(view_physical + (view_high - view_low), slot->base + slot->size);
  Translation t;
  t.low = view_low + (phys_low - view_physical);
  t.high = view_low + (phys_high - view_physical);
  t.device_origin = view_low + (slot->base - view_physical);
  t.device = slot->device;
  t.access_ns = slot->device->AccessNs();
  t.generation = generation.load(std::memory_order_acquire);
  if (address + length > t.high) BadAccess(what, address, "runs past the end of the device");
  cached = t;
  return cached;
}

inline const Translation& Translate(const char* what, std::uintptr_t address,
                                    std::uintptr_t length) {
  const Translation& c = cached;
  if ((address & 3) == 0 && c.generation == generation.load(std::memory_order_acquire) &&
      address >= c.low && address + length <= c.high) [[likely]] {
    return c;
  }
  return TranslateMiss(what, address, length);
}

}  // namespace

void SetPhysicalBus(PhysicalBus* new_bus) {
  std::lock_guard lock(vm_mutex);
  bus = new_bus;
  generation.fetch_add(1, std::memory_order_release);
}

PhysicalBus* CurrentPhysicalBus() {
  std::lock_guard lock(vm_mutex);
  return bus;
}

std::vector<PhysicalMapping> PhysicalMappings() {
  std::lock_guard lock(vm_mutex);
  return mappings;
}

std::size_t ReservationCount() {
  std::lock_guard lock(vm_mutex);
  return reservations.size();
}

void FailVirtualAlloc(int count) { alloc_failures = count; }
void FailVirtualCopy(int count) { copy_failures = count; }

bool MapPhysicalForProcess(void* destination, std::uint64_t physical, std::uint64_t size) {
  auto dest = reinterpret_cast<std::uintptr_t>(destination);
  std::lock_guard lock(vm_mutex);
  Reservation* r = FindReservation(dest);
  if (!r || size == 0 || (dest & (kPageSize - 1)) || (physical & (kPageSize - 1)) ||
      dest + size > r->base + r->size) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  std::uint64_t pages = (size + kPageSize - 1) & ~std::uint64_t{kPageSize - 1};
  std::erase_if(mappings, [&](const PhysicalMapping& m) {
    return m.virtual_base >= dest && m.virtual_base + m.size <= dest + pages;
  });
  mappings.push_back({dest, physical, pages});
  generation.fetch_add(1, std::memory_order_release);
  return true;
}

}  // namespace host

using host::alloc_failures;
using host::copy_failures;
using host::kPageSize;

LPVOID VirtualAlloc(LPVOID address, DWORD size, DWORD allocation_type, DWORD protect) {
  if (host::TakeFailure(alloc_failures) || size == 0) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  std::uintptr_t bytes = (std::uintptr_t{size} + kPageSize - 1) & ~(kPageSize - 1);
  int prot = (allocation_type & MEM_COMMIT) && !(protect & PAGE_NOACCESS)
                 ? ((protect & PAGE_READONLY) ? PROT_READ : PROT_READ | PROT_WRITE)
                 : PROT_NONE;
  std::lock_guard lock(host::vm_mutex);
  if (address) {
    // Commit inside an existing reservation.
    auto base = reinterpret_cast<std::uintptr_t>(address) & ~(kPageSize - 1);
    host::Reservation* r = host::FindReservation(base);
    if (!r || base + bytes > r->base + r->size || !(allocation_type & MEM_COMMIT)) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    if (mprotect(reinterpret_cast<void*>(base), bytes, prot) != 0) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    return reinterpret_cast<void*>(base);
  }
  void* p = mmap(nullptr, bytes, prot, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  host::reservations.push_back({reinterpret_cast<std::uintptr_t>(p), bytes});
  return p;
}

BOOL VirtualFree(LPVOID address, DWORD size, DWORD free_type) {
  auto base = reinterpret_cast<std::uintptr_t>(address);
  std::lock_guard lock(host::vm_mutex);
  host::Reservation* r = host::FindReservation(base);
  if (!r) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (free_type & MEM_RELEASE) {
    if (size != 0 || r->base != base) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    std::uintptr_t end = r->base + r->size;
    std::erase_if(host::mappings, [&](const host::PhysicalMapping& m) {
      return m.virtual_base >= base && m.virtual_base < end;
    });
    munmap(address, r->size);
    std::erase_if(host::reservations, [&](const host::Reservation& x) { return x.base == base; });
    host::generation.fetch_add(1, std::memory_order_release);
    return TRUE;
  }
  if (free_type & MEM_DECOMMIT) {
    std::uintptr_t bytes = (std::uintptr_t{size} + kPageSize - 1) & ~(kPageSize - 1);
    if (base + bytes > r->base + r->size) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    mmap(address, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED, -1, 0);
    return TRUE;
  }
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}

BOOL VirtualCopy(LPVOID destination, LPVOID source, DWORD size, DWORD protect) {
  if (host::TakeFailure(copy_failures)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  if (!(protect & PAGE_PHYSICAL)) {
    // Copying another virtual range is never needed by the program.
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  // This module's kernel trusts only privileged code with physical memory; a user-mode
  // process goes through the platform layer's kernel call.
  if (host::CpuMode() == host::kCpuModeUser) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  std::uint64_t physical = std::uint64_t{reinterpret_cast<std::uintptr_t>(source)} << 8;
  return host::MapPhysicalForProcess(destination, physical, size) ? TRUE : FALSE;
}

DWORD MmioRead32(const volatile void* address) {
  auto a = reinterpret_cast<std::uintptr_t>(address);
  const host::Translation& t = host::Translate("32-bit read", a, 4);
  host::ClockChargeAccess(t.access_ns);
  return t.device->Read32(static_cast<std::uint32_t>(a - t.device_origin));
}

void MmioWrite32(volatile void* address, DWORD value) {
  auto a = reinterpret_cast<std::uintptr_t>(address);
  const host::Translation& t = host::Translate("32-bit write", a, 4);
  host::ClockChargeAccess(t.access_ns);
  t.device->Write32(static_cast<std::uint32_t>(a - t.device_origin), value);
}

void MmioWriteBlock(volatile void* address, const DWORD* source, DWORD count) {
  if (count == 0) return;
  auto a = reinterpret_cast<std::uintptr_t>(address);
  const host::Translation& t = host::Translate("block write", a, std::uintptr_t{count} * 4);
  t.device->WriteBlock32(static_cast<std::uint32_t>(a - t.device_origin), source, count,
                         t.access_ns);
}

void MmioReadRepeat32(void* destination, const volatile void* address, DWORD count) {
  auto a = reinterpret_cast<std::uintptr_t>(address);
  const host::Translation& t = host::Translate("32-bit read", a, 4);
  t.device->ReadRepeat32(destination, static_cast<std::uint32_t>(a - t.device_origin), count,
                         t.access_ns);
}

void MmioWriteRepeat32(volatile void* address, const void* source, DWORD count) {
  auto a = reinterpret_cast<std::uintptr_t>(address);
  const host::Translation& t = host::Translate("32-bit write", a, 4);
  t.device->WriteRepeat32(static_cast<std::uint32_t>(a - t.device_origin), source, count,
                          t.access_ns);
}

void MmioReadBlock(void* destination, const volatile void* address, DWORD count) {
  if (count == 0) return;
  auto a = reinterpret_cast<std::uintptr_t>(address);
  auto* out = static_cast<std::uint8_t*>(destination);
  if (std::uintptr_t head = a & 3) {
    // A copy from an unaligned address: the bus still reads whole words.
    DWORD word = MmioRead32(reinterpret_cast<const volatile void*>(a - head));
    DWORD take = std::min<DWORD>(4 - static_cast<DWORD>(head), count);
    std::memcpy(out, reinterpret_cast<const std::uint8_t*>(&word) + head, take);
    out += take;
    a += take;
    count -= take;
    if (count == 0) return;
  }
  const host::Translation& t = host::Translate("block read", a, count);
  host::ClockChargeAccess(std::uint64_t{t.access_ns} * ((count + 3) / 4));
  t.device->ReadBlock(out, static_cast<std::uint32_t>(a - t.device_origin), count);
}

#include "platform/physical_map.h"

#include "ce/kernel.h"
#include "platform/kernel_call.h"

namespace {

const DWORD kWindowSize = 0x2000;
const DWORD kMapPiece = 0x2000000;  // 32 MB per mapping call
const DWORD kQueryReplySize = 200;

// Set by the first user-mode mapping, which asks the platform layer's query first.
int PlatformQueried = 0;
BYTE PlatformQueryReply[kQueryReplySize];

}  // namespace

int MapPhysical(void* destination, DWORD page_number, DWORD size, DWORD protection) {
  if (IsPrivilegedMode()) {
    return VirtualCopy(destination, reinterpret_cast<void*>(static_cast<ULONG_PTR>(page_number)),
                       size, protection);
  }
  if (!PlatformQueried) {
    ULONG_PTR query = KernelCallQuery;
    DWORD returned = 0;
    KernelIoControl(KernelCall, &query, sizeof query, PlatformQueryReply, sizeof PlatformQueryReply,
                    &returned);
    PlatformQueried = 1;
  }
  KernelCallMapInput input = {KernelCallMap, reinterpret_cast<ULONG_PTR>(destination), page_number,
                              size, protection};
  DWORD mapped = 0;
  if (!KernelIoControl(KernelCall, &input, sizeof input, &mapped, sizeof mapped, NULL)) {
    return 0;
  }
  return static_cast<int>(mapped);
}

void* MapPhysicalWindow(DWORD physical) {
  BYTE* window = static_cast<BYTE*>(VirtualAlloc(NULL, kWindowSize, MEM_RESERVE, PAGE_NOACCESS));
  if (!window) return NULL;
  if (!MapPhysical(window, (physical >> 8) & 0x00FFFFF0, kWindowSize, kPhysicalMapProtection)) {
    VirtualFree(window, 0, MEM_RELEASE);
    return NULL;
  }
  return window + (physical & 0xFFC);
}

void* MapPhysicalRange(DWORD physical, DWORD size) {
  DWORD offset = physical & 0xFFF;
  DWORD first_page = physical & ~0xFFFu;
  DWORD total = (offset + size + 0xFFF) & ~0xFFFu;
  if (total == 0) return NULL;
  BYTE* region = static_cast<BYTE*>(VirtualAlloc(NULL, total, MEM_RESERVE, PAGE_NOACCESS));
  if (!region) return NULL;
  for (DWORD done = 0, left = total; left != 0;) {
    DWORD piece = left < kMapPiece ? left : kMapPiece;
    if (!MapPhysical(region + done, (first_page + done) >> 8, piece, kPhysicalMapProtection)) {
      VirtualFree(region, 0, MEM_RELEASE);
      return NULL;
    }
    done += piece;
    left -= piece;
  }
  return region + (physical & 0xFFC);
}

void UnmapPhysical(void* pointer) {
  ULONG_PTR base = reinterpret_cast<ULONG_PTR>(pointer) & ~static_cast<ULONG_PTR>(0xFFF);
  VirtualFree(reinterpret_cast<void*>(base), 0, MEM_RELEASE);
}

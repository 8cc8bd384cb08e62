// The registry copies in flash: finding the newest, saving into the other half, clearing, and
// the live registry a start makes from them.

#include "host/oal/registry_flash.h"

#include <zlib.h>

#include <cstring>
#include <vector>

#include "ce/kernel.h"
#include "flash/flash_ops.h"
#include "host/hex.h"
#include "host/module/flash_file.h"
#include "host/module/module.h"
#include "host/module/module_boot.h"

namespace fs = std::filesystem;

namespace host {

namespace {

constexpr std::uint32_t kCopyMagic = 0x47455249;  // "IREG"
constexpr std::uint32_t kHeaderBytes = 16;        // magic, sequence, text bytes, CRC-32
// Copies start on a flash block boundary; every block size divides this step, so a start that
// knows nothing of the chip finds them by looking at each step of a half.
constexpr std::uint32_t kCopyStep = 0x800;
constexpr RegistryArea kPlatformArea = {0x1400000, 0x40000};

std::uint32_t Word(const std::uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

void PutWord(std::uint8_t* p, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// The CRC-32 of a copy: its sequence number and length, then its text.
std::uint32_t CopyCrc(const std::uint8_t* header, const std::uint8_t* text, std::uint32_t bytes) {
  uLong crc = crc32(0, header + 4, 8);
  return static_cast<std::uint32_t>(crc32(crc, text, bytes));
}

// The copy whose header is at `offset`, if it is sound.
std::optional<RegistryCopy> CopyAt(FlashReadFn read, void* context, std::uint32_t offset,
                                   std::uint32_t room) {
  std::uint8_t header[kHeaderBytes];
  if (room < kHeaderBytes || !read(context, header, offset, kHeaderBytes)) return std::nullopt;
  if (Word(header) != kCopyMagic) return std::nullopt;
  const std::uint32_t bytes = Word(header + 8);
  if (bytes > room - kHeaderBytes) return std::nullopt;
  std::vector<std::uint8_t> text(bytes);
  if (bytes && !read(context, text.data(), offset + kHeaderBytes, bytes)) return std::nullopt;
  if (CopyCrc(header, text.data(), bytes) != Word(header + 12)) return std::nullopt;
  RegistryCopy copy;
  copy.offset = offset;
  copy.sequence = Word(header + 4);
  copy.bytes = bytes;
  try {
    copy.tree =
        ParseRegistryText(std::string_view(reinterpret_cast<const char*>(text.data()), text.size()),
                          "the registry copy at " + Hex(offset, 8));
  } catch (const ModuleError&) {
    return std::nullopt;  // a sound CRC over text that is not a registry: not a copy
  }
  return copy;
}

// The newest sound copy in one half.
std::optional<RegistryCopy> CopyInHalf(FlashReadFn read, void* context, const RegistryArea& area,
                                       int half) {
  const std::uint32_t from = area.start + half * area.half;
  const std::uint32_t end = from + area.half;
  std::optional<RegistryCopy> best;
  for (std::uint32_t at = (from + kCopyStep - 1) / kCopyStep * kCopyStep; at < end;
       at += kCopyStep) {
    std::optional<RegistryCopy> copy = CopyAt(read, context, at, end - at);
    if (copy && (!best || copy->sequence > best->sequence)) best = std::move(copy);
  }
  if (best) best->half = half;
  return best;
}

// The whole blocks inside one half, as the driver's geometry has them: [*first, *end).
bool WholeBlocks(const RegistryArea& area, int half, std::uint32_t* first, std::uint32_t* end) {
  const std::uint64_t from = std::uint64_t{area.start} + half * std::uint64_t{area.half};
  const std::uint64_t to = from + area.half;
  std::uint64_t at = 0;
  // Walk the blocks from the flash's start: sizes may differ (parameter blocks).
  while (at < from) {
    DWORD size = FlashOps.BlockSize(static_cast<DWORD>(at));
    if (size == 0) return false;
    at += size;
  }
  *first = static_cast<std::uint32_t>(at);
  while (at < to) {
    DWORD size = FlashOps.BlockSize(static_cast<DWORD>(at));
    if (size == 0 || at + size > to) break;
    at += size;
  }
  *end = static_cast<std::uint32_t>(at);
  return *end > *first;
}

int ReadThroughDriver(void*, void* destination, DWORD offset, DWORD count) {
  return FlashOps.ReadBuffer(destination, offset, count);
}

// Holds "OnModuleFlash", as every writer of the flash does, and keeps the erase progress of an
// update that ran before out of the platform's own erases.
class FlashTurn {
 public:
  FlashTurn() : mutex_(CreateMutexW(nullptr, FALSE, u"OnModuleFlash")) {
    if (mutex_) WaitForSingleObject(mutex_, INFINITE);
    callback_ = FlashOps.ProgressCallback;
    interval_ = FlashOps.ProgressInterval;
    SetProgressCallback(nullptr, 0);
  }
  ~FlashTurn() {
    SetProgressCallback(callback_, interval_);
    if (mutex_) {
      ReleaseMutex(mutex_);
      CloseHandle(mutex_);
    }
  }
  FlashTurn(const FlashTurn&) = delete;
  FlashTurn& operator=(const FlashTurn&) = delete;

 private:
  HANDLE mutex_;
  ProgressCallbackFn callback_;
  DWORD interval_;
};

std::string AreaText(const RegistryArea& area) {
  return Hex(area.start, 8) + " + 2 x " + Hex(area.half);
}

std::optional<RegistryArea> OpenModuleArea(std::string* problem) {
  Module* module = CurrentModule();
  if (!module) {
    *problem = "no module is open";
    return std::nullopt;
  }
  if (!SelectFlashDriver()) {
    *problem = "the flash driver does not start, so the registry in flash cannot be reached";
    return std::nullopt;
  }
  std::optional<RegistryArea> area = RegistryAreaOf(module->config().platform, FlashOps.FlashSize);
  if (!area) {
    *problem = "item 5's registry area does not lie in the flash";
    return std::nullopt;
  }
  // A platform told to keep its registry over the bootloader or the OS image would erase them.
  const std::uint64_t end = std::uint64_t{area->start} + 2ull * area->half;
  if (area->start < kBootAreaBytes) {
    *problem = "the registry area (" + AreaText(*area) + ") reaches into the boot area";
    return std::nullopt;
  }
  FlashFile flash(module->dir(), module->config());
  std::string none;
  std::optional<FoundBootImage> os = FindBootImage(flash, OsImagePlace(module->config()), &none);
  if (os && os->place < end && area->start < std::uint64_t{os->place} + os->size) {
    *problem = "the registry area (" + AreaText(*area) + ") lies in the OS image at " +
               Hex(os->place) + " (" + Hex(os->size) + " bytes)";
    return std::nullopt;
  }
  return area;
}

}  // namespace

namespace {
// KnowRegistryCopy's copy, until a start takes it.
struct KnownCopy {
  RegistryArea area;
  std::optional<RegistryCopy> copy;
};
std::optional<KnownCopy> known_copy;
}  // namespace

void KnowRegistryCopy(const RegistryArea& area, std::optional<RegistryCopy> copy) {
  known_copy = KnownCopy{area, std::move(copy)};
}

std::optional<RegistryArea> RegistryAreaOf(const PlatformConfig& platform,
                                           std::uint64_t flash_size) {
  RegistryArea area = kPlatformArea;
  if (platform.item5) area = {(*platform.item5)[1], (*platform.item5)[2]};
  if (area.half == 0 || std::uint64_t{area.start} + 2 * std::uint64_t{area.half} > flash_size) {
    return std::nullopt;
  }
  return area;
}

std::array<std::optional<RegistryCopy>, 2> RegistryCopies(FlashReadFn read, void* context,
                                                          const RegistryArea& area) {
  return {CopyInHalf(read, context, area, 0), CopyInHalf(read, context, area, 1)};
}

std::optional<RegistryCopy> NewestRegistryCopy(FlashReadFn read, void* context,
                                               const RegistryArea& area) {
  auto [a, b] = RegistryCopies(read, context, area);
  if (a && b) return a->sequence >= b->sequence ? a : b;
  return a ? a : b;
}

std::string DescribeRegistryCopy(const std::optional<RegistryCopy>& copy) {
  if (!copy) return "no copy in flash: a start takes the image's default registry";
  std::size_t values = 0;
  for (const RegistryKeyData& key : copy->tree.keys) values += key.values.size();
  return "copy " + std::to_string(copy->sequence) + " in half " + std::to_string(copy->half) +
         " (at " + Hex(copy->offset, 8) + "), " + std::to_string(copy->tree.keys.size()) +
         (copy->tree.keys.size() == 1 ? " key, " : " keys, ") + std::to_string(values) +
         (values == 1 ? " value" : " values");
}

long SaveRegistryToFlash(const RegistryTree& tree, std::string* problem) {
  FlashTurn turn;
  std::optional<RegistryArea> area = OpenModuleArea(problem);
  if (!area) return ERROR_NOT_SUPPORTED;
  std::optional<RegistryCopy> newest = NewestRegistryCopy(ReadThroughDriver, nullptr, *area);
  const int half = newest ? 1 - newest->half : 0;
  std::uint32_t first = 0, end = 0;
  if (!WholeBlocks(*area, half, &first, &end)) {
    *problem = "half " + std::to_string(half) + " of the registry area (" + AreaText(*area) +
               ") holds no whole flash block, so a save could not leave the other copy whole";
    return ERROR_NOT_SUPPORTED;
  }
  const std::string text = RegistryTomlTables(tree);
  const std::uint32_t bytes = static_cast<std::uint32_t>(text.size());
  if (kHeaderBytes + std::uint64_t{bytes} > end - first) {
    *problem = "the registry (" + std::to_string(bytes) + " bytes) does not fit the " +
               Hex(end - first) + " bytes of whole blocks in a half of the registry area";
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  std::vector<std::uint8_t> copy(kHeaderBytes + bytes);
  PutWord(&copy[0], kCopyMagic);
  PutWord(&copy[4], newest ? newest->sequence + 1 : 1);
  PutWord(&copy[8], bytes);
  std::memcpy(&copy[kHeaderBytes], text.data(), bytes);
  PutWord(&copy[12], CopyCrc(copy.data(), &copy[kHeaderBytes], bytes));

  // Only the blocks the copy takes are erased: the rest of the half never holds one. A second
  // try mends a block whose last erase was cut short: it reads blank, so the driver leaves it
  // as it is and the program fails; the failed program leaves it not blank, and the next
  // erase takes it whole.
  bool written = false;
  for (int attempt = 0; attempt < 2 && !written; ++attempt) {
    if (!FlashOps.EraseRange(first, static_cast<DWORD>(copy.size()))) {
      *problem = "erasing half " + std::to_string(half) + " of the registry area at " +
                 Hex(first, 8) + " failed; the copy before stays in force";
      return ERROR_WRITE_FAULT;
    }
    std::vector<std::uint8_t> back(copy.size());
    written = FlashOps.WriteBuffer(copy.data(), first, static_cast<DWORD>(copy.size())) &&
              FlashOps.ReadBuffer(back.data(), first, static_cast<DWORD>(back.size())) &&
              back == copy;
  }
  if (!written) {
    *problem = "writing the registry into half " + std::to_string(half) + " at " + Hex(first, 8) +
               " failed; the copy before stays in force";
    return ERROR_WRITE_FAULT;
  }
  RegistryCopy saved{half, first, newest ? newest->sequence + 1 : 1, bytes, tree};
  WriteRegistryView(CurrentModule()->dir(), tree, DescribeRegistryCopy(saved));
  return ERROR_SUCCESS;
}

bool ClearRegistryInFlash(std::string* problem) {
  FlashTurn turn;
  std::optional<RegistryArea> area = OpenModuleArea(problem);
  if (!area) return false;
  // The half without the newest copy first: a clear cut short leaves the newest copy or none,
  // never an older one brought back.
  // The blocks of each copy found are erased, the newest copy's last.
  std::array<std::optional<RegistryCopy>, 2> copies =
      RegistryCopies(ReadThroughDriver, nullptr, *area);
  const int newest =
      copies[0] && (!copies[1] || copies[0]->sequence >= copies[1]->sequence) ? 0 : 1;
  for (int half : {1 - newest, newest}) {
    const std::optional<RegistryCopy>& copy = copies[half];
    if (!copy) continue;
    if (!FlashOps.EraseRange(copy->offset, kHeaderBytes + copy->bytes)) {
      *problem = "erasing the registry copy in half " + std::to_string(half) + " at " +
                 Hex(copy->offset, 8) + " failed";
      return false;
    }
  }
  std::optional<RegistryCopy> left = NewestRegistryCopy(ReadThroughDriver, nullptr, *area);
  if (left) {
    *problem = "a registry copy is still in flash at " + Hex(left->offset, 8);
    return false;
  }
  WriteRegistryView(CurrentModule()->dir(), RegistryTree{}, DescribeRegistryCopy(std::nullopt));
  return true;
}

void StartLiveRegistryFromFlash(const fs::path& dir, const ModuleConfig& config,
                                const FlashFile& flash) {
  const fs::path live = LiveRegistryFile(dir);
  std::error_code ec;
  if (fs::exists(live, ec)) {
    LoadRegistryFile(live);  // a broken one is said now, not at the first registry call
    return;
  }
  std::optional<RegistryCopy> copy;
  std::optional<KnownCopy> known;
  known.swap(known_copy);
  if (std::optional<RegistryArea> area = RegistryAreaOf(config.platform, flash.size())) {
    if (known && known->area.start == area->start && known->area.half == area->half) {
      copy = std::move(known->copy);
    } else {
      copy = NewestRegistryCopy(FlashFile::ReadFn, const_cast<FlashFile*>(&flash), *area);
    }
  }
  RegistryTree tree = config.default_registry;
  std::string in_force = DescribeRegistryCopy(copy);
  const fs::path kept = KeptRegistryFile(dir);
  if (copy) {
    tree = copy->tree;
  } else if (fs::exists(kept, ec) && !IsRegistryView(kept)) {
    // A module made before the registry lived in flash: its saved registry starts it this
    // once, and stays beside as registry.toml.old; the next save puts it in flash.
    RegistryTree saved = LoadRegistryFile(kept);
    if (!saved.empty()) {
      tree = saved;
      fs::path old = kept;
      old += ".old";
      fs::rename(kept, old, ec);
      if (ec && !fs::exists(old)) {
        throw ModuleError(kept.string() + ": cannot keep it as registry.toml.old");
      }
      in_force =
          "no copy in flash; this start took registry.toml.old, which an older Imbrel "
          "kept: save the registry to keep it in flash";
    }
  }
  fs::create_directories(live.parent_path(), ec);
  WriteRegistryFile(live, tree);
  WriteRegistryView(dir, copy ? copy->tree : RegistryTree{}, in_force);
}

}  // namespace host

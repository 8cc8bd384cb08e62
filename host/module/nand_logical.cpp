#include "host/module/nand_logical.h"

#include <algorithm>
#include <cstring>

#include "host/hardware/pxa3xx_dfc.h"

namespace host {
namespace {

constexpr std::uint32_t kEntryBytes = 4;
constexpr std::uint32_t kHeaderBytes = 4;
// Entries that fit the table page after its header.
constexpr std::uint32_t kMaxEntries = (kNandPageBytes - kHeaderBytes) / kEntryBytes;

std::uint16_t Get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

}  // namespace

NandLogicalView::NandLogicalView(std::uint8_t* image, std::uint32_t blocks)
    : image_(image), blocks_(blocks) {
  map_.resize(blocks_);
  for (std::uint32_t k = 0; k < blocks_; ++k) map_[k] = k;
  if (!TableValid()) return;
  const std::uint32_t logical_blocks = blocks_ - Reserve();
  for (const NandRelocation& entry : Table()) {
    // As the driver takes it: only entries naming a logical block and a reserve block count.
    if (entry.bad_block == 0 || entry.bad_block >= logical_blocks) continue;
    if (entry.replacement < logical_blocks || entry.replacement >= blocks_) continue;
    map_[entry.bad_block] = entry.replacement;
  }
}

bool NandLogicalView::TableValid() const {
  return Get16(RawPage(kNandTablePage)) == kNandTableSignature;
}

std::vector<NandRelocation> NandLogicalView::Table() const {
  std::vector<NandRelocation> entries;
  if (!TableValid()) return entries;
  const std::uint8_t* page = RawPage(kNandTablePage);
  for (std::uint32_t i = 0; i < kMaxEntries; ++i) {
    const std::uint8_t* entry = page + kHeaderBytes + i * kEntryBytes;
    std::uint16_t bad = Get16(entry);
    if (bad == 0xFFFF) break;
    entries.push_back({bad, Get16(entry + 2)});
  }
  return entries;
}

std::vector<std::uint32_t> NandLogicalView::Map() const { return map_; }

std::optional<std::uint32_t> NandLogicalView::PhysicalPage(std::uint32_t logical_page) const {
  const std::uint32_t block = logical_page / kNandPagesPerBlock;
  if (block >= blocks_ - Reserve() || logical_page == kNandSkippedPage) return std::nullopt;
  std::uint32_t page = logical_page + (map_[block] - block) * kNandPagesPerBlock;
  // Logical pages 63 to 126 sit one page further on, after the table page.
  if (logical_page >= kNandTablePage && logical_page < kNandSkippedPage) ++page;
  return page;
}

bool NandLogicalView::Read(std::uint64_t offset, void* destination, std::uint64_t count) const {
  if (offset > FlashSize() || count > FlashSize() - offset) return false;
  auto* out = static_cast<std::uint8_t*>(destination);
  while (count) {
    const std::uint32_t page = static_cast<std::uint32_t>(offset / kNandPageBytes);
    const std::uint32_t column = static_cast<std::uint32_t>(offset % kNandPageBytes);
    const std::uint32_t n =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(count, kNandPageBytes - column));
    std::optional<std::uint32_t> physical = PhysicalPage(page);
    if (physical) {
      std::memcpy(out, RawPage(*physical) + column, n);
    } else {
      std::memset(out, 0xFF, n);
    }
    out += n;
    offset += n;
    count -= n;
  }
  return true;
}

bool NandLogicalView::Program(std::uint64_t offset, const void* source, std::uint64_t count) {
  if (offset > FlashSize() || count > FlashSize() - offset) return false;
  const auto* in = static_cast<const std::uint8_t*>(source);
  while (count) {
    const std::uint32_t page = static_cast<std::uint32_t>(offset / kNandPageBytes);
    const std::uint32_t column = static_cast<std::uint32_t>(offset % kNandPageBytes);
    const std::uint32_t n =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(count, kNandPageBytes - column));
    if (std::optional<std::uint32_t> physical = PhysicalPage(page)) {
      std::uint8_t* raw = RawPage(*physical);
      for (std::uint32_t i = 0; i < n; ++i) raw[column + i] &= in[i];
      // The controller's ECC: 6 bytes for each 512-byte step, at spare bytes 40 to 63.
      for (std::uint32_t step = 0; step < kNandPageBytes / 512; ++step) {
        DfcEccCompute(raw + step * 512, raw + kNandPageBytes + 40 + step * 6);
      }
    }
    in += n;
    offset += n;
    count -= n;
  }
  return true;
}

}  // namespace host

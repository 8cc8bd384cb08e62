#include "host/module/nand_logical.h"

#include <algorithm>
#include <cstring>

#include "host/hardware/pxa3xx_dfc.h"

namespace host {

NandLogicalView::NandLogicalView(std::uint8_t* image, std::uint32_t blocks)
    : image_(image), blocks_(blocks) {
  // The table page read as the driver reads it: raw, and through its ECC bytes when its
  // spare bytes say they are its own.
  const std::uint8_t* raw = RawPage(kNandTablePage);
  const std::uint8_t* spare = raw + kNandPageBytes;
  std::vector<std::uint8_t> ecc_read;
  if (RelocationTableEccSpeaks(spare)) {
    ecc_read.assign(raw, raw + kNandPageBytes);
    for (std::uint32_t step = 0; step < kNandPageBytes / 512 && !ecc_read.empty(); ++step) {
      if (DfcEccCorrect(ecc_read.data() + step * 512, spare + kDfcEccSpareOffset + step * 6) ==
          DfcEccResult::kUncorrectable) {
        ecc_read.clear();
      }
    }
  }
  table_ = std::make_shared<RelocationTablePage>();
  RelocationTableChecks checks;
  verdict_ = ReadRelocationTable(raw, spare, ecc_read.empty() ? nullptr : ecc_read.data(), blocks_,
                                 table_.get(), &checks);
  std::vector<WORD> map(blocks_);
  if (TableValid()) {
    RelocationMapFromTable(table_.get(), blocks_, map.data());
  } else {
    for (std::uint32_t k = 0; k < blocks_; ++k) map[k] = static_cast<WORD>(k);
  }
  map_.assign(map.begin(), map.end());
}

bool NandLogicalView::TableValid() const {
  return verdict_ == kRelocationTableIntact || verdict_ == kRelocationTableMended;
}

std::vector<NandRelocation> NandLogicalView::Table() const {
  std::vector<NandRelocation> entries;
  if (!TableValid()) return entries;
  const DWORD n = RelocationEntryCount(table_.get());
  for (DWORD i = 0; i < n; ++i) {
    entries.push_back({table_->Entries[i].BadBlock, table_->Entries[i].Replacement});
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
        DfcEccCompute(raw + step * 512, raw + kNandPageBytes + kDfcEccSpareOffset + step * 6);
      }
    }
    in += n;
    offset += n;
    count -= n;
  }
  return true;
}

}  // namespace host

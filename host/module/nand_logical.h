// The logical flash of a NAND module as the program's bad-block layer lays it out, seen
// straight in nand.img: the relocation table in physical page 63, the block map it implies,
// and the page mapping around the table page. The factory programs its content through it,
// `imbrel-module info` reads the table, and tests use it to check what landed where.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "flash/nand/nand_flash.h"
#include "host/hardware/nand_chip.h"

namespace host {

constexpr std::uint32_t kNandBlockBytes = kNandPageBytes * kNandPagesPerBlock;
constexpr std::uint32_t kNandTablePage = kRelocationTablePage;
constexpr std::uint16_t kNandTableSignature = kRelocationTableSignature;
/// The logical page that is never programmed or read (the last page of the boot area).
constexpr std::uint32_t kNandSkippedPage = kRelocationTablePage + kNandPagesPerBlock;

struct NandRelocation {
  std::uint16_t bad_block;    // logical block; 0: a retired entry
  std::uint16_t replacement;  // physical block
};

class NandLogicalView {
 public:
  /// `image` is the whole of nand.img (`blocks` blocks of raw pages); not owned.
  NandLogicalView(std::uint8_t* image, std::uint32_t blocks);

  std::uint32_t Blocks() const { return blocks_; }
  std::uint32_t Reserve() const { return RelocationReserveBlocks(blocks_); }
  std::uint64_t FlashSize() const { return std::uint64_t{blocks_ - Reserve()} * kNandBlockBytes; }

  /// What the driver makes of the table page: intact, mended by its check or ECC, damaged
  /// (the driver does not start) or no table at all.
  RelocationTableVerdict TableState() const { return verdict_; }
  /// Whether the driver takes the table page (intact or mended).
  bool TableValid() const;
  /// The entries before the end mark, retired ones included, as the driver takes them.
  std::vector<NandRelocation> Table() const;
  /// Physical block of every logical block, as the driver builds its map from the table.
  std::vector<std::uint32_t> Map() const;
  /// Physical page of a logical page; none for the skipped page or past the logical space.
  std::optional<std::uint32_t> PhysicalPage(std::uint32_t logical_page) const;

  /// Data bytes of the logical range (0xFF for the skipped page); false past the end.
  bool Read(std::uint64_t offset, void* destination, std::uint64_t count) const;
  /// Programs the logical range as a factory programmer does: every page it touches gets the
  /// data ANDed in, its first 40 spare bytes left as they are and the hardware ECC of the
  /// page's data in spare bytes 40 to 63. The skipped page is left alone. False past the end.
  bool Program(std::uint64_t offset, const void* source, std::uint64_t count);

  std::uint8_t* RawPage(std::uint32_t physical_page) const {
    return image_ + std::uint64_t{physical_page} * kNandRawPageBytes;
  }

 private:
  std::uint8_t* image_;
  std::uint32_t blocks_;
  RelocationTableVerdict verdict_;
  std::shared_ptr<RelocationTablePage> table_;
  std::vector<std::uint32_t> map_;
};

}  // namespace host

// Models an 8-bit large-page NAND chip as the Samsung K9F2G08U0B and Hynix HY27UF084G2B
// datasheets describe it: commands and addresses latched byte by byte, a 2112-byte page
// register, the status byte, tR/tPROG/tBERS on the virtual clock, programs that only clear bits.
// A power cut leaves the operation in flight landed in part (power.h); pages programmed out of
// order or past the partial-program limit are noted, and may read with bit errors
// (rule_breaks); every block's erases are counted over the chip's life (its wear). What it
// does not model is listed in nand_chip.h.

#include "host/hardware/nand_chip.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "host/hardware/flash_activity.h"
#include "host/hardware/model_notes.h"
#include "host/hardware/power.h"

namespace host {

namespace {

constexpr std::uint8_t kStatusFail = 0x01;
constexpr std::uint8_t kStatusReady = 0x40;
constexpr std::uint8_t kStatusNotProtected = 0x80;

constexpr std::uint8_t kEraseFails = 0x01;
constexpr std::uint8_t kProgramFails = 0x02;

// Sets `pages` raw pages to the erased state. Pages that already read all ones are left
// alone: most erases meet blocks that are still blank, and a page of the module's image that
// is not written stays clean in the page cache.
void EraseCells(const FlashImageFile* image, std::uint8_t* cells, std::uint32_t pages) {
  // Pages already erased are left alone, so that an erase of an erased block dirties nothing.
  // They are looked at through the file, a few pages at a time.
  constexpr std::uint32_t kBatch = 8;
  constexpr std::size_t kWords = kNandRawPageBytes / sizeof(std::uint64_t);
  static thread_local std::uint8_t seen[kBatch * kNandRawPageBytes];
  for (std::uint32_t first = 0; first < pages; first += kBatch) {
    const std::uint32_t batch = std::min(kBatch, pages - first);
    std::uint8_t* batch_cells = cells + std::size_t{first} * kNandRawPageBytes;
    ReadFlashImage(image, batch_cells, std::size_t{batch} * kNandRawPageBytes, seen);
    for (std::uint32_t p = 0; p < batch; ++p) {
      std::uint64_t all = ~std::uint64_t{0};
      for (std::size_t w = 0; w < kWords; ++w) {
        std::uint64_t word;
        std::memcpy(&word, seen + p * kNandRawPageBytes + w * sizeof word, sizeof word);
        all &= word;
      }
      if (all != ~std::uint64_t{0}) {
        std::memset(batch_cells + std::size_t{p} * kNandRawPageBytes, 0xFF, kNandRawPageBytes);
      }
    }
  }
}

// Datasheet ID bytes. The Hynix part is two HY27UF084G2B dies, one per chip select; each
// answers with its own 4 Gbit ID.
const NandVariant kVariants[] = {
    {0xD3EC, "Samsung K9K8G08U0A (8 Gbit)", {0xEC, 0xD3, 0x51, 0x95, 0x58}, 8192, 1, 20'000},
    {0xF1EC, "Samsung K9F1G08U0B (1 Gbit)", {0xEC, 0xF1, 0x00, 0x95, 0x40}, 1024, 1},
    {0xDAEC, "Samsung K9F2G08U0B (2 Gbit)", {0xEC, 0xDA, 0x10, 0x95, 0x44}, 2048, 1},
    {0xDCEC, "Samsung K9F4G08U0B (4 Gbit)", {0xEC, 0xDC, 0x10, 0x95, 0x54}, 4096, 1},
    {0xDCAD, "Hynix 2 x HY27UF084G2B (2 x 4 Gbit)", {0xAD, 0xDC, 0x10, 0x95, 0x54}, 8192, 2},
};

}  // namespace

const std::vector<NandVariant>& NandVariants() {
  static const std::vector<NandVariant> variants(std::begin(kVariants), std::end(kVariants));
  return variants;
}

const NandVariant* FindNandVariant(std::uint16_t id) {
  for (const NandVariant& variant : NandVariants()) {
    if (variant.id == id) return &variant;
  }
  return nullptr;
}

NandVariant NandVariantFor(std::uint16_t id) {
  if (const NandVariant* known = FindNandVariant(id)) return *known;
  return {id,
          "unknown chip",
          {static_cast<std::uint8_t>(id), static_cast<std::uint8_t>(id >> 8), 0x00, 0x95, 0x40},
          1024,
          1};
}

NandChip::NandChip(const NandVariant& variant, std::uint32_t blocks, std::uint32_t first_block,
                   std::uint8_t* cells, std::uint8_t* programs, const NandTiming& timing,
                   const std::vector<NandFault>& faults, int chip_select, const ModelLinks& links)
    : variant_(variant),
      links_(links),
      blocks_(blocks),
      first_block_(first_block),
      cells_(cells),
      programs_(programs),
      timing_(timing),
      block_faults_(blocks, 0),
      own_weak_(blocks, 0),
      weak_(own_weak_.data()),
      own_erase_counts_(blocks, 0),
      erase_counts_(own_erase_counts_.data()) {
  std::memset(page_register_, 0xFF, sizeof page_register_);
  const std::uint32_t first_page = first_block * kNandPagesPerBlock;
  for (const NandFault& fault : faults) {
    switch (fault.kind) {
      case NandFaultKind::kNeverReady:
        if (fault.chip_select < 0 || fault.chip_select == chip_select) never_ready_ = true;
        break;
      case NandFaultKind::kEraseError:
      case NandFaultKind::kProgramError:
        if (fault.block >= first_block && fault.block - first_block < blocks) {
          block_faults_[fault.block - first_block] |=
              fault.kind == NandFaultKind::kEraseError ? kEraseFails : kProgramFails;
        }
        break;
      case NandFaultKind::kBitFlip:
        if (fault.page >= first_page && fault.page - first_page < PageCount() &&
            fault.byte < kNandRawPageBytes) {
          flips_.push_back({fault.page - first_page, fault.byte,
                            static_cast<std::uint8_t>(1u << (fault.bit & 7))});
        }
        break;
    }
  }
}

std::uint8_t NandChip::Status(std::uint64_t at) const {
  std::uint8_t status = kStatusNotProtected;
  if (!Busy(at)) status |= kStatusReady;
  if (failed_) status |= kStatusFail;
  return status;
}

void NandChip::Command(std::uint8_t command, std::uint64_t at) {
  if (Tracing(links_.notes)) {
    char text[96];
    std::snprintf(text, sizeof text, "chip %u: command 0x%02X%s", first_block_ ? 1u : 0u, command,
                  Busy(at) ? " (busy)" : "");
    Trace(links_.notes, "NAND", text);
  }
  // A busy chip listens only to Read Status and Reset.
  if (Busy(at) && command != 0x70 && command != 0xFF) return;
  switch (command) {
    case 0x00:  // read setup
      state_ = State::kReadAddress;
      address_count_ = 0;
      break;
    case 0x30:  // read confirm: array to page register
      if (state_ == State::kReadAddress) StartRead(at);
      break;
    case 0x80:  // program setup: the page register starts all ones
      state_ = State::kProgramInput;
      address_count_ = 0;
      std::memset(page_register_, 0xFF, sizeof page_register_);
      break;
    case 0x10:  // program confirm
      if (state_ == State::kProgramInput) StartProgram(at);
      break;
    case 0x60:  // erase setup
      state_ = State::kEraseAddress;
      address_count_ = 0;
      break;
    case 0xD0:  // erase confirm
      if (state_ == State::kEraseAddress) StartErase(at);
      break;
    case 0x90:  // read ID
      state_ = State::kReadId;
      address_count_ = 0;
      id_index_ = 0;
      break;
    case 0x70:  // read status
      state_ = State::kReadStatus;
      break;
    case 0xFF:  // reset
      Reset(at);
      break;
    default:  // not a command of these chips: ignored
      break;
  }
}

void NandChip::Address(std::uint8_t address, std::uint64_t at) {
  if (Busy(at)) return;
  if (address_count_ < sizeof address_) address_[address_count_] = address;
  ++address_count_;
  if (state_ == State::kProgramInput || state_ == State::kReadAddress) {
    column_ = (address_[0] | (address_count_ > 1 ? address_[1] << 8 : 0)) & 0xFFF;
  }
}

std::uint32_t NandChip::Row() const {
  // Large-page chips: two column cycles, then the row, low byte first. Erase sends the row
  // alone. Row bits beyond the chip's pages are not connected.
  std::uint32_t first = state_ == State::kEraseAddress ? 0 : 2;
  std::uint32_t row = 0;
  for (std::uint32_t i = first; i < std::min<std::uint32_t>(address_count_, 5); ++i) {
    row |= std::uint32_t{address_[i]} << (8 * (i - first));
  }
  return row & (PageCount() - 1);
}

void NandChip::ReadData(std::uint8_t* out, std::uint32_t count, std::uint64_t at) {
  for (std::uint32_t i = 0; i < count; ++i) {
    switch (state_) {
      case State::kReadId:
        // Past the fifth byte these chips start the ID over.
        out[i] = variant_.id_bytes[id_index_++ % 5];
        break;
      case State::kReadStatus:
        out[i] = Status(at);
        break;
      default:
        out[i] = column_ < kNandRawPageBytes ? page_register_[column_] : 0xFF;
        ++column_;
        break;
    }
  }
}

void NandChip::WriteData(const std::uint8_t* data, std::uint32_t count, std::uint64_t at) {
  if (Busy(at) || state_ != State::kProgramInput) return;
  std::uint32_t n = std::min(count, kNandRawPageBytes - std::min(column_, kNandRawPageBytes));
  std::memcpy(page_register_ + column_, data, n);
  column_ += n;
}

void NandChip::StartRead(std::uint64_t at) {
  std::uint32_t page = Row();
  state_ = State::kIdle;
  programming_ = false;
  if (never_ready_) {
    busy_until_ = kNever;
    return;
  }
  std::memcpy(page_register_, Page(page), kNandRawPageBytes);
  for (const Flip& flip : flips_) {
    if (flip.page == page) page_register_[flip.byte] ^= flip.mask;
  }
  busy_until_ = at + timing_.read_ns;
}

void NandChip::StartProgram(std::uint64_t at) {
  std::uint32_t page = Row();
  state_ = State::kIdle;
  programming_ = false;
  if (never_ready_) {
    busy_until_ = kNever;
    return;
  }
  busy_until_ = at + timing_.program_ns;
  NoteFlashProgram(links_.image,
                   (std::uint64_t{first_block_} * kNandPagesPerBlock + page) * kNandPageBytes,
                   kNandPageBytes, true);
  NoteFlashTiming(false, (std::uint64_t{first_block_} * kNandPagesPerBlock + page) * kNandPageBytes,
                  kNandPageBytes, at, timing_.program_ns);
  failed_ = block_faults_[page / kNandPagesPerBlock] & kProgramFails;
  if (failed_) {
    // The program gave up part way: the first half of the page register is in the cells.
    std::uint8_t* cells = Page(page);
    for (std::uint32_t i = 0; i < kNandRawPageBytes / 2; ++i) cells[i] &= page_register_[i];
    if (programs_[page] != 0xFF) ++programs_[page];
    Trace(links_.notes, "NAND", Where("program failed (fault): page", page));
    return;
  }
  if (weak_[page / kNandPagesPerBlock]) {
    // Cells left by an erase that never finished: the program does not verify. The page
    // takes the data but for one bit, and the status says it failed.
    failed_ = true;
    std::uint8_t* cells = Page(page);
    bool missed = false;
    for (std::uint32_t i = 0; i < kNandRawPageBytes; ++i) {
      std::uint8_t value = page_register_[i];
      const std::uint8_t zeros = static_cast<std::uint8_t>(~value);
      if (!missed && zeros) {
        value |= static_cast<std::uint8_t>(zeros & -zeros);
        missed = true;
      }
      cells[i] &= value;
    }
    if (programs_[page] != 0xFF) ++programs_[page];
    Trace(links_.notes, "NAND", Where("program into a weak block failed: page", page));
    return;
  }
  programming_ = true;
  program_page_ = page;
  program_start_ = at;
  std::memcpy(program_old_, Page(page), kNandRawPageBytes);
  LandOperation(false, page);
}

void NandChip::StartErase(std::uint64_t at) {
  std::uint32_t page = Row() & ~(kNandPagesPerBlock - 1);
  state_ = State::kIdle;
  programming_ = false;
  if (never_ready_) {
    busy_until_ = kNever;
    return;
  }
  busy_until_ = at + timing_.erase_ns;
  ++erase_counts_[page / kNandPagesPerBlock];
  NoteFlashErase(links_.image,
                 (std::uint64_t{first_block_} * kNandPagesPerBlock + page) * kNandPageBytes,
                 std::uint64_t{kNandPagesPerBlock} * kNandPageBytes, true);
  NoteFlashTiming(true, (std::uint64_t{first_block_} * kNandPagesPerBlock + page) * kNandPageBytes,
                  std::uint64_t{kNandPagesPerBlock} * kNandPageBytes, at, timing_.erase_ns);
  failed_ = block_faults_[page / kNandPagesPerBlock] & kEraseFails;
  if (failed_) {
    // The erase gave up part way: the block's first quarter of pages is erased.
    EraseCells(links_.image, Page(page), kNandPagesPerBlock / 4);
    std::memset(programs_ + page, 0, kNandPagesPerBlock / 4);
    weak_[page / kNandPagesPerBlock] = 1;
    Trace(links_.notes, "NAND", Where("erase failed (fault): block", page / kNandPagesPerBlock));
    return;
  }
  LandOperation(true, page);
}

void NandChip::Reset(std::uint64_t at) {
  // A reset ends a running (or stuck) operation; what it already changed stays changed. A
  // program cut short has programmed the first part of its page, in proportion to the time
  // it ran; the rest of the page keeps its old cells.
  bool was_busy = Busy(at);
  if (was_busy && programming_) {
    const std::uint64_t ran = at - program_start_;
    const std::uint64_t landed = ran * kNandRawPageBytes / (busy_until_ - program_start_);
    std::uint8_t* cells = Page(program_page_);
    std::memcpy(cells + landed, program_old_ + landed, kNandRawPageBytes - landed);
    Trace(links_.notes, "NAND",
          Where("program cut short by a reset: page", program_page_) + ", " +
              std::to_string(landed) + " of 2112 bytes programmed");
  }
  programming_ = false;
  state_ = State::kIdle;
  address_count_ = 0;
  busy_until_ = at + (was_busy ? timing_.reset_busy_ns : timing_.reset_ns);
}

void NandChip::LandOperation(bool erase, std::uint32_t page) {
  // The one place where the cells change, and where a power cut leaves an operation half done.
  // A rehearsal's walk goes on from Off: each further cut of the operation lands its part
  // (of an erase, more; of a program, from the page as it was), then the operation lands whole.
  const bool cut = links_.power && links_.power->FailsDuring();
  if (erase) {
    if (cut) {
      do {
        const std::uint32_t pages = links_.power->Landed(kNandPagesPerBlock);
        EraseCells(links_.image, Page(page), pages);
        std::memset(programs_ + page, 0, pages);
        // An erase cut short leaves cells that read erased but were never verified so.
        weak_[page / kNandPagesPerBlock] = 1;
        links_.power->Off(Where("erase of physical block", page / kNandPagesPerBlock));
      } while (links_.power->CutAgain());
    }
    EraseCells(links_.image, Page(page), kNandPagesPerBlock);
    std::memset(programs_ + page, 0, kNandPagesPerBlock);
    weak_[page / kNandPagesPerBlock] = 0;
    ++erases_;
    return;
  }
  // The large-page datasheets have a block's pages programmed in order from page 0, and
  // each page at most kNandPartialProgramLimit times between erases: note every program
  // that breaks either, as the chip would take it and may lose data for it.
  const std::uint32_t block_end = (page | (kNandPagesPerBlock - 1)) + 1;
  for (std::uint32_t later = page + 1; later < block_end; ++later) {
    if (programs_[later]) {
      BrokenRule(page, "programmed after page " + std::to_string(later % kNandPagesPerBlock) +
                           " of its block");
      break;
    }
  }
  if (programs_[page] >= kNandPartialProgramLimit) {
    BrokenRule(page, "program " + std::to_string(programs_[page] + 1) + " since its erase");
  }
  const bool broke_rule =
      programs_[page] >= kNandPartialProgramLimit ||
      std::any_of(programs_ + page + 1, programs_ + block_end, [](std::uint8_t n) { return n; });
  std::uint8_t* cells = Page(page);
  if (cut) {
    std::uint8_t before[kNandRawPageBytes];
    std::memcpy(before, cells, sizeof before);
    const std::uint8_t programs = programs_[page];
    do {
      // A program cut short has moved only some of the page register into the cells.
      ProgramCells(page, links_.power->Landed(kNandPageBytes), broke_rule);
      links_.power->Off(Where("program of physical page", page));
      std::memcpy(cells, before, sizeof before);
      programs_[page] = programs;
    } while (links_.power->CutAgain());
  }
  ProgramCells(page, kNandRawPageBytes, broke_rule);
}

void NandChip::ProgramCells(std::uint32_t page, std::uint32_t bytes, bool broke_rule) {
  std::uint8_t* cells = Page(page);
  for (std::uint32_t i = 0; i < bytes; ++i) cells[i] &= page_register_[i];
  if (broke_rule && spoil_rule_breaks_) {
    // Program disturb: two cells of the page's first 512-byte step lose their charge state,
    // more than the ECC mends.
    cells[page % 512] ^= 0x01;
    cells[(page * 7 + 100) % 512] ^= 0x10;
  }
  if (programs_[page] != 0xFF) ++programs_[page];
}

void NandChip::BrokenRule(std::uint32_t page, const std::string& what) const {
  Note(links_.notes, "nand.rules",
       "page " + std::to_string(first_block_ * kNandPagesPerBlock + page) + " " + what);
}

std::string NandChip::Where(const char* what, std::uint32_t number) const {
  // Numbers across the part: this chip's blocks start at first_block_.
  std::uint32_t across = std::string(what).find("block") != std::string::npos
                             ? first_block_ + number
                             : first_block_ * kNandPagesPerBlock + number;
  return std::string("NAND ") + what + " " + std::to_string(across);
}

}  // namespace host

// One 8-bit large-page NAND chip (Samsung K9F1G08/K9F2G08/K9F4G08/K9K8G08, Hynix HY27UF084G2B)
// behind one chip select: command latch, address latch, page register, status, array timings.
// Does not model: cache program/read, copy-back, two-plane commands, OTP, the random data
// commands (0x05/0xE0, 0x85), write protect, the 16-bit bus variants.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/hardware/model_links.h"
#include "host/hardware/virtual_clock.h"

namespace host {

constexpr std::uint32_t kNandPageBytes = 2048;
constexpr std::uint32_t kNandSpareBytes = 64;
constexpr std::uint32_t kNandRawPageBytes = kNandPageBytes + kNandSpareBytes;
constexpr std::uint32_t kNandPagesPerBlock = 64;
/// Partial programs a page takes between erases by the datasheets (NOP); more are counted.
constexpr std::uint32_t kNandPartialProgramLimit = 4;

/// A known chip, or the geometry given to an ID outside the table.
struct NandVariant {
  std::uint16_t id;  // maker code in bits 0-7, device code in bits 8-15
  const char* name;
  std::uint8_t id_bytes[5];        // what Read ID returns: maker, device, 3rd, 4th, 5th
  std::uint32_t blocks;            // blocks of the whole part, over every chip select
  std::uint32_t chip_selects;      // dies, each behind its own chip select with blocks / cs
  std::uint64_t read_ns = 25'000;  // tR, the array-to-register time at its maximum
};
/// The known chip with this ID, or null.
const NandVariant* FindNandVariant(std::uint16_t id);
/// The known chip, or for any other ID: 1024 blocks on one chip select, ID bytes maker,
/// device, then 0x00 0x95 0x40 (a 1 Gbit part's last three bytes).
NandVariant NandVariantFor(std::uint16_t id);
const std::vector<NandVariant>& NandVariants();

enum class NandFaultKind {
  kEraseError,    // erasing the block ends with the fail bit set; the cells stay as they were
  kProgramError,  // programming into the block ends with the fail bit set; nothing programmed
  kBitFlip,       // one bit of a page reads inverted (the cell keeps its value)
  kNeverReady,    // every read, program and erase starts and never finishes
};

struct NandFault {
  NandFaultKind kind;
  std::uint32_t block = 0;  // physical block across the part (erase and program errors)
  std::uint32_t page = 0;   // physical page across the part (bit flips)
  std::uint32_t byte = 0;   // byte of the raw page, 0-2111; the spare area from 2048
  std::uint8_t bit = 0;     // 0-7
  int chip_select = -1;     // never-ready: 0, 1, or -1 for every chip
};

struct NandTiming {
  std::uint64_t read_ns = 25'000;         // tR, array to page register
  std::uint64_t program_ns = 200'000;     // tPROG typical
  std::uint64_t erase_ns = 1'500'000;     // tBERS typical
  std::uint64_t reset_ns = 5'000;         // tRST of an idle chip
  std::uint64_t reset_busy_ns = 500'000;  // tRST during a program or erase
  // The shortest strobes the chip takes (3.3 V large-page parts' AC characteristics): a
  // controller that drives them shorter moves corrupt bytes.
  std::uint32_t rp_min_ns = 12;  // tRP, RE# low
  std::uint32_t rh_min_ns = 10;  // tREH, RE# high
  std::uint32_t wp_min_ns = 12;  // tWP, WE# low
  std::uint32_t wh_min_ns = 10;  // tWH, WE# high
  std::uint32_t cs_min_ns = 20;  // tCS, CE# setup
  std::uint32_t ch_min_ns = 5;   // tCH, CE# hold
};

class NandChip {
 public:
  enum class State {
    kIdle,          // reads give the page register from the column pointer
    kReadAddress,   // 0x00 seen: collecting the column and row, waiting for 0x30
    kProgramInput,  // 0x80 seen: collecting the address, then data into the page register
    kEraseAddress,  // 0x60 seen: collecting the row, waiting for 0xD0
    kReadId,        // 0x90 seen: reads give the ID bytes
    kReadStatus,    // 0x70 seen: reads give the status byte
  };

  /// `cells` holds BlockCount() * 64 raw pages (2112 bytes each, data then spare) and
  /// `programs` one counter a page; neither is owned. `first_block` is the chip's first
  /// block in the part, which fault block and page numbers count from. `links`: what the
  /// module gives the chip (model_links.h).
  NandChip(const NandVariant& variant, std::uint32_t blocks, std::uint32_t first_block,
           std::uint8_t* cells, std::uint8_t* programs, const NandTiming& timing,
           const std::vector<NandFault>& faults, int chip_select, const ModelLinks& links = {});

  // The chip's bus. Every call carries the virtual time at which it reaches the chip.
  void Command(std::uint8_t command, std::uint64_t at);
  void Address(std::uint8_t address, std::uint64_t at);
  /// Bytes read from the I/O pins; they follow the state (page register, ID, status).
  void ReadData(std::uint8_t* out, std::uint32_t count, std::uint64_t at);
  /// Bytes written on the I/O pins: data into the page register at the column pointer.
  void WriteData(const std::uint8_t* data, std::uint32_t count, std::uint64_t at);

  /// The R/B# line: the time at which the chip is ready, kNever for a stuck chip.
  std::uint64_t ReadyAt() const { return busy_until_; }
  const NandTiming& timing() const { return timing_; }
  bool Busy(std::uint64_t at) const { return busy_until_ > at; }
  /// Status byte: bit 0 the last program or erase failed, bit 6 ready, bit 7 not protected.
  std::uint8_t Status(std::uint64_t at) const;

  State state() const { return state_; }
  std::uint32_t BlockCount() const { return blocks_; }
  std::uint32_t PageCount() const { return blocks_ * kNandPagesPerBlock; }
  /// Programs of a chip page since its last erase (255 at most).
  std::uint32_t Programs(std::uint32_t page) const { return programs_[page]; }
  std::uint32_t erases() const { return erases_; }
  /// Pages programmed out of order or past the partial-program limit read back with bit
  /// errors from then on, as a real chip's may (otherwise they are only noted).
  void SpoilRuleBreaks(bool on) { spoil_rule_breaks_ = on; }
  /// Blocks whose last erase was cut short or failed read erased, but their cells were never
  /// verified so: a program into one fails, with a bit of the page left unprogrammed, until
  /// the block is erased whole. Kept in `cells` (one byte a block of this chip) when given.
  void KeepWeakBlocks(std::uint8_t* cells) { weak_ = cells; }
  bool Weak(std::uint32_t block) const { return weak_[block] != 0; }
  /// Erases begun on each block over the chip's life (its wear), kept in `counts` (one a block
  /// of this chip) when given. An erase that fails or is cut short counts.
  void KeepEraseCounts(std::uint32_t* counts) { erase_counts_ = counts; }
  std::uint32_t EraseCount(std::uint32_t block) const { return erase_counts_[block]; }

 private:
  void StartRead(std::uint64_t at);
  void StartProgram(std::uint64_t at);
  void StartErase(std::uint64_t at);
  void Reset(std::uint64_t at);
  /// Every change of the cells lands here, one program or erase at a time.
  void LandOperation(bool erase, std::uint32_t page);
  /// Moves the first `bytes` of the page register into `page`'s cells, as a program does.
  void ProgramCells(std::uint32_t page, std::uint32_t bytes, bool broke_rule);
  /// Names an operation for the power-cut report, with numbers across the whole part.
  std::string Where(const char* what, std::uint32_t number) const;
  std::uint32_t Row() const;
  std::uint8_t* Page(std::uint32_t page) {
    return cells_ + std::uint64_t{page} * kNandRawPageBytes;
  }

  NandVariant variant_;
  ModelLinks links_;
  std::uint32_t blocks_;
  std::uint32_t first_block_;
  /// Notes in the module's nand.rules a program of `page` that breaks a datasheet rule.
  void BrokenRule(std::uint32_t page, const std::string& what) const;
  std::uint8_t* cells_;
  std::uint8_t* programs_;
  NandTiming timing_;
  bool never_ready_ = false;
  std::vector<std::uint8_t> block_faults_;       // per block: kEraseFails, kProgramFails
  std::vector<std::uint8_t> own_weak_;           // weak blocks when the module keeps none
  std::uint8_t* weak_;                           // per block: 1 while its cells are weak
  std::vector<std::uint32_t> own_erase_counts_;  // erase counts when the module keeps none
  std::uint32_t* erase_counts_;                  // per block: erases begun, ever
  struct Flip {
    std::uint32_t page;
    std::uint32_t byte;
    std::uint8_t mask;
  };
  std::vector<Flip> flips_;

  bool spoil_rule_breaks_ = false;
  // The program under way, which a reset can still cut short: its page, when it started, and
  // the page's cells before it.
  bool programming_ = false;
  std::uint32_t program_page_ = 0;
  std::uint64_t program_start_ = 0;
  std::uint8_t program_old_[kNandRawPageBytes];

  State state_ = State::kIdle;
  std::uint64_t busy_until_ = 0;
  bool failed_ = false;  // status bit 0: the last program or erase failed
  std::uint8_t address_[5] = {};
  std::uint32_t address_count_ = 0;
  std::uint32_t column_ = 0;
  std::uint32_t id_index_ = 0;
  std::uint8_t page_register_[kNandRawPageBytes];
  std::uint32_t erases_ = 0;
};

}  // namespace host

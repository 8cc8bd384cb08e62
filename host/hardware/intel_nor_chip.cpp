// Models one x16 Intel command-set flash chip as the J3, K3 and P30 datasheets describe it:
// command state machine, status register, write buffer, CFI and identifier reads, lock bits.
// A power cut leaves a program or an erase half done (power.h). What it does not model is
// listed in intel_nor_chip.h.

#include "host/hardware/intel_nor_chip.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>

#include "host/hardware/flash_activity.h"
#include "host/hardware/model_notes.h"
#include "host/hardware/power.h"
#include "host/hardware/virtual_clock.h"

namespace host {

namespace {

// Status register bits.
constexpr std::uint8_t kSrReady = 0x80;         // SR.7 write state machine ready
constexpr std::uint8_t kSrEraseError = 0x20;    // SR.5 erase or clear-lock error
constexpr std::uint8_t kSrProgramError = 0x10;  // SR.4 program or set-lock error
constexpr std::uint8_t kSrVoltageError = 0x08;  // SR.3 VPP/VPEN low (never set here)
constexpr std::uint8_t kSrLockedError = 0x02;   // SR.1 the block is locked
constexpr std::uint8_t kSrSequenceError = kSrEraseError | kSrProgramError;
constexpr std::uint8_t kSrClearable =
    kSrEraseError | kSrProgramError | kSrVoltageError | kSrLockedError;

// Block lock configuration, as identifier word 2 of the block shows it.
constexpr std::uint8_t kLocked = 0x01;
constexpr std::uint8_t kLockedDown = 0x02;

// Per-block faults.
constexpr std::uint8_t kEraseFails = 0x01;
constexpr std::uint8_t kProgramFails = 0x02;

constexpr std::uint32_t kMainBlockWords = 0x10000;      // 128 KB
constexpr std::uint32_t kParameterBlockWords = 0x4000;  // 32 KB
constexpr std::uint32_t kParameterBlocks = 4;

constexpr std::uint8_t kConfirm = 0xD0;

// Smallest n with 2^n >= value: CFI typical times are powers of two, rounded up so that
// the table never promises less time than the operation takes.
std::uint16_t Log2Ceil(std::uint64_t value) {
  return value <= 1 ? 0 : static_cast<std::uint16_t>(std::bit_width(value - 1));
}

// J3, K3 and P30 bottom-boot parts (x16 device codes from their datasheets).
constexpr NorVariant kVariants[] = {
    {0x0016, "28F320J3", 0x16, false, false, true},
    {0x0017, "28F640J3", 0x17, false, false, true},
    {0x0018, "28F128J3", 0x18, false, false, true},
    {0x001D, "28F256J3", 0x19, false, false, true},
    {0x8801, "28F640K3", 0x17, false, true, false},
    {0x8802, "28F128K3", 0x18, false, true, false},
    {0x8803, "28F256K3", 0x19, false, true, false},
    {0x881A, "28F640P30B", 0x17, true, true, false},
    {0x881B, "28F128P30B", 0x18, true, true, false},
    {0x891C, "28F256P30B", 0x19, true, true, false},
    // The 32 MB bottom-boot pair of the standard PXA270 module: P30-style blocks and locks.
    {0x8922, "P30-family bottom-boot", 0x18, true, true, false},
};

}  // namespace

const std::vector<NorVariant>& NorVariants() {
  static const std::vector<NorVariant> variants(std::begin(kVariants), std::end(kVariants));
  return variants;
}

const NorVariant* FindNorVariant(std::uint16_t device) {
  for (const NorVariant& variant : NorVariants()) {
    if (variant.device == device) return &variant;
  }
  return nullptr;
}

void IntelNorChip::Attach(const NorConfig& config, int index, std::uint16_t* cells,
                          const ModelLinks& links) {
  config_ = &config;
  links_ = links;
  index_ = index;
  cells_ = cells;
  state_ = State::kReadArray;
  sr_ = 0;
  busy_until_ = 0;
  word_count_ = static_cast<std::uint32_t>((std::uint64_t{1} << config.cfi_size) / 2);
  block_count_ = word_count_ / kMainBlockWords;
  if (config.bottom_parameter_blocks) block_count_ += kParameterBlocks - 1;
  lock_.assign(block_count_, config.power_up_locked ? kLocked : 0);
  faults_.assign(block_count_, 0);
  own_weak_.assign(block_count_, 0);
  weak_ = own_weak_.data();
  own_erase_counts_.assign(block_count_, 0);
  erase_counts_ = own_erase_counts_.data();
  counters_.assign(block_count_, NorBlockCounters{});
  never_ready_ = false;
  start_unseen_ = reported_busy_ = false;
  buffer_refusals_ = 0;
  random_ = config.timing.seed * 0x9E3779B97F4A7C15u + static_cast<std::uint64_t>(index) + 1;
  for (const NorFault& fault : config.faults) {
    if (fault.chip != -1 && fault.chip != index) continue;
    if (fault.kind == NorFaultKind::kNeverReady) {
      never_ready_ = true;
      continue;
    }
    if (fault.kind == NorFaultKind::kBufferUnavailable) {
      buffer_refusals_ += fault.count;
      continue;
    }
    std::uint32_t block = BlockIndex(fault.offset / 4);
    switch (fault.kind) {
      case NorFaultKind::kLockedDown:
        lock_[block] = kLocked | kLockedDown;
        break;
      case NorFaultKind::kEraseError:
        faults_[block] |= kEraseFails;
        break;
      case NorFaultKind::kProgramError:
        faults_[block] |= kProgramFails;
        break;
      case NorFaultKind::kNeverReady:
      case NorFaultKind::kBufferUnavailable:
        break;
    }
  }
  buffer_filled_ = buffer_expected_ = buffer_window_ = 0;
  BuildQueryTable();
}

// While the write state machine runs, SR.7 is 0 and SR[6:0] float; this model reads them as 0.
std::uint8_t IntelNorChip::status() const { return Busy() ? 0 : kSrReady | sr_; }

std::uint32_t IntelNorChip::BlockIndex(std::uint32_t word_address) const {
  word_address &= word_count_ - 1;
  if (!config_->bottom_parameter_blocks) return word_address / kMainBlockWords;
  if (word_address < kMainBlockWords) return word_address / kParameterBlockWords;
  return kParameterBlocks - 1 + word_address / kMainBlockWords;
}

std::uint32_t IntelNorChip::BlockStart(std::uint32_t block) const {
  if (!config_->bottom_parameter_blocks) return block * kMainBlockWords;
  if (block < kParameterBlocks) return block * kParameterBlockWords;
  return (block - (kParameterBlocks - 1)) * kMainBlockWords;
}

std::uint32_t IntelNorChip::BlockCount() const { return block_count_; }

bool IntelNorChip::Locked(std::uint32_t block) const { return lock_[block] & kLocked; }

void IntelNorChip::KeepLockBits(std::uint8_t* cells) {
  if (!config_->clear_lock_clears_all) return;
  kept_locks_ = cells;
  for (std::uint32_t block = 0; block < block_count_; ++block) {
    if (cells[block] & kLocked) lock_[block] |= kLocked;
  }
}

void IntelNorChip::ReadLockBitsAgain() {
  if (!kept_locks_) return;
  for (std::uint32_t block = 0; block < block_count_; ++block) {
    if (lock_[block] & kLockedDown) continue;  // a locked-down fault
    lock_[block] = (config_->power_up_locked ? kLocked : 0) | (kept_locks_[block] & kLocked);
  }
}

void IntelNorChip::KeepWeakBlocks(std::uint8_t* cells) { weak_ = cells; }

const NorBlockCounters& IntelNorChip::Counters(std::uint32_t block) const {
  return counters_[block];
}

std::uint16_t IntelNorChip::CfiWord(std::uint32_t index) const {
  return index < query_.size() ? query_[index] : 0;
}

std::uint16_t IntelNorChip::Read(std::uint32_t word_address) {
  word_address &= word_count_ - 1;
  switch (state_) {
    case State::kReadArray:
      // Only a P30-style chip reaches here busy: its array reads are undefined until done.
      if (busy_until_ != 0) {
        if (Busy()) return Undefined(word_address);
        busy_until_ = 0;
      }
      return cells_[2 * std::size_t{word_address}];
    case State::kBufferUnavailable:
      return ReadUnavailable();
    case State::kReadId:
      return ReadIdentifier(word_address);
    case State::kReadCfi:
      return ReadQuery(word_address);
    default:
      // Read status, every setup state, and 0xE8's buffer-available status: SR.7 is 1
      // when the buffer is free, which it is whenever the chip took the 0xE8.
      return ReadStatus();
  }
}

std::uint16_t IntelNorChip::ReadStatus() {
  std::uint16_t sr = start_unseen_ ? 0 : status();
  start_unseen_ = false;
  if (Tracing(links_.notes) && reported_busy_ && (sr & kSrReady)) {
    char text[48];
    std::snprintf(text, sizeof text, "%s chip ready, status 0x%02X", index_ ? "high" : "low", sr);
    Trace(links_.notes, "NOR", text);
  }
  reported_busy_ = !(sr & kSrReady);
  return sr;
}

std::uint16_t IntelNorChip::Undefined(std::uint32_t word) {
  std::uint64_t z = (random_ += 0x9E3779B97F4A7C15u) ^ word;
  z = (z ^ (z >> 31)) * 0xBF58476D1CE4E5B9u;
  return static_cast<std::uint16_t>(z >> 40);
}

void IntelNorChip::Unknown(std::uint32_t word, std::uint8_t command, const char* what) {
  char text[160];
  std::snprintf(text, sizeof text, "NOR %s chip: command 0x%02X at bus offset 0x%X ignored: %s",
                index_ ? "high" : "low", command, word * 4 + 2 * static_cast<unsigned>(index_),
                what);
  UnknownCommand(links_.notes, text);
}

std::uint16_t IntelNorChip::ReadIdentifier(std::uint32_t word) const {
  std::uint32_t block = BlockIndex(word);
  switch (word - BlockStart(block)) {
    case 0:
      return config_->manufacturer[index_];
    case 1:
      return config_->device[index_];
    case 2:
      return lock_[block];
    default:
      return 0;
  }
}

// The query structure repeats in every block; word 2 is that block's lock status, as in
// identifier mode (J3 and P30 "Query Structure Overview").
std::uint16_t IntelNorChip::ReadQuery(std::uint32_t word) const {
  std::uint32_t block = BlockIndex(word);
  std::uint32_t index = word - BlockStart(block);
  if (index == 2) return lock_[block];
  return CfiWord(index);
}

void IntelNorChip::BuildQueryTable() {
  const NorTiming& timing = config_->timing;
  std::uint16_t regions = config_->bottom_parameter_blocks ? 2 : 1;
  std::uint16_t extended = 0x2D + 4 * regions;  // the "PRI" table follows the regions
  query_.assign(0x10, 0);
  query_[0] = config_->manufacturer[index_];
  query_[1] = config_->device[index_];
  std::uint32_t main_blocks =
      config_->bottom_parameter_blocks ? block_count_ - kParameterBlocks : block_count_;
  // Bit 3 legacy lock/unlock (J3's clear-all), bit 5 instant individual block locking.
  std::uint32_t features = config_->clear_lock_clears_all ? 1u << 3 : 1u << 5;
  // P+A: bit 0 the block status shows the lock bit, bit 1 the lock-down bit (not on J3).
  const std::uint16_t lock_status = config_->clear_lock_clears_all ? 0x01 : 0x03;
  auto low = [](std::uint32_t value) { return static_cast<std::uint16_t>(value & 0xFF); };
  auto high = [](std::uint32_t value) { return static_cast<std::uint16_t>(value >> 8 & 0xFF); };
  const std::uint16_t tail[] = {
      // 0x10 "QRY"; 0x13 primary command set 0x0001 (Intel); 0x15 its extended table;
      // 0x17 and 0x19 no alternate command set
      'Q', 'R', 'Y', 0x01, 0x00, low(extended), high(extended), 0x00, 0x00, 0x00, 0x00,
      // 0x1B VCC 2.7 V to 3.6 V; 0x1D no VPP pin
      0x27, 0x36, 0x00, 0x00,
      // 0x1F typical word program 2^n us, 0x20 buffer program 2^n us, 0x21 block erase
      // 2^n ms, 0x22 no chip erase; 0x23 to 0x25 maximum times 2^n x typical; 0x26 no chip
      // erase
      Log2Ceil(timing.word_program_ns / kNsPerUs), Log2Ceil(timing.buffer_program_ns / kNsPerUs),
      Log2Ceil(timing.block_erase_ns / kNsPerMs), 0x00,
      Log2Ceil(timing.word_program_max_ns / timing.word_program_ns),
      Log2Ceil(timing.buffer_program_max_ns / timing.buffer_program_ns),
      Log2Ceil(timing.block_erase_max_ns / timing.block_erase_ns), 0x00,
      // 0x27 size 2^n bytes; 0x28 interface x16; 0x2A write buffer 2^5 bytes; 0x2C regions
      config_->cfi_size, 0x01, 0x00, 0x05, 0x00, regions};
  query_.insert(query_.end(), std::begin(tail), std::end(tail));
  // Region descriptors: blocks - 1, then the block size in 256-byte units.
  auto add_region = [&](std::uint32_t blocks, std::uint32_t block_bytes) {
    query_.insert(query_.end(), {low(blocks - 1), high(blocks - 1), low(block_bytes / 256),
                                 high(block_bytes / 256)});
  };
  if (config_->bottom_parameter_blocks) add_region(kParameterBlocks, kParameterBlockWords * 2);
  add_region(main_blocks, kMainBlockWords * 2);
  const std::uint16_t primary[] = {
      // "PRI" version 1.0; P+5 optional features (only what the model does); P+9 nothing
      // after suspend; P+A block status shows the lock and lock-down bits; P+C VCC optimum
      // 3.3 V; P+D no VPP
      'P',  'R',  'I',  '1',         '0',  low(features), 0x00,
      0x00, 0x00, 0x00, lock_status, 0x00, 0x33,          0x00};
  query_.insert(query_.end(), std::begin(primary), std::end(primary));
}

// Everything but a data word that stays in the buffer's window (see Write).
void IntelNorChip::WriteCommand(std::uint32_t word_address, std::uint16_t value) {
  if (Tracing(links_.notes)) {
    char text[80];
    std::snprintf(text, sizeof text, "%s chip: write 0x%04X at bus offset 0x%X%s",
                  index_ ? "high" : "low", value, word_address * 4 + 2u * index_,
                  Busy() ? " (busy)" : "");
    Trace(links_.notes, "NOR", text);
  }
  if (busy_until_ != 0) {
    // A busy state machine takes only Read Status; a P30's also takes Read Array, and its
    // array reads are undefined until the operation ends. Suspend is not modelled.
    if (busy_until_ > ClockPeek()) {
      const std::uint8_t command = value & 0xFF;
      if (command == 0x70) {
        state_ = State::kReadStatus;
      } else if (command == 0xFF && !config_->clear_lock_clears_all) {
        state_ = State::kReadArray;
      } else if (command == 0xB0) {
        Unknown(word_address, command, "suspend is not modelled");
      } else if (busy_until_ != kNever) {
        // A driver that waited for its time-out on a chip that never becomes ready has
        // skipped no wait; one that writes before the chip is done has.
        Unknown(word_address, command, "written while the chip is busy, which ignores it");
      }
      return;
    }
    busy_until_ = 0;  // done: a clock reset later cannot make the chip busy again
  }
  // A chip that takes a command has nothing left to show of its last operation.
  start_unseen_ = reported_busy_ = false;
  switch (state_) {
    case State::kBufferData:
      BufferData(word_address, value);
      return;
    case State::kReadArray:
    case State::kReadId:
    case State::kReadCfi:
    case State::kReadStatus:
    case State::kBufferUnavailable:
      Command(word_address, value & 0xFF);
      return;
    case State::kEraseSetup:
      EraseConfirm(word_address, value & 0xFF);
      return;
    case State::kProgramSetup:
      ProgramWord(word_address, value);
      return;
    case State::kLockSetup:
      LockCommand(word_address, value & 0xFF);
      return;
    case State::kBufferCount:
      BufferCount(word_address, value);
      return;
    case State::kBufferConfirm:
      BufferConfirm(word_address, value & 0xFF);
      return;
  }
}

// First bus cycle of a command. Commands the model does not know (suspend 0xB0, resume,
// OTP and configuration commands) are ignored, leave the state as it was, and are said.
void IntelNorChip::Command(std::uint32_t word, std::uint8_t command) {
  switch (command) {
    case 0xFF:  // read array
      state_ = State::kReadArray;
      break;
    case 0x90:  // read identifier
      state_ = State::kReadId;
      break;
    case 0x98:  // CFI query
      state_ = State::kReadCfi;
      break;
    case 0x70:  // read status
      state_ = State::kReadStatus;
      break;
    case 0x50:  // clear status: the read mode stays as it was
      sr_ &= static_cast<std::uint8_t>(~kSrClearable);
      break;
    case 0x20:  // block erase setup
      state_ = State::kEraseSetup;
      break;
    case 0x40:  // word program setup
    case 0x10:  // word program setup (alternate)
      state_ = State::kProgramSetup;
      break;
    case 0xE8:  // buffered program setup
      BufferRequest(word);
      break;
    case 0x60:  // block lock setup
      state_ = State::kLockSetup;
      break;
    case 0xB0:
      Unknown(word, command, "suspend is not modelled (and nothing runs to suspend)");
      break;
    case 0xD0:
      Unknown(word, command, "resume is not modelled (nothing is suspended)");
      break;
    case 0xC0:
      Unknown(word, command, "OTP protection program is not modelled");
      break;
    case 0x80:
      Unknown(word, command, "buffered enhanced factory program is not modelled");
      break;
    default:
      Unknown(word, command, "not a command of this chip");
      break;
  }
}

std::string IntelNorChip::Where(const char* what, std::uint32_t word) const {
  // The bus offset of the chip's word: the two chips' halves interleave.
  char text[96];
  std::snprintf(text, sizeof text, "NOR %s at bus offset 0x%X, %s chip", what,
                word * 4 + 2 * static_cast<unsigned>(index_), index_ ? "high" : "low");
  return text;
}

void IntelNorChip::SequenceError(const char* why) {
  sr_ |= kSrSequenceError;
  state_ = State::kReadStatus;
  if (Tracing(links_.notes)) {
    Trace(links_.notes, "NOR",
          std::string(index_ ? "high" : "low") + " chip: sequence error: " + why);
  }
}

bool IntelNorChip::StartOperation(std::uint64_t typical_ns, std::uint64_t max_ns) {
  const NorTiming& timing = config_->timing;
  std::uint64_t ns = typical_ns;
  if (timing.mode == NorTimeMode::kMaximum) {
    ns = max_ns;
  } else if (timing.mode == NorTimeMode::kVaried && max_ns > typical_ns) {
    // splitmix64: one draw per operation, the same sequence for the same seed and chip.
    std::uint64_t z = (random_ += 0x9E3779B97F4A7C15u);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    z ^= z >> 31;
    ns =
        typical_ns + static_cast<std::uint64_t>(
                         static_cast<unsigned __int128>(max_ns - typical_ns + 1) * (z >> 11) >> 53);
  }
  busy_until_ = never_ready_ ? kNever : ClockPeek() + ns;
  start_unseen_ = true;
  return !never_ready_;
}

void IntelNorChip::NoteTiming(bool erase, std::uint64_t start, std::uint64_t length) {
  const std::uint64_t now = ClockPeek();
  NoteFlashTiming(erase, start, length, now, busy_until_ > now ? busy_until_ - now : 0);
}

void IntelNorChip::ProgramCell(std::uint32_t word, std::uint16_t value,
                               NorBlockCounters& counters) {
  std::uint16_t& cell = cells_[2 * std::size_t{word}];
  // Bits written as 0 are programmed; doing so to a bit that is already 0 is overprogramming.
  if (static_cast<std::uint16_t>(~value & ~cell)) ++counters.overprograms;
  cell &= value;
}

void IntelNorChip::ProgramCells(std::uint32_t word, const std::uint16_t* values,
                                std::uint32_t count, NorBlockCounters& counters) {
  // The cells are every other half-word of the bus image: this chip's half of each 32-bit bus
  // word, the other chip's half kept as it is. Whole bus words, so that the loop vectorizes.
  auto* bus = reinterpret_cast<std::uint8_t*>(cells_ + 2 * std::size_t{word}) - 2 * index_;
  const int shift = 16 * index_;
  const std::uint32_t others = ~(std::uint32_t{0xFFFF} << shift);
  std::uint32_t overprograms = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t cells;
    std::memcpy(&cells, bus + 4 * i, 4);
    const std::uint32_t value = std::uint32_t{values[i]} << shift | others;
    overprograms += (~value & ~cells) != 0;  // a 0 written over a 0 of this chip's half
    cells &= value;
    std::memcpy(bus + 4 * i, &cells, 4);
  }
  counters.overprograms += overprograms;
}

void IntelNorChip::ProgramWeak(std::uint32_t word, const std::uint16_t* values, std::uint32_t count,
                               NorBlockCounters& counters) {
  sr_ |= kSrProgramError;
  bool missed = false;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint16_t value = values[i];
    const std::uint16_t zeros = static_cast<std::uint16_t>(~value);
    if (!missed && zeros) {
      value |= static_cast<std::uint16_t>(zeros & -zeros);  // the lowest bit to program stays 1
      missed = true;
    }
    ProgramCell(word + i, value, counters);
  }
  Trace(links_.notes, "NOR", Where("program into a weak block failed", word));
}

void IntelNorChip::EraseConfirm(std::uint32_t word, std::uint8_t command) {
  if (command != kConfirm) return SequenceError("erase setup not followed by confirm");
  state_ = State::kReadStatus;
  std::uint32_t block = BlockIndex(word);
  if (lock_[block] & kLocked) {
    sr_ |= kSrLockedError | kSrEraseError;
    return;
  }
  const NorTiming& timing = config_->timing;
  const bool parameter = config_->bottom_parameter_blocks && block < kParameterBlocks;
  if (!StartOperation(parameter ? timing.parameter_erase_ns : timing.block_erase_ns,
                      parameter ? timing.parameter_erase_max_ns : timing.block_erase_max_ns)) {
    return;
  }
  ++erase_counts_[block];
  // Chip word w is bytes 4w..4w+3 of the bus, shared with the other chip.
  NoteFlashErase(links_.image, 4 * std::uint64_t{BlockStart(block)},
                 4 * std::uint64_t{BlockStart(block + 1) - BlockStart(block)}, false);
  NoteTiming(true, 4 * std::uint64_t{BlockStart(block)},
             4 * std::uint64_t{BlockStart(block + 1) - BlockStart(block)});
  std::uint16_t* cell = cells_ + 2 * std::size_t{BlockStart(block)};
  std::uint16_t* end = cells_ + 2 * std::size_t{BlockStart(block + 1)};
  if (faults_[block] & kEraseFails) {
    // The erase gave up part way: the first quarter of the block is erased, the rest not, and
    // what it erased was never verified.
    sr_ |= kSrEraseError;
    SetWeak(block, true);
    for (std::uint16_t* quarter = cell + (end - cell) / 4; cell < quarter; cell += 2)
      *cell = 0xFFFF;
    Trace(links_.notes, "NOR", Where("erase failed (fault): block", BlockStart(block)));
    return;
  }
  if (links_.power && links_.power->FailsDuring()) {
    // An erase cut short has erased part of the block; the rest keeps its old cells. Cells
    // that read erased were never verified so: the block is weak until erased whole. (A
    // rehearsal's walk goes on from Off: each further cut lands more, then the erase ends.)
    std::uint16_t* const first = cell;
    do {
      std::uint16_t* half =
          first + 2 * links_.power->Landed(static_cast<std::uint32_t>(end - first) / 2);
      for (; cell < half; cell += 2) *cell = 0xFFFF;
      SetWeak(block, true);
      links_.power->Off(Where("erase of the block", BlockStart(block)));
    } while (links_.power->CutAgain());
  }
  for (; cell < end; cell += 2) *cell = 0xFFFF;
  SetWeak(block, false);
  ++counters_[block].erases;
}

void IntelNorChip::ProgramWord(std::uint32_t word, std::uint16_t value) {
  state_ = State::kReadStatus;
  std::uint32_t block = BlockIndex(word);
  if (lock_[block] & kLocked) {
    sr_ |= kSrLockedError | kSrProgramError;
    return;
  }
  if (!StartOperation(config_->timing.word_program_ns, config_->timing.word_program_max_ns)) {
    return;
  }
  NoteFlashProgram(links_.image, 4 * std::uint64_t{word}, 4, false);
  NoteTiming(false, 4 * std::uint64_t{word}, 4);
  if (faults_[block] & kProgramFails) {
    // The program gave up part way: the low byte's bits are programmed, the high byte's not.
    sr_ |= kSrProgramError;
    ProgramCell(word, value | 0xFF00, counters_[block]);
    Trace(links_.notes, "NOR", Where("word program failed (fault)", word));
    return;
  }
  if (weak_[block]) return ProgramWeak(word, &value, 1, counters_[block]);
  if (links_.power && links_.power->FailsDuring()) {
    // Only some of the word's bits were programmed when the power went. (A rehearsal's walk
    // goes on from Off: the word is put back before each further cut, and before the whole.)
    const std::uint16_t before = cells_[2 * std::size_t{word}];
    const NorBlockCounters counted = counters_[block];
    do {
      ProgramCell(word, value | static_cast<std::uint16_t>(0xFFFF << (4 * links_.power->Landed(4))),
                  counters_[block]);
      links_.power->Off(Where("word program", word));
      cells_[2 * std::size_t{word}] = before;
      counters_[block] = counted;
    } while (links_.power->CutAgain());
  }
  ProgramCell(word, value, counters_[block]);
  ++counters_[block].programs;
}

void IntelNorChip::LockCommand(std::uint32_t word, std::uint8_t command) {
  state_ = State::kReadStatus;
  std::uint32_t block = BlockIndex(word);
  // J3 lock bits are non-volatile cells: setting and clearing them are timed operations of
  // the write state machine. P30 and K3 locking takes effect at once.
  const bool j3 = config_->clear_lock_clears_all;
  const NorTiming& timing = config_->timing;
  switch (command) {
    case 0x01:  // set block lock bit
      if (j3 && !StartOperation(timing.lock_set_ns, timing.lock_set_max_ns)) return;
      lock_[block] |= kLocked;
      if (kept_locks_) kept_locks_[block] = kLocked;
      break;
    case 0xD0:  // clear block lock bit (J3: every block's); locked-down blocks stay locked
      if (j3) {
        if (!StartOperation(timing.lock_clear_ns, timing.lock_clear_max_ns)) return;
        for (std::uint32_t b = 0; b < block_count_; ++b) {
          if (kept_locks_) kept_locks_[b] = 0;
          if (!(lock_[b] & kLockedDown)) lock_[b] = 0;  // a locked-down fault stays locked
        }
      } else if (!(lock_[block] & kLockedDown)) {
        lock_[block] = 0;
      }
      break;
    case 0x2F:  // lock down: the block is locked and stays so until power-up; J3 has none
      if (j3) return SequenceError("J3 parts have no lock-down");
      lock_[block] = kLocked | kLockedDown;
      break;
    default:
      SequenceError("lock setup not followed by 0x01, 0xD0 or 0x2F");
      break;
  }
}

// Write to Buffer: the status reads that follow show whether the buffer is free (XSR.7).
// A J3 takes no request while SR.4 or SR.5 shows an earlier error: its buffer never frees.
// A buffer-unavailable fault makes a request wait: its first reads show the buffer taken.
void IntelNorChip::BufferRequest(std::uint32_t word) {
  buffer_block_ = BlockIndex(word);
  if (config_->clear_lock_clears_all && (sr_ & kSrSequenceError)) {
    unavailable_reads_ = kNever;
  } else if (buffer_refusals_ != 0) {
    --buffer_refusals_;
    unavailable_reads_ = kUnavailableReads;
  } else {
    state_ = State::kBufferCount;
    return;
  }
  state_ = State::kBufferUnavailable;
  Trace(links_.notes, "NOR",
        std::string(index_ ? "high" : "low") + " chip: write buffer not available");
}

std::uint16_t IntelNorChip::ReadUnavailable() {
  if (unavailable_reads_ != kNever && --unavailable_reads_ == 0) {
    state_ = State::kBufferCount;  // free now: this read shows it
    return kSrReady;
  }
  return 0;  // XSR.7 = 0
}

// The count (words - 1) goes to an address in the block the request named.
void IntelNorChip::BufferCount(std::uint32_t word, std::uint16_t value) {
  if (BlockIndex(word) != buffer_block_) return SequenceError("buffer count outside the block");
  if (value >= kBufferWords) return SequenceError("buffer count above 15");
  buffer_expected_ = value + 1u;
  buffer_filled_ = 0;
  std::fill(std::begin(buffer_), std::end(buffer_), 0xFFFF);
  state_ = State::kBufferData;
}

// The first data word sets the buffer's start; every later one must fall in [start, start +
// count] and in the block, or the program aborts.
void IntelNorChip::BufferData(std::uint32_t word, std::uint16_t value) {
  if (buffer_filled_ == 0) {
    if (BlockIndex(word) != buffer_block_) return SequenceError("buffer data outside the block");
    buffer_base_ = word;
    buffer_window_ = std::min(buffer_expected_, BlockStart(buffer_block_ + 1) - word);
  } else if (word - buffer_base_ >= buffer_expected_) {
    return SequenceError("buffer data outside [start, start + count]");
  } else if (word - buffer_base_ >= buffer_window_) {
    return SequenceError("buffer data in another block");
  }
  buffer_[word - buffer_base_] = value;
  if (++buffer_filled_ == buffer_expected_) state_ = State::kBufferConfirm;
}

void IntelNorChip::BufferConfirm(std::uint32_t word, std::uint8_t command) {
  if (command != kConfirm) return SequenceError("buffer data not followed by confirm");
  if (BlockIndex(word) != buffer_block_) return SequenceError("buffer confirm outside the block");
  state_ = State::kReadStatus;
  std::uint32_t block = buffer_block_;
  if (lock_[block] & kLocked) {
    sr_ |= kSrLockedError | kSrProgramError;
    return;
  }
  if (!StartOperation(config_->timing.buffer_program_ns, config_->timing.buffer_program_max_ns)) {
    return;
  }
  NoteFlashProgram(links_.image, 4 * std::uint64_t{buffer_base_},
                   4 * std::uint64_t{buffer_expected_}, false);
  NoteTiming(false, 4 * std::uint64_t{buffer_base_}, 4 * std::uint64_t{buffer_expected_});
  NorBlockCounters& counters = counters_[block];
  if (faults_[block] & kProgramFails) {
    // The program gave up part way: the first half of the buffer is programmed.
    sr_ |= kSrProgramError;
    for (std::uint32_t i = 0; i < buffer_expected_ / 2; ++i) {
      ProgramCell(buffer_base_ + i, buffer_[i], counters);
    }
    Trace(links_.notes, "NOR", Where("buffered program failed (fault)", buffer_base_));
    return;
  }
  if (weak_[block]) return ProgramWeak(buffer_base_, buffer_, buffer_expected_, counters);
  if (links_.power && links_.power->FailsDuring()) {
    // (A rehearsal's walk goes on from Off: the words are put back before each further cut,
    // and before the whole.)
    std::vector<std::uint16_t> before(buffer_expected_);
    for (std::uint32_t i = 0; i < buffer_expected_; ++i) {
      before[i] = cells_[2 * std::size_t{buffer_base_ + i}];
    }
    const NorBlockCounters counted = counters;
    do {
      for (std::uint32_t i = 0; i < links_.power->Landed(buffer_expected_); ++i) {
        ProgramCell(buffer_base_ + i, buffer_[i], counters);
      }
      links_.power->Off(Where("buffered program", buffer_base_));
      for (std::uint32_t i = 0; i < buffer_expected_; ++i) {
        cells_[2 * std::size_t{buffer_base_ + i}] = before[i];
      }
      counters = counted;
    } while (links_.power->CutAgain());
  }
  ProgramCells(buffer_base_, buffer_, buffer_expected_, counters);
  ++counters.programs;
}

}  // namespace host

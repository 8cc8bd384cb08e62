// One 16-bit Intel command-set flash chip (StrataFlash J3, K3 and P30 families): command
// state machine, status register, 32-byte write buffer, CFI query table, identifier codes and
// per-block lock bits, with datasheet timings on the virtual clock.
// Suspend, resume and the OTP commands are refused as unknown commands (model_notes.h).
// Does not model: suspend/resume, OTP registers, the read configuration register, burst reads,
// the WP#/VPEN pins, top-boot parts.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/hardware/model_links.h"
#include "host/hardware/virtual_clock.h"

namespace host {

/// Known chips; any other device code is accepted with uniform blocks and no power-up lock.
struct NorVariant {
  std::uint16_t device;
  const char* name;
  std::uint8_t cfi_size;         // CFI byte 0x27: log2 of the chip's bytes
  bool bottom_parameter_blocks;  // four 32 KB parameter blocks below the first main block
  bool power_up_locked;          // every block's lock bit is set at power-up
  bool clear_lock_clears_all;    // Clear Block Lock clears every block (J3), not just one
};
const NorVariant* FindNorVariant(std::uint16_t device);
/// The table of known chips, for listings.
const std::vector<NorVariant>& NorVariants();

/// An erase block as the bus sees it: `offset` and `size` in bus bytes (both chips).
struct NorBlock {
  std::uint32_t offset;
  std::uint32_t size;
};

enum class NorFaultKind {
  kLockedDown,         // the block is locked down: Clear Block Lock leaves it locked
  kEraseError,         // erasing the block ends with SR.5 set, nothing erased
  kProgramError,       // programming into the block ends with SR.4 set, nothing programmed
  kNeverReady,         // the chip starts every erase or program and never finishes it
  kBufferUnavailable,  // the next `count` Write to Buffer requests find the buffer not free
};

struct NorFault {
  NorFaultKind kind;
  std::uint32_t offset = 0;  // bus offset inside the block (unused for kNeverReady)
  int chip = -1;             // 0 low half, 1 high half, -1 both
  std::uint32_t count = 0;   // kBufferUnavailable: requests refused
};

/// How long each operation of the write state machine takes: the datasheet's typical time,
/// its maximum, or a time between the two drawn for each operation from a seed, so that two
/// chips started together finish at different moments.
enum class NorTimeMode { kTypical, kMaximum, kVaried };

/// Typical and maximum operation times, in ns (J3 datasheet's "Erase and Program Timings";
/// the 32 KB parameter blocks of bottom-boot parts erase in their own time).
struct NorTiming {
  std::uint32_t access_ns = 100;  // one bus access
  std::uint64_t word_program_ns = 210'000, word_program_max_ns = 630'000;
  std::uint64_t buffer_program_ns = 218'000, buffer_program_max_ns = 654'000;  // 32 bytes
  std::uint64_t block_erase_ns = 1'000'000'000, block_erase_max_ns = 4'000'000'000;
  std::uint64_t parameter_erase_ns = 400'000'000, parameter_erase_max_ns = 2'500'000'000;
  // J3 lock bits are cells the write state machine programs and erases.
  std::uint64_t lock_set_ns = 64'000, lock_set_max_ns = 75'000;
  std::uint64_t lock_clear_ns = 500'000'000, lock_clear_max_ns = 700'000'000;
  std::uint64_t never_ready_quantum_ns = 1'000'000;  // clock step per poll of a stuck chip
  NorTimeMode mode = NorTimeMode::kVaried;
  std::uint64_t seed = 1;  // kVaried: each chip draws its times from this seed and its index
};

struct NorConfig {
  std::uint16_t manufacturer[2] = {0x89, 0x89};
  std::uint16_t device[2] = {0x8922, 0x8922};
  std::uint8_t cfi_size = 0x18;
  bool bottom_parameter_blocks = true;
  bool power_up_locked = true;
  bool clear_lock_clears_all = false;  // J3: one timed Clear Block Lock-Bits clears every block
  NorTiming timing;
  std::vector<NorFault> faults;
};

/// What happened to one block of one chip, for tests (Zephyr's flash simulator counters).
struct NorBlockCounters {
  std::uint32_t erases = 0;        // erases actually performed
  std::uint32_t programs = 0;      // word or buffer program operations into the block
  std::uint32_t overprograms = 0;  // words that program a 0 into a bit already 0
};

class IntelNorChip {
 public:
  enum class State {
    kReadArray,          // reads return the cells
    kReadId,             // reads return identifier codes
    kReadCfi,            // reads return the CFI query table
    kReadStatus,         // reads return the status register
    kEraseSetup,         // 0x20 seen: waiting for the 0xD0 confirm
    kProgramSetup,       // 0x40/0x10 seen: the next write is the data word
    kLockSetup,          // 0x60 seen: waiting for 0x01, 0xD0 or 0x2F
    kBufferCount,        // 0xE8 seen: reads give the buffer status; the next write is the count
    kBufferUnavailable,  // 0xE8 seen, buffer not free: reads show XSR.7 = 0 until 0xE8 again
    kBufferData,         // collecting the buffer's data words
    kBufferConfirm,      // all data in: waiting for the 0xD0 confirm
  };

  /// `cells` is the chip's first 16-bit word in the bus image; word w is at cells + 2 * w
  /// (uint16_t units), since the other chip's halves sit between. `links`: what the module
  /// gives the chip (model_links.h).
  void Attach(const NorConfig& config, int index, std::uint16_t* cells,
              const ModelLinks& links = {});

  std::uint16_t Read(std::uint32_t word_address);
  /// One bus write of the chip's half. The buffer's data words take an inline path: a
  /// 32 MB update writes tens of millions of them.
  void Write(std::uint32_t word_address, std::uint16_t value) {
    word_address &= word_count_ - 1;
    if (state_ == State::kBufferData && buffer_filled_ != 0 &&
        word_address - buffer_base_ < buffer_window_) {
      buffer_[word_address - buffer_base_] = value;
      if (++buffer_filled_ == buffer_expected_) state_ = State::kBufferConfirm;
      return;
    }
    WriteCommand(word_address, value);
  }
  /// How many writes from `word_address` on the inline path above would take as buffer data
  /// one after the other (consecutive words): 0 when the next write is a command.
  std::uint32_t DataRoom(std::uint32_t word_address) const {
    word_address &= word_count_ - 1;
    if (state_ != State::kBufferData || buffer_filled_ == 0) return 0;
    const std::uint32_t at = word_address - buffer_base_;
    if (at >= buffer_window_) return 0;
    return std::min(buffer_window_ - at, buffer_expected_ - buffer_filled_);
  }
  /// `count` (at most DataRoom) consecutive data words, this chip's half of each bus word:
  /// bits `shift` to `shift` + 15.
  void TakeData(std::uint32_t word_address, const std::uint32_t* source, std::uint32_t count,
                int shift) {
    const std::uint32_t at = (word_address & (word_count_ - 1)) - buffer_base_;
    for (std::uint32_t i = 0; i < count; ++i) {
      buffer_[at + i] = static_cast<std::uint16_t>(source[i] >> shift);
    }
    buffer_filled_ += count;
    if (buffer_filled_ == buffer_expected_) state_ = State::kBufferConfirm;
  }
  /// True when reads return array data, so a block read may copy the image directly.
  bool InReadArray() const { return state_ == State::kReadArray && busy_until_ == 0; }
  /// True when reads return the status register: a poll, which may move the clock on.
  bool Polled() const {
    return state_ != State::kReadArray && state_ != State::kReadId && state_ != State::kReadCfi;
  }
  /// Virtual time at which the running operation ends; 0 when idle, kNever when stuck. The
  /// first status read after an operation starts reports busy however short the operation:
  /// a driver must read status again before it may see ready.
  std::uint64_t BusyUntil() const { return Busy() ? busy_until_ : 0; }
  bool Busy() const { return busy_until_ > ClockPeek(); }
  /// True when the next status read is the first to show ready after reads that showed
  /// busy: a poll must see that state before the clock jumps on to another chip's change.
  bool ShowsNewReady() const { return reported_busy_ && !start_unseen_ && !Busy(); }
  /// True until the first status read after an operation started.
  bool StartUnseen() const { return start_unseen_; }

  State state() const { return state_; }
  std::uint8_t status() const;
  std::uint32_t BlockIndex(std::uint32_t word_address) const;
  /// Word address of the block's first word; BlockStart(BlockCount()) is the chip's size.
  std::uint32_t BlockStart(std::uint32_t block) const;
  std::uint32_t BlockCount() const;
  bool Locked(std::uint32_t block) const;
  /// J3: the lock bits are non-volatile cells kept in `cells` (one byte a block, bit 0 the
  /// lock bit), read now and written at every change. Other families' bits are volatile.
  void KeepLockBits(std::uint8_t* cells);
  /// J3: the lock bits as a power-up reads them from the cells kept (another process may have
  /// changed them since this chip read them).
  void ReadLockBitsAgain();
  /// Blocks whose last erase was cut short or failed: their cells read erased but were never
  /// verified so, and a program into them fails (SR.4) with a bit left unprogrammed, until a
  /// complete erase. Kept in `cells` (one byte a block) when given, else in the chip object.
  void KeepWeakBlocks(std::uint8_t* cells);
  bool Weak(std::uint32_t block) const { return weak_[block] != 0; }
  /// Erases begun on each block over the chip's life (its wear), kept in `counts` (one a block)
  /// when given, else in the chip object. An erase that fails or is cut short counts.
  void KeepEraseCounts(std::uint32_t* counts) { erase_counts_ = counts; }
  std::uint32_t EraseCount(std::uint32_t block) const { return erase_counts_[block]; }
  const NorBlockCounters& Counters(std::uint32_t block) const;
  /// The chip's CFI table, indexed by query word address.
  std::uint16_t CfiWord(std::uint32_t index) const;

 private:
  static constexpr std::uint32_t kBufferWords = 16;  // 32 bytes

  void WriteCommand(std::uint32_t word, std::uint16_t value);
  void Command(std::uint32_t word, std::uint8_t command);
  void EraseConfirm(std::uint32_t word, std::uint8_t command);
  void ProgramWord(std::uint32_t word, std::uint16_t value);
  void LockCommand(std::uint32_t word, std::uint8_t command);
  void BufferRequest(std::uint32_t word);
  std::uint16_t ReadUnavailable();
  void BufferCount(std::uint32_t word, std::uint16_t value);
  void BufferData(std::uint32_t word, std::uint16_t value);
  void BufferConfirm(std::uint32_t word, std::uint8_t command);
  void SequenceError(const char* why);
  /// A command this chip does not know or does not model: ignored, and said loudly.
  void Unknown(std::uint32_t word, std::uint8_t command, const char* what);
  /// Undefined data, as a P30 returns for an array read while the state machine is busy.
  std::uint16_t Undefined(std::uint32_t word);
  /// Where an operation on `word` falls, for the power-cut report.
  std::string Where(const char* what, std::uint32_t word) const;
  /// Gives the operation just started (StartOperation) its time, for a kept timeline.
  void NoteTiming(bool erase, std::uint64_t start, std::uint64_t length);
  /// Starts the write state machine on an operation of `ns`; false when the chip is stuck.
  bool StartOperation(std::uint64_t typical_ns, std::uint64_t max_ns);
  /// The status register as the next read sees it (see BusyUntil).
  std::uint16_t ReadStatus();
  void ProgramCell(std::uint32_t word, std::uint16_t value, NorBlockCounters& counters);
  /// ProgramCell for `count` words from `word` on.
  void ProgramCells(std::uint32_t word, const std::uint16_t* values, std::uint32_t count,
                    NorBlockCounters& counters);
  /// A program into a weak block: the cells take `count` words from `values` but the first
  /// word that programs a bit keeps its lowest such bit erased, and the program fails.
  void ProgramWeak(std::uint32_t word, const std::uint16_t* values, std::uint32_t count,
                   NorBlockCounters& counters);
  void SetWeak(std::uint32_t block, bool weak) { weak_[block] = weak ? 1 : 0; }
  std::uint16_t ReadIdentifier(std::uint32_t word) const;
  std::uint16_t ReadQuery(std::uint32_t word) const;
  void BuildQueryTable();

  const NorConfig* config_ = nullptr;
  ModelLinks links_;
  int index_ = 0;
  std::uint16_t* cells_ = nullptr;
  State state_ = State::kReadArray;
  std::uint8_t sr_ = 0;           // error bits 5, 4, 3, 1; SR.7 follows busy_until_
  std::uint64_t busy_until_ = 0;  // 0 idle, kNever stuck
  std::uint32_t word_count_ = 0;  // words in the chip (a power of two)
  std::uint32_t block_count_ = 0;
  bool never_ready_ = false;
  bool start_unseen_ = false;                    // no status read since the last operation started
  bool reported_busy_ = false;                   // the last status read showed SR.7 = 0
  std::uint64_t random_ = 0;                     // splitmix64 state for varied operation times
  std::vector<std::uint8_t> lock_;               // per block: bit 0 locked, bit 1 locked down
  std::uint8_t* kept_locks_ = nullptr;           // J3: the lock bits' non-volatile cells
  std::vector<std::uint8_t> faults_;             // per block: kEraseFails, kProgramFails
  std::vector<std::uint8_t> own_weak_;           // weak blocks when the module keeps none
  std::uint8_t* weak_ = nullptr;                 // per block: 1 while the block's cells are weak
  std::vector<std::uint32_t> own_erase_counts_;  // erase counts when the module keeps none
  std::uint32_t* erase_counts_ = nullptr;        // per block: erases begun, ever
  std::vector<NorBlockCounters> counters_;
  std::vector<std::uint16_t> query_;                     // CFI table by query word address
  static constexpr std::uint64_t kUnavailableReads = 3;  // reads a refused request waits
  std::uint32_t buffer_refusals_ = 0;    // kBufferUnavailable requests still to refuse
  std::uint64_t unavailable_reads_ = 0;  // reads until the buffer frees; kNever: it never does
  // Write buffer: up to 16 words from the first data word's address, filled after the count.
  std::uint32_t buffer_block_ = 0;     // block named by the 0xE8 setup
  std::uint32_t buffer_base_ = 0;      // the first data word's address: the buffer's start
  std::uint32_t buffer_expected_ = 0;  // words announced by the count
  std::uint32_t buffer_window_ = 0;    // of those, the words inside buffer_block_
  std::uint32_t buffer_filled_ = 0;
  std::uint16_t buffer_[kBufferWords] = {};  // from buffer_base_; 0xFFFF programs nothing
};

}  // namespace host

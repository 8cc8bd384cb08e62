// Models two x16 Intel command-set chips side by side on a 32-bit bus: each chip sees its
// half of every access; a status poll of a busy chip jumps the clock to its next change, and
// the first status read after an operation starts shows it busy. What it does not model is
// listed in nor_array.h.

#include "host/hardware/nor_array.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/hardware/virtual_clock.h"

namespace host {

NorArray::NorArray(const NorConfig& config, std::uint8_t* image, const ModelLinks& links)
    : config_(config), image_(image) {
  if (config_.cfi_size < 0x12 || config_.cfi_size > 0x1A) {
    std::fprintf(stderr, "host: NOR CFI size 0x%x is outside 0x12..0x1A\n", config_.cfi_size);
    std::abort();
  }
  // Chip 0 holds the low half-word of each little-endian bus word, chip 1 the high one.
  auto* cells = reinterpret_cast<std::uint16_t*>(image_);
  chips_[0].Attach(config_, 0, cells, links);
  chips_[1].Attach(config_, 1, cells + 1, links);
}

std::uint32_t NorArray::Read32(std::uint32_t offset) {
  if (chips_[0].InReadArray() && chips_[1].InReadArray()) {
    status_read_last_ = false;
    std::uint32_t word;
    std::memcpy(&word, image_ + (offset & ~3u), 4);
    return word;
  }
  // Only a poll moves the clock: the same status read again, with no write between. A read
  // after a command shows the chip as that moment has it.
  const bool poll = status_read_last_ && status_read_at_ == offset;
  status_read_at_ = offset;
  status_read_last_ = true;
  // Polling a busy chip: skip to the earliest moment one of them changes, so that a poll
  // loop costs one access per change of state. The first read after a start shows busy
  // at once, and a chip that has finished but not yet shown it holds the clock, so each
  // chip's change is seen on its own.
  std::uint64_t now = ClockPeek();
  std::uint64_t next = kNever;
  bool busy = false;
  for (const IntelNorChip& chip : chips_) {
    if (!chip.Polled()) continue;  // an array read of a busy chip is no poll
    if (chip.StartUnseen() || chip.ShowsNewReady()) {
      busy = false;
      break;
    }
    std::uint64_t until = chip.BusyUntil();
    if (until > now) {
      busy = true;
      if (until < next) next = until;
    }
  }
  if (busy && poll) {
    if (next == kNever) {
      ClockAdvance(config_.timing.never_ready_quantum_ns);
    } else {
      ClockAdvanceTo(next);
    }
  }
  std::uint32_t word = offset / 4;
  return chips_[0].Read(word) | std::uint32_t{chips_[1].Read(word)} << 16;
}

void NorArray::Write32(std::uint32_t offset, std::uint32_t value) {
  status_read_last_ = false;
  std::uint32_t word = offset / 4;
  chips_[0].Write(word, static_cast<std::uint16_t>(value));
  chips_[1].Write(word, static_cast<std::uint16_t>(value >> 16));
}

void NorArray::WriteBlock32(std::uint32_t offset, const std::uint32_t* source, std::uint32_t count,
                            std::uint32_t access_ns) {
  status_read_last_ = false;
  for (std::uint32_t i = 0; i < count;) {
    const std::uint32_t word = offset / 4 + i;
    // The run of words both chips take as buffer data goes in at once; anything else (the
    // first data word, a word outside the buffer, one too many) one write at a time.
    const std::uint32_t run =
        std::min({chips_[0].DataRoom(word), chips_[1].DataRoom(word), count - i});
    if (run != 0) {
      ClockChargeAccess(std::uint64_t{access_ns} * run);
      chips_[0].TakeData(word, source + i, run, 0);
      chips_[1].TakeData(word, source + i, run, 16);
      i += run;
      continue;
    }
    ClockChargeAccess(access_ns);
    chips_[0].Write(word, static_cast<std::uint16_t>(source[i]));
    chips_[1].Write(word, static_cast<std::uint16_t>(source[i] >> 16));
    ++i;
  }
}

void NorArray::ReadBlock(void* destination, std::uint32_t offset, std::uint32_t count) {
  if (chips_[0].InReadArray() && chips_[1].InReadArray()) {
    std::memcpy(destination, image_ + offset, count);
    return;
  }
  BusDevice::ReadBlock(destination, offset, count);
}

std::vector<NorBlock> NorArray::Blocks() const {
  // A bus block is one block of each chip side by side: 4 bus bytes per chip word.
  const IntelNorChip& chip = chips_[0];
  std::vector<NorBlock> blocks;
  for (std::uint32_t block = 0; block < chip.BlockCount(); ++block) {
    std::uint32_t start = chip.BlockStart(block);
    blocks.push_back({start * 4, (chip.BlockStart(block + 1) - start) * 4});
  }
  return blocks;
}

}  // namespace host

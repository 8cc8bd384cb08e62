// Models the PXA3xx data flash controller as its developer manual describes it: the controller
// takes a command once ND_RUN is set and three words are in NDCB0, runs the command, address,
// data and status cycles on the NAND bus at the NDTR timings, and reports through NDSR. What
// it does not model is listed in pxa3xx_dfc.h.

#include "host/hardware/pxa3xx_dfc.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/hardware/model_notes.h"
#include "host/hardware/virtual_clock.h"
#include "host/hardware/virtual_cpu.h"

namespace host {

namespace {

constexpr std::uint32_t kEccStepBytes = 512;
constexpr std::uint32_t kNddbOffset = 0x40;
constexpr std::uint32_t kEccBytes = 6;

// NDCB0 fields.
constexpr std::uint32_t kNdcb0Dbc = 1u << 19;
constexpr std::uint32_t kNdcb0Csel = 1u << 24;
constexpr std::uint32_t kNdcb0AutoRs = 1u << 25;

// Command types (NDCB0 bits 21-23).
constexpr std::uint32_t kTypeRead = 0;
constexpr std::uint32_t kTypeProgram = 1;
constexpr std::uint32_t kTypeErase = 2;
constexpr std::uint32_t kTypeReadId = 3;
constexpr std::uint32_t kTypeStatus = 4;
constexpr std::uint32_t kTypeReset = 5;

constexpr std::uint8_t kChipStatusFail = 0x01;

// Read ID and Read Status put their bytes in an 8-byte FIFO.
constexpr std::uint32_t kShortFifoBytes = 8;

int Parity(std::uint32_t value) { return std::popcount(value) & 1; }

}  // namespace

// The code: for each of the 12 bits of a bit's index in the 4096-bit step (3 bits within the
// byte, 9 of the byte's number), the parity of the bits whose index has it 0 and of those that
// have it 1 (bits 2b and 2b+1 of the first 24), then the parity of the whole step (bit 24). The
// rest is 0. Not inverted: an erased step (all ones, code bytes 0xFF) fails its check.
void DfcEccCompute(const std::uint8_t* data, std::uint8_t ecc[6]) {
  // Eight bytes at a time (every page transfer computes it): `parities` gathers each byte's
  // parity in that byte's lowest bit, XORed over the step; `word_index` XORs the numbers of the
  // 8-byte words with an odd number of odd bytes.
  std::uint64_t all_words = 0;
  std::uint64_t parities = 0;
  std::uint32_t word_index = 0;
  for (std::uint32_t w = 0; w < kEccStepBytes / 8; ++w) {
    std::uint64_t v;
    std::memcpy(&v, data + 8 * w, 8);
    all_words ^= v;
    std::uint64_t p = v ^ (v >> 4);
    p ^= p >> 2;
    p ^= p >> 1;
    p &= 0x0101010101010101ull;
    parities ^= p;
    std::uint64_t odd = p ^ (p >> 32);
    odd ^= odd >> 16;
    odd ^= odd >> 8;
    if (odd & 1) word_index ^= w;
  }
  std::uint32_t all = 0;  // XOR of every byte: column parities
  for (int b = 0; b < 8; ++b) all ^= static_cast<std::uint32_t>(all_words >> (8 * b)) & 0xFF;
  // XOR of the numbers of the bytes of odd parity: within a word from `parities` (bytes 1, 3,
  // 5, 7; 2, 3, 6, 7; 4 to 7), the word's number above.
  std::uint32_t odd_index = static_cast<std::uint32_t>(
      (std::popcount(parities & 0x0100010001000100ull) & 1) |
      (std::popcount(parities & 0x0101000001010000ull) & 1) << 1 |
      (std::popcount(parities & 0x0101010100000000ull) & 1) << 2 | word_index << 3);
  std::uint32_t odd_count = static_cast<std::uint32_t>(std::popcount(parities));
  std::uint32_t code = 0;
  static constexpr std::uint32_t kColumnOnes[3] = {0xAA, 0xCC, 0xF0};
  for (int b = 0; b < 3; ++b) {
    code |= static_cast<std::uint32_t>(Parity(all & ~kColumnOnes[b] & 0xFF)) << (2 * b);
    code |= static_cast<std::uint32_t>(Parity(all & kColumnOnes[b])) << (2 * b + 1);
  }
  for (int k = 0; k < 9; ++k) {
    std::uint32_t one = (odd_index >> k) & 1;
    std::uint32_t zero = (odd_count & 1) ^ one;
    code |= zero << (2 * (k + 3));
    code |= one << (2 * (k + 3) + 1);
  }
  ecc[0] = static_cast<std::uint8_t>(code);
  ecc[1] = static_cast<std::uint8_t>(code >> 8);
  ecc[2] = static_cast<std::uint8_t>(code >> 16);
  ecc[3] = static_cast<std::uint8_t>(Parity(all));
  ecc[4] = 0;
  ecc[5] = 0;
}

DfcEccResult DfcEccCorrect(std::uint8_t* data, const std::uint8_t stored[6]) {
  std::uint8_t computed[kEccBytes];
  DfcEccCompute(data, computed);
  std::uint8_t syndrome[kEccBytes];
  int flipped = 0;
  for (std::uint32_t i = 0; i < kEccBytes; ++i) {
    syndrome[i] = computed[i] ^ stored[i];
    flipped += std::popcount(static_cast<unsigned>(syndrome[i]));
  }
  if (flipped == 0) return DfcEccResult::kClean;
  // One flipped bit in the stored code itself: the data is good.
  if (flipped == 1) return DfcEccResult::kCorrected;
  std::uint32_t pairs = syndrome[0] | syndrome[1] << 8 | std::uint32_t{syndrome[2]} << 16;
  if (flipped != 13 || syndrome[3] != 1 || syndrome[4] || syndrome[5]) {
    return DfcEccResult::kUncorrectable;
  }
  // One data bit: every pair has exactly one member changed, the "one" members spell its index.
  std::uint32_t index = 0;
  for (int b = 0; b < 12; ++b) {
    std::uint32_t pair = (pairs >> (2 * b)) & 3;
    if (pair != 1 && pair != 2) return DfcEccResult::kUncorrectable;
    if (pair == 2) index |= 1u << b;
  }
  data[index >> 3] ^= static_cast<std::uint8_t>(1u << (index & 7));
  return DfcEccResult::kCorrected;
}

const Pxa3xxDfc::Register Pxa3xxDfc::kRegisters[] = {
    {0x00, "NDCR", &Pxa3xxDfc::ReadNdcr, &Pxa3xxDfc::WriteNdcr},
    {0x04, "NDTR0CS0", &Pxa3xxDfc::ReadNdtr0, &Pxa3xxDfc::WriteNdtr0},
    {0x0C, "NDTR1CS0", &Pxa3xxDfc::ReadNdtr1, &Pxa3xxDfc::WriteNdtr1},
    {0x14, "NDSR", &Pxa3xxDfc::ReadNdsr, &Pxa3xxDfc::WriteNdsr},
    {0x18, "NDPCR", &Pxa3xxDfc::ReadNdpcr, &Pxa3xxDfc::WriteNdpcr},
    {0x1C, "NDBDR0", &Pxa3xxDfc::ReadNdbdr0, &Pxa3xxDfc::WriteNdbdr0},
    {0x20, "NDBDR1", &Pxa3xxDfc::ReadNdbdr1, &Pxa3xxDfc::WriteNdbdr1},
    {0x40, "NDDB", &Pxa3xxDfc::ReadNddb, &Pxa3xxDfc::WriteNddb},
    {0x48, "NDCB0", &Pxa3xxDfc::ReadNdcb0, &Pxa3xxDfc::WriteNdcb0},
    {0x4C, "NDCB1", &Pxa3xxDfc::ReadNdcb1, &Pxa3xxDfc::WriteNdcb1},
    {0x50, "NDCB2", &Pxa3xxDfc::ReadNdcb2, &Pxa3xxDfc::WriteNdcb2},
};

std::uint32_t DfcClockMhz(std::uint32_t part_number) {
  return part_number == 8 ? 156 : part_number == 9 ? 312 : 104;
}

Pxa3xxDfc::Pxa3xxDfc(std::vector<NandChip*> chips, const DfcTiming& timing, const ModelLinks& links)
    : chips_(std::move(chips)), timing_(timing), links_(links) {
  if (timing_.clock_mhz == 0) timing_.clock_mhz = 104;
}

std::uint32_t Pxa3xxDfc::Read32(std::uint32_t offset) {
  if (offset == kNddbOffset) return ReadNddb();  // the data port: most accesses by far
  for (const Register& r : kRegisters) {
    if (r.offset == offset) return (this->*r.read)();
  }
  std::fprintf(stderr, "host: read of unmapped data flash controller offset 0x%02X\n", offset);
  std::abort();
}

void Pxa3xxDfc::Write32(std::uint32_t offset, std::uint32_t value) {
  if (offset == kNddbOffset) return WriteNddb(value);
  for (const Register& r : kRegisters) {
    if (r.offset == offset) return (this->*r.write)(value);
  }
  std::fprintf(stderr, "host: write of 0x%08X to unmapped data flash controller offset 0x%02X\n",
               value, offset);
  std::abort();
}

void Pxa3xxDfc::ReadRepeat32(void* destination, std::uint32_t offset, std::uint32_t count,
                             std::uint32_t access_ns) {
  if (offset != kNddbOffset) return BusDevice::ReadRepeat32(destination, offset, count, access_ns);
  auto* out = static_cast<std::uint8_t*>(destination);
  for (std::uint32_t i = 0; i < count; ++i) {
    ClockChargeAccess(access_ns);
    std::uint32_t word = ReadNddb();
    std::memcpy(out + 4 * i, &word, 4);
  }
}

void Pxa3xxDfc::WriteRepeat32(std::uint32_t offset, const void* source, std::uint32_t count,
                              std::uint32_t access_ns) {
  if (offset != kNddbOffset) return BusDevice::WriteRepeat32(offset, source, count, access_ns);
  const auto* in = static_cast<const std::uint8_t*>(source);
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t word;
    std::memcpy(&word, in + 4 * i, 4);
    ClockChargeAccess(access_ns);
    WriteNddb(word);
  }
}

std::uint32_t Pxa3xxDfc::ReadNdcr() {
  Update(ClockNow());
  return settings_->ndcr | (state_ != State::kIdle ? kNdcrNdRun : 0);
}

void Pxa3xxDfc::WriteNdcr(std::uint32_t value) {
  Update(ClockNow());
  settings_->ndcr = value & ~kNdcrNdRun;
  // Setting ND_RUN (again) starts over: a command left unfinished is dropped. Clearing it
  // stops the controller. A chip already busy carries on either way.
  if (value & kNdcrNdRun) {
    state_ = State::kCommandWords;
    words_taken_ = 0;
    ndsr_ |= kNdsrWrCmdReq;
  } else {
    state_ = State::kIdle;
  }
  ready_at_ = kNever;
  chip_ = nullptr;
}

std::uint32_t Pxa3xxDfc::ReadNdsr() {
  Update(ClockNow());
  // A read shows the status as this moment has it. Software polls the status of a command that
  // runs on its own: a read that shows nothing new skips the clock to the command's next
  // change, so that a poll loop costs two reads per change of state (the one that moves the
  // clock, the one that shows the change). A read that shows a change holds the clock: RDY is
  // seen on its own, and the status read just after it still lacks command-done and the
  // bad-block bit, as on the chip, where the automatic status read is still under way.
  const std::uint32_t shown = ndsr_;
  const bool news = shown != ndsr_shown_;
  ndsr_shown_ = shown;
  bool running =
      state_ == State::kReadWait || state_ == State::kChipBusy || state_ == State::kStuck;
  if (!news && (running || ready_at_ != kNever)) {
    std::uint64_t next = running ? std::min(ready_at_, event_at_) : ready_at_;
    if (next == kNever) {
      ClockAdvance(timing_.never_ready_quantum_ns);
    } else {
      ClockAdvanceTo(next);
    }
    Update(ClockNow());
  }
  return shown;
}

void Pxa3xxDfc::WriteNdsr(std::uint32_t value) {
  Update(ClockNow());
  ndsr_ &= ~(value & 0xFFF);
}

void Pxa3xxDfc::WriteNdcb0(std::uint32_t value) {
  // Words written while ND_RUN is clear, or past the third, are not taken.
  if (state_ != State::kCommandWords) return;
  ndcb_[words_taken_++] = value;
  if (words_taken_ == 3) StartCommand(ClockNow());
}

std::uint32_t Pxa3xxDfc::PageBytes() const { return control_ & kNdcrPageSz ? 2048 : 512; }

std::uint32_t Pxa3xxDfc::ChipSpareBytes() const { return PageBytes() == 2048 ? 64 : 16; }

std::uint32_t Pxa3xxDfc::HostSpareBytes() const {
  if (!(control_ & kNdcrSpareEn)) return 0;
  return control_ & kNdcrEccEn ? EccOffset() : ChipSpareBytes();
}

std::uint32_t Pxa3xxDfc::EccOffset() const { return PageBytes() == 2048 ? kDfcEccSpareOffset : 8; }

std::uint64_t Pxa3xxDfc::Cycles(std::uint64_t cycles) const {
  return (cycles * 1000 + clock_mhz_ - 1) / clock_mhz_;
}

// One read strobe: tRP + tRH (each field is the cycles less one). A 16-bit chip moves two
// bytes a strobe.
std::uint64_t Pxa3xxDfc::ReadCycleNs(std::uint32_t bytes) const {
  std::uint32_t strobe = (settings_->ndtr0 & 7) + 1 + ((settings_->ndtr0 >> 3) & 7) + 1;
  std::uint32_t strobes = control_ & kNdcrDwidthM ? (bytes + 1) / 2 : bytes;
  return Cycles(std::uint64_t{strobe} * strobes);
}

std::uint64_t Pxa3xxDfc::WriteCycleNs(std::uint32_t bytes) const {
  std::uint32_t strobe = ((settings_->ndtr0 >> 8) & 7) + 1 + ((settings_->ndtr0 >> 11) & 7) + 1;
  std::uint32_t strobes = control_ & kNdcrDwidthM ? (bytes + 1) / 2 : bytes;
  return Cycles(std::uint64_t{strobe} * strobes);
}

void Pxa3xxDfc::SendCommandAndAddress(NandChip& chip, std::uint32_t cycles, bool second_command,
                                      std::uint64_t at) {
  chip.Command(static_cast<std::uint8_t>(ndcb_[0]), at);
  // Address cycles go out in order: NDCB1 low byte first, then NDCB2's low byte.
  const std::uint8_t bytes[5] = {
      static_cast<std::uint8_t>(ndcb_[1]), static_cast<std::uint8_t>(ndcb_[1] >> 8),
      static_cast<std::uint8_t>(ndcb_[1] >> 16), static_cast<std::uint8_t>(ndcb_[1] >> 24),
      static_cast<std::uint8_t>(ndcb_[2])};
  for (std::uint32_t i = 0; i < cycles && i < 5; ++i) chip.Address(bytes[i], at);
  if (second_command) chip.Command(static_cast<std::uint8_t>(ndcb_[0] >> 8), at);
}

void Pxa3xxDfc::StartCommand(std::uint64_t now) {
  if (Tracing(links_.notes)) {
    char text[96];
    std::snprintf(text, sizeof text, "NDCB0 0x%08X NDCB1 0x%08X NDCB2 0x%08X NDCR 0x%08X", ndcb_[0],
                  ndcb_[1], ndcb_[2], settings_->ndcr);
    Trace(links_.notes, "DFC", text);
  }
  // The controller's clock comes from the processor it is part of.
  clock_mhz_ = timing_.follow_cpu ? DfcClockMhz((CpuMainId() >> 4) & 0x3F) : timing_.clock_mhz;
  control_ = settings_->ndcr;
  type_ = (ndcb_[0] >> 21) & 7;
  chip_select_ = ndcb_[0] & kNdcb0Csel ? 1 : 0;
  chip_ = static_cast<std::size_t>(chip_select_) < chips_.size() ? chips_[chip_select_] : nullptr;
  std::uint32_t cycles = (ndcb_[0] >> 16) & 7;
  bool dbc = ndcb_[0] & kNdcb0Dbc;
  ready_at_ = kNever;
  if (!chip_) {
    // Nothing answers this chip select: the controller waits for a ready line that never
    // rises and no data ever moves.
    state_ = State::kStuck;
    event_at_ = kNever;
    return;
  }
  fifo_at_ = 0;
  early_ = false;
  CheckStrobes();
  std::uint64_t sent = now + WriteCycleNs(1 + cycles + (dbc ? 1 : 0));
  // RDY reports the rising edge of the chip's R/B#: only a command that made it busy gives one.
  auto edge = [&](std::uint64_t was_ready) {
    std::uint64_t ready = chip_->ReadyAt();
    ready_at_ = ready > was_ready && ready > now ? ready : kNever;
    return std::max(sent, ready);
  };
  std::uint64_t ready_before = chip_->ReadyAt();
  switch (type_) {
    case kTypeRead: {
      SendCommandAndAddress(*chip_, cycles, dbc, now);
      std::uint64_t ready = edge(ready_before);
      // The controller does not look at R/B# for the data: it waits tR (NDTR1) and then
      // strobes the bytes out, whether the chip has its page register ready or not. (A chip
      // that never gets ready keeps the command waiting.)
      std::uint64_t sample = sent + Cycles((settings_->ndtr1 >> 16) + 1);
      early_ = ready != kNever && ready > sample;
      if (early_) {
        Note(links_.notes, "nand.rules",
             "controller read sampled " + std::to_string(ready - sample) +
                 " ns before the chip was ready (NDTR1 tR too short)");
      }
      chip_bytes_ = PageBytes() + (control_ & (kNdcrSpareEn | kNdcrEccEn) ? ChipSpareBytes() : 0);
      fifo_size_ = PageBytes() + HostSpareBytes();
      event_at_ = ready == kNever ? kNever : sample + ReadCycleNs(chip_bytes_);
      state_ = State::kReadWait;
      break;
    }
    case kTypeReadId:
    case kTypeStatus: {
      SendCommandAndAddress(*chip_, cycles, false, now);
      chip_bytes_ = type_ == kTypeStatus
                        ? 1
                        : std::min<std::uint32_t>((settings_->ndcr >> kNdcrRdIdCntShift) & 7,
                                                  kShortFifoBytes);
      fifo_size_ = kShortFifoBytes;
      event_at_ = sent + Cycles(((settings_->ndtr1 >> 4) & 0xF) + 1) + ReadCycleNs(chip_bytes_);
      state_ = State::kReadWait;
      break;
    }
    case kTypeProgram:
      // The second command byte waits until the data is in the chip.
      SendCommandAndAddress(*chip_, cycles, false, now);
      chip_bytes_ = PageBytes() + (control_ & (kNdcrSpareEn | kNdcrEccEn) ? ChipSpareBytes() : 0);
      fifo_size_ = PageBytes() + HostSpareBytes();
      fifo_.assign(fifo_size_, 0xFF);
      ndsr_ |= kNdsrWrDReq;
      state_ = State::kWriteData;
      break;
    case kTypeErase:
    case kTypeReset:
      SendCommandAndAddress(*chip_, cycles, dbc, now);
      event_at_ = type_ == kTypeErase ? AfterAutoStatus(edge(ready_before)) : edge(ready_before);
      state_ = State::kChipBusy;
      break;
    default:
      std::fprintf(stderr,
                   "host: data flash controller command type %u (NDCB0 0x%08X) is reserved\n",
                   type_, ndcb_[0]);
      std::abort();
  }
}

void Pxa3xxDfc::Update(std::uint64_t now) {
  for (;;) {
    if (ready_at_ <= now) {
      ndsr_ |= kNdsrRdy;
      ready_at_ = kNever;
      Trace(links_.notes, "DFC", "RDY: the chip is ready");
    }
    if (state_ == State::kReadWait && event_at_ <= now) {
      FillFifo();
      state_ = State::kReadData;
      ndsr_ |= kNdsrRdDReq;
      continue;
    }
    if (state_ == State::kChipBusy && event_at_ <= now) {
      Finish();
      continue;
    }
    return;
  }
}

void Pxa3xxDfc::CheckStrobes() {
  const std::uint32_t ndtr0 = settings_->ndtr0;
  auto ns = [&](int shift) { return ((ndtr0 >> shift & 7) + 1) * 1000 / clock_mhz_; };
  const NandTiming& chip = chip_->timing();
  const bool select_short = ns(16) < chip.cs_min_ns || ns(19) < chip.ch_min_ns;
  read_short_ = select_short || ns(0) < chip.rp_min_ns || ns(3) < chip.rh_min_ns;
  write_short_ = select_short || ns(8) < chip.wp_min_ns || ns(11) < chip.wh_min_ns;
  if ((read_short_ || write_short_) && ndtr0 != noted_ndtr0_) {
    noted_ndtr0_ = ndtr0;
    char text[200];
    std::snprintf(text, sizeof text,
                  "controller strobes below the chip's minimums: NDTR0 0x%08X at %u MHz gives "
                  "tRP %u, tRH %u, tWP %u, tWH %u, tCS %u, tCH %u ns",
                  ndtr0, clock_mhz_, ns(0), ns(3), ns(8), ns(11), ns(16), ns(19));
    Note(links_.notes, "nand.rules", text);
  }
}

void Pxa3xxDfc::Corrupt(std::uint8_t* bytes, std::uint32_t count, std::uint32_t one_in) {
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint64_t z = (noise_ += 0x9E3779B97F4A7C15u);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z ^= z >> 27;
    if (z % one_in == 0) bytes[i] ^= static_cast<std::uint8_t>(z >> 32 | 1);
  }
}

void Pxa3xxDfc::FillFifo() {
  std::vector<std::uint8_t> raw(std::max(chip_bytes_, fifo_size_), 0);
  chip_->ReadData(raw.data(), chip_bytes_, event_at_);
  // Sampled before the chip was ready, the bus carries nothing that was in the page.
  if (early_) Corrupt(raw.data(), chip_bytes_, 1);
  if (read_short_) Corrupt(raw.data(), chip_bytes_, 64);
  if (type_ == kTypeRead && (control_ & kNdcrEccEn)) {
    std::uint8_t* spare = raw.data() + PageBytes();
    for (std::uint32_t step = 0; step < PageBytes() / kEccStepBytes; ++step) {
      switch (DfcEccCorrect(raw.data() + step * kEccStepBytes,
                            spare + EccOffset() + step * kEccBytes)) {
        case DfcEccResult::kClean:
          break;
        case DfcEccResult::kCorrected:
          ndsr_ |= kNdsrSbErr;
          break;
        case DfcEccResult::kUncorrectable:
          ndsr_ |= kNdsrDbErr;
          break;
      }
    }
  }
  raw.resize(fifo_size_);
  fifo_ = std::move(raw);
  fifo_at_ = 0;
}

void Pxa3xxDfc::ProgramFifo(std::uint64_t now) {
  std::vector<std::uint8_t> raw(PageBytes() + ChipSpareBytes(), 0xFF);
  std::memcpy(raw.data(), fifo_.data(), fifo_size_);
  if (control_ & kNdcrEccEn) {
    std::uint8_t* spare = raw.data() + PageBytes();
    for (std::uint32_t step = 0; step < PageBytes() / kEccStepBytes; ++step) {
      DfcEccCompute(raw.data() + step * kEccStepBytes, spare + EccOffset() + step * kEccBytes);
    }
  }
  // Strobes too short for the chip latch some bytes wrong: the page holds what it was not sent.
  if (write_short_) Corrupt(raw.data(), chip_bytes_, 64);
  std::uint64_t ready_before = chip_->ReadyAt();
  std::uint64_t sent = now + WriteCycleNs(chip_bytes_);
  chip_->WriteData(raw.data(), chip_bytes_, now);
  if (ndcb_[0] & kNdcb0Dbc) chip_->Command(static_cast<std::uint8_t>(ndcb_[0] >> 8), sent);
  std::uint64_t ready = chip_->ReadyAt();
  ready_at_ = ready > ready_before && ready > sent ? ready : kNever;
  event_at_ = AfterAutoStatus(std::max(sent, ready));
  state_ = State::kChipBusy;
}

std::uint64_t Pxa3xxDfc::AfterAutoStatus(std::uint64_t ready) const {
  // With automatic status read the command is done only once the controller has read the
  // chip's status after its ready: the status command, tWHR (NDTR1), one read strobe. RDY
  // rises before that; the bad-block bit is valid only with command-done.
  if (!(ndcb_[0] & kNdcb0AutoRs) || ready == kNever) return ready;
  return ready + WriteCycleNs(1) + Cycles(((settings_->ndtr1 >> 4) & 0xF) + 1) + ReadCycleNs(1);
}

void Pxa3xxDfc::Finish() {
  bool cs1 = chip_select_ == 1;
  Trace(links_.notes, "DFC", "command done");
  if ((type_ == kTypeProgram || type_ == kTypeErase) && (ndcb_[0] & kNdcb0AutoRs)) {
    chip_->Command(0x70, event_at_);  // read status
    std::uint8_t status = 0;
    chip_->ReadData(&status, 1, event_at_);
    if (status & kChipStatusFail) ndsr_ |= cs1 ? kNdsrCs1Bbd : kNdsrCs0Bbd;
  }
  if (type_ == kTypeRead || type_ == kTypeProgram) ndsr_ |= cs1 ? kNdsrCs1PageD : kNdsrCs0PageD;
  ndsr_ |= cs1 ? kNdsrCs1CmdD : kNdsrCs0CmdD;
  state_ = State::kIdle;
}

std::uint32_t Pxa3xxDfc::ReadNddb() {
  // Nothing changes with time while software empties the FIFO: only its own reads end the
  // phase. (A page is 522 reads: no clock look-up for each.)
  if (state_ != State::kReadData) Update(ClockNow());
  // Outside a data phase the FIFO holds nothing to give: the bus reads 0.
  if (state_ != State::kReadData) return 0;
  std::uint32_t word = 0;
  if (fifo_at_ + 4 <= fifo_size_) [[likely]] {
    std::memcpy(&word, fifo_.data() + fifo_at_, 4);
  } else {
    std::memcpy(&word, fifo_.data() + fifo_at_, fifo_size_ - fifo_at_);
  }
  fifo_at_ += 4;
  if (fifo_at_ >= fifo_size_) {
    event_at_ = ClockNow();
    Finish();
  }
  return word;
}

void Pxa3xxDfc::WriteNddb(std::uint32_t value) {
  if (state_ != State::kWriteData) Update(ClockNow());
  // Outside a data phase a write to the FIFO goes nowhere.
  if (state_ != State::kWriteData) return;
  if (fifo_at_ + 4 <= fifo_size_) [[likely]] {
    std::memcpy(fifo_.data() + fifo_at_, &value, 4);
  } else {
    std::memcpy(fifo_.data() + fifo_at_, &value, fifo_size_ - fifo_at_);
  }
  fifo_at_ += 4;
  if (fifo_at_ >= fifo_size_) ProgramFifo(ClockNow());
}

}  // namespace host

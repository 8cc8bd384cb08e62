// The Intel NOR model against the J3/K3/P30 datasheets, through the 32-bit bus view.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <ostream>
#include <utility>
#include <vector>

#include "host/hardware/intel_nor_chip.h"
#include "host/hardware/nor_array.h"
#include "host/hardware/virtual_clock.h"
#include "test_support.h"

namespace host {
namespace {

// Both chips get the same 16-bit command.
constexpr std::uint32_t Both(std::uint16_t value) { return value | std::uint32_t{value} << 16; }

constexpr std::uint32_t kReadArray = Both(0xFF);
constexpr std::uint32_t kReadId = Both(0x90);
constexpr std::uint32_t kQuery = Both(0x98);
constexpr std::uint32_t kReadStatus = Both(0x70);
constexpr std::uint32_t kClearStatus = Both(0x50);
constexpr std::uint32_t kEraseSetup = Both(0x20);
constexpr std::uint32_t kProgramSetup = Both(0x40);
constexpr std::uint32_t kBufferSetup = Both(0xE8);
constexpr std::uint32_t kLockSetup = Both(0x60);
constexpr std::uint32_t kConfirm = Both(0xD0);
constexpr std::uint32_t kReady = Both(0x80);

// Bus offsets in a 0x13 chip pair with bottom parameter blocks: four 64 KB bus blocks, then
// 256 KB bus blocks.
constexpr std::uint32_t kParameter1 = 0x10000;
constexpr std::uint32_t kMain = 0x40000;
constexpr std::uint32_t kMain2 = 0x80000;

NorConfig SmallConfig() {
  NorConfig config;
  config.manufacturer[0] = 0x89;
  config.manufacturer[1] = 0x2C;  // different halves catch swapped chips
  config.device[0] = 0x881B;
  config.device[1] = 0x891C;
  config.cfi_size = 0x13;  // 512 KB a chip, 1 MB on the bus
  config.bottom_parameter_blocks = true;
  config.power_up_locked = false;
  config.clear_lock_clears_all = false;
  config.timing.mode = NorTimeMode::kTypical;  // each operation takes its typical time
  return config;
}

class NorModel : public ::testing::Test {
 protected:
  void SetUp() override {
    ClockReset(0);
    Make(SmallConfig());
  }

  void Make(const NorConfig& config) {
    nor_.reset();
    image_.assign(std::size_t{2} << config.cfi_size, 0xFF);
    nor_ = std::make_unique<NorArray>(config, image_.data());
  }

  std::uint32_t Image(std::uint32_t offset) const {
    std::uint32_t word;
    std::memcpy(&word, image_.data() + offset, 4);
    return word;
  }
  void SetImage(std::uint32_t offset, std::uint32_t word) {
    std::memcpy(image_.data() + offset, &word, 4);
  }
  void Fill(std::uint32_t offset, std::uint32_t bytes, std::uint8_t value) {
    std::memset(image_.data() + offset, value, bytes);
  }
  bool AllBytes(std::uint32_t offset, std::uint32_t bytes, std::uint8_t value) const {
    for (std::uint32_t i = 0; i < bytes; ++i) {
      if (image_[offset + i] != value) return false;
    }
    return true;
  }

  std::uint32_t Status() {
    nor_->Write32(0, kReadStatus);
    return nor_->Read32(0);
  }
  // Reads status until both halves show SR.7, as a driver does.
  std::uint32_t WaitReady(std::uint32_t offset = 0) {
    for (int i = 0; i < 100; ++i) {
      std::uint32_t status = nor_->Read32(offset);
      if ((status & kReady) == kReady) return status;
    }
    ADD_FAILURE() << "chips never became ready";
    return 0;
  }
  void Erase(std::uint32_t offset) {
    nor_->Write32(offset, kEraseSetup);
    nor_->Write32(offset, kConfirm);
  }
  void Program(std::uint32_t offset, std::uint32_t value) {
    nor_->Write32(offset, kProgramSetup);
    nor_->Write32(offset, value);
  }
  void BufferProgram(std::uint32_t offset, const std::vector<std::uint32_t>& words) {
    nor_->Write32(offset, kBufferSetup);
    nor_->Write32(offset, Both(static_cast<std::uint16_t>(words.size() - 1)));
    for (std::size_t i = 0; i < words.size(); ++i) {
      nor_->Write32(offset + 4 * static_cast<std::uint32_t>(i), words[i]);
    }
    nor_->Write32(offset, kConfirm);
  }
  void Lock(std::uint32_t offset, std::uint16_t command) {
    nor_->Write32(offset, kLockSetup);
    nor_->Write32(offset, Both(command));
  }
  std::uint32_t LockConfig(std::uint32_t block_offset) {
    nor_->Write32(0, kReadId);
    std::uint32_t value = nor_->Read32(block_offset + 2 * 4);
    nor_->Write32(0, kReadArray);
    return value;
  }
  std::uint32_t Query(std::uint32_t index) { return nor_->Read32(index * 4); }

  std::vector<std::uint8_t> image_;
  std::unique_ptr<NorArray> nor_;
};

TEST_F(NorModel, PowerUpReadsArrayWithReadyStatus) {
  SetImage(0x100, 0x12345678);
  EXPECT_EQ(nor_->Read32(0x100), 0x12345678u);
  EXPECT_EQ(Status(), kReady);
}

TEST_F(NorModel, PowerUpLocksEveryBlockWhereTheFamilyDoes) {
  NorConfig config = SmallConfig();
  config.power_up_locked = true;
  Make(config);
  for (const NorBlock& block : nor_->Blocks()) {
    EXPECT_EQ(LockConfig(block.offset), Both(0x01)) << std::hex << block.offset;
  }
}

TEST_F(NorModel, BlockIsErasedOnConfirmNotOnSetup) {
  Fill(kMain, 0x40000, 0x00);
  Fill(kMain2, 0x40000, 0x00);
  nor_->Write32(kMain + 0x1230, kEraseSetup);
  EXPECT_TRUE(AllBytes(kMain, 0x40000, 0x00));
  EXPECT_EQ(nor_->Read32(kMain), kReady) << "setup reads status";
  nor_->Write32(kMain + 0x1230, kConfirm);
  EXPECT_TRUE(AllBytes(kMain, 0x40000, 0xFF));
  EXPECT_TRUE(AllBytes(kMain2, 0x40000, 0x00)) << "the next block is untouched";
  EXPECT_EQ(WaitReady(), kReady);
  EXPECT_EQ(nor_->Chip(0).Counters(4).erases, 1u);
  EXPECT_EQ(nor_->Chip(1).Counters(4).erases, 1u);
}

TEST_F(NorModel, ParameterBlockEraseCoversOnly64BusKilobytes) {
  Fill(0, 0x40000, 0x00);
  Erase(kParameter1);
  EXPECT_TRUE(AllBytes(0, kParameter1, 0x00));
  EXPECT_TRUE(AllBytes(kParameter1, 0x10000, 0xFF));
  EXPECT_TRUE(AllBytes(2 * kParameter1, 0x20000, 0x00));
}

TEST_F(NorModel, WrongEraseConfirmIsSequenceErrorAndErasesNothing) {
  Fill(kMain, 0x40000, 0x00);
  nor_->Write32(kMain, kEraseSetup);
  nor_->Write32(kMain, kReadArray);
  EXPECT_EQ(nor_->Read32(kMain), Both(0xB0)) << "SR.7 | SR.5 | SR.4, still in status mode";
  EXPECT_TRUE(AllBytes(kMain, 0x40000, 0x00));
  EXPECT_EQ(nor_->Chip(0).Counters(4).erases, 0u);
}

TEST_F(NorModel, ClearStatusClearsErrorBitsButNeverReady) {
  Lock(kMain, 0x01);
  Erase(kMain);                       // SR.5 | SR.1
  nor_->Write32(kMain, kEraseSetup);  // SR.4 | SR.5 on top
  nor_->Write32(kMain, Both(0x00));
  EXPECT_EQ(Status(), Both(0xB2));
  nor_->Write32(0, kClearStatus);
  EXPECT_EQ(nor_->Read32(0), kReady);
}

TEST_F(NorModel, ErrorBitsStayUntilClearStatus) {
  Lock(kMain, 0x01);
  Program(kMain, 0);
  EXPECT_EQ(Status(), Both(0x92));
  Program(kMain2, 0x12345678);  // succeeds, but the old error is still shown
  EXPECT_EQ(WaitReady(), Both(0x92));
  EXPECT_EQ(Image(kMain2), 0x12345678u);
}

TEST_F(NorModel, ClearStatusLeavesTheReadModeAlone) {
  SetImage(0x20, 0xA5A5A5A5);
  nor_->Write32(0, kClearStatus);
  EXPECT_EQ(nor_->Read32(0x20), 0xA5A5A5A5u);
  nor_->Write32(0, kReadId);
  nor_->Write32(0, kClearStatus);
  EXPECT_EQ(nor_->Read32(0), 0x002C0089u);
}

TEST_F(NorModel, ProgrammingOnlyClearsBits) {
  SetImage(kMain, 0xFF00FF00);
  Program(kMain, 0xF0F0F0F0);
  WaitReady();
  EXPECT_EQ(Image(kMain), 0xF000F000u);
  Program(kMain, 0xFFFFFFFF);
  WaitReady();
  EXPECT_EQ(Image(kMain), 0xF000F000u) << "ones do not erase";
  nor_->Write32(0, kReadArray);
  EXPECT_EQ(nor_->Read32(kMain), 0xF000F000u);
}

TEST_F(NorModel, EachChipProgramsItsOwnHalf) {
  // Chip 0 gets a program setup, chip 1 read-array commands: only the low half changes.
  nor_->Write32(kMain, 0x00FF0040);
  nor_->Write32(kMain, 0x00FF1234);
  WaitReady();
  EXPECT_EQ(Image(kMain), 0xFFFF1234u);
}

struct LockedCase {
  const char* name;
  int operation;  // 0 erase, 1 word program, 2 buffered program
  std::uint16_t status;
  friend void PrintTo(const LockedCase& c, std::ostream* os) { *os << c.name; }
};

class NorLockedBlock : public NorModel, public ::testing::WithParamInterface<LockedCase> {};

TEST_P(NorLockedBlock, OperationOnLockedBlockFailsWithLockBit) {
  Fill(kMain, 0x40000, 0x0F);
  Lock(kMain, 0x01);
  switch (GetParam().operation) {
    case 0:
      Erase(kMain + 0x100);
      break;
    case 1:
      Program(kMain + 0x100, 0);
      break;
    case 2:
      BufferProgram(kMain + 0x100, {0, 0, 0, 0});
      break;
  }
  EXPECT_EQ(Status(), Both(GetParam().status));
  EXPECT_TRUE(AllBytes(kMain, 0x40000, 0x0F));
  EXPECT_EQ(nor_->Chip(0).Counters(4).erases + nor_->Chip(0).Counters(4).programs, 0u);
}

INSTANTIATE_TEST_SUITE_P(Nor, NorLockedBlock,
                         ::testing::Values(LockedCase{"Erase", 0, 0xA2},
                                           LockedCase{"WordProgram", 1, 0x92},
                                           LockedCase{"BufferProgram", 2, 0x92}),
                         [](const auto& info) { return info.param.name; });

TEST_F(NorModel, UnlockedBlockCanBeRelockedAndUnlocked) {
  Lock(kMain, 0x01);
  EXPECT_EQ(LockConfig(kMain), Both(0x01));
  EXPECT_EQ(LockConfig(kMain2), Both(0x00));
  Lock(kMain, 0xD0);
  EXPECT_EQ(LockConfig(kMain), Both(0x00));
  EXPECT_EQ(Status(), kReady);
}

TEST_F(NorModel, LockedDownBlockCannotBeUnlocked) {
  Lock(kMain, 0x2F);
  EXPECT_EQ(LockConfig(kMain), Both(0x03));
  Lock(kMain, 0xD0);
  EXPECT_EQ(LockConfig(kMain), Both(0x03));
  Erase(kMain);
  EXPECT_EQ(Status(), Both(0xA2));
}

// J3 lock bits are cells: setting and clearing them run the write state machine, which takes
// nothing but Read Status until it is done. J3 has no lock-down.
TEST_F(NorModel, J3LockBitsAreTimedOperationsAndLockDownIsRefused) {
  NorConfig config = SmallConfig();
  config.device[0] = config.device[1] = 0x0018;
  config.clear_lock_clears_all = true;
  Make(config);
  Lock(kMain, 0x01);
  EXPECT_EQ(nor_->Read32(kMain), 0u);
  EXPECT_EQ(WaitReady(), kReady);
  EXPECT_EQ(ClockNow(), 64'000u);
  EXPECT_EQ(LockConfig(kMain), Both(0x01));

  Lock(kMain, 0xD0);
  {
    test::ExpectUnknownCommands unknown;
    nor_->Write32(kMain, kReadId);  // ignored, and noted: the chip is busy
    EXPECT_EQ(unknown.seen().size(), 2u);
  }
  EXPECT_EQ(nor_->Read32(kMain + 8), 0u) << "a busy chip answers status, not the lock word";
  EXPECT_EQ(ClockNow(), 64'000u) << "a read after a command is no poll: the clock stays";
  EXPECT_EQ(WaitReady(), kReady);
  EXPECT_EQ(ClockNow(), 64'000u + 500'000'000u);
  EXPECT_EQ(LockConfig(kMain), Both(0x00));

  Lock(kMain, 0x2F);
  EXPECT_EQ(Status(), Both(0xB0)) << "lock-down is a command-sequence error on J3";
  EXPECT_EQ(LockConfig(kMain), Both(0x00));
  nor_->Write32(0, kQuery);
  std::uint32_t primary = Query(0x15) & 0xFF;
  EXPECT_EQ(Query(primary + 0x0A), Both(0x01)) << "CFI: lock bit status only, no lock-down";
}

// Varied times: each operation between the typical and the maximum, drawn per chip, so the
// chips of the bus finish apart; the same seed gives the same times.
TEST_F(NorModel, VariedTimesDifferPerChipAndRepeatWithTheSeed) {
  NorConfig config = SmallConfig();
  config.timing.mode = NorTimeMode::kVaried;
  config.timing.seed = 7;
  auto ends = [&] {
    ClockReset(0);
    Make(config);
    std::vector<std::uint64_t> out;
    for (int i = 0; i < 8; ++i) {
      Erase(kMain);
      for (const auto& chip : {nor_->Chip(0).BusyUntil(), nor_->Chip(1).BusyUntil()}) {
        out.push_back(chip - ClockNow());
      }
      WaitReady();
    }
    return out;
  };
  std::vector<std::uint64_t> first = ends();
  int apart = 0;
  for (std::size_t i = 0; i < first.size(); ++i) {
    EXPECT_GE(first[i], config.timing.block_erase_ns);
    EXPECT_LE(first[i], config.timing.block_erase_max_ns);
    if (i % 2 && first[i] != first[i - 1]) ++apart;
  }
  EXPECT_EQ(apart, 8) << "the two chips finish at different times";
  EXPECT_EQ(ends(), first);
  config.timing.seed = 8;
  EXPECT_NE(ends(), first);
}

TEST_F(NorModel, LockedDownFaultSurvivesClearLock) {
  NorConfig config = SmallConfig();
  config.faults = {{NorFaultKind::kLockedDown, kMain2 + 0x40, 1}};
  Make(config);
  Lock(kMain2, 0xD0);
  EXPECT_EQ(LockConfig(kMain2), 0x00030000u) << "only chip 1 is locked down";
  Fill(kMain2, 4, 0x00);
  Erase(kMain2);
  EXPECT_EQ(WaitReady(), 0x00A20080u);
  EXPECT_EQ(Image(kMain2), 0x0000FFFFu);
}

TEST_F(NorModel, WrongLockConfirmIsSequenceError) {
  Lock(kMain, 0x77);
  EXPECT_EQ(Status(), Both(0xB0));
  EXPECT_EQ(LockConfig(kMain), Both(0x00));
}

struct ClearLockCase {
  const char* name;
  bool clears_all;
  std::uint32_t other_block_after;
  friend void PrintTo(const ClearLockCase& c, std::ostream* os) { *os << c.name; }
};

class NorClearLock : public NorModel, public ::testing::WithParamInterface<ClearLockCase> {};

TEST_P(NorClearLock, ClearLockReachesTheBlocksTheFamilyClears) {
  NorConfig config = SmallConfig();
  config.power_up_locked = true;
  config.clear_lock_clears_all = GetParam().clears_all;
  config.faults = {{NorFaultKind::kLockedDown, 0, -1}};  // stays locked either way
  Make(config);
  Lock(kMain, 0xD0);
  EXPECT_EQ(WaitReady(), kReady);
  EXPECT_EQ(LockConfig(kMain), Both(0x00));
  EXPECT_EQ(LockConfig(kMain2), GetParam().other_block_after);
  EXPECT_EQ(LockConfig(kParameter1), GetParam().other_block_after);
  EXPECT_EQ(LockConfig(0), Both(0x03));
}

INSTANTIATE_TEST_SUITE_P(Nor, NorClearLock,
                         ::testing::Values(ClearLockCase{"J3ClearsAll", true, Both(0x00)},
                                           ClearLockCase{"P30ClearsOne", false, Both(0x01)}),
                         [](const auto& info) { return info.param.name; });

TEST_F(NorModel, BufferedProgramWritesTheWholeWindow) {
  std::vector<std::uint32_t> words;
  for (std::uint32_t i = 0; i < 16; ++i) words.push_back(0x01000100u * (i + 1));
  nor_->Write32(kMain + 0x40, kBufferSetup);
  EXPECT_EQ(nor_->Read32(kMain + 0x40), kReady) << "buffer available";
  nor_->Write32(kMain + 0x40, Both(15));
  for (std::uint32_t i = 0; i < 16; ++i) {
    nor_->Write32(kMain + 0x40 + 4 * i, words[i]);
    EXPECT_EQ(Image(kMain + 0x40 + 4 * i), 0xFFFFFFFFu) << "nothing lands before the confirm";
  }
  nor_->Write32(kMain + 0x40, kConfirm);
  for (std::uint32_t i = 0; i < 16; ++i) EXPECT_EQ(Image(kMain + 0x40 + 4 * i), words[i]) << i;
  EXPECT_EQ(Image(kMain + 0x3C), 0xFFFFFFFFu);
  EXPECT_EQ(Image(kMain + 0x80), 0xFFFFFFFFu);
  EXPECT_EQ(WaitReady(), kReady);
  EXPECT_EQ(nor_->Chip(1).Counters(4).programs, 1u);
}

TEST_F(NorModel, BufferedProgramMayStartInsideItsWindow) {
  BufferProgram(kMain + 0x48, {0x11111111, 0x22222222});
  WaitReady();
  EXPECT_EQ(Image(kMain + 0x44), 0xFFFFFFFFu);
  EXPECT_EQ(Image(kMain + 0x48), 0x11111111u);
  EXPECT_EQ(Image(kMain + 0x4C), 0x22222222u);
  EXPECT_EQ(Image(kMain + 0x50), 0xFFFFFFFFu);
}

struct BufferErrorCase {
  const char* name;
  std::uint32_t count;   // as written: words - 1
  std::uint32_t first;   // offset of the first data word
  std::uint32_t second;  // offset of the second data word
  std::uint32_t confirm;
  std::uint32_t count_at = kMain;    // where the count goes
  std::uint32_t confirm_at = kMain;  // where the confirm goes
  friend void PrintTo(const BufferErrorCase& c, std::ostream* os) { *os << c.name; }
};

class NorBufferError : public NorModel, public ::testing::WithParamInterface<BufferErrorCase> {};

TEST_P(NorBufferError, AbortsWithSequenceErrorAndProgramsNothing) {
  const BufferErrorCase& c = GetParam();
  test::ExpectUnknownCommands unknown;  // after the abort the rest are commands
  nor_->Write32(kMain, kBufferSetup);
  nor_->Write32(c.count_at, Both(static_cast<std::uint16_t>(c.count)));
  nor_->Write32(c.first, 0);
  nor_->Write32(c.second, 0);
  nor_->Write32(c.confirm_at, c.confirm);
  // The abort leaves both chips in status mode: no Read Status needed.
  EXPECT_EQ(nor_->Read32(kMain), Both(0xB0));
  EXPECT_EQ(nor_->Chip(0).state(), IntelNorChip::State::kReadStatus);
  EXPECT_TRUE(AllBytes(0, static_cast<std::uint32_t>(image_.size()), 0xFF));
  EXPECT_EQ(nor_->Chip(0).Counters(4).programs, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Nor, NorBufferError,
    ::testing::Values(
        // 17 words do not fit the 16-word buffer.
        BufferErrorCase{"CountTooBig", 16, kMain, kMain + 4, kConfirm},
        // Two words from the start: the third word's address is past start + count.
        BufferErrorCase{"PastStartPlusCount", 1, kMain + 0x40, kMain + 0x48, kConfirm},
        BufferErrorCase{"BeforeTheStart", 1, kMain + 0x40, kMain + 0x3C, kConfirm},
        BufferErrorCase{"WrongConfirm", 1, kMain, kMain + 4, Both(0xFF)},
        // Data in another block than the one named by the setup.
        BufferErrorCase{"DataOutsideSetupBlock", 1, kMain2, kMain2 + 4, kConfirm},
        // Inside [start, start + count], but the block ends between the two words.
        BufferErrorCase{"RunsIntoTheNextBlock", 1, kMain2 - 4, kMain2, kConfirm},
        BufferErrorCase{"CountToAnotherBlock", 1, kMain, kMain + 4, kConfirm, kMain2},
        BufferErrorCase{"ConfirmToAnotherBlock", 1, kMain, kMain + 4, kConfirm, kMain, kMain2}),
    [](const auto& info) { return info.param.name; });

// A buffered program also only clears bits: it ANDs into the cells, never overwrites them.
TEST_F(NorModel, BufferedProgramMayCrossAnAlignedWindowAndOnlyClearsBits) {
  SetImage(kMain + 0x3C, 0x0F0F0F0F);
  BufferProgram(kMain + 0x3C, {0x11111111, 0x22222222});
  EXPECT_EQ(WaitReady(), kReady);
  EXPECT_EQ(Image(kMain + 0x3C), 0x01010101u);
  EXPECT_EQ(Image(kMain + 0x40), 0x22222222u);
}

// A buffer that is not free shows XSR.7 = 0 after the request; a poll of the extended status
// sees it free after a few reads. Only the faulty chip's half waits.
TEST_F(NorModel, BufferNotAvailableMakesTheRequestWait) {
  NorConfig config = SmallConfig();
  config.faults = {{NorFaultKind::kBufferUnavailable, 0, 0, 2}};
  Make(config);
  for (int request = 0; request < 3; ++request) {
    const std::uint32_t at = kMain + 0x40 * static_cast<std::uint32_t>(request);
    nor_->Write32(at, kBufferSetup);
    std::uint32_t first = nor_->Read32(at);
    EXPECT_EQ(first, request < 2 ? Both(0x80) & 0xFFFF0000u : kReady) << request;
    EXPECT_EQ(WaitReady(at), kReady);
    nor_->Write32(at, Both(0));
    nor_->Write32(at, 0x12345678);
    nor_->Write32(at, kConfirm);
    EXPECT_EQ(WaitReady(at), kReady);
    EXPECT_EQ(Image(at), 0x12345678u) << request;
  }
}

// J3: "any time SR.4 or SR.5 is set, the device will not accept any more Write to Buffer
// commands" until Clear Status.
TEST_F(NorModel, J3RefusesWriteToBufferWhileAnErrorShows) {
  NorConfig config = SmallConfig();
  config.clear_lock_clears_all = true;
  Make(config);
  Lock(kMain, 0x77);  // not a lock command: sequence error, SR.4 and SR.5
  nor_->Write32(kMain, kBufferSetup);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(nor_->Read32(kMain) & kReady, 0u) << i;
  nor_->Write32(kMain, kClearStatus);
  nor_->Write32(kMain, kBufferSetup);
  EXPECT_EQ(nor_->Read32(kMain), kReady);

  // A P30 takes it: its buffer has no such rule.
  Make(SmallConfig());
  Lock(kMain, 0x77);
  nor_->Write32(kMain, kBufferSetup);
  EXPECT_EQ(nor_->Read32(kMain) & kReady, kReady);
}

TEST_F(NorModel, IdentifierCodesSitAtWordsZeroToTwoOfEveryBlock) {
  Lock(kMain2, 0x01);
  nor_->Write32(0, kReadId);
  for (std::uint32_t block : {0u, kParameter1, kMain, kMain2}) {
    EXPECT_EQ(nor_->Read32(block + 0), 0x002C0089u) << std::hex << block;
    EXPECT_EQ(nor_->Read32(block + 4), 0x891C881Bu) << std::hex << block;
    EXPECT_EQ(nor_->Read32(block + 8), block == kMain2 ? Both(0x01) : 0u) << std::hex << block;
    EXPECT_EQ(nor_->Read32(block + 12), 0u) << std::hex << block;
  }
  nor_->Write32(0, kReadArray);
  EXPECT_EQ(nor_->Read32(kMain2 + 8), 0xFFFFFFFFu);
}

TEST_F(NorModel, QueryTableDescribesTheChip) {
  nor_->Write32(0x5554, kQuery);
  EXPECT_EQ(Query(0x10), Both('Q'));
  EXPECT_EQ(Query(0x11), Both('R'));
  EXPECT_EQ(Query(0x12), Both('Y'));
  EXPECT_EQ(Query(0x13), Both(0x01));
  EXPECT_EQ(Query(0x14), Both(0x00));
  EXPECT_EQ(Query(0x1B), Both(0x27));
  EXPECT_EQ(Query(0x1C), Both(0x36));
  EXPECT_EQ(Query(0x1F), Both(8)) << "210 us word program: 2^8 us typical";
  EXPECT_EQ(Query(0x20), Both(8)) << "218 us buffer: 2^8 us typical";
  EXPECT_EQ(Query(0x21), Both(10)) << "1 s erase: 2^10 ms typical";
  EXPECT_EQ(Query(0x25), Both(2)) << "maximum erase is four times typical";
  EXPECT_EQ(Query(0x27), Both(0x13));
  EXPECT_EQ(Query(0x28), Both(0x01));
  EXPECT_EQ(Query(0x29), Both(0x00));
  EXPECT_EQ(Query(0x2A), Both(0x05));
  EXPECT_EQ(Query(0x2B), Both(0x00));
  std::uint32_t primary = (Query(0x15) & 0xFF) | (Query(0x16) & 0xFF) << 8;
  EXPECT_EQ(Query(primary), Both('P'));
  EXPECT_EQ(Query(primary + 1), Both('R'));
  EXPECT_EQ(Query(primary + 2), Both('I'));
  EXPECT_EQ(Query(0x200), 0u) << "beyond the table";
  EXPECT_EQ(nor_->Read32(kMain + 0x10 * 4), Both('Q')) << "the table repeats in each block";
}

TEST_F(NorModel, QueryTimesFollowTheTimingModel) {
  NorConfig config = SmallConfig();
  config.timing.word_program_ns = 100 * kNsPerUs;
  config.timing.buffer_program_ns = 600 * kNsPerUs;
  config.timing.block_erase_ns = 700 * kNsPerMs;
  Make(config);
  nor_->Write32(0, kQuery);
  EXPECT_EQ(Query(0x1F), Both(7));
  EXPECT_EQ(Query(0x20), Both(10));
  EXPECT_EQ(Query(0x21), Both(10));
}

struct GeometryCase {
  const char* name;
  std::uint8_t cfi_size;
  bool bottom;
  std::vector<std::uint16_t> regions;                         // CFI bytes from 0x2C
  std::vector<std::pair<std::size_t, NorBlock>> some_blocks;  // index, bus view
  std::size_t block_count;
  friend void PrintTo(const GeometryCase& c, std::ostream* os) { *os << c.name; }
};

class NorGeometry : public NorModel, public ::testing::WithParamInterface<GeometryCase> {};

TEST_P(NorGeometry, QueryRegionsAndBlocksAgree) {
  const GeometryCase& c = GetParam();
  NorConfig config = SmallConfig();
  config.cfi_size = c.cfi_size;
  config.bottom_parameter_blocks = c.bottom;
  Make(config);
  nor_->Write32(0, kQuery);
  for (std::size_t i = 0; i < c.regions.size(); ++i) {
    EXPECT_EQ(Query(0x2C + static_cast<std::uint32_t>(i)), Both(c.regions[i])) << i;
  }
  std::uint32_t primary = Query(0x15) & 0xFF;
  EXPECT_EQ(primary, 0x2D + 4 * c.regions[0]) << "PRI follows the region descriptors";
  EXPECT_EQ(Query(primary), Both('P'));

  std::vector<NorBlock> blocks = nor_->Blocks();
  ASSERT_EQ(blocks.size(), c.block_count);
  for (const auto& [i, block] : c.some_blocks) {
    EXPECT_EQ(blocks[i].offset, block.offset) << i;
    EXPECT_EQ(blocks[i].size, block.size) << i;
  }
  std::uint64_t next = 0;
  for (const NorBlock& block : blocks) {
    EXPECT_EQ(block.offset, next);
    next += block.size;
  }
  EXPECT_EQ(next, nor_->Size());
}

INSTANTIATE_TEST_SUITE_P(
    Nor, NorGeometry,
    ::testing::Values(
        GeometryCase{"BottomParameter512K",
                     0x13,
                     true,
                     {2, 3, 0, 0x80, 0, 2, 0, 0, 2},
                     {{0, {0, 0x10000}},
                      {1, {0x10000, 0x10000}},
                      {3, {0x30000, 0x10000}},
                      {4, {0x40000, 0x40000}},
                      {6, {0xC0000, 0x40000}}},
                     7},
        GeometryCase{"Uniform512K",
                     0x13,
                     false,
                     {1, 3, 0, 0, 2},
                     {{0, {0, 0x40000}}, {3, {0xC0000, 0x40000}}},
                     4},
        GeometryCase{"Uniform256K", 0x12, false, {1, 1, 0, 0, 2}, {{1, {0x40000, 0x40000}}}, 2},
        GeometryCase{
            "BottomParameter16M",
            0x18,
            true,
            {2, 3, 0, 0x80, 0, 0x7E, 0, 0, 2},
            {{3, {0x30000, 0x10000}}, {4, {0x40000, 0x40000}}, {130, {0x1FC0000, 0x40000}}},
            131}),
    [](const auto& info) { return info.param.name; });

struct TimingCase {
  const char* name;
  int operation;  // 0 erase, 1 word program, 2 buffered program
  std::uint64_t ns;
  friend void PrintTo(const TimingCase& c, std::ostream* os) { *os << c.name; }
};

class NorBusyTime : public NorModel, public ::testing::WithParamInterface<TimingCase> {};

TEST_P(NorBusyTime, FirstStatusReadShowsBusyAndTheNextOneReady) {
  ClockReset(5000);
  switch (GetParam().operation) {
    case 0:
      Erase(kMain);
      break;
    case 1:
      Program(kMain, 0);
      break;
    case 2:
      BufferProgram(kMain, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
      break;
  }
  EXPECT_EQ(ClockNow(), 5000u) << "starting costs no time in the model";
  EXPECT_TRUE(nor_->Chip(0).Busy());
  EXPECT_EQ(nor_->Chip(0).BusyUntil(), 5000 + GetParam().ns);
  EXPECT_EQ(nor_->Read32(kMain), 0u) << "a driver that reads status once must not pass";
  EXPECT_EQ(ClockNow(), 5000u);
  EXPECT_EQ(nor_->Read32(kMain), kReady);
  EXPECT_EQ(ClockNow(), 5000 + GetParam().ns) << "the second read jumps to the end";
  EXPECT_FALSE(nor_->Chip(1).Busy());
  EXPECT_EQ(nor_->Chip(1).BusyUntil(), 0u);
  EXPECT_EQ(nor_->Read32(kMain), kReady);
  EXPECT_EQ(ClockNow(), 5000 + GetParam().ns) << "a ready chip does not move the clock";
}

INSTANTIATE_TEST_SUITE_P(Nor, NorBusyTime,
                         ::testing::Values(TimingCase{"Erase", 0, 1'000'000'000},
                                           TimingCase{"WordProgram", 1, 210'000},
                                           TimingCase{"BufferProgram", 2, 218'000}),
                         [](const auto& info) { return info.param.name; });

TEST_F(NorModel, StatusPollStopsAtTheFirstChipToFinish) {
  // Chip 0 erases the block while chip 1 programs a word into it.
  nor_->Write32(kMain, 0x00400020);
  nor_->Write32(kMain, 0x00D000D0);
  EXPECT_EQ(nor_->Read32(kMain), 0u);
  EXPECT_EQ(ClockNow(), 0u);
  EXPECT_EQ(nor_->Read32(kMain), 0x00800000u) << "the program's end is seen on its own";
  EXPECT_EQ(ClockNow(), 210'000u);
  EXPECT_EQ(nor_->Read32(kMain), kReady);
  EXPECT_EQ(ClockNow(), 1'000'000'000u);
  EXPECT_EQ(Image(kMain), 0x00D0FFFFu);
}

TEST_F(NorModel, ChipLeftInReadArrayDoesNotHoldTheOtherChipsPoll) {
  NorConfig config = SmallConfig();
  config.clear_lock_clears_all = true;  // J3: the busy chip stays in status mode
  Make(config);
  nor_->Write32(kMain, 0x00200040);  // chip 0 programs a word, chip 1 erases the block
  nor_->Write32(kMain, 0x00D000D0);
  EXPECT_EQ(nor_->Read32(kMain), 0u);
  ClockAdvance(300'000);
  test::ExpectUnknownCommands unknown;
  nor_->Write32(kMain, kReadArray);  // taken by chip 0 only: chip 1 is still busy
  EXPECT_EQ(unknown.seen().size(), 1u);
  for (int i = 0; i < 3 && ClockNow() < 1'000'000'000u; ++i) nor_->Read32(kMain);
  EXPECT_EQ(ClockNow(), 1'000'000'000u);
}

TEST_F(NorModel, BusyJ3IgnoresCommandsButReadStatus) {
  NorConfig config = SmallConfig();
  config.clear_lock_clears_all = true;
  Make(config);
  Fill(kMain2, 0x40000, 0x00);
  Erase(kMain);
  test::ExpectUnknownCommands unknown;
  nor_->Write32(kMain2, kEraseSetup);
  nor_->Write32(kMain2, kConfirm);
  nor_->Write32(0, kReadArray);
  nor_->Write32(0, kClearStatus);
  EXPECT_EQ(unknown.seen().size(), 8u) << "each command to a busy chip is noted";
  EXPECT_EQ(nor_->Chip(0).state(), IntelNorChip::State::kReadStatus);
  EXPECT_EQ(nor_->Chip(0).status(), 0u) << "SR.7 is 0 while the erase runs";
  EXPECT_TRUE(AllBytes(kMain2, 0x40000, 0x00));
  EXPECT_EQ(WaitReady(kMain2), kReady);
  EXPECT_EQ(nor_->Read32(kMain2), kReady) << "still in status mode after the erase";
}

// A busy P30 takes Read Array, and its array reads are undefined until the operation ends:
// a driver that reads data before the chip is ready gets neither the old nor the new cells.
TEST_F(NorModel, BusyP30ArrayReadsAreUndefined) {
  Fill(kMain2, 0x40000, 0x00);
  Erase(kMain2);
  nor_->Write32(kMain2, kReadArray);
  int defined = 0;
  for (std::uint32_t i = 0; i < 16; ++i) {
    std::uint32_t word = nor_->Read32(kMain2 + 4 * i);
    defined += word == 0 || word == 0xFFFFFFFF;
  }
  EXPECT_LT(defined, 4);
  EXPECT_EQ(Status() & kReady, 0u) << "the erase runs on";
  EXPECT_EQ(WaitReady(kMain2), kReady);
  nor_->Write32(kMain2, kReadArray);
  EXPECT_EQ(nor_->Read32(kMain2 + 8), 0xFFFFFFFFu);
}

TEST_F(NorModel, ReadBlockCopiesArrayAndOddTail) {
  for (std::uint32_t i = 0; i < 64; ++i) image_[kMain + i] = static_cast<std::uint8_t>(i * 7);
  std::vector<std::uint8_t> out(64, 0xEE);
  nor_->ReadBlock(out.data(), kMain, 23);
  EXPECT_EQ(0, std::memcmp(out.data(), image_.data() + kMain, 23));
  EXPECT_EQ(out[23], 0xEE) << "nothing past the count";
}

TEST_F(NorModel, ReadBlockInStatusModeReadsStatus) {
  nor_->Write32(0, 0x00FF0070);  // chip 0 status, chip 1 array
  std::uint32_t out[3] = {};
  nor_->ReadBlock(out, kMain, sizeof out);
  for (std::uint32_t word : out) EXPECT_EQ(word, 0xFFFF0080u);
}

struct FaultCase {
  const char* name;
  NorFaultKind kind;
  int chip;
  std::uint32_t status;
  friend void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }
};

class NorFaultOneChip : public NorModel, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(NorFaultOneChip, FaultShowsInItsHalfOnly) {
  const FaultCase& c = GetParam();
  NorConfig config = SmallConfig();
  config.faults = {{c.kind, kMain + 0x1000, c.chip}};
  Make(config);
  Fill(kMain, 0x40000, 0x0F);
  if (c.kind == NorFaultKind::kEraseError) {
    Erase(kMain);
  } else {
    Program(kMain + 0x10, 0);
  }
  EXPECT_EQ(WaitReady(kMain), c.status);
  EXPECT_EQ(ClockNow(), c.kind == NorFaultKind::kEraseError ? 1'000'000'000u : 210'000u)
      << "the failing operation still takes its time";
  std::uint32_t word = Image(kMain + 0x10);
  std::uint16_t faulted = static_cast<std::uint16_t>(c.chip == 0 ? word : word >> 16);
  std::uint16_t healthy = static_cast<std::uint16_t>(c.chip == 0 ? word >> 16 : word);
  // A failed operation gives up part way: an erase has erased the block's first quarter, a
  // word program has programmed the low byte.
  EXPECT_EQ(faulted, c.kind == NorFaultKind::kEraseError ? 0xFFFF : 0x0F00);
  EXPECT_EQ(Image(kMain + 0x20000) >> (c.chip == 0 ? 0 : 16) & 0xFFFF, 0x0F0Fu)
      << "the rest of a failed erase's block is not erased";
  EXPECT_EQ(healthy, c.kind == NorFaultKind::kEraseError ? 0xFFFF : 0x0000);
  // The other blocks of the faulted chip work.
  nor_->Write32(kMain2, kClearStatus);
  Erase(kMain2);
  EXPECT_EQ(WaitReady(kMain2), kReady);
}

INSTANTIATE_TEST_SUITE_P(
    Nor, NorFaultOneChip,
    ::testing::Values(FaultCase{"EraseChip0", NorFaultKind::kEraseError, 0, 0x008000A0},
                      FaultCase{"EraseChip1", NorFaultKind::kEraseError, 1, 0x00A00080},
                      FaultCase{"ProgramChip0", NorFaultKind::kProgramError, 0, 0x00800090},
                      FaultCase{"ProgramChip1", NorFaultKind::kProgramError, 1, 0x00900080}),
    [](const auto& info) { return info.param.name; });

TEST_F(NorModel, FaultOnBothChipsFailsBothHalves) {
  NorConfig config = SmallConfig();
  config.faults = {{NorFaultKind::kEraseError, kMain, -1}};
  Make(config);
  Erase(kMain);
  EXPECT_EQ(WaitReady(), Both(0xA0));
}

TEST_F(NorModel, NeverReadyChipCostsOneQuantumPerPoll) {
  NorConfig config = SmallConfig();
  config.faults = {{NorFaultKind::kNeverReady, 0, 1}};
  config.timing.never_ready_quantum_ns = 3000;
  Make(config);
  Fill(kMain, 4, 0x0F);
  Program(kMain, 0);
  EXPECT_EQ(nor_->Read32(kMain), 0u);
  EXPECT_EQ(nor_->Read32(kMain), 0x00000080u) << "chip 0 finishes, chip 1 never does";
  EXPECT_EQ(ClockNow(), 210'000u);
  for (int i = 1; i <= 5; ++i) {
    EXPECT_EQ(nor_->Read32(kMain), 0x00000080u);
    EXPECT_EQ(ClockNow(), 210'000u + 3000u * i);
  }
  EXPECT_EQ(nor_->Chip(1).BusyUntil(), kNever);
  EXPECT_EQ(Image(kMain), 0x0F0F0000u);
  nor_->Write32(0, kReadArray);
  EXPECT_NE(nor_->Read32(kMain) >> 16, 0x0F0Fu) << "a stuck P30 never shows its cells";
}

TEST_F(NorModel, CountersSeparateErasesProgramsAndOverprograms) {
  Erase(kMain);
  WaitReady();
  Program(kMain, 0xFFFF0000);  // chip 0 programs erased cells; chip 1 writes ones
  WaitReady();
  Program(kMain, 0x0000FFFF);  // chip 0 writes ones over its zeros: nothing programmed
  WaitReady();
  Program(kMain, 0xFFFF0000);  // chip 0 programs its zeros again: an overprogram
  WaitReady();
  BufferProgram(kMain + 0x40, {0x12345678, 0x9ABCDEF0});
  WaitReady();
  // One byte of each half, then the other byte: no bit is programmed twice.
  Program(kMain + 0x80, 0xFF05FF05);
  WaitReady();
  Program(kMain + 0x80, 0x06FF06FF);
  WaitReady();
  const NorBlockCounters& chip0 = nor_->Chip(0).Counters(4);
  const NorBlockCounters& chip1 = nor_->Chip(1).Counters(4);
  EXPECT_EQ(chip0.erases, 1u);
  EXPECT_EQ(chip0.programs, 6u);
  EXPECT_EQ(chip0.overprograms, 1u);
  EXPECT_EQ(chip1.programs, 6u);
  EXPECT_EQ(chip1.overprograms, 0u);
  EXPECT_EQ(nor_->Chip(0).Counters(5).programs, 0u);
  EXPECT_EQ(nor_->Chip(0).Counters(5).erases, 0u);
}

TEST_F(NorModel, UnknownCommandIsIgnoredAndSaid) {
  test::ExpectUnknownCommands unknown;
  nor_->Write32(0, kReadId);
  nor_->Write32(0, Both(0xB0));  // suspend: not modelled
  nor_->Write32(0, Both(0x00));
  EXPECT_EQ(nor_->Read32(0), 0x002C0089u);
  EXPECT_EQ(Status(), kReady);
  ASSERT_EQ(unknown.seen().size(), 4u) << "each chip says each command";
  EXPECT_NE(unknown.seen()[0].find("0xB0"), std::string::npos) << unknown.seen()[0];
  EXPECT_NE(unknown.seen()[0].find("suspend"), std::string::npos) << unknown.seen()[0];
}

TEST(NorVariants, KnownChipsHaveValidGeometry) {
  for (const NorVariant& variant : NorVariants()) {
    EXPECT_EQ(FindNorVariant(variant.device), &variant) << variant.name;
    EXPECT_GE(variant.cfi_size, 0x12) << variant.name;
    EXPECT_LE(variant.cfi_size, 0x1A) << variant.name;
  }
  const NorVariant* j3 = FindNorVariant(0x0018);
  ASSERT_NE(j3, nullptr);
  EXPECT_EQ(j3->cfi_size, 0x18);
  EXPECT_TRUE(j3->clear_lock_clears_all);
  EXPECT_FALSE(j3->power_up_locked);
  EXPECT_EQ(FindNorVariant(0x1234), nullptr);
}

}  // namespace
}  // namespace host

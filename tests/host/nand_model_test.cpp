// The PXA3xx data flash controller and NAND chip models against the developer manual and the
// chips' datasheets, driven through the controller's registers.

#include <gtest/gtest.h>

#include <algorithm>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "host/hardware/nand_chip.h"
#include "host/hardware/pxa3xx_dfc.h"
#include "host/hardware/virtual_clock.h"
#include "host/module/module.h"
#include "test_support.h"

namespace host {
namespace {

constexpr std::uint32_t kNdcr = 0x00, kNdtr0 = 0x04, kNdtr1 = 0x0C, kNdsr = 0x14, kNddb = 0x40,
                        kNdcb0 = 0x48;

// Control words: a 2048-byte-page chip, and the probe setting (16-bit controller width,
// 512-byte pages, two ID bytes).
constexpr std::uint32_t kControl = 0x0105DFFF;
constexpr std::uint32_t kProbeControl = 0x08021FFF;

constexpr std::uint32_t kRead = 0x000D3000;
constexpr std::uint32_t kProgram = 0x022D1080;
constexpr std::uint32_t kProgramNoStatus = 0x002D1080;
constexpr std::uint32_t kErase = 0x024BD060;
constexpr std::uint32_t kDfcReadId = 0x00610090;
constexpr std::uint32_t kReset = 0x00A000FF;
constexpr std::uint32_t kCsel = 1u << 24;

constexpr std::uint32_t kBlocks = 16;  // per chip: small images, same page and block geometry
constexpr std::uint32_t kPages = kBlocks * kNandPagesPerBlock;

class NandModel : public ::testing::Test {
 protected:
  void SetUp() override { Make(); }

  void Make(std::vector<NandFault> faults = {}, std::uint16_t id = 0xF1EC, int chips = 1,
            DfcTiming timing = {}) {
    dfc_.reset();
    chips_.clear();
    faults_ = std::move(faults);
    image_.assign(std::size_t{kPages} * chips * kNandRawPageBytes, 0xFF);
    programs_.assign(std::size_t{kPages} * chips, 0);
    std::vector<NandChip*> bus;
    for (int cs = 0; cs < chips; ++cs) {
      chips_.push_back(std::make_unique<NandChip>(NandVariantFor(id), kBlocks, cs * kBlocks,
                                                  Raw(cs * kPages), programs_.data() + cs * kPages,
                                                  timing_, faults_, cs));
      bus.push_back(chips_.back().get());
    }
    dfc_ = std::make_unique<Pxa3xxDfc>(bus, timing);
    ClockReset(0);
    dfc_->Write32(kNdtr0, 0x0002090A);  // a 2048-byte chip at 104 MHz
    dfc_->Write32(kNdtr1, 0x0A340061);
  }

  std::uint8_t* Raw(std::uint32_t page) {
    return image_.data() + std::size_t{page} * kNandRawPageBytes;
  }
  std::uint32_t Ndsr() { return dfc_->Read32(kNdsr); }

  void Start(std::uint32_t control, std::uint32_t command, std::uint32_t a1, std::uint32_t a2) {
    dfc_->Write32(kNdsr, 0xFFF);
    dfc_->Write32(kNdcr, control | kNdcrNdRun);
    ASSERT_TRUE(Ndsr() & kNdsrWrCmdReq);
    dfc_->Write32(kNdcb0, command);
    dfc_->Write32(kNdcb0, a1);
    dfc_->Write32(kNdcb0, a2);
  }
  // Polls as a driver does, with a bound.
  bool Wait(std::uint32_t mask, int polls = 100) {
    for (int i = 0; i < polls; ++i) {
      if (Ndsr() & mask) return true;
    }
    return false;
  }
  std::vector<std::uint8_t> Data(std::uint32_t bytes) {
    std::vector<std::uint8_t> out(bytes);
    for (std::uint32_t i = 0; i < bytes; i += 4) {
      std::uint32_t word = dfc_->Read32(kNddb);
      std::memcpy(out.data() + i, &word, 4);
    }
    return out;
  }
  // A page program with the control word's spare and ECC settings; returns NDSR at the end.
  std::uint32_t Program(std::uint32_t page, const std::vector<std::uint8_t>& bytes,
                        std::uint32_t control = kControl, std::uint32_t command = kProgram) {
    Start(control, command, page << 16, page >> 16);
    EXPECT_TRUE(Wait(kNdsrWrDReq));
    for (std::size_t i = 0; i < bytes.size(); i += 4) {
      std::uint32_t word;
      std::memcpy(&word, bytes.data() + i, 4);
      dfc_->Write32(kNddb, word);
    }
    EXPECT_TRUE(Wait(kNdsrCs0CmdD | kNdsrCs1CmdD));
    return Ndsr();
  }
  std::vector<std::uint8_t> Read(std::uint32_t page, std::uint32_t bytes,
                                 std::uint32_t control = kControl, std::uint32_t* status = nullptr,
                                 std::uint32_t command = kRead) {
    Start(control, command, page << 16, page >> 16);
    EXPECT_TRUE(Wait(kNdsrRdDReq));
    std::vector<std::uint8_t> data = Data(bytes);
    EXPECT_TRUE(Wait(kNdsrCs0CmdD | kNdsrCs1CmdD));
    if (status) *status = Ndsr();
    return data;
  }
  std::uint32_t Erase(std::uint32_t page, std::uint32_t command = kErase) {
    Start(kControl, command, page, 0);
    EXPECT_TRUE(Wait(kNdsrCs0CmdD | kNdsrCs1CmdD));
    return Ndsr();
  }

  static std::vector<std::uint8_t> Pattern(std::size_t bytes, std::uint8_t seed) {
    std::vector<std::uint8_t> out(bytes);
    for (std::size_t i = 0; i < bytes; ++i) out[i] = static_cast<std::uint8_t>(i * 7 + seed);
    return out;
  }

  NandTiming timing_;
  std::vector<NandFault> faults_;
  std::vector<std::uint8_t> image_;
  std::vector<std::uint8_t> programs_;
  std::vector<std::unique_ptr<NandChip>> chips_;
  std::unique_ptr<Pxa3xxDfc> dfc_;
};

TEST_F(NandModel, StatusBitsClearOnlyWhereOnesAreWritten) {
  Start(kControl, kReset, 0, 0);
  ASSERT_TRUE(Wait(kNdsrRdy));
  std::uint32_t status = Ndsr();
  EXPECT_EQ(status & (kNdsrWrCmdReq | kNdsrCs0CmdD | kNdsrRdy),
            kNdsrWrCmdReq | kNdsrCs0CmdD | kNdsrRdy);
  dfc_->Write32(kNdsr, kNdsrRdy);
  EXPECT_EQ(Ndsr(), status & ~kNdsrRdy);
  dfc_->Write32(kNdsr, 0);
  EXPECT_EQ(Ndsr(), status & ~kNdsrRdy);
  dfc_->Write32(kNdsr, 0xFFF);
  EXPECT_EQ(Ndsr(), 0u);
}

TEST_F(NandModel, ControllerClearsNdRunWhenTheCommandIsDone) {
  dfc_->Write32(kNdcr, kControl | kNdcrNdRun);
  EXPECT_EQ(dfc_->Read32(kNdcr), kControl | kNdcrNdRun);
  dfc_->Write32(kNdcb0, kErase);
  dfc_->Write32(kNdcb0, 64);
  // Two words are not a command: nothing runs yet.
  EXPECT_EQ(dfc_->state(), Pxa3xxDfc::State::kCommandWords);
  EXPECT_FALSE(Wait(kNdsrCs0CmdD, 3));
  dfc_->Write32(kNdcb0, 0);
  ASSERT_TRUE(Wait(kNdsrCs0CmdD));
  EXPECT_EQ(dfc_->Read32(kNdcr), kControl);
  EXPECT_EQ(chips_[0]->erases(), 1u);
}

TEST_F(NandModel, CommandWordsWithoutNdRunAreNotTaken) {
  dfc_->Write32(kNdcr, kControl);
  for (std::uint32_t word : {kErase, 0u, 0u}) dfc_->Write32(kNdcb0, word);
  EXPECT_FALSE(Wait(kNdsrCs0CmdD | kNdsrRdy, 5));
  EXPECT_EQ(chips_[0]->erases(), 0u);
}

struct IdCase {
  std::uint16_t id;
  std::uint32_t word;  // first FIFO word with five ID bytes
  std::uint8_t fifth;
};
std::ostream& operator<<(std::ostream& os, const IdCase& c) { return os << std::hex << c.id; }

class NandReadId : public NandModel, public ::testing::WithParamInterface<IdCase> {};

TEST_P(NandReadId, GivesTheDatasheetBytes) {
  Make({}, GetParam().id);
  Start(kControl, kDfcReadId, 0, 0);
  ASSERT_TRUE(Wait(kNdsrRdDReq));
  std::vector<std::uint8_t> bytes = Data(8);
  EXPECT_TRUE(Wait(kNdsrCs0CmdD));
  std::uint32_t word;
  std::memcpy(&word, bytes.data(), 4);
  EXPECT_EQ(word, GetParam().word);
  EXPECT_EQ(bytes[4], GetParam().fifth);

  // The probe setting reads two ID bytes: the low 16 bits are the chip's ID.
  Start(kProbeControl, kDfcReadId, 0, 0);
  ASSERT_TRUE(Wait(kNdsrRdDReq));
  std::memcpy(&word, Data(8).data(), 4);
  EXPECT_EQ(word, GetParam().id);

  // A part-9 processor reads the ID as a 512-byte page with a type-0 command.
  Start(kControl & 0x0087DFFF, 0x00010090, 0, 0);
  ASSERT_TRUE(Wait(kNdsrRdDReq));
  bytes = Data(512);
  EXPECT_TRUE(Wait(kNdsrCs0CmdD));
  std::memcpy(&word, bytes.data(), 4);
  EXPECT_EQ(word, GetParam().word);
  EXPECT_EQ(bytes[4], GetParam().fifth);
}

INSTANTIATE_TEST_SUITE_P(
    Nand, NandReadId,
    ::testing::Values(IdCase{0xD3EC, 0x9551D3EC, 0x58}, IdCase{0xF1EC, 0x9500F1EC, 0x40},
                      IdCase{0xDAEC, 0x9510DAEC, 0x44}, IdCase{0xDCEC, 0x9510DCEC, 0x54},
                      IdCase{0xDCAD, 0x9510DCAD, 0x54}, IdCase{0x1234, 0x95001234, 0x40}));

struct TransferCase {
  const char* name;
  std::uint32_t control;
  std::uint32_t spare;  // spare bytes software moves
  bool ecc_in_spare;    // spare bytes 40-63 hold the code afterwards
};
std::ostream& operator<<(std::ostream& os, const TransferCase& c) { return os << c.name; }

class NandTransfer : public NandModel, public ::testing::WithParamInterface<TransferCase> {};

TEST_P(NandTransfer, ProgramThenReadRoundTrips) {
  const TransferCase& c = GetParam();
  std::vector<std::uint8_t> bytes = Pattern(2048 + c.spare, 3);
  std::uint32_t status = Program(70, bytes, c.control);
  EXPECT_EQ(status & (kNdsrCs0Bbd | kNdsrDbErr), 0u);
  EXPECT_TRUE(status & kNdsrCs0PageD);
  EXPECT_EQ(std::memcmp(Raw(70), bytes.data(), bytes.size()), 0);
  std::uint8_t* spare = Raw(70) + 2048;
  if (c.ecc_in_spare) {
    bool code_written = false;
    for (int i = 40; i < 64; ++i) code_written |= spare[i] != 0xFF;
    EXPECT_TRUE(code_written);
  } else if (c.spare == 0) {
    for (int i = 0; i < 64; ++i) EXPECT_EQ(spare[i], 0xFF) << i;
  }
  std::vector<std::uint8_t> back = Read(70, 2048 + c.spare, c.control, &status);
  EXPECT_EQ(back, bytes);
  EXPECT_EQ(status & (kNdsrSbErr | kNdsrDbErr), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Nand, NandTransfer,
    ::testing::Values(TransferCase{"SpareEccOn", kControl | kNdcrSpareEn | kNdcrEccEn, 40, true},
                      TransferCase{"SpareOn", kControl | kNdcrSpareEn, 64, false},
                      TransferCase{"EccOnly", kControl | kNdcrEccEn, 0, true},
                      TransferCase{"Plain", kControl, 0, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(NandModel, SmallPageSettingMovesFiveHundredTwelvePlusSpare) {
  constexpr std::uint32_t kSmall = (kControl & ~kNdcrPageSz) | kNdcrSpareEn;
  std::vector<std::uint8_t> bytes = Pattern(512 + 16, 9);
  Program(5, bytes, kSmall);
  // The chip is a large-page one: the 528 bytes land at the start of its page.
  EXPECT_EQ(std::memcmp(Raw(5), bytes.data(), bytes.size()), 0);
  EXPECT_EQ(Read(5, 528, kSmall), bytes);
}

TEST_F(NandModel, ProgrammingAndsAndPartialProgramsAreCounted) {
  std::vector<std::uint8_t> first(2048, 0xF0), second(2048, 0x3C);
  for (int i = 0; i < 5; ++i) Program(130, i % 2 ? second : first);
  EXPECT_EQ(Raw(130)[0], 0x30);
  EXPECT_EQ(Raw(130)[2047], 0x30);
  EXPECT_EQ(Raw(130)[2048], 0xFF);  // spare not sent: untouched
  EXPECT_EQ(chips_[0]->Programs(130), 5u);
  EXPECT_EQ(programs_[130], 5);
  EXPECT_EQ(programs_[131], 0);

  EXPECT_EQ(Erase(128) & kNdsrCs0Bbd, 0u);
  for (std::uint32_t page = 128; page < 192; ++page) {
    ASSERT_EQ(Raw(page)[0], 0xFF);
    ASSERT_EQ(Raw(page)[kNandRawPageBytes - 1], 0xFF);
  }
  EXPECT_EQ(programs_[130], 0);
}

// The controller strobes and samples by its own clock: timings worked out for a slower clock
// than the controller runs are too short for the chip, and the bytes that move are not the
// page's. The strobes (NDTR0) corrupt some bytes each way; a tR (NDTR1) that ends before the
// chip is ready reads nothing of the page.
TEST_F(NandModel, TimingsTooShortForTheChipMoveCorruptBytes) {
  auto differing = [](const std::vector<std::uint8_t>& a, const std::uint8_t* b) {
    int n = 0;
    for (std::size_t i = 0; i < a.size(); ++i) n += a[i] != b[i];
    return n;
  };
  const std::vector<std::uint8_t> bytes = Pattern(2048, 5);
  DfcTiming fast;
  fast.clock_mhz = 312;
  Make({}, 0xF1EC, 1, fast);
  dfc_->Write32(kNdtr1, 0x1E770061);  // tR right for 312 MHz; NDTR0 still for 104 MHz
  Program(5, bytes, kControl, kProgramNoStatus);
  EXPECT_GT(differing(bytes, Raw(5)), 0) << "write strobes too short";
  std::memcpy(Raw(6), bytes.data(), bytes.size());
  EXPECT_GT(differing(Read(6, 2048), bytes.data()), 0) << "read strobes too short";

  dfc_->Write32(kNdtr0, 0x003F3F3F);  // long strobes: right at any clock
  Program(7, bytes, kControl, kProgramNoStatus);
  EXPECT_EQ(differing(bytes, Raw(7)), 0);
  EXPECT_EQ(differing(Read(7, 2048), bytes.data()), 0);
  dfc_->Write32(kNdtr1, 0x0A340061);  // tR for 104 MHz: 8.4 us at 312, the chip needs 25
  EXPECT_GT(differing(Read(7, 2048), bytes.data()), 1500) << "sampled before tR";
}

TEST_F(NandModel, ResetDuringAProgramLeavesThePagePartlyProgrammed) {
  Start(kControl, kProgramNoStatus, 20 << 16, 0);
  ASSERT_TRUE(Wait(kNdsrWrDReq));
  for (int i = 0; i < 512; ++i) dfc_->Write32(kNddb, 0);
  ClockAdvance(timing_.program_ns / 2);  // half way through tPROG
  Start(kControl, kReset, 0, 0);
  ASSERT_TRUE(Wait(kNdsrCs0CmdD));
  const std::uint8_t* page = Raw(20);
  const std::size_t zeros = std::find(page, page + 2048, 0xFF) - page;
  EXPECT_GT(zeros, 100u);
  EXPECT_LT(zeros, 2000u);
  EXPECT_TRUE(std::all_of(page + zeros, page + 2048, [](std::uint8_t b) { return b == 0xFF; }));
}

TEST_F(NandModel, RuleBreakingProgramsCanBeMadeToReadBackWithBitErrors) {
  constexpr std::uint32_t kEcc = kControl | kNdcrEccEn | kNdcrSpareEn;
  chips_[0]->SpoilRuleBreaks(true);
  const std::vector<std::uint8_t> bytes = Pattern(2048 + 40, 3);
  std::uint32_t status;
  Program(65, bytes, kEcc);
  Program(64, bytes, kEcc);  // before page 1 of its block: out of order
  EXPECT_EQ(Read(65, 2088, kEcc, &status), bytes);
  EXPECT_EQ(status & (kNdsrSbErr | kNdsrDbErr), 0u);
  Read(64, 2088, kEcc, &status);
  EXPECT_TRUE(status & kNdsrDbErr);
}

TEST_F(NandModel, EraseReachesTheWholeBlockOfAnyOfItsPages) {
  std::memset(Raw(191), 0, kNandRawPageBytes);
  std::memset(Raw(192), 0, kNandRawPageBytes);
  Erase(150);  // a page inside block 2
  EXPECT_EQ(Raw(191)[100], 0xFF);
  EXPECT_EQ(Raw(192)[100], 0x00);  // block 3 untouched
}

TEST_F(NandModel, EccCorrectsOneFlippedBitInWhatItHandsOut) {
  Make({{NandFaultKind::kBitFlip, 0, 9, 600, 5}});
  constexpr std::uint32_t kEcc = kControl | kNdcrEccEn | kNdcrSpareEn;
  std::vector<std::uint8_t> bytes = Pattern(2048 + 40, 1);
  Program(9, bytes, kEcc);
  std::uint32_t status;
  EXPECT_EQ(Read(9, 2088, kEcc, &status), bytes);
  EXPECT_EQ(status & (kNdsrSbErr | kNdsrDbErr), kNdsrSbErr);
  // Without ECC the flip shows; the cell itself never changed.
  std::vector<std::uint8_t> raw = Read(9, 2048, kControl, &status);
  EXPECT_EQ(raw[600], bytes[600] ^ 0x20);
  EXPECT_EQ(Raw(9)[600], bytes[600]);
}

struct FlipCase {
  const char* name;
  std::vector<std::uint32_t> bytes;  // one flip (bit 1) at each byte of page 9
  std::uint32_t expect;              // SBERR / DBERR
};
std::ostream& operator<<(std::ostream& os, const FlipCase& c) { return os << c.name; }
class NandEccFlips : public NandModel, public ::testing::WithParamInterface<FlipCase> {};

TEST_P(NandEccFlips, ReportWhatTheCodeCanMend) {
  std::vector<NandFault> faults;
  for (std::uint32_t byte : GetParam().bytes)
    faults.push_back({NandFaultKind::kBitFlip, 0, 9, byte, 1});
  Make(faults);
  constexpr std::uint32_t kEcc = kControl | kNdcrEccEn | kNdcrSpareEn;
  std::vector<std::uint8_t> bytes = Pattern(2048 + 40, 77);
  Program(9, bytes, kEcc);
  std::uint32_t status;
  std::vector<std::uint8_t> back = Read(9, 2088, kEcc, &status);
  EXPECT_EQ(status & (kNdsrSbErr | kNdsrDbErr), GetParam().expect);
  if (GetParam().expect == kNdsrSbErr) {
    EXPECT_EQ(back, bytes);
  }
}

INSTANTIATE_TEST_SUITE_P(Nand, NandEccFlips,
                         ::testing::Values(FlipCase{"FirstBit", {0}, kNdsrSbErr},
                                           FlipCase{"LastDataByte", {2047}, kNdsrSbErr},
                                           FlipCase{"OnePerStep", {3, 515, 1100, 2000}, kNdsrSbErr},
                                           FlipCase{"InTheCode", {2048 + 40 + 6}, kNdsrSbErr},
                                           FlipCase{"TwoInOneStep", {10, 400}, kNdsrDbErr},
                                           FlipCase{"TwoInLastStep", {1600, 1601}, kNdsrDbErr},
                                           FlipCase{"NotCoveredSpare", {2048 + 5}, 0u}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(NandEcc, EveryBitOfAStepIsCorrectedAndDoubleFlipsAreCaught) {
  std::vector<std::uint8_t> data(512);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 13 + 5);
  std::uint8_t code[6];
  DfcEccCompute(data.data(), code);
  for (std::uint32_t bit = 0; bit < 4096; ++bit) {
    std::vector<std::uint8_t> copy = data;
    copy[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    ASSERT_EQ(DfcEccCorrect(copy.data(), code), DfcEccResult::kCorrected) << bit;
    ASSERT_EQ(copy, data) << bit;
    std::uint32_t other = (bit * 2654435761u + 1) % 4096;
    if (other == bit) continue;
    copy[other / 8] ^= static_cast<std::uint8_t>(1u << (other % 8));
    copy[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    ASSERT_EQ(DfcEccCorrect(copy.data(), code), DfcEccResult::kUncorrectable)
        << bit << " " << other;
  }
}

TEST_F(NandModel, ErasedPageReadWithEccIsUncorrectable) {
  std::uint32_t status;
  std::vector<std::uint8_t> back = Read(20, 2088, kControl | kNdcrEccEn | kNdcrSpareEn, &status);
  EXPECT_TRUE(status & kNdsrDbErr);
  EXPECT_EQ(back, std::vector<std::uint8_t>(2088, 0xFF));
  Read(20, 2048, kControl, &status);
  EXPECT_EQ(status & (kNdsrDbErr | kNdsrSbErr), 0u);
}

// With automatic status read, RDY rises when the chip is ready; the command is done, and its
// bad-block bit valid, only after the status read that follows.
TEST_F(NandModel, AutoStatusEndsTheCommandAfterRdy) {
  Make({{NandFaultKind::kEraseError, 3}});
  Start(kControl, kErase, 3 * 64, 0);
  std::uint32_t status = 0;
  for (int i = 0; i < 100 && !(status & kNdsrRdy); ++i) status = Ndsr();
  const std::uint64_t ready = ClockNow();
  EXPECT_EQ(status & (kNdsrRdy | kNdsrCs0CmdD | kNdsrCs0Bbd), kNdsrRdy) << "no status yet";
  ASSERT_TRUE(Wait(kNdsrCs0CmdD));
  EXPECT_GT(ClockNow(), ready);
  EXPECT_TRUE(Ndsr() & kNdsrCs0Bbd);
}

// A driver must wait for command-done before it takes the bad-block bit: the status read just
// after the one that showed RDY (RDY waited for, command-done not) still shows neither.
TEST_F(NandModel, StatusTakenAtRdyLacksTheBadBlockBit) {
  for (bool erase : {true, false}) {
    SCOPED_TRACE(erase ? "erase" : "program");
    Make({{erase ? NandFaultKind::kEraseError : NandFaultKind::kProgramError, 3}});
    if (erase) {
      Start(kControl, kErase, 3 * 64, 0);
    } else {
      Start(kControl, kProgram, (3 * 64) << 16, 0);
      ASSERT_TRUE(Wait(kNdsrWrDReq));
      for (int i = 0; i < 2048 / 4; ++i) dfc_->Write32(kNddb, 0);
    }
    ASSERT_TRUE(Wait(kNdsrRdy));
    std::uint32_t status = Ndsr();
    EXPECT_EQ(status & (kNdsrCs0CmdD | kNdsrCs0Bbd), 0u) << std::hex << status;
    // Waiting for command-done, the driver sees the failure.
    ASSERT_TRUE(Wait(kNdsrCs0CmdD));
    EXPECT_TRUE(Ndsr() & kNdsrCs0Bbd);
  }
}

struct BadBlockCase {
  const char* name;
  NandFaultKind kind;
  bool erase;
  bool auto_status;
};
std::ostream& operator<<(std::ostream& os, const BadBlockCase& c) { return os << c.name; }
class NandBadBlock : public NandModel, public ::testing::WithParamInterface<BadBlockCase> {};

TEST_P(NandBadBlock, FailedStatusShowsAsBbdOnlyWithAutoStatus) {
  const BadBlockCase& c = GetParam();
  Make({{c.kind, 3}});
  std::memset(Raw(3 * 64 + 1), 0x55, kNandRawPageBytes);
  std::memset(Raw(3 * 64 + 20), 0x55, kNandRawPageBytes);
  std::uint32_t status;
  if (c.erase) {
    status = Erase(3 * 64, c.auto_status ? kErase : kErase & ~(1u << 25));
  } else {
    status = Program(3 * 64 + 1, std::vector<std::uint8_t>(2048, 0), kControl,
                     c.auto_status ? kProgram : kProgramNoStatus);
  }
  EXPECT_EQ((status & kNdsrCs0Bbd) != 0, c.auto_status);
  EXPECT_TRUE(status & kNdsrCs0CmdD);
  // A failed operation gives up part way: an erase has erased the block's first 16 pages but
  // not the rest, a program has programmed the first half of the page.
  EXPECT_EQ(Raw(3 * 64 + 1)[7], c.erase ? 0xFF : 0x00);
  EXPECT_EQ(Raw(3 * 64 + 1)[2000], c.erase ? 0xFF : 0x55);
  EXPECT_EQ(Raw(3 * 64 + 20)[7], 0x55);
  // The neighbouring block works.
  EXPECT_EQ(c.erase ? Erase(4 * 64) & kNdsrCs0Bbd
                    : Program(4 * 64, std::vector<std::uint8_t>(2048, 0)) & kNdsrCs0Bbd,
            0u);
}

INSTANTIATE_TEST_SUITE_P(
    Nand, NandBadBlock,
    ::testing::Values(BadBlockCase{"Erase", NandFaultKind::kEraseError, true, true},
                      BadBlockCase{"EraseNoStatus", NandFaultKind::kEraseError, true, false},
                      BadBlockCase{"Program", NandFaultKind::kProgramError, false, true},
                      BadBlockCase{"ProgramNoStatus", NandFaultKind::kProgramError, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(NandModel, NeverReadyChipNeverRaisesRdyAndPollsCostTheirQuantum) {
  DfcTiming timing;
  timing.never_ready_quantum_ns = 1000;
  NandFault stuck{NandFaultKind::kNeverReady};
  Make({stuck}, 0xF1EC, 1, timing);
  // Reset still answers; reads, programs and erases never finish.
  Start(kControl, kReset, 0, 0);
  ASSERT_TRUE(Wait(kNdsrRdy));
  Start(kControl, kRead, 5 << 16, 0);
  std::uint64_t before = ClockNow();
  EXPECT_FALSE(Wait(kNdsrRdDReq | kNdsrRdy | kNdsrCs0CmdD, 500));
  EXPECT_EQ(ClockNow() - before, 500u * 1000u);
  EXPECT_TRUE(dfc_->Read32(kNdcr) & kNdcrNdRun);
  Start(kControl, kErase, 64, 0);
  EXPECT_FALSE(Wait(kNdsrRdy | kNdsrCs0CmdD, 50));
  EXPECT_EQ(chips_[0]->erases(), 0u);
}

TEST_F(NandModel, ChipSelectOneReachesTheSecondChip) {
  Make({{NandFaultKind::kEraseError, kBlocks + 2}}, 0xDCAD, 2);
  std::vector<std::uint8_t> bytes = Pattern(2048, 4);
  std::uint32_t status;
  Start(kControl, kProgram | kCsel, 3 << 16, 0);
  ASSERT_TRUE(Wait(kNdsrWrDReq));
  for (std::size_t i = 0; i < bytes.size(); i += 4) {
    std::uint32_t word;
    std::memcpy(&word, bytes.data() + i, 4);
    dfc_->Write32(kNddb, word);
  }
  ASSERT_TRUE(Wait(kNdsrCs1CmdD));
  status = Ndsr();
  EXPECT_TRUE(status & kNdsrCs1PageD);
  EXPECT_EQ(status & (kNdsrCs0CmdD | kNdsrCs0PageD), 0u);
  EXPECT_EQ(std::memcmp(Raw(kPages + 3), bytes.data(), 2048), 0);
  EXPECT_EQ(Raw(3)[0], 0xFF);
  EXPECT_EQ(Read(3, 2048, kControl, nullptr, kRead | kCsel), bytes);
  // The failing block 2 of the second chip reports on its own chip select.
  status = Erase(2 * 64, kErase | kCsel);
  EXPECT_EQ(status & (kNdsrCs1Bbd | kNdsrCs0Bbd), kNdsrCs1Bbd);
  EXPECT_EQ(Erase(2 * 64) & (kNdsrCs1Bbd | kNdsrCs0Bbd), 0u);
}

TEST_F(NandModel, ChipSelectWithNoChipNeverCompletes) {
  Start(kControl, kRead | kCsel, 0, 0);
  EXPECT_FALSE(Wait(kNdsrRdDReq | kNdsrRdy | kNdsrCs1CmdD | kNdsrCs0CmdD, 200));
  EXPECT_TRUE(dfc_->Read32(kNdcr) & kNdcrNdRun);
  // A new command starts over and works.
  std::vector<std::uint8_t> back = Read(0, 2048);
  EXPECT_EQ(back[0], 0xFF);
}

struct TimeCase {
  const char* name;
  int op;  // 0 read, 1 program, 2 erase
  std::uint64_t low_ns, high_ns;
};
std::ostream& operator<<(std::ostream& os, const TimeCase& c) { return os << c.name; }
class NandTime : public NandModel, public ::testing::WithParamInterface<TimeCase> {};

TEST_P(NandTime, OperationTakesItsDatasheetTimeOnTheClock) {
  std::uint64_t start = ClockNow();
  switch (GetParam().op) {
    case 0:
      Start(kControl, kRead, 0, 0);
      // Two changes, RDY and then the data: a read that moves the clock and one that shows
      // the change, for each.
      ASSERT_TRUE(Wait(kNdsrRdDReq, 4));
      break;
    case 1:
      Program(0, std::vector<std::uint8_t>(2048, 0));
      break;
    case 2:
      Erase(0);
      break;
  }
  std::uint64_t took = ClockNow() - start;
  EXPECT_GE(took, GetParam().low_ns);
  EXPECT_LE(took, GetParam().high_ns);
}

// At 104 MHz with NDTR0 0x0002090A a read strobe is 5 cycles (48 ns), a write strobe 4.
INSTANTIATE_TEST_SUITE_P(Nand, NandTime,
                         ::testing::Values(TimeCase{"ReadIsTrPlusTransfer", 0, 25'000 + 2048 * 48,
                                                    26'000 + 2048 * 49},
                                           TimeCase{"ProgramIsTransferPlusTprog", 1,
                                                    200'000 + 2048 * 38, 201'000 + 2048 * 39},
                                           TimeCase{"EraseIsTbers", 2, 1'500'000, 1'501'000}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(NandModel, FasterControllerClockShortensTheTransfer) {
  DfcTiming fast;
  fast.clock_mhz = 312;
  Make({}, 0xF1EC, 1, fast);
  dfc_->Write32(kNdtr0, 0x0002090A);  // same cycle counts at three times the clock
  Start(kControl, kRead, 0, 0);
  ASSERT_TRUE(Wait(kNdsrRdDReq, 4));
  EXPECT_LT(ClockNow(), 25'120u + 2048 * 17);
}

TEST_F(NandModel, UnmappedRegisterIsALoudError) {
  EXPECT_DEATH(dfc_->Read32(0x08), "unmapped data flash controller offset 0x08");
  EXPECT_DEATH(dfc_->Write32(0x44, 0), "unmapped");
}

// A module's NAND flash: nand.img and the controller on the physical bus.
class NandModuleFile : public ::testing::Test {
 protected:
  void Create(std::uint16_t chip = 0xF1EC) {
    CreateOptions options = CreateOptions::Blank();
    options.flash = FlashKind::kNand;
    options.nand_chip = chip;
    CreateModule(dir_ / "m", options);
  }
  test::TempDir dir_;
};

TEST_F(NandModuleFile, CreatedChipIsErasedButForTheTablePage) {
  Create();
  std::unique_ptr<Module> module = Module::Open(dir_ / "m");
  EXPECT_EQ(module->nor(), nullptr);
  ASSERT_NE(module->dfc(), nullptr);
  EXPECT_EQ(module->bus().Find(kDfcPhysicalBase)->device, module->dfc());
  EXPECT_EQ(module->bus().Find(0), nullptr);
  EXPECT_EQ(module->config().part_number, 9u);
  EXPECT_EQ(module->dfc()->timing().clock_mhz, 312u);
  EXPECT_EQ(module->nand()->BlockCount(), 1024u);
  EXPECT_EQ(module->nand(1), nullptr);
  EXPECT_EQ(module->nand()->Programs(63), 1u);
  std::ifstream in(dir_ / "m" / "nand.img", std::ios::binary);
  std::vector<std::uint8_t> table(kNandRawPageBytes);
  in.seekg(63 * kNandRawPageBytes);
  in.read(reinterpret_cast<char*>(table.data()), table.size());
  EXPECT_EQ(table[0], 0x4E);
  EXPECT_EQ(table[1], 0x52);
  for (std::size_t i = 2; i < table.size(); ++i) ASSERT_EQ(table[i], 0xFF) << i;
  std::vector<std::uint8_t> before(kNandRawPageBytes);
  in.seekg(62 * kNandRawPageBytes);
  in.read(reinterpret_cast<char*>(before.data()), before.size());
  EXPECT_EQ(before, std::vector<std::uint8_t>(kNandRawPageBytes, 0xFF));
}

TEST_F(NandModuleFile, WrongSizedImageIsRefusedNamingTheFile) {
  Create();
  std::filesystem::resize_file(dir_ / "m" / "nand.img", 1024 * 64 * 2048);
  try {
    Module::Open(dir_ / "m");
    FAIL() << "a short nand.img was accepted";
  } catch (const ModuleError& e) {
    EXPECT_NE(std::string(e.what()).find("nand.img: is 134217728 bytes"), std::string::npos)
        << e.what();
  }
}

TEST_F(NandModuleFile, FaultsFileReachesTheChipsAndBadEntriesAreNamed) {
  Create(0xDCAD);
  std::ofstream(dir_ / "m" / "faults.toml") << "[[nand]]\nkind = \"erase-error\"\nblock = 4097\n";
  ModuleConfig config = LoadModuleConfig(dir_ / "m");
  ASSERT_EQ(config.nand.faults.size(), 1u);
  EXPECT_EQ(config.nand.faults[0].block, 4097u);
  EXPECT_NE(DescribeModule(dir_ / "m").find("erase-error, block 4097"), std::string::npos);
  std::ofstream(dir_ / "m" / "faults.toml") << "[[nand]]\nkind = \"erase-error\"\nblock = 8192\n";
  EXPECT_THROW(LoadModuleConfig(dir_ / "m"), ModuleError);
  std::ofstream(dir_ / "m" / "faults.toml") << "[[nand]]\nkind = \"bit-flip\"\npage = 3\n";
  EXPECT_THROW(LoadModuleConfig(dir_ / "m"), ModuleError);
  std::ofstream(dir_ / "m" / "faults.toml") << "[[nor]]\nkind = \"never-ready\"\n";
  EXPECT_THROW(LoadModuleConfig(dir_ / "m"), ModuleError);
}

// The chip takes what the datasheet forbids, but the module notes it: more than 4 programs
// of a page between erases, and a page programmed after a later page of its block.
TEST_F(NandModuleFile, ProgramsBreakingThePageRulesAreNotedInTheModuleDirectory) {
  Create();
  {
    std::unique_ptr<Module> module = Module::Open(dir_ / "m");
    Pxa3xxDfc& dfc = *module->dfc();
    auto program = [&](std::uint32_t page) {
      dfc.Write32(kNdsr, 0xFFF);
      dfc.Write32(kNdcr, kControl | kNdcrNdRun);
      dfc.Write32(kNdcb0, kProgram);
      dfc.Write32(kNdcb0, page << 16);
      dfc.Write32(kNdcb0, 0);
      for (int w = 0; w < 512; ++w) dfc.Write32(kNddb, 0xFFFFFF00u);
      for (int p = 0; p < 5 && !(dfc.Read32(kNdsr) & kNdsrCs0CmdD); ++p) {
      }
    };
    for (int i = 0; i < 6; ++i) program(200);
    program(199);
  }
  std::string info = DescribeModule(dir_ / "m");
  EXPECT_NE(info.find("1 page(s) programmed more than 4 times since their erase: page 200 (6)"),
            std::string::npos)
      << info;
  EXPECT_NE(info.find("1 program(s) out of page order, 2 past the partial-program limit"),
            std::string::npos)
      << info;
  std::ifstream rules(dir_ / "m" / "nand.rules");
  std::string text((std::istreambuf_iterator<char>(rules)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("s: page 199 programmed after page 8 of its block"), std::string::npos)
      << text;
}

}  // namespace
}  // namespace host

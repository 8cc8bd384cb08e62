// The NAND controller driver against a scripted stand-in for the data flash controller: a bus
// device at the controller's address that records every register access, answers NDSR from
// a script and hands out data words that the test chooses.

#include "flash/nand/nand_controller.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <vector>

#include "host/hardware/physical_bus.h"
#include "host/hardware/virtual_cpu.h"
#include "host/system/virtual_memory.h"
#include "module_fixture.h"

namespace {

// Every bit a command waits for, and command done on chip select 0.
constexpr DWORD kAllReady = kNdsrWrCmdReq | kNdsrRdDReq | kNdsrWrDReq | kNdsrRdy | kNdsrCs0CmdD;

constexpr DWORD kProbeControl = 0x08021FFF;

struct Access {
  bool write;
  DWORD offset;
  DWORD value;
  bool operator==(const Access&) const = default;
};

class ScriptedDfc : public host::BusDevice {
 public:
  std::string Name() const override { return "scripted DFC"; }
  std::uint32_t AccessNs() const override { return 10; }

  std::uint32_t Read32(std::uint32_t offset) override {
    ++accesses;
    if (offset == kNdsr) {
      ++ndsr_reads;
      return status(command, poll_read++);
    }
    if (offset == kNddb) {
      ++nddb_reads;
      if (data.empty()) return 0xFFFFFFFF;
      DWORD word = data.front();
      data.pop_front();
      return word;
    }
    if (offset == kNdcr) return ndcr;
    return 0;
  }

  void Write32(std::uint32_t offset, std::uint32_t value) override {
    ++accesses;
    log.push_back({true, offset, value});
    if (offset == kNdsr && value == kNdsrClearAll) {
      // A new command: the script answers it from its first read on.
      ++command;
      poll_read = 0;
    }
  }

  std::vector<DWORD> Writes(DWORD offset) const {
    std::vector<DWORD> values;
    for (const Access& a : log) {
      if (a.write && a.offset == offset) values.push_back(a.value);
    }
    return values;
  }
  void Clear() {
    log.clear();
    accesses = 0;
    ndsr_reads = 0;
    nddb_reads = 0;
  }

  /// NDSR for a command (0 the first after the status was cleared once) and a read within it.
  std::function<DWORD(int command, std::uint64_t read)> status = [](int, std::uint64_t) {
    return kAllReady;
  };
  std::deque<DWORD> data;
  DWORD ndcr = 0;

  std::vector<Access> log;
  std::uint64_t accesses = 0;
  std::uint64_t ndsr_reads = 0;
  std::uint64_t nddb_reads = 0;
  int command = -1;
  std::uint64_t poll_read = 0;
};

class NandControllerTest : public test::ModuleTest {
 protected:
  void SetUp() override {
    Fresh();
    Open();  // a PXA270 module: nothing on the bus at the controller's address
    module().bus().Attach(kNandControllerPhysical, 0x1000, &dfc_);
  }
  void TearDown() override {
    module_.reset();
    NandState = NandControllerState{};
  }

  /// The driver as at program start.
  static void Fresh() {
    NandState = NandControllerState{};
    NandState.ControllerClock = 104;
  }
  void SetPart(DWORD part) { host::SetCpuMainId(host::MainIdForPartNumber(part)); }

  /// A first-time attach that finds `id`, with the log cleared afterwards.
  void AttachChip(DWORD id) {
    Status(kAllReady);
    dfc_.data = {id};
    ASSERT_EQ(NandAttach(1), kNandDone);
    dfc_.Clear();
    dfc_.data.clear();
  }
  /// Status `value` for every command, every read.
  void Status(DWORD value) {
    dfc_.status = [value](int, std::uint64_t) { return value; };
  }
  /// The three command-buffer words of each command since the log was cleared.
  std::vector<std::vector<DWORD>> Commands() const {
    std::vector<DWORD> words = dfc_.Writes(kNdcb0);
    EXPECT_EQ(words.size() % 3, 0u) << "a command sent without its address words";
    std::vector<std::vector<DWORD>> commands;
    for (std::size_t i = 0; i + 2 < words.size(); i += 3) {
      commands.push_back({words[i], words[i + 1], words[i + 2]});
    }
    return commands;
  }
  std::size_t WordsWritten(DWORD value) const {
    std::size_t n = 0;
    for (DWORD w : dfc_.Writes(kNddb)) n += w == value;
    return n;
  }

  ScriptedDfc dfc_;
};

// ---- Pure arithmetic ----

TEST(NandTimingTest, CyclesRoundUpToWholePeriodsLessOneAndClamp) {
  struct Case {
    DWORD ns;
    DWORD mhz;
    DWORD limit;
    DWORD cycles;
  };
  const Case cases[] = {
      {0, 104, 7, 0},
      {1, 312, 7, 0},
      {2, 104, 7, 0},
      {5, 104, 7, 0},
      {5, 156, 7, 0},
      {5, 312, 7, 1},
      {100, 104, 7, 7},
      {100, 156, 7, 7},
      {100, 312, 7, 7},
      {25120, 104, 65535, 2612},
      {25120, 156, 65535, 3918},
      {25120, 312, 65535, 7837},
      {300000, 312, 65535, 65535},
      {100, 312, 15, 15},
      {60, 104, 15, 6},
      // A time long enough that clock × time passes 32 bits must still clamp, not wrap.
      {20000000, 312, 65535, 65535},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.ns << " ns at " << c.mhz << " MHz");
    EXPECT_EQ(NandTimingCycles(c.ns, c.mhz, c.limit), c.cycles);
  }
}

TEST(NandTimingTest, TimingRegistersOfTheTables) {
  struct Case {
    DWORD chip;
    DWORD mhz;
    DWORD ndtr0;
    DWORD ndtr1;
  };
  const Case cases[] = {
      {0, 104, 0x003F3F3F, 0x081F00AA}, {2, 104, 0x0002090A, 0x0A340061},
      {2, 156, 0x0003090B, 0x0F4E0091}, {2, 312, 0x000E1B1E, 0x1E9D00F3},
      {5, 312, 0x000F1C1F, 0x1E9D00F4}, {0, 312, 0x003F3F3F, 0x185F00FF},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "chip " << c.chip << " at " << c.mhz << " MHz");
    DWORD ndtr0 = 0;
    DWORD ndtr1 = 0;
    NandTimingRegisters(NandChips[c.chip], c.mhz, &ndtr0, &ndtr1);
    EXPECT_EQ(ndtr0, c.ndtr0);
    EXPECT_EQ(ndtr1, c.ndtr1);
  }
}

TEST(NandTablesTest, OnlyTheLow16BitsOfTheIdPickTheChip) {
  const std::pair<DWORD, DWORD> cases[] = {
      {0xD3EC, 1},     {0xABCDD3EC, 1}, {0xF1EC, 2}, {0x1234DAEC, 3}, {0xDCEC, 4},
      {0xFFFFDCAD, 5}, {0xECD3, 0},     {0xD3ED, 0}, {0, 0},          {0xFFFFFFFF, 0},
  };
  for (auto [id, chip] : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << id);
    EXPECT_EQ(NandChipForId(id), chip);
  }
}

// ---- Attach ----

TEST_F(NandControllerTest, FirstTimeAttachProbesThenSetsUpTheChipFound) {
  struct Case {
    DWORD id;
    DWORD chip;
    DWORD control;
    DWORD blocks;
    DWORD ndtr0;  // at 104 MHz
    DWORD ndtr1;
  };
  const Case cases[] = {
      {0xD3EC, 1, 0x0185DFFF, 8192, 0x0002090A, 0x082C0061},
      {0xF1EC, 2, 0x0105DFFF, 1024, 0x0002090A, 0x0A340061},
      {0xDAEC, 3, 0x0105DFFF, 2048, 0x0002090A, 0x0A340061},
      {0xDCEC, 4, 0x0105DFFF, 4096, 0x0002090A, 0x0A340061},
      {0xDCAD, 5, 0x0104DFFF, 8192, 0x0002090A, 0x0A340061},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "chip " << c.chip);
    Fresh();
    dfc_.Clear();
    dfc_.data = {c.id};
    ASSERT_EQ(NandAttach(1), kNandDone);

    // The probe's timings and control word first, the chip's last.
    EXPECT_EQ(dfc_.Writes(kNdtr0), (std::vector<DWORD>{0x003F3F3F, c.ndtr0}));
    EXPECT_EQ(dfc_.Writes(kNdtr1), (std::vector<DWORD>{0x081F00AA, c.ndtr1}));
    std::vector<DWORD> ndcr = dfc_.Writes(kNdcr);
    ASSERT_EQ(ndcr.size(), 4u);
    EXPECT_EQ(ndcr[0], kProbeControl);
    EXPECT_EQ(ndcr[1], kProbeControl | kNdcrRun);  // reset
    EXPECT_EQ(ndcr[2], kProbeControl | kNdcrRun);  // read ID
    EXPECT_EQ(ndcr[3], c.control);
    EXPECT_EQ(Commands(),
              (std::vector<std::vector<DWORD>>{{0x00A000FF, 0, 0}, {0x00610090, 0, 0}}));

    EXPECT_EQ(NandChipIndex(), c.chip);
    EXPECT_EQ(NandControlWord(), c.control);
    EXPECT_EQ(NandSavedControlWord(), c.control);
    EXPECT_EQ(NandPageBytes(), 2048u);
    EXPECT_EQ(NandPagesPerBlock(), 64u);
    EXPECT_EQ(NandBlockBytes(0x12345), 131072u);
    EXPECT_EQ(NandBlockCount(), c.blocks);
    EXPECT_EQ(NandSpareBytes(), 0u);  // both switches start off
  }
}

TEST_F(NandControllerTest, PartNumberSetsTheClockAfterTheProbe) {
  struct Case {
    DWORD part;
    DWORD clock;
    DWORD chip_ndtr0;
    DWORD chip_ndtr1;
  };
  const Case cases[] = {
      {8, 156, 0x0003090B, 0x0F4E0091},
      {9, 312, 0x000E1B1E, 0x1E9D00F3},
      {17, 104, 0x0002090A, 0x0A340061},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.part);
    Fresh();
    SetPart(c.part);
    dfc_.Clear();
    dfc_.data = {0xF1EC};
    ASSERT_EQ(NandAttach(1), kNandDone);
    EXPECT_EQ(NandState.ControllerClock, c.clock);
    // The probe was timed with the clock in force before the part number was read.
    EXPECT_EQ(dfc_.Writes(kNdtr0), (std::vector<DWORD>{0x003F3F3F, c.chip_ndtr0}));
    EXPECT_EQ(dfc_.Writes(kNdtr1), (std::vector<DWORD>{0x081F00AA, c.chip_ndtr1}));
  }
}

TEST_F(NandControllerTest, ASecondFirstTimeAttachProbesWithTheClockOfTheFirst) {
  SetPart(9);
  AttachChip(0xDCAD);
  dfc_.data = {0xDCAD};
  ASSERT_EQ(NandAttach(1), kNandDone);
  EXPECT_EQ(dfc_.Writes(kNdtr0), (std::vector<DWORD>{0x003F3F3F, 0x000F1C1F}));
  EXPECT_EQ(dfc_.Writes(kNdtr1), (std::vector<DWORD>{0x185F00FF, 0x1E9D00F4}));
}

TEST_F(NandControllerTest, ReattachTakesOverTheControllerAsItIs) {
  dfc_.ndcr = 0xC105DFFF;  // ECC and spare on, left by an earlier attach
  dfc_.data = {0xDAEC};
  ASSERT_EQ(NandAttach(0), kNandDone);
  EXPECT_TRUE(dfc_.Writes(kNdtr0).empty());
  EXPECT_TRUE(dfc_.Writes(kNdtr1).empty());
  EXPECT_EQ(dfc_.Writes(kNdcr), (std::vector<DWORD>{0xC105DFFF | kNdcrRun}));  // the ID read
  EXPECT_EQ(NandControlWord(), 0xC105DFFFu);
  EXPECT_EQ(NandSavedControlWord(), 0xC105DFFFu);
  EXPECT_EQ(NandChipIndex(), 3u);
  EXPECT_EQ(NandBlockCount(), 2048u);
  // The switches follow the layout, not the control word.
  EXPECT_EQ(NandSetEcc(1), 0);
  EXPECT_EQ(NandSetSpare(1), 0);

  dfc_.Clear();
  NandRestoreControl();
  EXPECT_EQ(dfc_.log, (std::vector<Access>{{true, kNdcr, 0xC105DFFF}}));
}

TEST_F(NandControllerTest, UnknownIdEndsTheAttachWith16AndLeavesItUnusable) {
  for (DWORD id : {0xECD3u, 0x0000D3EDu, 0xFFFFFFFFu}) {
    SCOPED_TRACE(id);
    Fresh();
    dfc_.data = {id};
    EXPECT_EQ(NandAttach(1), kNandUnknownChip);
    EXPECT_EQ(NandPageBytes(), 0u);
    EXPECT_EQ(NandBlockCount(), 0u);
    EXPECT_EQ(NandChipIndex(), 0u);
    // Nothing reaches the controller through the failed attach.
    dfc_.Clear();
    BYTE page[2048];
    EXPECT_EQ(NandReadPage(page, nullptr, 0, 0), kNandNotMapped);
    EXPECT_EQ(NandEraseBlock(0), kNandNotMapped);
    DWORD out = 0;
    EXPECT_EQ(NandReadId(&out), kNandNotMapped);
    NandRestoreControl();
    EXPECT_EQ(dfc_.accesses, 0u);
  }
}

// Without a mapping, before any attach or after one that could not map the registers, every
// operation says so, apart from a time-out, and sends nothing.
TEST_F(NandControllerTest, OperationsWithoutAMappingAreRefusedAsNotMapped) {
  for (bool attach_tried : {false, true}) {
    SCOPED_TRACE(attach_tried);
    Fresh();
    Status(kAllReady);
    if (attach_tried) {
      host::FailVirtualAlloc(1);
      dfc_.data = {0xD3EC};
      ASSERT_EQ(NandAttach(1), kNandNotMapped);
    }
    dfc_.Clear();
    BYTE page[2048] = {};
    DWORD id = 0;
    EXPECT_EQ(NandReset(), kNandNotMapped);
    EXPECT_EQ(NandReadId(&id), kNandNotMapped);
    EXPECT_EQ(NandProgramPage(page, nullptr, 0, 3), kNandNotMapped);
    EXPECT_EQ(NandReadPage(page, nullptr, 0, 3), kNandNotMapped);
    EXPECT_EQ(NandEraseBlock(64), kNandNotMapped);
    NandRestoreControl();
    EXPECT_EQ(dfc_.accesses, 0u);
  }
}

TEST_F(NandControllerTest, AttachAfterAFailedOneRunsTheWholeSequence) {
  dfc_.data = {0x1234};
  ASSERT_EQ(NandAttach(1), kNandUnknownChip);
  dfc_.Clear();
  dfc_.data = {0xD3EC};
  ASSERT_EQ(NandAttach(1), kNandDone);
  EXPECT_EQ(dfc_.Writes(kNdtr0).size(), 2u);
  EXPECT_EQ(NandChipIndex(), 1u);
  EXPECT_EQ(NandBlockCount(), 8192u);
}

TEST_F(NandControllerTest, AttachFailsAsNotMappedWhenTheRegistersCannotBeMapped) {
  host::FailVirtualAlloc(1);
  dfc_.data = {0xD3EC};
  EXPECT_EQ(NandAttach(1), kNandNotMapped);
  EXPECT_EQ(dfc_.accesses, 0u);
  EXPECT_EQ(NandPageBytes(), 0u);
}

TEST_F(NandControllerTest, AttachTimesOutWhenTheIdNeverArrives) {
  Status(kNdsrWrCmdReq | kNdsrRdy);  // never RDDREQ
  EXPECT_EQ(NandAttach(1), kNandTimeout);
  EXPECT_EQ(NandPageBytes(), 0u);
}

// ---- Command words ----

TEST_F(NandControllerTest, CommandAndAddressWords) {
  enum Op { kRead, kProgram, kErase };
  struct Case {
    DWORD id;
    Op op;
    DWORD page;
    DWORD command;
    DWORD address1;
    DWORD address2;
  };
  const Case cases[] = {
      {0xD3EC, kRead, 5, 0x000D3000, 0x00050000, 0},
      {0xF1EC, kRead, 5, 0x000C3000, 0x00050000, 0},
      {0xD3EC, kProgram, 0x12345, 0x022D1080, 0x23450000, 1},
      {0xF1EC, kProgram, 0x12345, 0x022C1080, 0x23450000, 1},
      {0xDCEC, kErase, 0x40, 0x024BD060, 0x40, 0},
      {0xF1EC, kErase, 0x40, 0x024AD060, 0x40, 0},
      // Chip 5: the second chip select from page 0x40000 on, addressed from its row 0.
      {0xDCAD, kRead, 0x3FFFF, 0x000D3000, 0xFFFF0000, 3},
      {0xDCAD, kRead, 0x40000, 0x010D3000, 0, 0},
      {0xDCAD, kProgram, 0x40001, 0x032D1080, 0x00010000, 0},
      {0xDCAD, kProgram, 0x7FFFF, 0x032D1080, 0xFFFF0000, 3},
      {0xDCAD, kErase, 0x3FFC0, 0x024BD060, 0x3FFC0, 0},
      {0xDCAD, kErase, 0x40040, 0x034BD060, 0x40, 0},
      // Chip 1 has one chip select: page 0x40000 is just a row there.
      {0xD3EC, kRead, 0x40000, 0x000D3000, 0, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << std::hex << "id " << c.id << " op " << c.op << " page " << c.page);
    Fresh();
    AttachChip(c.id);
    BYTE page[2048] = {};
    NandResult result = c.op == kRead      ? NandReadPage(page, nullptr, 0, c.page)
                        : c.op == kProgram ? NandProgramPage(page, nullptr, 0, c.page)
                                           : NandEraseBlock(c.page);
    EXPECT_EQ(result, kNandDone);
    EXPECT_EQ(Commands(), (std::vector<std::vector<DWORD>>{{c.command, c.address1, c.address2}}));
    // Every command starts by clearing the status and running the controller.
    ASSERT_GE(dfc_.log.size(), 2u);
    EXPECT_EQ(dfc_.log[0], (Access{true, kNdsr, kNdsrClearAll}));
    EXPECT_EQ(dfc_.log[1], (Access{true, kNdcr, NandControlWord() | kNdcrRun}));
  }
}

TEST_F(NandControllerTest, ResetCommand) {
  AttachChip(0xDCAD);
  EXPECT_EQ(NandReset(), kNandDone);
  EXPECT_EQ(Commands(), (std::vector<std::vector<DWORD>>{{0x00A000FF, 0, 0}}));
  Status(kNdsrWrCmdReq);  // never ready
  EXPECT_EQ(NandReset(), kNandTimeout);
}

TEST_F(NandControllerTest, ReadIdReadsTwoWordsOrOn312MhzPartsA512BytePage) {
  struct Case {
    DWORD part;
    DWORD ndcr;
    DWORD command;
    std::uint64_t words;
  };
  // ECC and spare on in the control word: part 9 drops them (and the page size) for the read.
  const Case cases[] = {
      {17, 0xD185DFFF | kNdcrRun, 0x00610090, 2},
      {8, 0xD185DFFF | kNdcrRun, 0x00610090, 2},
      {9, 0x0085DFFF | kNdcrRun, 0x00010090, 128},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.part);
    Fresh();
    SetPart(c.part);
    AttachChip(0xD3EC);
    NandSetEcc(1);
    NandSetSpare(1);
    dfc_.data = {0x9551D3EC, 0x44};
    DWORD id = 0;
    ASSERT_EQ(NandReadId(&id), kNandDone);
    EXPECT_EQ(id, 0x9551D3ECu);
    EXPECT_EQ(dfc_.Writes(kNdcr), (std::vector<DWORD>{c.ndcr}));
    EXPECT_EQ(Commands(), (std::vector<std::vector<DWORD>>{{c.command, 0, 0}}));
    EXPECT_EQ(dfc_.nddb_reads, c.words);
    // The control word itself is untouched.
    EXPECT_EQ(NandControlWord(), 0xC185DFFFu);
  }
}

TEST_F(NandControllerTest, ReadIdWaitsForCommandDoneOnChipSelect0) {
  AttachChip(0xD3EC);
  Status(kAllReady & ~kNdsrCs0CmdD);
  DWORD id = 0;
  EXPECT_EQ(NandReadId(&id), kNandTimeout);
}

TEST_F(NandControllerTest, SwitchesChangeOnlyTheirBitOfTheControlWord) {
  AttachChip(0xD3EC);
  EXPECT_EQ(NandSetEcc(1), 0);
  EXPECT_EQ(NandControlWord(), 0x4185DFFFu);
  EXPECT_EQ(NandSetSpare(7), 0);
  EXPECT_EQ(NandControlWord(), 0xC185DFFFu);
  EXPECT_EQ(NandSetEcc(0), 1);
  EXPECT_EQ(NandControlWord(), 0x8185DFFFu);
  EXPECT_EQ(NandSetSpare(0), 7);
  EXPECT_EQ(NandControlWord(), 0x0185DFFFu);
  EXPECT_EQ(NandSavedControlWord(), 0x0185DFFFu);
  EXPECT_EQ(dfc_.accesses, 0u);  // the switches do not touch the controller

  // Restoring writes the saved word, whatever the switches did since.
  NandSetEcc(1);
  NandSetSpare(1);
  NandRestoreControl();
  EXPECT_EQ(dfc_.log, (std::vector<Access>{{true, kNdcr, 0x0185DFFF}}));
}

TEST_F(NandControllerTest, SpareBytesFollowTheSwitches) {
  AttachChip(0xD3EC);
  struct Case {
    int spare;
    int ecc;
    DWORD bytes;
  };
  const Case cases[] = {{0, 0, 0}, {0, 1, 0}, {1, 0, 64}, {1, 1, 40}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "spare " << c.spare << " ecc " << c.ecc);
    NandSetSpare(c.spare);
    NandSetEcc(c.ecc);
    EXPECT_EQ(NandSpareBytes(), c.bytes);

    // A page transfer carries exactly that many spare bytes.
    dfc_.Clear();
    BYTE spare[64] = {};
    dfc_.Clear();
    ASSERT_EQ(NandProgramPage(nullptr, spare, 0, 9), kNandDone);
    EXPECT_EQ(dfc_.Writes(kNddb).size(), (2048 + c.bytes) / 4);
    dfc_.Clear();
    ASSERT_EQ(NandReadPage(nullptr, spare, 0, 9), kNandDone);
    EXPECT_EQ(dfc_.nddb_reads, (2048 + c.bytes) / 4);
  }
}

// ---- Page transfers ----

TEST_F(NandControllerTest, ProgramWritesThePageThenTheSparePaddedWithFF) {
  AttachChip(0xD3EC);
  NandSetSpare(1);  // 64 spare bytes
  std::vector<DWORD> page(512);
  for (DWORD i = 0; i < 512; ++i) page[i] = 0x01000000 * (i & 0x7F) + i;
  const DWORD spare[3] = {0x11111111, 0x22222222, 0x33333333};
  ASSERT_EQ(NandProgramPage(page.data(), spare, 8, 1), kNandDone);

  std::vector<DWORD> expected = page;
  expected.push_back(0x11111111);
  expected.push_back(0x22222222);
  expected.insert(expected.end(), 14, 0xFFFFFFFF);
  EXPECT_EQ(dfc_.Writes(kNddb), expected);
}

TEST_F(NandControllerTest, ProgramWithoutDataWritesAnFFPage) {
  AttachChip(0xD3EC);
  NandSetSpare(1);
  NandSetEcc(1);  // 40 spare bytes
  const DWORD spare[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  ASSERT_EQ(NandProgramPage(nullptr, spare, 40, 2), kNandDone);
  std::vector<DWORD> written = dfc_.Writes(kNddb);
  ASSERT_EQ(written.size(), 522u);
  EXPECT_EQ(WordsWritten(0xFFFFFFFF), 512u);
  EXPECT_EQ(std::vector<DWORD>(written.begin() + 512, written.end()),
            std::vector<DWORD>(spare, spare + 10));
}

TEST_F(NandControllerTest, TransfersWithoutAnyBufferAreRefusedAndSendNothing) {
  AttachChip(0xD3EC);
  NandSetSpare(1);
  EXPECT_EQ(NandProgramPage(nullptr, nullptr, 0, 0), kNandNoBuffer);
  EXPECT_EQ(NandProgramPage(nullptr, nullptr, 64, 5), kNandNoBuffer);
  EXPECT_EQ(NandReadPage(nullptr, nullptr, 64, 5), kNandNoBuffer);
  EXPECT_EQ(dfc_.accesses, 0u);
}

TEST_F(NandControllerTest, ASpareLengthBeyondTheSpareAreaIsCutToIt) {
  AttachChip(0xD3EC);
  NandSetSpare(1);
  NandSetEcc(1);  // 40 spare bytes
  DWORD spare[16];
  for (DWORD i = 0; i < 16; ++i) spare[i] = 0xA0 + i;
  ASSERT_EQ(NandProgramPage(nullptr, spare, 64, 0), kNandDone);
  std::vector<DWORD> written = dfc_.Writes(kNddb);
  ASSERT_EQ(written.size(), 522u);
  EXPECT_EQ(written.back(), 0xA9u);

  dfc_.Clear();
  for (DWORD i = 0; i < 522; ++i) dfc_.data.push_back(i);
  DWORD got[16];
  for (DWORD& w : got) w = 0xDEADBEEF;
  ASSERT_EQ(NandReadPage(nullptr, got, 64, 0), kNandDone);
  EXPECT_EQ(dfc_.nddb_reads, 522u);
  EXPECT_EQ(got[0], 512u);
  EXPECT_EQ(got[9], 521u);
  EXPECT_EQ(got[10], 0xDEADBEEFu);
}

TEST_F(NandControllerTest, ReadDeliversThePageAndTheSpareItWasAskedFor) {
  AttachChip(0xD3EC);
  NandSetSpare(1);  // 64 spare bytes
  for (DWORD i = 0; i < 528; ++i) dfc_.data.push_back(0x5A000000 + i);
  std::vector<DWORD> page(512, 0);
  DWORD spare[3] = {0, 0, 0xCAFE};
  ASSERT_EQ(NandReadPage(page.data(), spare, 8, 7), kNandDone);
  for (DWORD i = 0; i < 512; ++i) ASSERT_EQ(page[i], 0x5A000000 + i) << i;
  EXPECT_EQ(spare[0], 0x5A000200u);
  EXPECT_EQ(spare[1], 0x5A000201u);
  EXPECT_EQ(spare[2], 0xCAFEu);
  EXPECT_EQ(dfc_.nddb_reads, 528u);  // the rest of the spare area read and dropped

  dfc_.Clear();
  DWORD only_spare[16];
  ASSERT_EQ(NandReadPage(nullptr, only_spare, 64, 7), kNandDone);
  EXPECT_EQ(dfc_.nddb_reads, 528u);
}

// ---- Results ----

TEST_F(NandControllerTest, FinishResultPrecedence) {
  struct Case {
    DWORD extra;
    NandResult result;
  };
  const Case cases[] = {
      {0, kNandDone},
      {kNdsrSbErr, kNandCorrected},
      {kNdsrDbErr, kNandUncorrectable},
      {kNdsrDbErr | kNdsrSbErr, kNandUncorrectable},
      {kNdsrCs0Bbd, kNandProgramEraseFailed},
      {kNdsrCs1Bbd, kNandProgramEraseFailed},
      {kNdsrCs0Bbd | kNdsrDbErr, kNandProgramEraseFailed},
      {kNdsrCs1Bbd | kNdsrDbErr | kNdsrSbErr, kNandProgramEraseFailed},
  };
  AttachChip(0xDCEC);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.extra);
    Status(kAllReady | c.extra);
    EXPECT_EQ(NandEraseBlock(64), c.result);
    BYTE page[2048] = {};
    EXPECT_EQ(NandProgramPage(page, nullptr, 0, 64), c.result);
  }
}

TEST_F(NandControllerTest, FinishWaitsForReadyAndForTheCommandToEnd) {
  AttachChip(0xDCEC);
  // RDY never comes.
  Status(kAllReady & ~kNdsrRdy);
  EXPECT_EQ(NandEraseBlock(0), kNandTimeout);
  // Ready, but none of DBERR, BBD or CMDD.
  Status(kNdsrWrCmdReq | kNdsrRdy | kNdsrSbErr);
  EXPECT_EQ(NandEraseBlock(0), kNandTimeout);
  // CMDD on the second chip select ends it too.
  Status(kNdsrWrCmdReq | kNdsrRdy | kNdsrCs1CmdD);
  EXPECT_EQ(NandEraseBlock(0), kNandDone);
}

TEST_F(NandControllerTest, CorrectedOrUncorrectableReadIsFollowedByARereadOfPage0) {
  struct Case {
    DWORD first;   // status bits of the read
    DWORD second;  // of the extra read
    NandResult result;
  };
  const Case cases[] = {
      {kNdsrSbErr, 0, kNandCorrected},
      {kNdsrDbErr, 0, kNandUncorrectable},
      {kNdsrDbErr | kNdsrSbErr, 0, kNandUncorrectable},
      // The reread's own ECC verdict does not count: only a failure of the command does.
      {kNdsrSbErr, kNdsrSbErr, kNandCorrected},
      {kNdsrSbErr, kNdsrDbErr, kNandCorrected},
      {kNdsrDbErr, kNdsrDbErr, kNandUncorrectable},
      {kNdsrSbErr, kNdsrCs0Bbd, kNandTimeout},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.first << " then " << c.second);
    Fresh();
    AttachChip(0xDCAD);
    NandSetSpare(1);
    NandSetEcc(1);  // 40 spare bytes
    int base = dfc_.command + 1;
    dfc_.status = [base, c](int command, std::uint64_t) {
      return kAllReady | (command == base ? c.first : c.second);
    };
    for (DWORD i = 0; i < 522; ++i) dfc_.data.push_back(0x77000000 + i);
    std::vector<DWORD> page(512, 0);
    // A page on the second chip select; the reread is of page 0 on the first.
    EXPECT_EQ(NandReadPage(page.data(), nullptr, 0, 0x40005), c.result);
    EXPECT_EQ(Commands(),
              (std::vector<std::vector<DWORD>>{{0x010D3000, 0x00050000, 0}, {0x000D3000, 0, 0}}));
    // The reread starts like any command.
    std::vector<DWORD> ndcr = dfc_.Writes(kNdcr);
    EXPECT_EQ(ndcr, (std::vector<DWORD>(2, NandControlWord() | kNdcrRun)));
    EXPECT_EQ(dfc_.nddb_reads, 2u * 522u);
    // The data of the first read is delivered as read.
    EXPECT_EQ(page[0], 0x77000000u);
    EXPECT_EQ(page[511], 0x770001FFu);
  }
}

TEST_F(NandControllerTest, CleanOrFailedReadHasNoReread) {
  for (DWORD extra : {0u, kNdsrCs0Bbd}) {
    SCOPED_TRACE(extra);
    AttachChip(0xD3EC);
    Status(kAllReady | extra);
    BYTE page[2048];
    EXPECT_EQ(NandReadPage(page, nullptr, 0, 100), extra ? kNandProgramEraseFailed : kNandDone);
    EXPECT_EQ(Commands().size(), 1u);
  }
}

TEST_F(NandControllerTest, RereadThatIsNeverReadyGives1) {
  AttachChip(0xD3EC);
  int base = dfc_.command + 1;
  dfc_.status = [base](int command, std::uint64_t) {
    return command == base ? kAllReady | kNdsrSbErr : kNdsrWrCmdReq;  // no RDDREQ on the reread
  };
  BYTE page[2048];
  EXPECT_EQ(NandReadPage(page, nullptr, 0, 1), kNandTimeout);
}

// ---- The status poll ----

TEST_F(NandControllerTest, PollReadsTheStatusAtMost1400002Times) {
  AttachChip(0xD3EC);
  struct Case {
    std::uint64_t set_from;  // the read (from 0) on which the bit first shows
    int result;
    std::uint64_t reads;
  };
  const Case cases[] = {
      {0, 1, 1},
      {1400001, 1, 1400002},
      {1400002, 0, 1400002},
      {UINT64_MAX, 0, 1400002},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.set_from);
    dfc_.status = [read = std::uint64_t{0}, from = c.set_from](int, std::uint64_t) mutable {
      return read++ >= from ? kNdsrRdy : 0x7FFu;
    };
    dfc_.Clear();
    EXPECT_EQ(NandWaitStatus(kNdsrRdy), c.result);
    EXPECT_EQ(dfc_.ndsr_reads, c.reads);
  }
}

TEST_F(NandControllerTest, ProgramGivesUpWhenTheControllerNeverWantsData) {
  AttachChip(0xD3EC);
  Status(kNdsrWrCmdReq | kNdsrRdy | kNdsrCs0CmdD);
  BYTE page[2048] = {};
  EXPECT_EQ(NandProgramPage(page, nullptr, 0, 0), kNandTimeout);
  EXPECT_EQ(dfc_.ndsr_reads, 1u + kNandPollReads);  // one for WRCMDREQ, then the full poll
  EXPECT_TRUE(dfc_.Writes(kNddb).empty());
}

TEST_F(NandControllerTest, CommandIsNotSentWhenTheControllerNeverAsksForIt) {
  AttachChip(0xD3EC);
  Status(kNdsrRdy | kNdsrRdDReq);
  BYTE page[2048];
  EXPECT_EQ(NandReadPage(page, nullptr, 0, 0), kNandTimeout);
  EXPECT_EQ(NandEraseBlock(0), kNandTimeout);
  EXPECT_TRUE(Commands().empty());
  EXPECT_EQ(dfc_.nddb_reads, 0u);
}

// ---- Round trips through the controller and chip models ----

class NandControllerModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    NandState = NandControllerState{};
    NandState.ControllerClock = 104;
  }
  void TearDown() override {
    module_.reset();
    NandState = NandControllerState{};
  }

  /// A module with an erased 1024-block chip (0xF1EC) and `faults` (faults.toml text).
  void Open(DWORD part = 9, const std::string& faults = "") {
    host::CreateOptions options = host::CreateOptions::Blank();
    options.flash = host::FlashKind::kNand;
    options.nand_chip = 0xF1EC;
    options.part_number = part;
    host::CreateModule(dir_ / "m", options);
    if (!faults.empty()) std::ofstream(dir_ / "m" / "faults.toml") << faults;
    host::ClockReset();
    module_ = host::Module::Open(dir_ / "m");
  }
  void Attach(DWORD part = 9, const std::string& faults = "") {
    Open(part, faults);
    ASSERT_EQ(NandAttach(1), kNandDone);
  }
  /// The raw page (data then the 64 spare bytes) as nand.img holds it.
  std::vector<std::uint8_t> RawPage(DWORD page) {
    std::vector<std::uint8_t> raw(host::kNandRawPageBytes);
    std::ifstream in(dir_ / "m" / "nand.img", std::ios::binary);
    in.seekg(static_cast<std::streamoff>(page) * host::kNandRawPageBytes);
    in.read(reinterpret_cast<char*>(raw.data()), static_cast<std::streamsize>(raw.size()));
    return raw;
  }
  static std::vector<std::uint8_t> Pattern(std::size_t bytes, std::uint8_t seed) {
    std::vector<std::uint8_t> v(bytes);
    for (std::size_t i = 0; i < bytes; ++i)
      v[i] = static_cast<std::uint8_t>(seed + i * 7 + i / 251);
    return v;
  }

  test::TempDir dir_;
  std::unique_ptr<host::Module> module_;
};

TEST_F(NandControllerModuleTest, AttachIdentifiesTheChipOnEachPxa3xxPart) {
  for (DWORD part : {8u, 9u}) {
    SCOPED_TRACE(part);
    module_.reset();
    std::filesystem::remove_all(dir_ / "m");
    SetUp();
    Attach(part);
    EXPECT_EQ(NandChipIndex(), 2u);
    EXPECT_EQ(NandBlockCount(), 1024u);
    EXPECT_EQ(NandControlWord(), 0x0105DFFFu);
    DWORD id = 0;
    ASSERT_EQ(NandReadId(&id), kNandDone);
    EXPECT_EQ(id, 0x9500F1ECu);
  }
}

TEST_F(NandControllerModuleTest, ReattachTakesTheControlWordFromTheController) {
  Attach();
  NandSetEcc(1);
  NandSetSpare(1);
  BYTE page[2048] = {};
  ASSERT_EQ(NandProgramPage(page, nullptr, 0, 0), kNandDone);  // NDCR now has ECC and spare on
  NandState = NandControllerState{};
  ASSERT_EQ(NandAttach(0), kNandDone);
  EXPECT_EQ(NandControlWord(), 0xC105DFFFu);
  EXPECT_EQ(NandChipIndex(), 2u);
}

TEST_F(NandControllerModuleTest, ProgramAndReadBackWithEachSpareSetting) {
  struct Case {
    int spare;
    int ecc;
    DWORD spare_bytes;
  };
  const Case cases[] = {{1, 1, 40}, {1, 0, 64}, {0, 1, 0}, {0, 0, 0}};
  Attach();
  DWORD page_number = 200;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "spare " << c.spare << " ecc " << c.ecc);
    NandSetSpare(c.spare);
    NandSetEcc(c.ecc);
    ASSERT_EQ(NandSpareBytes(), c.spare_bytes);
    std::vector<std::uint8_t> data = Pattern(2048, static_cast<std::uint8_t>(page_number));
    std::vector<std::uint8_t> spare = Pattern(c.spare_bytes ? c.spare_bytes : 4, 0x30);
    ASSERT_EQ(
        NandProgramPage(data.data(), c.spare ? spare.data() : nullptr, c.spare_bytes, page_number),
        kNandDone);
    std::vector<std::uint8_t> raw = RawPage(page_number);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), raw.begin()));
    if (c.spare) {
      EXPECT_TRUE(std::equal(spare.begin(), spare.end(), raw.begin() + 2048));
    }

    std::vector<std::uint8_t> back(2048, 0);
    std::vector<std::uint8_t> back_spare(64, 0);
    ASSERT_EQ(NandReadPage(back.data(), c.spare ? back_spare.data() : nullptr, c.spare_bytes,
                           page_number),
              kNandDone);
    EXPECT_EQ(back, data);
    if (c.spare) {
      EXPECT_TRUE(std::equal(spare.begin(), spare.end(), back_spare.begin()));
    }
    ++page_number;
  }
}

TEST_F(NandControllerModuleTest, EraseLeavesTheBlockBlank) {
  Attach();
  std::vector<std::uint8_t> data = Pattern(2048, 1);
  ASSERT_EQ(NandProgramPage(data.data(), nullptr, 0, 64 * 5 + 3), kNandDone);
  ASSERT_EQ(NandEraseBlock(64 * 5), kNandDone);
  EXPECT_EQ(RawPage(64 * 5 + 3), std::vector<std::uint8_t>(host::kNandRawPageBytes, 0xFF));
  std::vector<std::uint8_t> back(2048, 0);
  ASSERT_EQ(NandReadPage(back.data(), nullptr, 0, 64 * 5 + 3), kNandDone);
  EXPECT_EQ(back, std::vector<std::uint8_t>(2048, 0xFF));
}

TEST_F(NandControllerModuleTest, ChipFailuresGive4) {
  Attach(9,
         "[[nand]]\nkind = \"program-error\"\nblock = 7\n"
         "[[nand]]\nkind = \"erase-error\"\nblock = 8\n");
  std::vector<std::uint8_t> data = Pattern(2048, 2);
  EXPECT_EQ(NandProgramPage(data.data(), nullptr, 0, 64 * 7), kNandProgramEraseFailed);
  EXPECT_EQ(NandEraseBlock(64 * 8), kNandProgramEraseFailed);
  EXPECT_EQ(NandEraseBlock(64 * 7), kNandDone);
  // Each fault stays with its block and operation, but an erase that failed leaves weak cells:
  // programs into that block fail too, until it erases whole.
  EXPECT_EQ(NandProgramPage(data.data(), nullptr, 0, 64 * 9), kNandDone);
  EXPECT_EQ(NandProgramPage(data.data(), nullptr, 0, 64 * 8), kNandProgramEraseFailed);
}

TEST_F(NandControllerModuleTest, EccCorrectsOneFlippedBitAndReportsTwoAsUncorrectable) {
  // Page 300: one flipped bit; page 301: two in the same 512-byte step.
  Attach(9,
         "[[nand]]\nkind = \"bit-flip\"\npage = 300\nbyte = 100\nbit = 3\n"
         "[[nand]]\nkind = \"bit-flip\"\npage = 301\nbyte = 100\nbit = 3\n"
         "[[nand]]\nkind = \"bit-flip\"\npage = 301\nbyte = 200\nbit = 5\n");
  NandSetEcc(1);
  NandSetSpare(1);
  std::vector<std::uint8_t> data = Pattern(2048, 3);
  ASSERT_EQ(NandProgramPage(data.data(), nullptr, 0, 300), kNandDone);
  ASSERT_EQ(NandProgramPage(data.data(), nullptr, 0, 301), kNandDone);

  // An erased step fails its ECC check on this controller: while page 0 is erased, the reread
  // that follows an ECC event reports an uncorrectable page 0, which is not this read's.
  std::vector<std::uint8_t> back(2048, 0);
  EXPECT_EQ(NandReadPage(back.data(), nullptr, 0, 300), kNandCorrected);
  EXPECT_EQ(back, data);

  ASSERT_EQ(NandProgramPage(data.data(), nullptr, 0, 0), kNandDone);
  EXPECT_EQ(NandReadPage(back.data(), nullptr, 0, 300), kNandCorrected);
  EXPECT_EQ(back, data);
  EXPECT_EQ(NandReadPage(back.data(), nullptr, 0, 301), kNandUncorrectable);
  EXPECT_NE(back, data);
  // The controller is left ready for the next command.
  EXPECT_EQ(NandReadPage(back.data(), nullptr, 0, 300), kNandCorrected);
}

TEST_F(NandControllerModuleTest, ChipThatNeverFinishesGives1) {
  Open(9, "[[nand]]\nkind = \"never-ready\"\n");
  ASSERT_EQ(NandAttach(1), kNandDone);  // the ID read does not wait for the array
  std::vector<std::uint8_t> data = Pattern(2048, 4);
  EXPECT_EQ(NandProgramPage(data.data(), nullptr, 0, 64), kNandTimeout);
  EXPECT_EQ(NandEraseBlock(64), kNandTimeout);
}

}  // namespace

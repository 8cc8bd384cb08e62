// The NAND bad-block layer against the controller and chip models: what lands in nand.img,
// where, and what the relocation table page says afterwards. Each test runs the driver in a
// process of its own, as the driver state and the shared block map are once per process.

#include "flash/nand/nand_flash.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "flash/flash_ops.h"
#include "host/hardware/pxa3xx_dfc.h"
#include "host/hardware/virtual_clock.h"
#include "host/module/module.h"
#include "host/oal/restart.h"
#include "host/system/shared_memory.h"
#include "test_support.h"

namespace {

constexpr DWORD kPage = 2048;
constexpr DWORD kRaw = 2112;
constexpr DWORD kNandBlockBytes = 131072;
constexpr DWORD kPages = 64;

using Entries = std::vector<std::pair<WORD, WORD>>;
using Bytes = std::vector<std::uint8_t>;

struct NandSetup {
  std::uint16_t chip = 0xF1EC;  // 1024 blocks
  std::uint32_t part = 8;
  std::string faults;
  // A programmed page 0, as a module with a bootloader has: the controller reads page 0 again
  // after every ECC event and needs it to read cleanly.
  bool boot = true;
};

std::string Fault(const char* kind, DWORD block) {
  return std::string("[[nand]]\nkind = \"") + kind + "\"\nblock = " + std::to_string(block) + "\n";
}

Bytes Pattern(DWORD seed, DWORD count = kPage) {
  Bytes bytes(count);
  for (DWORD i = 0; i < count; ++i)
    bytes[i] = static_cast<std::uint8_t>(seed * 37 + i * 7 + (i >> 8));
  return bytes;
}

bool AllFF(const Bytes& bytes) {
  for (auto b : bytes) {
    if (b != 0xFF) return false;
  }
  return true;
}

int Write(const Bytes& bytes, DWORD offset) {
  Bytes copy = bytes;
  return NandWriteBuffer(copy.data(), offset, static_cast<DWORD>(copy.size()));
}

Bytes Read(DWORD offset, DWORD count, int* result = nullptr) {
  Bytes bytes(count, 0x00);
  int r = NandReadBuffer(bytes.data(), offset, count);
  // A failed whole-page read still leaves the page's bytes behind: look at the result too.
  if (result) {
    *result = r;
  } else {
    EXPECT_EQ(r, 1) << "read of " << count << " bytes at " << offset;
  }
  return bytes;
}

class NandFlashTest : public ::testing::Test {
 protected:
  std::filesystem::path Dir() { return dir_ / "module"; }

  void Make(const NandSetup& setup = {}) {
    host::CreateOptions options = host::CreateOptions::Blank();
    options.flash = host::FlashKind::kNand;
    options.nand_chip = setup.chip;
    options.part_number = setup.part;
    host::CreateModule(Dir(), options);
    SetFaults(setup.faults);
    if (setup.boot) PokeProgrammed(0, Pattern(0xB0));
  }
  void SetFaults(const std::string& text) { std::ofstream(Dir() / "faults.toml") << text; }

  // Runs `body` in a new process of the module, as another program on it would run.
  void InModule(const std::function<void()>& body) {
    EXPECT_EQ(test::RunInChild([&] {
                host::ClockReset();
                auto module = host::Module::Open(Dir());
                body();
              }),
              0);
  }
  void InitInModule(const std::function<void()>& body) {
    InModule([&] {
      ASSERT_EQ(NandInit(), 1);
      body();
    });
  }

  Bytes Raw(DWORD page, DWORD from = 0, DWORD count = kRaw) {
    std::ifstream in(Dir() / "nand.img", std::ios::binary);
    in.seekg(static_cast<std::streamoff>(std::uint64_t{page} * kRaw + from));
    Bytes bytes(count);
    in.read(reinterpret_cast<char*>(bytes.data()), count);
    return bytes;
  }
  Bytes Data(DWORD page) { return Raw(page, 0, kPage); }
  Bytes Spare(DWORD page) { return Raw(page, kPage, kRaw - kPage); }
  void Poke(DWORD page, DWORD byte, const Bytes& bytes) {
    std::fstream io(Dir() / "nand.img", std::ios::binary | std::ios::in | std::ios::out);
    io.seekp(static_cast<std::streamoff>(std::uint64_t{page} * kRaw + byte));
    io.write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  }
  // A page as the controller programs it with ECC on: data, 40 spare bytes of 0xFF, then six
  // ECC bytes for each 512-byte step.
  void PokeProgrammed(DWORD page, const Bytes& data) {
    Bytes raw(kRaw, 0xFF);
    std::memcpy(raw.data(), data.data(), kPage);
    for (DWORD step = 0; step < 4; ++step) {
      host::DfcEccCompute(raw.data() + 512 * step, raw.data() + kPage + 40 + 6 * step);
    }
    Poke(page, 0, raw);
  }
  int Programs(DWORD page) {
    std::ifstream in(Dir() / "nand.programs", std::ios::binary);
    in.seekg(page);
    return in.get();
  }

  // The table page as a factory or an earlier run left it (programmed with ECC off).
  void PokeTable(const Entries& entries, bool terminated = true) {
    Bytes page(kPage, 0xFF);
    page[0] = 0x4E;
    page[1] = 0x52;
    for (std::size_t i = 0; i < entries.size(); ++i) {
      std::memcpy(&page[4 + 4 * i], &entries[i].first, 2);
      std::memcpy(&page[6 + 4 * i], &entries[i].second, 2);
    }
    if (!terminated) {
      ASSERT_EQ(entries.size(), kRelocationSlots);
    }
    Poke(63, 0, page);
  }
  Entries TableEntries() {
    Bytes page = Data(63);
    EXPECT_EQ(page[0], 0x4E);
    EXPECT_EQ(page[1], 0x52);
    Entries entries;
    for (DWORD i = 0; i < kRelocationSlots; ++i) {
      WORD bad, replacement;
      std::memcpy(&bad, &page[4 + 4 * i], 2);
      std::memcpy(&replacement, &page[6 + 4 * i], 2);
      if (bad == kRelocationTableEnd) break;
      entries.emplace_back(bad, replacement);
    }
    return entries;
  }

  test::TempDir dir_;
};

// Geometry ------------------------------------------------------------------------------------

// Each module is a new program choosing its driver: the test runs in a process of its own,
// which never chooses one itself.
TEST_F(NandFlashTest, ReserveIsAFiftiethOfTheBlocksAboveTheLogicalSpace) {
  EXPECT_IN_FRESH_PROCESS({
    struct Case {
      std::uint16_t chip;
      DWORD blocks;
      DWORD reserve;
      int type;
    };
    for (const Case& c :
         {Case{0xF1EC, 1024, 20, 1}, Case{0xDAEC, 2048, 40, 1}, Case{0xDCEC, 4096, 81, 1}}) {
      SCOPED_TRACE(c.blocks);
      std::filesystem::remove_all(Dir());
      Make({c.chip});
      InModule([&] {
        ASSERT_EQ(SelectFlashDriver(), kDriverNand);
        EXPECT_EQ(FlashOps.FlashSize, (c.blocks - c.reserve) * kNandBlockBytes);
        EXPECT_EQ(FlashOps.DeviceType, c.type);
        EXPECT_EQ(FlashOps.BlockSize(12345), kNandBlockBytes);
        EXPECT_EQ(FlashOps.PageSize(), kPage);
        ASSERT_NE(BadBlockMap, nullptr);
        EXPECT_EQ(BadBlockMap->Signature, kBadBlockMapSignature);
        for (DWORD k = 0; k < c.blocks; ++k) ASSERT_EQ(BadBlockMap->Entries[k], k);
      });
    }
  });
}

// One module of 8192 blocks (a 1.1 GB image): the table's entries map blocks, retired ones do
// not, and every replacement named in the table stays used.
TEST_F(NandFlashTest, TableOnAnEightThousandBlockChipMapsAndKeepsReplacementsUsed) {
  Make({0xD3EC, 8, Fault("program-error", 6)});
  PokeTable({{5, 8190}, {0, 8189}});
  InitInModule([] {
    EXPECT_EQ(FlashOps.FlashSize, 8029 * kNandBlockBytes);
    EXPECT_EQ(FlashOps.DeviceType, 2);
    EXPECT_EQ(BadBlockMap->Entries[5], 8190);
    EXPECT_EQ(BadBlockMap->Entries[0], 0);
    EXPECT_EQ(BadBlockMap->Entries[8189], 8189);
    EXPECT_EQ(Write(Pattern(6), 6 * kNandBlockBytes), 1);
    EXPECT_EQ(BadBlockMap->Entries[6], 8188);
  });
  EXPECT_EQ(TableEntries(), (Entries{{5, 8190}, {0, 8189}, {6, 8188}}));
  EXPECT_EQ(Data(8188 * kPages), Pattern(6));
}

TEST_F(NandFlashTest, DamagedTableEntriesMapNothing) {
  Make({0xF1EC, 8, Fault("program-error", 7)});
  // A replacement below the reserve and a bad block above the logical space (1004 blocks).
  PokeTable({{3, 500}, {1010, 1022}, {4, 1023}});
  InitInModule([] {
    EXPECT_EQ(BadBlockMap->Entries[3], 3);
    EXPECT_EQ(BadBlockMap->Entries[1010], 1010);
    EXPECT_EQ(BadBlockMap->Entries[4], 1023);
    // The damaged entry does not use up the reserve; the blocks named in the reserve stay
    // used.
    EXPECT_EQ(Write(Pattern(7), 7 * kNandBlockBytes), 1);
    EXPECT_EQ(BadBlockMap->Entries[7], 1021);
  });
  EXPECT_EQ(Data(1021 * kPages), Pattern(7));
}

// Erase ---------------------------------------------------------------------------------------

std::vector<std::pair<DWORD, DWORD>> nand_progress_calls;
int nand_progress_stop_at = -1;
int RecordNandProgress(DWORD done, DWORD total) {
  nand_progress_calls.emplace_back(done, total);
  return static_cast<int>(nand_progress_calls.size()) != nand_progress_stop_at;
}

TEST_F(NandFlashTest, EraseRangeErasesEveryBlockItTouchesAndNothingPastFlashSize) {
  Make();
  Poke(64, 0, Bytes(16, 0x00));
  Poke(127, 0, Bytes(16, 0x00));
  Poke(128, 0, Bytes(16, 0x00));
  Poke(0, 0, Bytes(16, 0x00));
  struct Case {
    DWORD offset;
    DWORD length;
    int result;
    std::uint32_t erases;
  };
  const DWORD size = 1004 * kNandBlockBytes;
  const Case cases[] = {
      {0x20001, 1, 1, 1},
      {0x20000, 0, 1, 0},
      {0x1FFFF, 2, 1, 2},
      {size - kNandBlockBytes, kNandBlockBytes, 1, 1},
      {size - kNandBlockBytes + 1, kNandBlockBytes, 0, 0},
      {kNandBlockBytes, 0xFFFFFFFF, 0, 0},
      {0xFFFFFFFF, 2, 0, 0},
  };
  InitInModule([&] {
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << std::hex << c.offset << " " << c.length);
      std::uint32_t before = host::CurrentModule()->nand()->erases();
      EXPECT_EQ(NandEraseRange(c.offset, c.length), c.result);
      EXPECT_EQ(host::CurrentModule()->nand()->erases() - before, c.erases);
    }
  });
  EXPECT_TRUE(AllFF(Raw(64)));
  EXPECT_TRUE(AllFF(Raw(127)));
  // The range 0x1FFFF + 2 erased block 0 too; nothing reached block 2.
  EXPECT_TRUE(AllFF(Raw(0, 0, 16)));
  EXPECT_EQ(Raw(128, 0, 16), Bytes(16, 0x00));
}

TEST_F(NandFlashTest, EraseProgressRunsBeforeEachBlockAndStopsTheErase) {
  Make();
  InitInModule([] {
    nand_progress_calls.clear();
    nand_progress_stop_at = 3;
    SetProgressCallback(RecordNandProgress, 0x10000);
    std::uint32_t before = host::CurrentModule()->nand()->erases();
    EXPECT_EQ(NandEraseRange(kNandBlockBytes, 4 * kNandBlockBytes), 0);
    EXPECT_EQ(host::CurrentModule()->nand()->erases() - before, 2u);
    EXPECT_EQ(nand_progress_calls,
              (std::vector<std::pair<DWORD, DWORD>>{{0, 4 * kNandBlockBytes},
                                                    {kNandBlockBytes, 4 * kNandBlockBytes},
                                                    {2 * kNandBlockBytes, 4 * kNandBlockBytes}}));
  });
}

TEST_F(NandFlashTest, EraseOfBlockZeroKeepsTheTablePage) {
  Make({0xF1EC, 8, "", false});
  PokeTable({{9, 1023}});
  InitInModule([] {
    EXPECT_EQ(Write(Pattern(1), 0), 1);
    EXPECT_EQ(NandEraseRange(0, kNandBlockBytes), 1);
  });
  EXPECT_TRUE(AllFF(Raw(0)));
  EXPECT_EQ(TableEntries(), (Entries{{9, 1023}}));
  EXPECT_EQ(Spare(63)[1], 0);  // programmed back with its ECC, and marked so
  EXPECT_EQ(Programs(63), 1);
  InModule([] { host::RestartModule(nullptr, 0); });
  InitInModule([] { EXPECT_EQ(BadBlockMap->Entries[9], 1023); });
}

TEST_F(NandFlashTest, EraseThatFailsMovesTheBlockToTheReserve) {
  Make({0xF1EC, 8, Fault("erase-error", 3)});
  InitInModule([] {
    EXPECT_EQ(NandEraseRange(3 * kNandBlockBytes, kNandBlockBytes), 1);
    EXPECT_EQ(BadBlockMap->Entries[3], 1023);
    EXPECT_EQ(Write(Pattern(3), 3 * kNandBlockBytes + kPage), 1);
  });
  EXPECT_EQ(TableEntries(), (Entries{{3, 1023}}));
  EXPECT_EQ(Data(1023 * kPages + 1), Pattern(3));
}

// Page mapping and transfers ------------------------------------------------------------------

TEST_F(NandFlashTest, PagesFromTheTablePageOnAreOneFurtherAndPage127IsNeverStored) {
  Make();
  struct Case {
    DWORD logical;
    DWORD physical;  // kNoPhysicalPage: none
  };
  const Case cases[] = {{62, 62},  {63, 64}, {64, 65}, {126, 127}, {127, kNoPhysicalPage},
                        {128, 128}};
  InitInModule([&] {
    for (const Case& c : cases) {
      EXPECT_EQ(NandPhysicalPage(c.logical), c.physical) << c.logical;
      EXPECT_EQ(Write(Pattern(c.logical), c.logical * kPage), 1) << c.logical;
    }
    for (const Case& c : cases) {
      int result = 0;
      Bytes back = Read(c.logical * kPage, kPage, &result);
      EXPECT_EQ(result, 1) << c.logical;
      if (c.physical == kNoPhysicalPage) {
        EXPECT_TRUE(AllFF(back));
      } else {
        EXPECT_EQ(back, Pattern(c.logical)) << c.logical;
      }
    }
  });
  for (const Case& c : cases) {
    if (c.physical != kNoPhysicalPage) {
      EXPECT_EQ(Data(c.physical), Pattern(c.logical));
    }
  }
  // Nothing else in blocks 0 to 2 was programmed: page 127's data went nowhere.
  for (DWORD page = 0; page < 3 * kPages; ++page) {
    bool written =
        page == 63 || page == 62 || page == 64 || page == 65 || page == 127 || page == 128;
    EXPECT_EQ(Programs(page), written ? 1 : 0) << page;
  }
}

TEST_F(NandFlashTest, PartialPagesKeepTheRestOfThePageErased) {
  Make({0xF1EC, 8, "", false});
  Bytes bytes = Pattern(5, 20);
  InitInModule([&] {
    EXPECT_EQ(Write(bytes, kPage - 8), 1);
    EXPECT_EQ(Read(kPage - 8, 20), bytes);
    EXPECT_EQ(Read(kPage - 3, 5), Bytes(bytes.begin() + 5, bytes.begin() + 10));
  });
  Bytes page0 = Data(0);
  Bytes page1 = Data(1);
  EXPECT_TRUE(AllFF(Bytes(page0.begin(), page0.end() - 8)));
  EXPECT_EQ(Bytes(page0.end() - 8, page0.end()), Bytes(bytes.begin(), bytes.begin() + 8));
  EXPECT_EQ(Bytes(page1.begin(), page1.begin() + 12), Bytes(bytes.begin() + 8, bytes.end()));
  EXPECT_TRUE(AllFF(Bytes(page1.begin() + 12, page1.end())));
}

TEST_F(NandFlashTest, TransfersReachingPastFlashSizeAreRefused) {
  Make();
  InitInModule([] {
    const DWORD size = FlashOps.FlashSize;
    EXPECT_EQ(NandWriteWord(size - 4, 0x01020304), 1);
    EXPECT_EQ(NandReadWord(size - 4), 0x01020304u);
    Bytes eight(8, 0);
    EXPECT_EQ(NandWriteBuffer(eight.data(), size - 4, 8), 0);
    EXPECT_EQ(NandReadBuffer(eight.data(), size - 4, 8), 0);
    // offset + count wraps round in 32 bits.
    EXPECT_EQ(NandWriteBuffer(eight.data(), 0xFFFFFFFC, 8), 0);
    EXPECT_EQ(NandReadBuffer(eight.data(), 0xFFFFFFFC, 8), 0);
  });
  EXPECT_EQ(Programs(1004 * kPages - 1), 1);
  EXPECT_EQ(Programs(1004 * kPages), 0);
}

std::string Flip(DWORD page, DWORD byte, int bit) {
  return "[[nand]]\nkind = \"bit-flip\"\npage = " + std::to_string(page) +
         "\nbyte = " + std::to_string(byte) + "\nbit = " + std::to_string(bit) + "\n";
}

// An erased page reads as uncorrectable with ECC on, yet it is erased: it reads as 0xFF, with
// a bit flipped since the erase in a 512-byte step, as the ECC would mend it in a programmed
// one. More than that, in a step or its ECC bytes, is damage, and so is a programmed page the
// ECC cannot mend: those reads fail.
TEST_F(NandFlashTest, ErasedPagesReadAsErasedAndDamagedPagesFail) {
  Make({0xF1EC, 8,
        Flip(2, 100, 3) +                      // programmed, one bit: corrected
            Flip(3, 10, 1) + Flip(3, 20, 2) +  // programmed, two bits in a step
            Flip(6, 100, 3) +                  // erased, one bit
            Flip(7, 10, 1) + Flip(7, 600, 2) + Flip(7, 2048 + 5, 0) +  // one a step, one spare
            Flip(8, 10, 1) + Flip(8, 20, 2) +                          // erased, two in a step
            Flip(9, 10, 1) + Flip(9, 2048 + 40, 4) +          // erased, a step and its ECC byte
            Flip(10, 2048 + 5, 1) + Flip(10, 2048 + 9, 1)});  // erased, two spare bits
  InitInModule([] {
    const Bytes erased(kPage, 0xFF);
    EXPECT_EQ(Write(Pattern(2), 2 * kPage), 1);
    EXPECT_EQ(Write(Pattern(3), 3 * kPage), 1);
    struct Case {
      DWORD page;
      int result;
      Bytes data;
    };
    const Case cases[] = {
        {2, 1, Pattern(2)}, {3, 0, {}}, {5, 1, erased}, {6, 1, erased},
        {7, 1, erased},     {8, 0, {}}, {9, 0, {}},     {10, 0, {}},
    };
    for (const Case& c : cases) {
      int result = -1;
      Bytes data = Read(c.page * kPage, kPage, &result);
      EXPECT_EQ(result, c.result) << c.page;
      if (c.result) {
        EXPECT_EQ(data, c.data) << c.page;
      }
      // A part of a page, through the bounce buffer, reads the same way.
      Bytes part = Read(c.page * kPage + 8, 16, &result);
      EXPECT_EQ(result, c.result) << c.page;
      if (c.result) {
        EXPECT_EQ(part, Bytes(c.data.begin() + 8, c.data.begin() + 24)) << c.page;
      }
    }
    EXPECT_EQ(NandReadWord(5 * kPage), 0xFFFFFFFFu);
    // Erased pages are read through within a longer read.
    int result = -1;
    Bytes run = Read(4 * kPage, 3 * kPage, &result);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(run, Bytes(3 * kPage, 0xFF));
  });
}

TEST_F(NandFlashTest, PartNumberNineStoresHmitAtOffsetFour) {
  struct Case {
    std::uint32_t part;
    DWORD offset;
    DWORD count;
    Bytes flash_4_to_8;  // flash bytes 4 to 7 afterwards
    Bytes buffer_after;  // the caller's 8-byte buffer afterwards
  };
  const Bytes source = {1, 2, 3, 4, 5, 6, 7, 8};
  const Bytes hmit = {'H', 'M', 'I', 'T'};
  const Case cases[] = {
      {9, 4, 4, hmit, {'H', 'M', 'I', 'T', 5, 6, 7, 8}},
      {9, 0, 8, hmit, {1, 2, 3, 4, 'H', 'M', 'I', 'T'}},
      // A buffer shorter than the word: only its own bytes take the word.
      {9, 0, 6, {'H', 'M', 0xFF, 0xFF}, {1, 2, 3, 4, 'H', 'M', 7, 8}},
      {9, 8, 4, {0xFF, 0xFF, 0xFF, 0xFF}, source},
      {8, 4, 4, {1, 2, 3, 4}, source},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.part << " " << c.offset << " " << c.count);
    std::filesystem::remove_all(Dir());
    Make({0xF1EC, c.part, "", false});
    InitInModule([&] {
      Bytes buffer = source;
      EXPECT_EQ(NandWriteBuffer(buffer.data(), c.offset, c.count), 1);
      EXPECT_EQ(buffer, c.buffer_after);
    });
    EXPECT_EQ(Raw(0, 4, 4), c.flash_4_to_8);
  }
}

// Relocation ----------------------------------------------------------------------------------

TEST_F(NandFlashTest, FailedProgramMovesTheBlockWithItsPages) {
  Make();
  const DWORD written[] = {63, 64, 65, 69, 71, 100};
  InitInModule([&] {
    for (DWORD page : written) ASSERT_EQ(Write(Pattern(page), page * kPage), 1);
  });
  // Page 70 lives at position 7 of physical block 1; a torn program left bits there.
  Poke(71, 0, Bytes(16, 0x00));
  Poke(71, kPage, {0x12, 0x34, 0x56, 0x78});
  const Bytes old_spare = Spare(65);
  SetFaults(Fault("program-error", 1));

  InModule([&] {
    ASSERT_EQ(NandInit(), 1);
    EXPECT_EQ(Write(Pattern(70), 70 * kPage), 1);
    EXPECT_EQ(BadBlockMap->Entries[1], 1023);
    EXPECT_FALSE(RelocationInProgress);
    for (DWORD page : {64u, 65u, 69u, 70u, 71u, 100u}) {
      int result = 0;
      EXPECT_EQ(Read(page * kPage, kPage, &result), Pattern(page)) << page;
      EXPECT_EQ(result, 1) << page;
    }
  });
  EXPECT_EQ(TableEntries(), (Entries{{1, 1023}}));
  const DWORD base = 1023 * kPages;
  // Position k holds what position k of block 1 held: logical page 63 + k.
  for (DWORD page : written) EXPECT_EQ(Data(base + page - 63), Pattern(page)) << page;
  EXPECT_EQ(Spare(base + 2), old_spare);  // spare and ECC bytes come along
  EXPECT_EQ(Data(base + 7), Pattern(70));
  // Spare byte 0 is where the maker marks a bad block: it is never copied.
  EXPECT_EQ(Raw(base + 7, kPage, 4), (Bytes{0xFF, 0x34, 0x56, 0x78}));
  for (DWORD k = 0; k < kPages; ++k) {
    bool copied = k == 0 || k == 1 || k == 2 || k == 6 || k == 7 || k == 8 || k == 37;
    if (!copied) {
      EXPECT_EQ(Programs(base + k), 0) << k;
    }
  }
}

// A block the maker marked bad holds no data: its mark (spare byte 0 of its first two pages)
// stays behind, and the replacement holds only what is written, readable as such.
TEST_F(NandFlashTest, RelocationLeavesTheMakersBadBlockMarkBehind) {
  Make({0xF1EC, 8, Fault("program-error", 100) + Fault("erase-error", 100)});
  for (DWORD page = 100 * kPages; page < 100 * kPages + 2; ++page) Poke(page, kPage, {0x00});
  Bytes data = Pattern(5, 2 * kPage);
  InitInModule([&] {
    EXPECT_EQ(Write(data, 100 * kNandBlockBytes), 1);
    EXPECT_EQ(BadBlockMap->Entries[100], 1023);
    int result = 0;
    EXPECT_EQ(Read(100 * kNandBlockBytes, 2 * kPage, &result), data);
    EXPECT_EQ(result, 1);
    // The rest of the block reads erased, as the block was.
    EXPECT_EQ(Read(100 * kNandBlockBytes + 2 * kPage, kPage, &result), Bytes(kPage, 0xFF));
    EXPECT_EQ(result, 1);
  });
  const DWORD base = 1023 * kPages;
  for (DWORD k = 0; k < 2; ++k) EXPECT_EQ(Raw(base + k, kPage, 1), Bytes{0xFF}) << k;
  for (DWORD k = 2; k < kPages; ++k) EXPECT_EQ(Programs(base + k), 0) << k;
}

// A page of the failing block that holds data the ECC cannot give back whole is not copied as
// if it were data: the write fails, and the block stays where it was, unrecorded.
TEST_F(NandFlashTest, RelocationFailsOnAPageItCannotReadWhole) {
  Make();
  const DWORD first = 20 * kPages;
  InitInModule([&] {
    ASSERT_EQ(Write(Pattern(1), first * kPage), 1);
    ASSERT_EQ(Write(Pattern(2), (first + 1) * kPage), 1);
  });
  SetFaults(Fault("program-error", 20) + Flip(first + 1, 10, 1) + Flip(first + 1, 20, 2));
  InModule([&] {
    ASSERT_EQ(NandInit(), 1);
    EXPECT_EQ(Write(Pattern(3), (first + 5) * kPage), 0);
    EXPECT_EQ(BadBlockMap->Entries[20], 20);
    EXPECT_FALSE(RelocationInProgress);
    int result = -1;
    EXPECT_EQ(Read(first * kPage, kPage, &result), Pattern(1));
    EXPECT_EQ(result, 1);
  });
  EXPECT_EQ(TableEntries(), Entries{});
}

TEST_F(NandFlashTest, SecondRelocationOfABlockRetiresItsEntry) {
  Make({0xF1EC, 8, Fault("program-error", 5) + Fault("program-error", 1023)});
  InitInModule([] {
    EXPECT_EQ(Write(Pattern(5), 5 * kNandBlockBytes), 1);
    EXPECT_EQ(BadBlockMap->Entries[5], 1022);
    EXPECT_EQ(Read(5 * kNandBlockBytes, kPage), Pattern(5));
  });
  EXPECT_EQ(TableEntries(), (Entries{{0, 1023}, {5, 1022}}));
  EXPECT_EQ(Data(1022 * kPages), Pattern(5));
}

TEST_F(NandFlashTest, BlockZeroIsNeverRelocated) {
  Make({0xF1EC, 8, Fault("program-error", 0)});
  InitInModule([] {
    EXPECT_EQ(Write(Pattern(1), kPage), 0);
    EXPECT_EQ(RelocateBlock(10, 1), 0u);
    EXPECT_EQ(BadBlockMap->Entries[0], 0);
    EXPECT_FALSE(RelocationInProgress);
  });
  EXPECT_EQ(TableEntries(), Entries{});
}

TEST_F(NandFlashTest, UsedUpReserveFailsTheWriteAndLeavesTheTable) {
  Make({0xF1EC, 8, Fault("program-error", 5)});
  Entries full;
  for (WORD k = 0; k < 20; ++k) full.emplace_back(10 + k, 1023 - k);
  PokeTable(full);
  InitInModule([] {
    EXPECT_EQ(Write(Pattern(5), 5 * kNandBlockBytes), 0);
    EXPECT_EQ(BadBlockMap->Entries[5], 5);
    EXPECT_FALSE(RelocationInProgress);
    EXPECT_EQ(Write(Pattern(6), 6 * kNandBlockBytes), 1);
  });
  EXPECT_EQ(TableEntries(), full);
  EXPECT_EQ(Programs(63), 1);
}

TEST_F(NandFlashTest, FullTableFailsTheRelocationInsteadOfWritingPastThePage) {
  struct Case {
    DWORD entries;
    bool terminated;
    int result;
  };
  for (const Case& c : {Case{509, true, 1}, Case{510, true, 0}, Case{511, false, 0}}) {
    SCOPED_TRACE(c.entries);
    std::filesystem::remove_all(Dir());
    Make({0xF1EC, 8, Fault("program-error", 5)});
    Entries retired(c.entries, {0, 1023});
    PokeTable(retired, c.terminated);
    InitInModule([&] {
      EXPECT_EQ(BadBlockMap->Entries[5], 5);
      EXPECT_EQ(Write(Pattern(5), 5 * kNandBlockBytes), c.result);
      EXPECT_EQ(BadBlockMap->Entries[5], c.result ? 1022 : 5);
    });
    Entries expected = retired;
    if (c.result) expected.emplace_back(5, 1022);
    EXPECT_EQ(TableEntries(), expected);
  }
}

// Sharing the map -----------------------------------------------------------------------------

TEST_F(NandFlashTest, FilledMapIsUsedAsItIsByTheNextProcess) {
  Make();
  InitInModule([] { BadBlockMap->Entries[3] = 1000; });
  // The table page is not read again: a damaged one does not matter now.
  Poke(63, 0, {0x00, 0x00});
  InModule([] {
    ASSERT_EQ(NandInit(), 1);
    EXPECT_EQ(Write(Pattern(3), 3 * kNandBlockBytes), 1);
  });
  EXPECT_EQ(Data(1000 * kPages), Pattern(3));
  EXPECT_TRUE(AllFF(Raw(3 * kPages)));
}

TEST_F(NandFlashTest, RestartRebuildsTheMapFromTheTablePage) {
  Make({0xF1EC, 8, Fault("program-error", 5)});
  InitInModule([] { EXPECT_EQ(Write(Pattern(5), 5 * kNandBlockBytes), 1); });
  InModule([] { host::RestartModule(nullptr, 0); });
  SetFaults("");
  InitInModule([] {
    EXPECT_EQ(BadBlockMap->Entries[5], 1023);
    EXPECT_EQ(Read(5 * kNandBlockBytes, kPage), Pattern(5));
  });
}

// The table page's checks -------------------------------------------------------------------------

std::string Flips(const std::vector<std::pair<DWORD, int>>& flips) {
  std::string text;
  for (const auto& [byte, bit] : flips) {
    text += "[[nand]]\nkind = \"bit-flip\"\npage = 63\nbyte = " + std::to_string(byte) +
            "\nbit = " + std::to_string(bit) + "\n";
  }
  return text;
}

// CRC-32 (IEEE), as zlib computes it.
DWORD Crc32(const Bytes& bytes) {
  DWORD crc = 0xFFFFFFFF;
  for (std::uint8_t b : bytes) {
    crc ^= b;
    for (int k = 0; k < 8; ++k) crc = crc & 1 ? (crc >> 1) ^ 0xEDB88320 : crc >> 1;
  }
  return ~crc;
}

// Bits read flipped in the table page at a start: a bit of a check's own bytes (its CRC, its
// marks) leaves the table as it is, one table bit is mended, and a table bit with a check bit is
// refused. A table that starts is programmed back true after block 0's erase.
struct FlipCase {
  const char* what;
  std::vector<std::pair<DWORD, int>> flips;
  bool starts;
};

TEST_F(NandFlashTest, BitsFlippedInAPageTheEarlierDriverAppendedToAreMendedOrRefused) {
  // The page as the driver left it before the data area held checks, after one append: the
  // append mark (spare byte 2) and the CRC of the table in spare slot 0 (bytes 4-7, used
  // mark 8-9).
  const FlipCase cases[] = {
      {"a CRC bit", {{2052, 3}}, true},
      {"the CRC's top bit", {{2055, 7}}, true},
      {"a used mark", {{2056, 0}}, true},
      {"the next slot's used mark", {{2062, 4}}, true},
      {"the CRC-gone byte", {{2051, 2}}, true},
      {"the append mark", {{2050, 5}}, true},
      {"the ECC mark", {{2049, 1}}, true},
      {"a table bit", {{6, 0}}, true},
      {"a table bit past the end mark", {{40, 6}}, true},
      {"a table bit and a CRC bit", {{6, 0}, {2052, 3}}, false},
      {"two table bits", {{6, 0}, {4, 2}}, false},
  };
  for (const FlipCase& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(Dir());
    Make({0xF1EC, 8, "", false});
    PokeTable({{17, 1023}});
    Bytes spare(kRaw - kPage, 0xFF);
    spare[2] = 0;
    const DWORD crc = Crc32(Data(63));
    std::memcpy(&spare[4], &crc, 4);
    spare[8] = spare[9] = 0;
    Poke(63, kPage, spare);
    SetFaults(Flips(c.flips));
    InModule([&] {
      ASSERT_EQ(NandInit(), c.starts ? 1 : 0);
      if (!c.starts) return;
      EXPECT_EQ(BadBlockMap->Entries[17], 1023);
      EXPECT_EQ(NandEraseRange(0, kNandBlockBytes), 1);
    });
    SetFaults("");
    if (c.starts) {
      EXPECT_EQ(TableEntries(), (Entries{{17, 1023}}));
    }
  }
}

TEST_F(NandFlashTest, TableAppendedToMoreThanSixTimesStaysChecked) {
  // Eight relocations since block 0's erase, more than the spare slots hold; then bits read
  // flipped at the next start.
  std::string faults;
  for (DWORD b = 17; b < 25; ++b) faults += Fault("program-error", b);
  Entries table;
  for (WORD k = 0; k < 8; ++k) table.emplace_back(17 + k, 1023 - k);
  const FlipCase cases[] = {
      {"a bit of entry 0", {{6, 0}}, true},
      {"a bit of the last entry", {{32, 1}}, true},
      {"a bit of the end mark", {{36, 3}}, true},
      {"a bit of the newest check", {{2008, 2}}, true},
      {"a mark of the newest check", {{2012, 6}}, true},
      {"a bit of entry 0 and one of the newest check", {{6, 0}, {2008, 2}}, false},
      {"two bits of entry 0", {{6, 0}, {7, 1}}, false},
  };
  for (const FlipCase& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(Dir());
    Make({0xF1EC, 8, faults});
    InitInModule([&] {
      for (DWORD b = 17; b < 25; ++b) EXPECT_EQ(Write(Pattern(b), b * kNandBlockBytes), 1);
    });
    ASSERT_EQ(TableEntries(), table);
    InModule([] { host::RestartModule(nullptr, 0); });
    SetFaults(Flips(c.flips) + Fault("erase-error", 3));
    InModule([&] {
      ASSERT_EQ(NandInit(), c.starts ? 1 : 0);
      if (!c.starts) return;
      for (WORD k = 0; k < 8; ++k) EXPECT_EQ(BadBlockMap->Entries[17 + k], 1023 - k);
      EXPECT_EQ(Read(17 * kNandBlockBytes, kPage), Pattern(17));
      // Block 0's erase programs the table back, and an append goes over it.
      EXPECT_EQ(NandEraseRange(0, kNandBlockBytes), 1);
      EXPECT_EQ(NandEraseRange(3 * kNandBlockBytes, kNandBlockBytes), 1);
    });
    SetFaults("");
    if (!c.starts) continue;
    Entries appended = table;
    appended.emplace_back(3, 1015);
    EXPECT_EQ(TableEntries(), appended);
    InModule([] { host::RestartModule(nullptr, 0); });
    InitInModule([] { EXPECT_EQ(Read(24 * kNandBlockBytes, kPage), Pattern(24)); });
  }
}

// A table page keeps a check of every program since block 0's erase; an append that could
// leave none is refused rather than written unchecked, and the table stays as it was.
TEST_F(NandFlashTest, AppendThatCouldLeaveNoCheckIsRefused) {
  struct Case {
    const char* what;
    Entries entries;
    DWORD used_checks;  // data-area slots already used, the last one the table's CRC
    bool crc_gone;      // spare byte 3 cleared: the spare slots no longer speak
    int result;
  };
  const Case cases[] = {
      {"one check slot left", {{17, 1023}}, 255, false, 1},
      {"every check slot used", {{17, 1023}}, 256, false, 0},
      {"entries over the check area, spare CRC gone", Entries(200, {0, 1023}), 0, true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(Dir());
    Make({0xF1EC, 8, Fault("program-error", 5)});
    PokeTable(c.entries);
    const DWORD crc = Crc32(Data(63));
    Bytes checks(5 * c.used_checks, 0x00);
    for (DWORD slot = 0; slot < c.used_checks; ++slot) {
      const DWORD value = slot + 1 == c.used_checks ? crc : 0x12345678 + slot;
      std::memcpy(&checks[checks.size() - 5 * (slot + 1)], &value, 4);
    }
    Poke(63, kPage - static_cast<DWORD>(checks.size()), checks);
    if (c.crc_gone) Poke(63, kPage + 3, {0x00});
    InitInModule([&] {
      EXPECT_EQ(Write(Pattern(5), 5 * kNandBlockBytes), c.result);
      EXPECT_EQ(BadBlockMap->Entries[5], c.result ? 1022 : 5);
    });
    Entries expected = c.entries;
    if (c.result) expected.emplace_back(5, 1022);
    EXPECT_EQ(TableEntries(), expected);
    if (!c.result) continue;
    // The append's check, in the last slot, mends a bit of entry 0 read flipped at a start.
    InModule([] { host::RestartModule(nullptr, 0); });
    SetFaults(Flips({{6, 0}}));
    InitInModule([] {
      EXPECT_EQ(BadBlockMap->Entries[17], 1023);
      EXPECT_EQ(BadBlockMap->Entries[5], 1022);
    });
  }
}

// Initialisation failures -----------------------------------------------------------------------

TEST_F(NandFlashTest, TablePageWithoutSignatureLeavesTheMapUnfilled) {
  Make();
  Poke(63, 0, {0x00, 0x00});
  InModule([] {
    EXPECT_EQ(NandInit(), 0);
    ASSERT_NE(BadBlockMap, nullptr);
    EXPECT_NE(BadBlockMap->Signature, kBadBlockMapSignature);
    Bytes bytes(4);
    EXPECT_EQ(NandReadBuffer(bytes.data(), 0, 4), 0);
    EXPECT_EQ(NandWriteBuffer(bytes.data(), 0, 4), 0);
    EXPECT_EQ(NandEraseRange(kNandBlockBytes, kNandBlockBytes), 0);
    EXPECT_EQ(RelocateBlock(64, 0), 0u);
  });
}

TEST_F(NandFlashTest, SharedMemoryFailuresFailTheInitialisationUntilItWorks) {
  Make();
  InModule([] {
    host::FailCreateFileMapping(1);
    EXPECT_EQ(NandInit(), 0);
    host::FailMapViewOfFile(1);
    EXPECT_EQ(NandInit(), 0);
    EXPECT_EQ(BadBlockMap, nullptr);
    EXPECT_EQ(NandInit(), 1);
    EXPECT_EQ(BadBlockMap->Signature, kBadBlockMapSignature);
  });
}

}  // namespace

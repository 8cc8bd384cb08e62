// The relocation table page's rules on their own: pages built here byte by byte, as the
// driver programs them and as bits could read flipped, without a controller.
#include "flash/nand/relocation_table.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

constexpr DWORD kBlocks = 1024;  // a reserve of 20 blocks: 1004 to 1023

// CRC-32 (IEEE) bit by bit, written apart from the driver's.
std::uint32_t Crc32(const std::uint8_t* bytes, std::size_t n) {
  std::uint32_t crc = 0xFFFFFFFF;
  for (std::size_t i = 0; i < n; ++i) {
    crc ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit) crc = crc & 1 ? (crc >> 1) ^ 0xEDB88320 : crc >> 1;
  }
  return ~crc;
}

struct Page {
  std::array<std::uint8_t, 2048> data;
  std::array<std::uint8_t, 64> spare;
};

// A table with `entries`, as the driver programs it after block 0's erase (with its first
// check), without its ECC mark so that only the check speaks for it.
Page Programmed(const std::vector<RelocationEntry>& entries) {
  RelocationTablePage table;
  std::memset(&table, 0xFF, sizeof table);
  table.Signature = kRelocationTableSignature;
  for (std::size_t i = 0; i < entries.size(); ++i) table.Entries[i] = entries[i];
  RelocationTableChecks checks;
  std::memset(&checks, 0xFF, sizeof checks);
  checks.HasArea = true;
  Page page;
  RelocationPrepareProgram(&table, &checks, false, page.spare.data());
  std::memcpy(page.data.data(), &table, sizeof table);
  page.spare[1] = 0xFF;
  return page;
}

RelocationTableVerdict Read(const Page& page, std::vector<WORD>* map = nullptr) {
  RelocationTablePage table;
  RelocationTableChecks checks;
  RelocationTableVerdict verdict =
      ReadRelocationTable(page.data.data(), page.spare.data(), nullptr, kBlocks, &table, &checks);
  if (map) {
    map->resize(kBlocks);
    RelocationMapFromTable(&table, kBlocks, map->data());
  }
  return verdict;
}

TEST(RelocationTable, TheCheckIsACrc32OfThePageWithItsCheckAreaErased) {
  Page page = Programmed({{17, 1023}, {5, 1022}});
  std::array<std::uint8_t, 2048> covered = page.data;
  std::memset(covered.data() + 768, 0xFF, 1280);
  const std::uint32_t crc = Crc32(covered.data(), covered.size());
  // Slot 0 is the last 5 bytes of the page: the CRC low byte first, then the used mark.
  EXPECT_EQ(page.data[2043] | page.data[2044] << 8 | page.data[2045] << 16 |
                std::uint32_t{page.data[2046]} << 24,
            crc);
  EXPECT_EQ(page.data[2047], 0);
}

TEST(RelocationTable, OneBitFlippedIsMendedTwoAreDamage) {
  Page page = Programmed({{17, 1023}, {5, 1022}});
  std::vector<WORD> map;
  ASSERT_EQ(Read(page, &map), kRelocationTableIntact);
  EXPECT_EQ(map[17], 1023);
  EXPECT_EQ(map[5], 1022);

  for (std::size_t byte : {std::size_t{0}, std::size_t{4}, std::size_t{7}, std::size_t{12}}) {
    SCOPED_TRACE(byte);
    Page flipped = page;
    flipped.data[byte] ^= 0x08;
    EXPECT_EQ(Read(flipped, &map), kRelocationTableMended);
    EXPECT_EQ(map[17], 1023);
    EXPECT_EQ(map[5], 1022);
  }
  Page check_flipped = page;
  check_flipped.data[2044] ^= 0x40;
  EXPECT_EQ(Read(check_flipped), kRelocationTableIntact);

  Page two = page;
  two.data[4] ^= 0x08;
  two.data[6] ^= 0x01;
  EXPECT_EQ(Read(two), kRelocationTableDamaged);
}

TEST(RelocationTable, PagesWithoutChecksAreTakenAsRead) {
  // As the earlier driver left them: no marks, no checks; entries out of range map nothing.
  Page page;
  page.data.fill(0xFF);
  page.spare.fill(0xFF);
  const std::uint8_t bytes[] = {0x4E, 0x52, 0xFF, 0xFF, 17,   0,    0xFF, 0x03,
                                200,  0,    3,    0,    0xEC, 0x03, 0xFE, 0x03};
  std::memcpy(page.data.data(), bytes, sizeof bytes);
  std::vector<WORD> map;
  EXPECT_EQ(Read(page, &map), kRelocationTableIntact);
  EXPECT_EQ(map[17], 1023);
  EXPECT_EQ(map[200], 200);    // its replacement lies outside the reserve
  EXPECT_EQ(map[1004], 1004);  // a reserve block is no logical block
  EXPECT_EQ(RelocationReserveBlocks(kBlocks), 20u);

  page.data[0] ^= 0x01;
  EXPECT_EQ(Read(page), kRelocationTableNone);
}

TEST(RelocationTable, AnAppendThatLandedWithoutItsCheckIsTakenAsRead) {
  // The first program's check speaks for {17}; an append of {5 -> 1022} landed in the data
  // area, its check and spare bytes not: the next start sees what landed.
  Page page = Programmed({{17, 1023}});
  const std::uint8_t entry[] = {5, 0, 0xFE, 0x03};
  std::memcpy(page.data.data() + 8, entry, sizeof entry);
  std::vector<WORD> map;
  EXPECT_EQ(Read(page, &map), kRelocationTableIntact);
  EXPECT_EQ(map[5], 1022);
  EXPECT_EQ(map[17], 1023);
}

}  // namespace

// The page write-back cache on a page-based driver of 2048-byte pages that records what
// reaches the flash, and on NOR as a pass-through.

#include "update/page_cache.h"

#include <gtest/gtest.h>

#include <vector>

#include "flash/flash_ops.h"

namespace {

struct FlashWrite {
  DWORD offset;
  DWORD count;
  std::vector<BYTE> data;
  bool operator==(const FlashWrite& o) const { return offset == o.offset && count == o.count; }
};

std::vector<FlashWrite> writes;
int fail_writes = 0;

int RecordWrite(const void* source, DWORD offset, DWORD count) {
  const BYTE* bytes = static_cast<const BYTE*>(source);
  writes.push_back({offset, count, std::vector<BYTE>(bytes, bytes + count)});
  if (fail_writes > 0) {
    --fail_writes;
    return 0;
  }
  return 1;
}
DWORD Page2048() { return 2048; }

class PageCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = FlashOps;
    FlashOps.DriverKind = kDriverNand;
    FlashOps.PageSize = Page2048;
    FlashOps.WriteBuffer = RecordWrite;
    writes.clear();
    fail_writes = 0;
  }
  void TearDown() override {
    CachedWrite(nullptr, 0, 0);
    FlashOps = saved_;
  }
  static std::vector<BYTE> Bytes(std::size_t n, BYTE first = 1) {
    std::vector<BYTE> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<BYTE>(first + i);
    return v;
  }
  FlashOpsTable saved_;
};

TEST_F(PageCacheTest, PiecesSharingPagesAreMergedAndGapsFilled) {
  std::vector<BYTE> a = Bytes(100), b = Bytes(1948, 7), c = Bytes(4096, 3);
  ASSERT_EQ(CachedWrite(a.data(), 0x40000, 100), 1);
  EXPECT_TRUE(writes.empty());
  EXPECT_EQ(PendingUnit, 0x40000u);
  EXPECT_EQ(WriteMark, 0x40000u);

  ASSERT_EQ(CachedWrite(b.data(), 0x40064, 1948), 1);
  EXPECT_TRUE(writes.empty());
  EXPECT_EQ(WriteMark, 0x40800u);

  ASSERT_EQ(CachedWrite(c.data(), 0x41000, 4096), 1);
  std::vector<FlashWrite> expected = {
      {0x40000, 2048, {}}, {0x40800, 2048, {}}, {0x41000, 4096, {}}};
  ASSERT_EQ(writes, expected);
  std::vector<BYTE> page(a);
  page.insert(page.end(), b.begin(), b.end());
  EXPECT_EQ(writes[0].data, page);
  EXPECT_EQ(writes[1].data, std::vector<BYTE>(2048, 0xFF));
  EXPECT_EQ(writes[2].data, c);
  EXPECT_EQ(PendingUnit, 0xFFFFFFFFu);
  EXPECT_EQ(WriteMark, 0x42000u);
}

TEST_F(PageCacheTest, UnalignedPieceFillsItsFirstPageAndHoldsItsTail) {
  std::vector<BYTE> data = Bytes(3000);
  ASSERT_EQ(CachedWrite(data.data(), 0x40100, 3000), 1);
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].offset, 0x40000u);
  EXPECT_EQ(std::vector<BYTE>(writes[0].data.begin(), writes[0].data.begin() + 256),
            std::vector<BYTE>(256, 0xFF));
  EXPECT_EQ(std::vector<BYTE>(writes[0].data.begin() + 256, writes[0].data.end()),
            std::vector<BYTE>(data.begin(), data.begin() + 1792));
  EXPECT_EQ(PendingUnit, 0x40800u);

  ASSERT_EQ(CachedWrite(nullptr, 0, 0), 1);
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[1].offset, 0x40800u);
  EXPECT_EQ(std::vector<BYTE>(writes[1].data.begin(), writes[1].data.begin() + 1208),
            std::vector<BYTE>(data.begin() + 1792, data.end()));
  EXPECT_EQ(writes[1].data[1208], 0xFF);
}

TEST_F(PageCacheTest, WholePageAtABaseGoesStraightThrough) {
  std::vector<BYTE> data = Bytes(2048);
  ASSERT_EQ(CachedWrite(data.data(), 0x80000, 2048), 1);
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].offset, 0x80000u);
  EXPECT_EQ(writes[0].data, data);
  EXPECT_EQ(CachedWrite(nullptr, 0, 0), 1);
  EXPECT_EQ(CachedWrite(nullptr, 0, 0), 1);
  EXPECT_EQ(writes.size(), 1u);
}

TEST_F(PageCacheTest, PieceBelowTheMarkIsWrittenWhereItBelongs) {
  std::vector<BYTE> data = Bytes(2048);
  ASSERT_EQ(CachedWrite(data.data(), 0x81000, 2048), 1);
  ASSERT_EQ(CachedWrite(data.data(), 0x80000, 10), 1);
  ASSERT_EQ(CachedWrite(nullptr, 0, 0), 1);
  std::vector<FlashWrite> expected = {{0x81000, 2048, {}}, {0x80000, 2048, {}}};
  EXPECT_EQ(writes, expected);
}

TEST_F(PageCacheTest, FailedWriteIsReportedAndTheCacheStaysConsistent) {
  std::vector<BYTE> data = Bytes(100);
  ASSERT_EQ(CachedWrite(data.data(), 0x40000, 100), 1);
  fail_writes = 1;
  EXPECT_EQ(CachedWrite(data.data(), 0x41000, 100), 0);  // the pending page fails
  EXPECT_EQ(writes.size(), 2u);                          // and the gap page still went
  EXPECT_EQ(PendingUnit, 0x41000u);
  EXPECT_EQ(CachedWrite(nullptr, 0, 0), 1);
}

TEST_F(PageCacheTest, NorPassesEveryWriteStraightThrough) {
  FlashOps.DriverKind = kDriverNor;
  FlashOps.PageSize = nullptr;
  std::vector<BYTE> data = Bytes(5);
  ASSERT_EQ(CachedWrite(data.data(), 0x40003, 5), 1);
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].offset, 0x40003u);
  EXPECT_EQ(writes[0].count, 5u);
  EXPECT_EQ(CachedWrite(nullptr, 0, 0), 1);
  EXPECT_EQ(writes.size(), 1u);
}

TEST_F(PageCacheTest, NoDriverRefusesData) {
  FlashOps.DriverKind = kDriverNone;
  FlashOps.PageSize = nullptr;
  std::vector<BYTE> data = Bytes(5);
  EXPECT_EQ(CachedWrite(data.data(), 0, 5), 0);
  EXPECT_TRUE(writes.empty());
}

}  // namespace

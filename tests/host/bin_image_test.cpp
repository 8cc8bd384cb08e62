// The host's BIN image writer and reader, and the placement rules they share with the updater.

#include "host/bin_image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <numeric>

#include "update/update_worker.h"

namespace {

using host::BinDefects;
using host::BinImage;
using host::BinProblemKind;
using host::BinSeverity;
using host::BinTranslation;
using host::BinWriter;
using host::kNoRecord;

std::vector<std::uint8_t> Numbered(std::size_t count, std::uint8_t first = 1) {
  std::vector<std::uint8_t> data(count);
  std::iota(data.begin(), data.end(), first);
  return data;
}

// Three ascending records of 16, 8 and 4 bytes from 0x80001000, no gaps.
BinWriter ThreeRecords() {
  BinWriter w(0x80001000);
  w.Add(0x80001000, Numbered(16));
  w.Add(0x80001010, Numbered(8, 0x40));
  w.Add(0x80001018, Numbered(4, 0x80));
  return w;
}

constexpr std::size_t kFirstRecordEnd = 15 + 12 + 16;  // file offset where record 1 starts
constexpr std::size_t kThreeRecordsSize = 15 + 3 * 12 + 16 + 8 + 4 + 12;

TEST(BinImage, BuildLaysOutTheFileLittleEndian) {
  BinWriter w(0x80001000);
  w.Add(0x80001004, std::vector<std::uint8_t>{0xFF, 0xFF, 0x02});
  const std::vector<std::uint8_t> expected = {
      'B',  '0',  '0',  '0',  'F', 'F', '\n',                 // signature
      0x00, 0x10, 0x00, 0x80,                                 // start
      0x07, 0x00, 0x00, 0x00,                                 // length: the extent, 4 + 3
      0x04, 0x10, 0x00, 0x80,                                 // record address
      0x03, 0x00, 0x00, 0x00,                                 // record length
      0x00, 0x02, 0x00, 0x00,                                 // ByteSum 0x200
      0xFF, 0xFF, 0x02,                                       // data
      0,    0,    0,    0,    0,   0,   0,    0, 0, 0, 0, 0,  // end record
  };
  EXPECT_EQ(w.Build(), expected);
}

TEST(BinImage, ByteSumAddsUnsignedBytesAndWraps) {
  EXPECT_EQ(host::ByteSum({}), 0u);
  EXPECT_EQ(host::ByteSum(std::vector<std::uint8_t>{0x80, 0xFF}), 0x17Fu);
  std::vector<std::uint8_t> ones(0x1010101, 0xFF);  // 0x1010101 * 0xFF = 2^32 - 1
  EXPECT_EQ(host::ByteSum(ones), 0xFFFFFFFFu);
  ones.push_back(3);
  EXPECT_EQ(host::ByteSum(ones), 2u);
}

TEST(BinImage, WriterOutputReadsBackRecordForRecord) {
  BinWriter w(0x10000);
  w.Add(0x10000, Numbered(100));
  w.Add(0x10064, {});  // a record of length 0 is allowed
  w.Add(0x20000, Numbered(3000, 9));
  w.Add(0, Numbered(5));  // address 0 with a non-zero checksum is an ordinary record
  w.SetLength(0x10BB8);
  BinImage image = host::ReadBinImage(w.Build());
  EXPECT_TRUE(image.signature_ok);
  EXPECT_EQ(image.start, 0x10000u);
  EXPECT_EQ(image.length, 0x10BB8u);
  ASSERT_EQ(image.records.size(), 4u);
  for (std::size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(image.records[i].address, w.records()[i].address);
    EXPECT_TRUE(image.records[i].checksum_ok());
    auto data = image.data(i);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), w.records()[i].data.begin(),
                           w.records()[i].data.end()));
  }
  ASSERT_TRUE(image.end_record.has_value());
  EXPECT_EQ(image.bytes_after_end, 0u);
  // Only the record at 0 lies outside the image, and it comes after higher ones.
  ASSERT_EQ(image.problems.size(), 2u);
  EXPECT_EQ(image.problems[0].kind, BinProblemKind::kOutsideImage);
  EXPECT_EQ(image.problems[0].record, 3u);
  EXPECT_EQ(image.problems[1].kind, BinProblemKind::kNotAscending);
}

TEST(BinImage, ChunkSplitsDataIntoRecordsOfAtMostChunkBytes) {
  struct Case {
    std::size_t size;
    std::size_t chunk;
    std::vector<std::uint32_t> lengths;
  };
  const Case cases[] = {
      {16385, 16384, {16384, 1}},
      {16384, 16384, {16384}},
      {32768, 16384, {16384, 16384}},
      {10, 3, {3, 3, 3, 1}},
      {16385, 0, {16385}},  // 0: one record
      {0, 16384, {0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.size) + " bytes in chunks of " + std::to_string(c.chunk));
    BinWriter w(0xA0000000);
    const std::vector<std::uint8_t> data = Numbered(c.size);
    w.Add(0xA0000000, data, c.chunk);
    BinImage image = host::ReadBinImage(w.Build());
    EXPECT_TRUE(image.problems.empty()) << image.problems.front().text;
    ASSERT_EQ(image.records.size(), c.lengths.size());
    std::vector<std::uint8_t> joined;
    std::uint32_t address = 0xA0000000;
    for (std::size_t i = 0; i < c.lengths.size(); ++i) {
      EXPECT_EQ(image.records[i].address, address);
      EXPECT_EQ(image.records[i].length, c.lengths[i]);
      address += c.lengths[i];
      joined.insert(joined.end(), image.data(i).begin(), image.data(i).end());
    }
    EXPECT_EQ(joined, data);
    EXPECT_EQ(image.length, c.size);
  }
}

TEST(BinImage, ReaderNamesEachProblemOnce) {
  struct Expected {
    BinProblemKind kind;
    std::size_t record;
    std::string words;  // a part of the problem's text
  };
  struct Case {
    const char* name;
    std::function<std::vector<std::uint8_t>()> file;
    std::vector<Expected> problems;
  };
  auto three = [](BinDefects d) { return [d] { return ThreeRecords().Build(d); }; };
  const Case cases[] = {
      {"valid", three({}), {}},
      {"bad signature",
       three({.bad_signature = true}),
       {{BinProblemKind::kBadSignature, kNoRecord, "\"B000FE\\x0a\""}}},
      {"not a BIN at all",
       [] {
         return std::vector<std::uint8_t>{'M', 'Z', 0x90};
       },
       {{BinProblemKind::kBadSignature, kNoRecord, "Not a WinCE Binary Image file!"}}},
      {"empty file",
       three({.truncate_to = 0}),
       {{BinProblemKind::kHeaderCut, kNoRecord, "after 0 of 15 bytes"}}},
      {"cut in the signature",
       three({.truncate_to = 4}),
       {{BinProblemKind::kHeaderCut, kNoRecord, "after 4 of 15 bytes"}}},
      {"cut in the length",
       three({.truncate_to = 12}),
       {{BinProblemKind::kHeaderCut, kNoRecord, "Unexpected end of file!"}}},
      {"cut in a record header",
       three({.truncate_to = kFirstRecordEnd + 5}),
       {{BinProblemKind::kRecordHeaderCut, 1, "record 1 (file offset 0x2b), after 5 of 12"}}},
      {"cut in record data",
       three({.truncate_to = kFirstRecordEnd + 12 + 5}),
       {{BinProblemKind::kRecordDataCut, 1, "after 5 of 8 bytes (3 missing)"}}},
      {"cut in the end record",
       three({.truncate_to = kThreeRecordsSize - 1}),
       {{BinProblemKind::kRecordHeaderCut, 3, "after 11 of 12 bytes"}}},
      {"no end record",
       three({.no_end_record = true}),
       {{BinProblemKind::kNoEndRecord, kNoRecord, "ends after record 2"}}},
      {"header only",
       [] { return BinWriter(0).Build({.no_end_record = true}); },
       {{BinProblemKind::kNoEndRecord, kNoRecord, "ends after the header"}}},
      {"bad checksum",
       three({.bad_checksum_record = 1}),
       {{BinProblemKind::kChecksumMismatch, 1,
         "stored checksum 0x21d but its data sums to 0x21c"}}},
      {"end record with a length",
       three({.end_record_length = 7}),
       {{BinProblemKind::kEndRecordLength, kNoRecord, "entry point 0x7"}}},
      {"bytes after the end record",
       [] {
         auto file = ThreeRecords().Build();
         file.insert(file.end(), {1, 2, 3, 0, 0});
         return file;
       },
       {{BinProblemKind::kDataAfterEndRecord, kNoRecord, "5 bytes follow"}}},
      {"an all-zero record at 0 reads as the end record",
       [] {
         BinWriter w(0);
         w.Add(0, std::vector<std::uint8_t>(4, 0));
         w.Add(4, Numbered(4));
         return w.Build();
       },
       {{BinProblemKind::kEndRecordLength, kNoRecord, "entry point 0x4"},
        {BinProblemKind::kDataAfterEndRecord, kNoRecord, "32 bytes follow"}}},
      {"record outside the image",
       [] {
         BinWriter w = ThreeRecords();
         w.SetLength(0x19);
         return w.Build();
       },
       {{BinProblemKind::kOutsideImage, 2, "[0x80001000, 0x80001019)"}}},
      {"record below the start",
       [] {
         BinWriter w(0x1000);
         w.Add(0xFFF, Numbered(2));
         return w.Build();
       },
       {{BinProblemKind::kOutsideImage, 0, "record 0 at 0xfff"}}},
      {"overlapping records",
       [] {
         BinWriter w = ThreeRecords();
         w.Add(0x8000100F, Numbered(2));
         w.Add(0x8000101B, Numbered(1));
         return w.Build();
       },
       {{BinProblemKind::kNotAscending, 3, "record 3 at 0x8000100f follows record 2"},
        {BinProblemKind::kOverlap, 3, "overlaps record 0 [0x80001000, 0x80001010)"},
        {BinProblemKind::kOverlap, 3, "overlaps record 1 [0x80001010, 0x80001018)"},
        {BinProblemKind::kOverlap, 4, "overlaps record 2 [0x80001018, 0x8000101c)"}}},
      {"adjacent records do not overlap, a zero-length one inside another neither",
       [] {
         BinWriter w = ThreeRecords();
         w.Add(0x80001004, {});
         return w.Build();
       },
       {{BinProblemKind::kNotAscending, 3, "record 3"}}},
      {"descending records, noted once",
       [] {
         BinWriter w(0x100);
         w.Add(0x300, Numbered(4));
         w.Add(0x200, Numbered(4));
         w.Add(0x100, Numbered(4));
         return w.Build();
       },
       {{BinProblemKind::kNotAscending, 1, "record 1 at 0x200 follows record 0 at 0x300"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BinImage image = host::ReadBinImage(c.file());
    ASSERT_EQ(image.problems.size(), c.problems.size())
        << (image.problems.empty() ? "" : image.problems.front().text);
    bool error_expected = false;
    for (std::size_t i = 0; i < c.problems.size(); ++i) {
      const host::BinProblem& got = image.problems[i];
      EXPECT_EQ(got.kind, c.problems[i].kind) << got.text;
      EXPECT_EQ(got.record, c.problems[i].record) << got.text;
      EXPECT_NE(got.text.find(c.problems[i].words), std::string::npos) << got.text;
      EXPECT_EQ(got.text.find('\n'), std::string::npos) << got.text;
      // The kinds up to kEraseOutsideFlash are the ones the updater refuses or fails on, but
      // for a record outside the image range, which it writes inside the erased blocks.
      error_expected |= c.problems[i].kind <= BinProblemKind::kEraseOutsideFlash &&
                        c.problems[i].kind != BinProblemKind::kOutsideImage;
    }
    EXPECT_EQ(image.HasErrors(), error_expected);
  }
}

TEST(BinImage, ReaderCarriesOnPastABadChecksumAndReportsEveryOne) {
  BinWriter w(0);
  w.Add(0x100, Numbered(40000), 1000);
  std::vector<std::uint8_t> file = w.Build();
  // Corrupt one data byte in records 3 and 17.
  for (std::size_t record : {3u, 17u}) file[15 + record * (12 + 1000) + 12 + 500] ^= 0x10;
  BinImage image = host::ReadBinImage(file);
  ASSERT_EQ(image.records.size(), 40u);
  EXPECT_TRUE(image.end_record.has_value());
  ASSERT_EQ(image.problems.size(), 2u);
  EXPECT_EQ(image.problems[0].record, 3u);
  EXPECT_EQ(image.problems[1].record, 17u);
  EXPECT_FALSE(image.records[3].checksum_ok());
  EXPECT_TRUE(image.records[4].checksum_ok());
}

TEST(BinImage, PlacementFollowsTheStartAddress) {
  struct Case {
    std::uint32_t start;
    std::optional<std::uint32_t> item5;
    BinTranslation translation;
    std::uint32_t lands;  // where the start lands in the flash
  };
  const Case cases[] = {
      {0xBCA00000, std::nullopt, BinTranslation::kToFlashZero, 0},
      {0xBCA00000, 0x200000, BinTranslation::kToFlashZero, 0},  // item 5 plays no part
      {0xBFFFFFFE, std::nullopt, BinTranslation::kToFlashZero, 0},
      {0xBFFFFFFF, std::nullopt, BinTranslation::kNone, 0xBFFFFFFF},
      {0xBC9FFFFF, std::nullopt, BinTranslation::kToImageBase, 0x80000},
      {0x80000000, std::nullopt, BinTranslation::kToImageBase, 0x80000},
      {0x80000000, 0x200000, BinTranslation::kToImageBase, 0x200000},
      {0x80001000, 0, BinTranslation::kToImageBase, 0},
      {0x9C9FFFFF, std::nullopt, BinTranslation::kToImageBase, 0x80000},
      {0x9CA00000, std::nullopt, BinTranslation::kNone, 0x9CA00000},
      {0x9FFFFFFF, 0x200000, BinTranslation::kNone, 0x9FFFFFFF},
      {0xA0000000, std::nullopt, BinTranslation::kToImageBase, 0x80000},
      {0xA0000000, 0x40000, BinTranslation::kToImageBase, 0x40000},
      {0x7FFFFFFF, std::nullopt, BinTranslation::kNone, 0x7FFFFFFF},
      {0x00040000, 0x200000, BinTranslation::kNone, 0x40000},
      {0xFFFFFFFF, std::nullopt, BinTranslation::kNone, 0xFFFFFFFF},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << "start 0x" << c.start);
    host::BinPlacement p = host::PlaceBinImage(c.start, c.item5);
    EXPECT_EQ(p.translation, c.translation);
    EXPECT_EQ(static_cast<std::uint32_t>(c.start + p.offset), c.lands);
    // The program's updater places the same image at the same flash offset.
    EXPECT_EQ(p.offset, ImageOffsetFor(c.start, c.item5.value_or(kDefaultImageBase)));
  }
  // Records move with the start, modulo 2^32.
  host::BinPlacement p = host::PlaceBinImage(0xBCA00000, std::nullopt);
  EXPECT_EQ(static_cast<std::uint32_t>(0xBCA41000u + p.offset), 0x41000u);
}

TEST(BinImage, PlacementChecksRecordsAndEraseAgainstTheFlashSize) {
  struct Case {
    const char* name;
    std::uint32_t offset;
    std::uint64_t flash_size;
    std::vector<BinProblemKind> problems;
  };
  BinWriter w(0x1000);
  w.Add(0x1000, Numbered(0x100));
  w.Add(0x1200, {});  // writes nothing, lands nowhere
  w.Add(0x1100, Numbered(0x80));
  w.SetLength(0x200);
  const BinImage image = host::ReadBinImage(w.Build());
  const Case cases[] = {
      {"fits exactly", 0, 0x1200, {}},
      {"erase one byte over", 0, 0x11FF, {BinProblemKind::kEraseOutsideFlash}},
      {"last record one byte over",
       0,
       0x117F,
       {BinProblemKind::kOutsideFlash, BinProblemKind::kEraseOutsideFlash}},
      {"moved down to 0", 0xFFFFF000, 0x200, {}},
      {"moved below 0 wraps to the top",
       0xFFFFEF80,
       0x100000000,
       {BinProblemKind::kOutsideFlash, BinProblemKind::kEraseOutsideFlash}},
      {"a 4 GB flash holds it", 0, 0x100000000, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<BinProblemKind> got;
    for (const host::BinProblem& p : host::CheckBinPlacement(image, c.offset, c.flash_size)) {
      EXPECT_EQ(p.severity, BinSeverity::kError);
      got.push_back(p.kind);
    }
    EXPECT_EQ(got, c.problems);
  }
}

// An empty image still has its erase: the updater's driver refuses an empty range that starts
// past the flash's end, so the reader must call such an image a failure.
TEST(BinImage, PlacementOfAnEmptyImageFailsOnlyPastTheFlashEnd) {
  struct Case {
    const char* name;
    std::uint32_t start;
    std::uint32_t offset;
    bool erase_fails;
  };
  const Case cases[] = {
      {"inside the flash", 0x1000, 0, false},
      {"at the flash's end", 0x80000, 0, false},
      {"one byte past the end", 0x80001, 0, true},
      {"far past the end", 0x600100, 0, true},
      {"moved into the flash", 0xBCA00000, 0x100000000 - 0xBCA00000ull, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BinWriter w(c.start);
    w.SetLength(0);
    const BinImage image = host::ReadBinImage(w.Build());
    std::vector<BinProblemKind> got;
    for (const host::BinProblem& p : host::CheckBinPlacement(image, c.offset, 0x80000)) {
      got.push_back(p.kind);
    }
    EXPECT_EQ(got, c.erase_fails ? std::vector<BinProblemKind>{BinProblemKind::kEraseOutsideFlash}
                                 : std::vector<BinProblemKind>{});
  }
}

TEST(BinImage, WriterCheckRefusesImagesThatAreNotSoundUpdates) {
  struct Case {
    const char* name;
    std::function<BinWriter()> make;
    bool allow_overlap;
    std::string reason;  // empty: sound
  };
  const Case cases[] = {
      {"sound", ThreeRecords, false, ""},
      {"no records", [] { return BinWriter(0x1000); }, false, "length is 0"},
      {"only empty records",
       [] {
         BinWriter w(0x1000);
         w.Add(0x1000, {});
         return w;
       },
       false, "length is 0"},
      {"below the start",
       [] {
         BinWriter w(0x1000);
         w.Add(0x800, Numbered(4));
         w.Add(0x1000, Numbered(4));
         return w;
       },
       false, "record 0 [0x800, 0x804) is outside the image [0x1000, 0x1004)"},
      {"past the set length",
       [] {
         BinWriter w = ThreeRecords();
         w.SetLength(0x18);
         return w;
       },
       false, "record 2 [0x80001018, 0x8000101c) is outside the image"},
      {"past 0xffffffff",
       [] {
         BinWriter w(0xFFFFFF00);
         w.Add(0xFFFFFFF0, Numbered(0x20));
         return w;
       },
       false, "runs past address 0xffffffff"},
      {"ends exactly at 2^32 from start 0",
       [] {
         BinWriter w(0);
         w.Add(0xFFFFFFF0, Numbered(0x10));
         return w;
       },
       false, "more than a 32-bit length"},
      {"zeros at address 0 read as the end record",
       [] {
         BinWriter w(0);
         w.Add(0, std::vector<std::uint8_t>(64, 0), 16);
         return w;
       },
       false, "record 0 [0, 0x10) has address 0 and checksum 0"},
      {"overlap",
       [] {
         BinWriter w = ThreeRecords();
         w.Add(0x80001002, Numbered(1));
         return w;
       },
       false, "record 3 [0x80001002, 0x80001003) overlaps record 0"},
      {"overlap allowed",
       [] {
         BinWriter w = ThreeRecords();
         w.Add(0x80001002, Numbered(1));
         return w;
       },
       true, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> reasons = c.make().Check(c.allow_overlap);
    if (c.reason.empty()) {
      EXPECT_TRUE(reasons.empty()) << reasons.front();
    } else {
      ASSERT_EQ(reasons.size(), 1u) << reasons.front();
      EXPECT_NE(reasons[0].find(c.reason), std::string::npos) << reasons[0];
    }
  }
}

}  // namespace

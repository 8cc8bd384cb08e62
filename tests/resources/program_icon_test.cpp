// The program icon is a .ico file Windows can load: its directory and its two 16-colour
// DIBs agree with each other and with the file's length.

#include <gtest/gtest.h>

#include "host/ui/resource_section.h"
#include "resources/resources.h"

namespace {

struct IconBytes {
  const BYTE* data;
  DWORD size;
  DWORD Word(DWORD offset) const { return data[offset] | data[offset + 1] << 8; }
  DWORD Dword(DWORD offset) const { return Word(offset) | Word(offset + 2) << 16; }
};

constexpr DWORD kDirectorySize = 6;
constexpr DWORD kEntrySize = 16;
constexpr DWORD kInfoHeaderSize = 40;
constexpr DWORD kPaletteSize = 16 * 4;

DWORD RowBytes(DWORD bits_per_pixel, DWORD width) { return (bits_per_pixel * width + 31) / 32 * 4; }

TEST(ProgramIcon, DirectoryAndImagesAgree) {
  IconBytes icon;
  icon.data = ProgramIconData(&icon.size);
  ASSERT_NE(icon.data, nullptr);
  ASSERT_GE(icon.size, kDirectorySize + 2 * kEntrySize);
  EXPECT_EQ(icon.Word(0), 0u);  // reserved
  EXPECT_EQ(icon.Word(2), 1u);  // an icon, not a cursor
  ASSERT_EQ(icon.Word(4), 2u);

  const DWORD expected_sizes[] = {32, 16};
  DWORD next_offset = kDirectorySize + 2 * kEntrySize;
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    DWORD entry = kDirectorySize + i * kEntrySize;
    DWORD side = expected_sizes[i];
    EXPECT_EQ(icon.data[entry + 0], side);  // width
    EXPECT_EQ(icon.data[entry + 1], side);  // height
    EXPECT_EQ(icon.data[entry + 2], 16);    // colour count
    EXPECT_EQ(icon.data[entry + 3], 0);     // reserved
    EXPECT_EQ(icon.Word(entry + 4), 1u);    // planes
    EXPECT_EQ(icon.Word(entry + 6), 4u);    // bits per pixel
    DWORD bytes = icon.Dword(entry + 8);
    DWORD offset = icon.Dword(entry + 12);

    // The images follow the directory back to back and end where the file ends.
    EXPECT_EQ(offset, next_offset);
    ASSERT_LE(offset + bytes, icon.size);
    next_offset = offset + bytes;

    DWORD xor_bytes = RowBytes(4, side) * side;
    DWORD and_bytes = RowBytes(1, side) * side;
    EXPECT_EQ(bytes, kInfoHeaderSize + kPaletteSize + xor_bytes + and_bytes);

    IconBytes dib{icon.data + offset, bytes};
    EXPECT_EQ(dib.Dword(0), kInfoHeaderSize);
    EXPECT_EQ(dib.Dword(4), side);
    EXPECT_EQ(dib.Dword(8), 2 * side);  // the XOR and the AND mask
    EXPECT_EQ(dib.Word(12), 1u);        // planes
    EXPECT_EQ(dib.Word(14), 4u);        // bits per pixel
    EXPECT_EQ(dib.Dword(16), 0u);       // uncompressed
    DWORD image_size = dib.Dword(20);
    EXPECT_TRUE(image_size == 0 || image_size == xor_bytes + and_bytes) << image_size;
  }
  EXPECT_EQ(next_offset, icon.size);
}

// Where the AND mask lets the screen through, the XOR mask must be black (index 0), or the
// screen shows inverted there. And the design must be there: some pixels of each kind.
TEST(ProgramIcon, TransparentPixelsAreBlackAndBothKindsExist) {
  IconBytes icon;
  icon.data = ProgramIconData(&icon.size);
  ASSERT_GE(icon.size, kDirectorySize + 2 * kEntrySize);
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    DWORD entry = kDirectorySize + i * kEntrySize;
    DWORD side = icon.data[entry];
    DWORD offset = icon.Dword(entry + 12);
    ASSERT_LE(
        offset + kInfoHeaderSize + kPaletteSize + (RowBytes(4, side) + RowBytes(1, side)) * side,
        icon.size);
    const BYTE* xor_mask = icon.data + offset + kInfoHeaderSize + kPaletteSize;
    const BYTE* and_mask = xor_mask + RowBytes(4, side) * side;
    int transparent = 0;
    int opaque = 0;
    for (DWORD row = 0; row < side; ++row) {
      for (DWORD column = 0; column < side; ++column) {
        bool clear = and_mask[row * RowBytes(1, side) + column / 8] & (0x80 >> (column % 8));
        BYTE pair = xor_mask[row * RowBytes(4, side) + column / 2];
        BYTE colour = column % 2 == 0 ? pair >> 4 : pair & 0x0F;
        if (clear) {
          ++transparent;
          EXPECT_EQ(colour, 0) << "row " << row << " column " << column;
        } else {
          ++opaque;
        }
      }
    }
    EXPECT_GT(transparent, 0);
    EXPECT_GT(opaque, 0);
  }
}

}  // namespace

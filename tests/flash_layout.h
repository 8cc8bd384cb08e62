// Writes the structures the program recognises in flash straight into a module's flash image,
// as a factory programmer would: boot images with ROM headers, version records, the bootloader
// banner, "COMP" headers and configuration blocks.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "module_fixture.h"

namespace test {

inline std::vector<std::uint8_t> Words(std::initializer_list<std::uint32_t> words) {
  std::vector<std::uint8_t> bytes(words.size() * 4);
  std::size_t i = 0;
  for (std::uint32_t w : words) std::memcpy(&bytes[4 * i++], &w, 4);
  return bytes;
}

/// 100 ns ticks since 1601 of a UTC date and time (proleptic Gregorian).
inline std::uint64_t FileTimeOf(int year, int month, int day, int hour = 0, int minute = 0,
                                int second = 0) {
  auto days_from_civil = [](int y, int m, int d) {
    y -= m <= 2;
    int era = (y >= 0 ? y : y - 399) / 400;
    int yoe = y - era * 400;
    int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return static_cast<std::int64_t>(era) * 146097 + doe - 719468;
  };
  std::int64_t days = days_from_civil(year, month, day) - days_from_civil(1601, 1, 1);
  return ((days * 86400 + hour * 3600 + minute * 60 + second) * 10000000ull);
}

struct BootImage {
  std::uint32_t offset;  // flash offset of the image
  std::uint32_t size;    // last - first + 4
  std::uint32_t first = 0x9C000000;
  std::uint32_t rom_offset = 0x1000;  // R
  std::uint64_t built = FileTimeOf(2010, 5, 17, 13, 45, 30);
  bool consistent = true;  // word 0x44 - R == first
};

/// The signature, the ROM header and the first module-table entry of a boot image.
inline void WriteBootImage(const std::filesystem::path& module, const BootImage& image) {
  std::uint32_t seen = image.first + image.rom_offset + (image.consistent ? 0 : 4);
  PokeImage(module, image.offset + 0x40, Words({0x43454345, seen, image.rom_offset}));
  std::vector<std::uint8_t> rom(84, 0);
  std::uint32_t last = image.first + image.size - 4;
  std::memcpy(&rom[8], &image.first, 4);
  std::memcpy(&rom[12], &last, 4);
  PokeImage(module, image.offset + image.rom_offset, rom);
  std::vector<std::uint8_t> entry(32, 0);
  std::memcpy(&entry[4], &image.built, 8);
  PokeImage(module, image.offset + image.rom_offset + 84, entry);
}

inline void WriteVersionRecord(const std::filesystem::path& module, std::uint32_t offset,
                               std::uint32_t id, std::uint32_t major, std::uint32_t minor_build,
                               bool complete = true) {
  PokeImage(module, offset,
            Words({0x01234567, id, major, minor_build, complete ? 0x89ABCDEF : 0x12345678}));
}

inline void WriteText(const std::filesystem::path& module, std::uint32_t offset,
                      const std::string& text) {
  PokeImage(module, offset, std::vector<std::uint8_t>(text.begin(), text.end()));
}

}  // namespace test

// The tests' own writer of Windows CE BIN images, good and deliberately broken.
#pragma once

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <vector>

namespace test {

struct BinRecordLayout {
  std::uint32_t address;
  std::vector<std::uint8_t> data;
  std::optional<std::uint32_t> checksum;  // the byte sum unless given
};

struct BinLayout {
  std::uint32_t start = 0;
  std::uint32_t length = 0;
  std::vector<BinRecordLayout> records;
  bool end_record = true;
  std::uint32_t end_length = 0;  // the end record's length field
};

inline std::uint32_t Sum(const std::vector<std::uint8_t>& data) {
  std::uint32_t sum = 0;
  for (std::uint8_t b : data) sum += b;
  return sum;
}

inline void PutWord(std::vector<std::uint8_t>& out, std::uint32_t word) {
  std::uint8_t bytes[4];
  std::memcpy(bytes, &word, 4);
  out.insert(out.end(), bytes, bytes + 4);
}

inline std::vector<std::uint8_t> MakeBin(const BinLayout& setup) {
  std::vector<std::uint8_t> out = {'B', '0', '0', '0', 'F', 'F', '\n'};
  PutWord(out, setup.start);
  PutWord(out, setup.length);
  for (const BinRecordLayout& r : setup.records) {
    PutWord(out, r.address);
    PutWord(out, static_cast<std::uint32_t>(r.data.size()));
    PutWord(out, r.checksum ? *r.checksum : Sum(r.data));
    out.insert(out.end(), r.data.begin(), r.data.end());
  }
  if (setup.end_record) {
    PutWord(out, 0);
    PutWord(out, setup.end_length);
    PutWord(out, 0);
  }
  return out;
}

inline std::vector<std::uint8_t> Pattern(std::size_t n, std::uint8_t seed) {
  std::vector<std::uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 8));
  return v;
}

inline void WriteFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

}  // namespace test

// What the update benchmarks share: the image they write, put on the module as a BIN file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <vector>

#include "host/bin_image.h"

namespace bench {

/// `bytes` of a pattern that changes within every page and block.
inline std::vector<std::uint8_t> ImageData(std::uint32_t bytes) {
  std::vector<std::uint8_t> data(bytes);
  for (std::size_t i = 0; i < data.size(); ++i) {
    data[i] = static_cast<std::uint8_t>(i * 13 + (i >> 12));
  }
  return data;
}

/// Writes `data` as a BIN image for flash offset 0, in records of 16 KB, to `module`/fs/big.bin
/// (the CE path "\big.bin").
inline void WriteBigBin(const std::filesystem::path& module,
                        const std::vector<std::uint8_t>& data) {
  host::BinWriter writer(0);
  writer.Add(0, data, 0x4000);
  std::vector<std::uint8_t> bin = writer.Build();
  std::filesystem::create_directories(module / "fs");
  std::ofstream(module / "fs" / "big.bin", std::ios::binary)
      .write(reinterpret_cast<const char*>(bin.data()), static_cast<std::streamsize>(bin.size()));
}

}  // namespace bench

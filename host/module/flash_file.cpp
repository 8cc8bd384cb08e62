#include "host/module/flash_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "host/module/module.h"

namespace fs = std::filesystem;

namespace host {

FlashFile::FlashFile(const fs::path& dir, const ModuleConfig& config) {
  const bool nand = config.flash == FlashKind::kNand;
  fs::path file = dir / (nand ? "nand.img" : "nor.img");
  int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  struct stat st;
  if (fstat(fd, &st) == 0 && st.st_size > 0) {
    size_ = static_cast<std::uint64_t>(st.st_size);
    void* p = mmap(nullptr, size_, PROT_READ, MAP_SHARED, fd, 0);
    if (p != MAP_FAILED) map_ = static_cast<std::uint8_t*>(p);
  }
  close(fd);
  if (map_ && nand) {
    std::uint32_t blocks = NandVariantFor(config.nand.chip).blocks;
    if (std::uint64_t{blocks} * kNandPagesPerBlock * kNandRawPageBytes == size_) {
      nand_.emplace(map_, blocks);
      logical_size_ = nand_->FlashSize();
    }
  } else if (map_) {
    logical_size_ = size_;
  }
}

FlashFile::~FlashFile() {
  if (map_) munmap(map_, size_);
}

std::vector<std::uint8_t> FlashFile::Read(std::uint64_t offset, std::size_t count) const {
  if (offset >= logical_size_) return {};
  count = static_cast<std::size_t>(std::min<std::uint64_t>(count, logical_size_ - offset));
  std::vector<std::uint8_t> bytes(count);
  if (nand_) {
    nand_->Read(offset, bytes.data(), count);
  } else {
    std::memcpy(bytes.data(), map_ + offset, count);
  }
  return bytes;
}

std::optional<std::uint32_t> FlashFile::WordAt(std::uint64_t offset) const {
  std::vector<std::uint8_t> b = Read(offset, 4);
  if (b.size() < 4) return std::nullopt;
  return b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
}

int FlashFile::ReadFn(void* context, void* destination, DWORD offset, DWORD count) {
  const FlashFile* flash = static_cast<const FlashFile*>(context);
  if (std::uint64_t{offset} + count > flash->logical_size_) return 0;
  std::vector<std::uint8_t> bytes = flash->Read(offset, count);
  if (bytes.size() != count) return 0;
  std::memcpy(destination, bytes.data(), count);
  return 1;
}

}  // namespace host

#include "host/module/flash_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "flash/flash_ops.h"
#include "host/hardware/pxa3xx_dfc.h"
#include "host/module/module.h"

namespace fs = std::filesystem;

namespace host {

namespace {

bool AllErased(const std::uint8_t* bytes, std::size_t count) {
  std::uint64_t all = ~std::uint64_t{0};
  std::size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes + i, 8);
    all &= word;
  }
  for (; i < count; ++i) all &= 0xFFFFFFFFFFFFFF00ull | bytes[i];
  return all == ~std::uint64_t{0};
}

// What a read with ECC makes of a 512-byte step whose cells and ECC bytes are all erased.
struct ErasedStep {
  std::uint8_t data[512];
  bool readable;
};

const ErasedStep& ErasedStepRead() {
  static const ErasedStep step = [] {
    ErasedStep s;
    std::memset(s.data, 0xFF, sizeof s.data);
    const std::uint8_t ecc[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    s.readable = true;
    if (DfcEccCorrect(s.data, ecc) == DfcEccResult::kUncorrectable) {
      std::uint8_t raw[512];
      std::memset(raw, 0xFF, sizeof raw);
      s.readable = ErasedButForBitFlips(raw, 512);
      std::memset(s.data, 0xFF, sizeof s.data);
    }
    return s;
  }();
  return step;
}

}  // namespace

FlashFile::FlashFile(const fs::path& dir, const ModuleConfig& config) {
  const bool nand = config.flash == FlashKind::kNand;
  Module* open_module = CurrentModule();
  if (open_module && open_module->private_image() && open_module->dir() == fs::absolute(dir)) {
    // This process's module holds its flash in its own memory (a rehearsal): read that.
    map_ = open_module->image();
    size_ = open_module->image_size();
    owned_ = false;
  } else {
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
  }
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
  if (map_ && owned_) munmap(map_, size_);
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

bool FlashFile::ReadChecked(std::uint64_t offset, void* destination, std::size_t count) const {
  if (offset > logical_size_ || count > logical_size_ - offset) return false;
  auto* out = static_cast<std::uint8_t*>(destination);
  if (!nand_) {
    std::memcpy(out, map_ + offset, count);
    return true;
  }
  std::uint8_t page[kNandPageBytes];
  while (count) {
    const std::uint32_t number = static_cast<std::uint32_t>(offset / kNandPageBytes);
    const std::size_t column = offset % kNandPageBytes;
    const std::size_t n = std::min<std::size_t>(count, kNandPageBytes - column);
    std::optional<std::uint32_t> physical = nand_->PhysicalPage(number);
    if (!physical) {
      std::memset(page, 0xFF, sizeof page);
    } else {
      const std::uint8_t* raw = nand_->RawPage(*physical);
      if (cached_.physical == *physical && std::memcmp(cached_.raw, raw, kNandRawPageBytes) == 0) {
        // The page read last, unchanged since: its corrected data (readers go a word at a
        // time, and correcting a page costs a hundred times the comparison).
        if (!cached_.readable) return false;
        std::memcpy(page, cached_.data, sizeof page);
      } else {
        std::memcpy(page, raw, sizeof page);
        bool readable = true;
        const std::uint8_t* ecc = raw + kNandPageBytes + kDfcEccSpareOffset;
        for (std::uint32_t step = 0; step < kNandPageBytes / 512 && readable; ++step) {
          std::uint8_t* data = page + step * 512;
          if (AllErased(data, 512) && AllErased(ecc + step * 6, 6)) {
            // Most of a flash is erased: such a step reads as the ECC takes it, worked out once.
            const ErasedStep& erased = ErasedStepRead();
            std::memcpy(data, erased.data, 512);
            readable = erased.readable;
            continue;
          }
          if (DfcEccCorrect(data, ecc + step * 6) != DfcEccResult::kUncorrectable) continue;
          // A step that was never programmed reads erased, as the driver takes it.
          readable = ErasedButForBitFlips(raw + step * 512, 512);
          if (readable) std::memset(data, 0xFF, 512);
        }
        cached_.physical = *physical;
        std::memcpy(cached_.raw, raw, kNandRawPageBytes);
        std::memcpy(cached_.data, page, sizeof page);
        cached_.readable = readable;
        if (!readable) return false;
      }
    }
    std::memcpy(out, page + column, n);
    out += n;
    offset += n;
    count -= n;
  }
  return true;
}

int FlashFile::ReadFn(void* context, void* destination, DWORD offset, DWORD count) {
  return static_cast<const FlashFile*>(context)->ReadChecked(offset, destination, count) ? 1 : 0;
}

}  // namespace host

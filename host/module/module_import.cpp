// create --from-dump: the dump is copied into the new module's flash image as it streams by,
// a few megabytes at a time, and the NAND pages' program counts and the blocks' bad-block
// marks are taken on the way.

#include "host/module/module_import.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "host/module/flash_file.h"
#include "host/module/module_content.h"
#include "host/module/module_files.h"

namespace fs = std::filesystem;

namespace host {

namespace {

constexpr std::size_t kChunk = 4 << 20;  // read at a time, rounded down to whole raw pages

std::string Size(std::uint64_t bytes) {
  if (bytes >= (1u << 20) && bytes % (1u << 20) == 0) return std::to_string(bytes >> 20) + " MB";
  if (bytes >= 1024 && bytes % 1024 == 0) return std::to_string(bytes >> 10) + " KB";
  return std::to_string(bytes) + " bytes";
}

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// The NOR chips' size byte for a dump of `size` bytes (two chips side by side); refuses a
// size that no pair has, naming those that do.
std::uint8_t NorCfiSizeFor(const fs::path& file, std::uint64_t size) {
  std::string fits;
  for (std::uint8_t cfi = kMinCfiSize; cfi <= kMaxCfiSize; ++cfi) {
    const std::uint64_t pair = std::uint64_t{2} << cfi;
    if (pair == size) return cfi;
    fits += (fits.empty() ? "" : cfi == kMaxCfiSize ? " or " : ", ") + Size(pair);
  }
  Fail(file, "is " + std::to_string(size) +
                 " bytes: no NOR flash has that size. A dump of the whole flash of two chips "
                 "is " +
                 fits);
}

// The NAND chip of a dump of `size` bytes: the one asked for, which must have that size, or
// the first known chip that has it. A dump of the data pages alone is refused.
std::uint16_t NandChipFor(const fs::path& file, std::uint64_t size,
                          std::optional<std::uint16_t> asked) {
  const std::uint64_t pages_only = size / kNandPageBytes;
  auto data_only = [&](std::uint64_t blocks) {
    return size % kNandPageBytes == 0 &&
           pages_only == blocks * kNandPagesPerBlock;  // 2048 bytes a page, no spare
  };
  if (asked) {
    const std::uint64_t want = NandImageBytes(*asked);
    if (size == want) return *asked;
    if (data_only(NandVariantFor(*asked).blocks)) {
      Fail(file,
           "holds the data pages alone (2048 bytes a page): a NAND dump needs each page's "
           "64 spare bytes after it, which hold the maker's bad-block marks and the ECC "
           "and cannot be guessed (dump it with nanddump --oob, or imbrel-module dump --raw)");
    }
    Fail(file, "is " + std::to_string(size) + " bytes; chip " + Hex(*asked, 4) + "'s " +
                   std::to_string(NandVariantFor(*asked).blocks) + " blocks of 64 pages of " +
                   std::to_string(kNandRawPageBytes) + " bytes are " + std::to_string(want));
  }
  std::string fits;
  for (const NandVariant& variant : NandVariants()) {
    if (NandImageBytes(variant.id) == size) return variant.id;
    if (data_only(variant.blocks)) {
      Fail(file,
           "holds the data pages alone (2048 bytes a page): a NAND dump needs each page's "
           "64 spare bytes after it, which hold the maker's bad-block marks and the ECC "
           "and cannot be guessed (dump it with nanddump --oob, or imbrel-module dump --raw)");
    }
    fits += (fits.empty() ? "" : ", ") + Hex(variant.id, 4) + " " +
            std::to_string(NandImageBytes(variant.id));
  }
  Fail(file, "is " + std::to_string(size) +
                 " bytes, the size of no known NAND chip's pages with their spare bytes (" + fits +
                 "); name the chip with --chip");
}

// Copies `size` bytes of the dump `in` into the new image file `out`, handing each chunk
// (whole raw NAND pages, or any bytes of NOR) to `look` with its offset.
template <typename Look>
void Copy(const fs::path& file, int in, const fs::path& image, std::uint64_t size, std::size_t unit,
          Look look) {
  Fd out(open(image.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (out.get() < 0) Fail(image, std::string("cannot create: ") + std::strerror(errno));
  const std::size_t chunk = kChunk / unit * unit;
  std::vector<std::uint8_t> buffer(chunk);
  for (std::uint64_t at = 0; at < size;) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(chunk, size - at));
    std::size_t got = 0;
    while (got < want) {
      ssize_t n = pread(in, buffer.data() + got, want - got, static_cast<off_t>(at + got));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        Fail(file, n < 0 ? std::string("cannot read: ") + std::strerror(errno)
                         : "ended early: it shrank while being read");
      }
      got += static_cast<std::size_t>(n);
    }
    look(at, buffer.data(), want);
    for (std::size_t put = 0; put < want;) {
      ssize_t n = pwrite(out.get(), buffer.data() + put, want - put, static_cast<off_t>(at + put));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0)
        Fail(image, std::string("cannot write: ") + std::strerror(n < 0 ? errno : ENOSPC));
      put += static_cast<std::size_t>(n);
    }
    at += want;
  }
}

bool Erased(const std::uint8_t* bytes, std::size_t count) {
  return std::all_of(bytes, bytes + count, [](std::uint8_t b) { return b == 0xFF; });
}

// The NAND dump into the staging module: nand.img, nand.programs (one program for each page
// that holds anything) and the blocks the maker marked bad (a non-0xFF first spare byte in
// page 0 or 1; block 0 is never taken as bad, as the maker guarantees it).
void CopyNand(const fs::path& file, int in, const fs::path& staging, std::uint64_t size,
              NandConfig& nand) {
  const std::uint64_t pages = size / kNandRawPageBytes;
  std::vector<std::uint8_t> programs(static_cast<std::size_t>(pages), 0);
  Copy(file, in, staging / "nand.img", size, kNandRawPageBytes,
       [&](std::uint64_t at, const std::uint8_t* bytes, std::size_t count) {
         for (std::size_t off = 0; off < count; off += kNandRawPageBytes) {
           const std::uint64_t page = (at + off) / kNandRawPageBytes;
           const std::uint8_t* raw = bytes + off;
           programs[page] = Erased(raw, kNandRawPageBytes) ? 0 : 1;
           const std::uint32_t block = static_cast<std::uint32_t>(page / kNandPagesPerBlock);
           if (page % kNandPagesPerBlock < 2 && block != 0 && raw[kNandPageBytes] != 0xFF &&
               (nand.factory_bad_blocks.empty() || nand.factory_bad_blocks.back() != block)) {
             nand.factory_bad_blocks.push_back(block);
           }
         }
       });
  Fd out(open((staging / "nand.programs").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (out.get() < 0 ||
      write(out.get(), programs.data(), programs.size()) != static_cast<ssize_t>(programs.size())) {
    Fail(staging / "nand.programs", std::string("cannot write: ") + std::strerror(errno));
  }
}

// The configuration block the flash holds (at its place, else its old one), as far as its
// item records can reach.
std::optional<std::vector<std::uint8_t>> ConfigBlockOf(const FlashFile& flash) {
  for (std::uint32_t place : {kConfigBlockPlace, kConfigBlockOldPlace}) {
    std::optional<std::uint32_t> marker = flash.WordAt(place);
    if (marker && *marker == kConfigBlockMarker) return flash.Read(place, 0x1000);
  }
  return std::nullopt;
}

std::string ItemText(const std::uint32_t* words, std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) text += (i ? "," : "") + Hex(words[i], 8);
  return text;
}

// A configuration item: the flash's, when its block holds one (an option given that says
// otherwise is refused), else the options'.
template <std::size_t N>
void TakeItem(const fs::path& file, const std::string& name,
              const std::optional<std::array<std::uint32_t, N>>& in_flash, bool given,
              const std::optional<std::array<std::uint32_t, N>>& option,
              std::optional<std::array<std::uint32_t, N>>& item, std::vector<std::string>& read) {
  if (!in_flash) {
    if (option) item = option;
    return;
  }
  if (given && option != in_flash) {
    const std::string number = name.substr(4);
    Fail(file, "its configuration block holds item " + number + " = " +
                   ItemText(in_flash->data(), N) + "; --item" + number + " and --no-item" + number +
                   " cannot say otherwise");
  }
  item = in_flash;
  read.push_back(name);
}

}  // namespace

void CreateModuleFromDump(const fs::path& dir, const fs::path& file, CreateOptions options,
                          const DumpChoices& choices) {
  Fd in(open(file.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) Fail(file, std::string("cannot open: ") + std::strerror(errno));
  struct stat st;
  if (fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    Fail(file, "is not a file (a dump is read whole, so it must be a file, not a pipe)");
  }
  const std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
  const bool nand = options.flash == FlashKind::kNand;
  // The chips follow from the dump's size; the dump brings its own content and bad blocks.
  if (nand) {
    options.nand_chip = NandChipFor(file, size, choices.nand_chip);
  } else {
    options.cfi_size = NorCfiSizeFor(file, size);
  }
  options.factory_bad_blocks.clear();
  ModuleConfig config = NewModuleConfig(dir, options);
  config.dump = DumpOrigin{file.string(), {}};

  MakeModuleDirectory(dir, options.flash, [&](const fs::path& staging) {
    if (nand) {
      CopyNand(file, in.get(), staging, size, config.nand);
      if (!config.nand.factory_bad_blocks.empty())
        config.dump->read.push_back("factory_bad_blocks");
    } else {
      Copy(file, in.get(), staging / "nor.img", size, 1,
           [](std::uint64_t, const std::uint8_t*, std::size_t) {});
    }
    // The configuration items the platform keeps in the configuration block.
    FlashFile flash(staging, config);
    ConfigItems items;
    if (auto block = ConfigBlockOf(flash)) items = ConfigItemsIn(*block);
    TakeItem(file, "item0", items.item0, choices.item0_given, options.item0, config.platform.item0,
             config.dump->read);
    TakeItem(file, "item5", items.item5, choices.item5_given,
             options.item5 ? options.item5_words : std::nullopt, config.platform.item5,
             config.dump->read);
    // Item 5, where neither the flash nor the options give it, is create's for this size.
    const std::uint64_t usable = nand ? flash.size() : std::min<std::uint64_t>(size, 0x4000000);
    MakeFileContent(staging, dir, options, static_cast<std::uint32_t>(usable), config);
    return config;
  });
}

}  // namespace host

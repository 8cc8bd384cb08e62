#include "host/module/module_content.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "host/bin_image.h"
#include "host/module/module.h"
#include "host/module/nand_logical.h"
#include "host/system/calendar.h"
#include "host/system/registry.h"
#include "host/system/text.h"

namespace fs = std::filesystem;

namespace host {

namespace {

constexpr std::uint32_t kVirtualBase = 0x80000000;  // an image's first address: base + place
constexpr std::uint32_t kSignatureOffset = 0x40;
constexpr std::uint32_t kRomHeaderBytes = 84;
constexpr std::uint32_t kModuleEntryBytes = 32;
constexpr std::uint32_t kImageRomOffset = 0x2A40;
constexpr std::uint32_t kBootloaderRomBack = 0x400;  // the bootloader's ROM header: size - this
constexpr std::uint32_t kMinBootImage = 0x4000;
constexpr std::uint32_t kDefaultImageSize = 0x100000;
constexpr std::uint64_t kDriverFlashLimit = 0x4000000;  // the driver uses the first 64 MB
constexpr std::uint32_t kRecordScanBytes = 0x40000;
constexpr std::uint32_t kBannerWindowStart = 0x8000;
constexpr std::uint32_t kBannerWindowEnd = 0x28000;
constexpr std::uint16_t kCpuTypeThumb = 0x01C2;  // IMAGE_FILE_MACHINE_THUMB

const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// A MAC address, an IP address, a netmask, a gateway and boot settings: words the program
// carries along without reading them.
constexpr std::uint32_t kConfigBlockWords[] = {
    kConfigBlockMarker, 0x4A1B0800, 0x00007E29, 0x6401A8C0, 0x00FFFFFF,
    0x0101A8C0,         0x00000001, 0x00000005, 0x00000000, 0xFFFFFFFF};

const char kFdfText[] =
    "; Flash disk description of the module's file system\r\n"
    "[FlashDisk]\r\n"
    "Driver=StrataFMD\r\n"
    "Format=FAT\r\n"
    "SectorSize=512\r\n";

std::string Hex(std::uint64_t value) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(value));
  return buf;
}

std::string Word(std::uint32_t value) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(value));
  return buf;
}

[[noreturn]] void Fail(const fs::path& dir, const std::string& problem) {
  throw ModuleError(dir.string() + ": " + problem);
}

void Put32(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint32_t Get32(const std::uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::uint64_t Iso(const char* text) { return *ParseIsoTime(text); }

struct FlashPiece {
  std::string name;
  std::uint32_t offset;
  std::vector<std::uint8_t> bytes;
};

// A boot image of `size` bytes at flash offset `place`: body words `fill | index`, the
// signature words, the ROM header at `rom_offset` and one module entry named `name`.
std::vector<std::uint8_t> BootImage(std::uint32_t place, std::uint32_t size,
                                    std::uint32_t rom_offset, std::uint64_t time, const char* name,
                                    std::uint32_t fill, std::uint32_t mask) {
  std::vector<std::uint8_t> image(size);
  for (std::uint32_t i = 0; i < size / 4; ++i) Put32(image, 4 * i, fill | (i & mask));
  const std::uint32_t first = kVirtualBase + place;
  Put32(image, kSignatureOffset, kBootImageSignature);
  Put32(image, kSignatureOffset + 4, first + rom_offset);
  Put32(image, kSignatureOffset + 8, rom_offset);
  std::fill(image.begin() + rom_offset,
            image.begin() + rom_offset + kRomHeaderBytes + kModuleEntryBytes + 16, 0);
  std::size_t rom = rom_offset;
  Put32(image, rom + 0, 0x01E00000);  // the DLL address range
  Put32(image, rom + 4, 0x02000000);
  Put32(image, rom + 8, first);
  Put32(image, rom + 12, first + size - 4);
  Put32(image, rom + 16, 1);           // modules
  Put32(image, rom + 20, 0xA0200000);  // RAM start, free, end
  Put32(image, rom + 24, 0xA0280000);
  Put32(image, rom + 28, 0xA4000000);
  image[rom + 68] = kCpuTypeThumb & 0xFF;
  image[rom + 69] = kCpuTypeThumb >> 8;
  std::size_t entry = rom + kRomHeaderBytes;
  Put32(image, entry + 0, 0x00000007);  // read-only, hidden, system
  Put32(image, entry + 4, static_cast<std::uint32_t>(time));
  Put32(image, entry + 8, static_cast<std::uint32_t>(time >> 32));
  Put32(image, entry + 12, size);
  Put32(image, entry + 16, first + rom_offset + kRomHeaderBytes + kModuleEntryBytes);
  std::memcpy(&image[entry + kModuleEntryBytes], name, std::strlen(name) + 1);
  return image;
}

struct Banner {
  std::uint32_t major = 0, minor = 0;
  int month = 0, day = 0, year = 0;
};

// "Mar 7 2009".
bool ParseBuilt(const std::string& text, Banner* banner) {
  char month[8] = {};
  int used = 0;
  if (std::sscanf(text.c_str(), "%3s %d %d%n", month, &banner->day, &banner->year, &used) != 3 ||
      static_cast<std::size_t>(used) != text.size()) {
    return false;
  }
  for (int m = 0; m < 12; ++m) {
    if (std::strcmp(month, kMonths[m]) == 0) banner->month = m + 1;
  }
  return banner->month && banner->year >= 1601 && banner->year <= 9999 && banner->day >= 1 &&
         banner->day <= DaysInMonth(banner->year, banner->month);
}

std::string VersionText(std::uint32_t major, std::uint32_t minor_build) {
  std::string text =
      std::to_string(static_cast<std::int32_t>(major)) + "." + std::to_string(minor_build & 0xFFFF);
  if (minor_build >> 16) text += "-beta" + std::to_string(minor_build >> 16);
  return text;
}

// The flash as the program's driver presents it, read from the module's image file: nor.img
// as it stands, or the logical space of nand.img behind its relocation table.
class FlashFile {
 public:
  FlashFile(const fs::path& dir, const ModuleConfig& config) {
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
  ~FlashFile() {
    if (map_) munmap(map_, size_);
  }
  FlashFile(const FlashFile&) = delete;
  FlashFile& operator=(const FlashFile&) = delete;

  bool ok() const { return logical_size_ > 0; }
  std::vector<std::uint8_t> Read(std::uint64_t offset, std::size_t count) const {
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
  std::optional<std::uint32_t> WordAt(std::uint64_t offset) const {
    std::vector<std::uint8_t> b = Read(offset, 4);
    if (b.size() < 4) return std::nullopt;
    return Get32(b.data());
  }
  const NandLogicalView* nand() const { return nand_ ? &*nand_ : nullptr; }

 private:
  std::uint8_t* map_ = nullptr;
  std::uint64_t size_ = 0;
  std::uint64_t logical_size_ = 0;
  std::optional<NandLogicalView> nand_;
};

struct FoundImage {
  std::uint32_t size = 0;
  std::uint32_t rom_offset = 0;
  std::uint64_t time = 0;
};

// The boot image at `place` as its ROM header describes it.
std::optional<FoundImage> FindImage(const FlashFile& flash, std::uint32_t place) {
  auto signature = flash.WordAt(place + kSignatureOffset);
  auto seen = flash.WordAt(place + kSignatureOffset + 4);
  auto rom = flash.WordAt(place + kSignatureOffset + 8);
  if (!signature || *signature != kBootImageSignature || !seen || !rom) return std::nullopt;
  std::vector<std::uint8_t> header =
      flash.Read(std::uint64_t{place} + *rom, kRomHeaderBytes + kModuleEntryBytes);
  if (header.size() < kRomHeaderBytes + kModuleEntryBytes) return std::nullopt;
  std::uint32_t first = Get32(&header[8]);
  if (*seen - *rom != first) return std::nullopt;
  FoundImage found;
  found.size = Get32(&header[12]) - first + 4;
  found.rom_offset = place + *rom;
  found.time = Get32(&header[kRomHeaderBytes + 4]) |
               (std::uint64_t{Get32(&header[kRomHeaderBytes + 8])} << 32);
  return found;
}

// A BIN file of `image`, whose bytes are to land at flash `place`, with start address `start`
// and records of 16 KB.
void WriteSample(const fs::path& file, std::uint32_t start,
                 const std::vector<std::uint8_t>& image) {
  BinWriter writer(start);
  writer.Add(start, image, 0x4000);
  std::vector<std::uint8_t> bytes = writer.Build();
  fs::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) throw ModuleError(file.string() + ": cannot write");
}

// The sample images a person finds on the module's USB stick: an operating-system image built
// for the kernel's address space (placed where item 5 says) and a bootloader update built for
// the boot area (placed at flash 0).
void WriteSamples(const fs::path& images, std::uint32_t image_place) {
  std::uint64_t built = Iso("2010-05-17T13:45:30");
  WriteSample(
      images / "nk.bin", kVirtualBase + image_place,
      BootImage(image_place, 0x40000, kImageRomOffset, built, "nk.exe", 0x4E4C0000, 0x0000FFFF));
  std::vector<std::uint8_t> boot = BootImage(0, 0x20000, 0x20000 - kBootloaderRomBack, built,
                                             "eboot.exe", 0xEB100000, 0x00FFFFFF);
  const std::uint32_t record[] = {kVersionRecordStart, 1, 1, 4, kVersionRecordEnd};
  for (int i = 0; i < 5; ++i) Put32(boot, kVersionRecordOffset + 4 * i, record[i]);
  WriteSample(images / "eboot.bin", 0xBCA00000, boot);
}

// The relocation table in flash and the block map the running system keeps in RAM.
template <typename Row>
void DescribeRelocations(const fs::path& dir, const NandLogicalView& view, Row row) {
  const std::uint32_t first_reserve = view.Blocks() - view.Reserve();
  row("reserve", std::to_string(view.Reserve()) + " blocks, " + std::to_string(first_reserve) +
                     " to " + std::to_string(view.Blocks() - 1) + "; logical space " +
                     Hex(view.FlashSize()) + " bytes");
  if (!view.TableValid()) {
    row("reloc table", "physical page 63 has no table signature: the driver cannot start");
  } else {
    std::vector<NandRelocation> entries = view.Table();
    row("reloc table", "physical page 63, " + std::to_string(entries.size()) +
                           (entries.size() == 1 ? " entry" : " entries"));
    for (const NandRelocation& e : entries) {
      std::string text = e.bad_block == 0
                             ? "retired, block " + std::to_string(e.replacement) + " stays used"
                             : "logical block " + std::to_string(e.bad_block) + " -> physical " +
                                   std::to_string(e.replacement);
      if (e.bad_block != 0 && (e.bad_block >= first_reserve || e.replacement < first_reserve ||
                               e.replacement >= view.Blocks())) {
        text += " (outside the logical space or the reserve: ignored)";
      }
      row("", text);
    }
  }
  // The map in named shared memory: filled by the first driver start since the restart.
  std::ifstream map(dir / "ram" / "mapping-NAND_FLASH_BBMT", std::ios::binary);
  std::uint8_t signature[4] = {};
  if (!map || !map.read(reinterpret_cast<char*>(signature), 4)) {
    row("block map", "not made since the last restart (ram/ has no NAND_FLASH_BBMT)");
  } else if (Get32(signature) != 0x544D4242) {
    row("block map", "in RAM, not filled");
  } else {
    std::vector<std::uint32_t> from_table = view.Map();
    std::uint32_t differ = 0;
    for (std::uint32_t k = 0; k < first_reserve; ++k) {
      std::uint8_t entry[2];
      if (!map.read(reinterpret_cast<char*>(entry), 2)) break;
      if (static_cast<std::uint32_t>(entry[0] | entry[1] << 8) != from_table[k]) ++differ;
    }
    row("block map", differ ? "in RAM, filled; " + std::to_string(differ) +
                                  " logical blocks map otherwise than the table says"
                            : std::string("in RAM, filled, as the table says"));
  }
}

}  // namespace

void MakeFactoryContent(const fs::path& staging, const fs::path& dir, const CreateOptions& options,
                        ModuleConfig& config) {
  const bool nand = config.flash == FlashKind::kNand;
  std::uint8_t* nand_image = nullptr;
  std::uint64_t nand_image_bytes = 0;
  std::optional<NandLogicalView> nand_view;
  if (nand) {
    // The factory programs the logical space as the driver lays it out over the erased chip.
    fs::path file = staging / "nand.img";
    int fd = open(file.c_str(), O_RDWR | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) Fail(dir, "cannot open the new flash image");
    nand_image_bytes = static_cast<std::uint64_t>(st.st_size);
    void* p = mmap(nullptr, nand_image_bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (p == MAP_FAILED) Fail(dir, "cannot map the new flash image");
    nand_image = static_cast<std::uint8_t*>(p);
    nand_view.emplace(nand_image, NandVariantFor(config.nand.chip).blocks);
  }
  struct Unmap {
    std::uint8_t* p;
    std::uint64_t n;
    ~Unmap() {
      if (p) munmap(p, n);
    }
  } unmap{nand_image, nand_image_bytes};
  const std::uint64_t flash_size =
      nand ? nand_view->FlashSize() : std::uint64_t{2} << config.nor.cfi_size;
  const std::uint32_t usable =
      static_cast<std::uint32_t>(nand ? flash_size : std::min(flash_size, kDriverFlashLimit));
  std::vector<FlashPiece> parts;

  if (options.bootloader) {
    const BootloaderOptions& b = *options.bootloader;
    if (b.size < kMinBootImage || b.size % 4 || b.place % 4) {
      Fail(dir, "the bootloader must be at least " + Hex(kMinBootImage) +
                    " bytes, both its size and place multiples of 4");
    }
    if (b.major > 0xFFFF || b.minor > 0xFFFF || b.beta_build > 0xFFFF) {
      Fail(dir, "the bootloader's version numbers must be 0..65535");
    }
    std::uint32_t rom_offset = b.size - kBootloaderRomBack;
    std::uint64_t time = b.time ? b.time : Iso("2009-01-20T10:15:00");
    Banner banner;
    if (b.banner) {
      if (!ParseBuilt(b.built, &banner)) {
        Fail(dir, "the banner's date '" + b.built + "' is not like \"Mar 7 2009\"");
      }
      if (!b.time) time = *TicksFromCivil({banner.year, banner.month, banner.day});
    }
    std::vector<std::uint8_t> image =
        BootImage(b.place, b.size, rom_offset, time, "eboot.exe", 0xEB000000, 0x00FFFFFF);
    if (b.banner) {
      char text[160];
      std::snprintf(text, sizeof text, "%s%u.%u for Kelvane Ostrala Built %s %d %d", kBannerPrefix,
                    b.major, b.minor, kMonths[banner.month - 1], banner.day, banner.year);
      std::size_t length = std::strlen(text) + 1;
      if (b.place > kBannerOffset - 0x100 || b.place + rom_offset < kBannerOffset + length) {
        Fail(dir,
             "a bootloader of " + Hex(b.size) + " bytes at " + Hex(b.place) +
                 " cannot hold its banner at " + Hex(kBannerOffset) + ": make it at least " +
                 Hex((kBannerOffset + length + kBootloaderRomBack - b.place + 0xFFF) & ~0xFFFu) +
                 " bytes");
      }
      std::memcpy(&image[kBannerOffset - b.place], text, length);
    } else {
      const std::uint32_t record[] = {kVersionRecordStart, 1, b.major,
                                      b.minor | (b.beta_build << 16), kVersionRecordEnd};
      for (int i = 0; i < 5; ++i) Put32(image, kVersionRecordOffset + 4 * i, record[i]);
    }
    parts.push_back({"the bootloader", b.place, std::move(image)});
  }

  if (options.config_block) {
    std::vector<std::uint8_t> block(sizeof kConfigBlockWords);
    for (std::size_t i = 0; i < std::size(kConfigBlockWords); ++i) {
      Put32(block, 4 * i, kConfigBlockWords[i]);
    }
    parts.push_back({"the configuration block", *options.config_block, std::move(block)});
  }

  const bool old_place = options.config_block && *options.config_block == kConfigBlockOldPlace;
  std::uint32_t image_place = options.image && options.image->place ? *options.image->place
                              : options.item5_words                 ? (*options.item5_words)[0]
                              : old_place                           ? kImageOldPlace
                                                                    : kImagePlace;
  std::array<std::uint32_t, 6> item5 = {image_place, usable / 8 * 5, usable / 128, 0, 0, 0};
  if (options.item5_words) item5 = *options.item5_words;
  if (options.item5) {
    if (std::uint64_t{item5[1]} + 2 * std::uint64_t{item5[2]} > usable) {
      Fail(dir, "item 5's registry area " + Hex(item5[1]) + " + 2 x " + Hex(item5[2]) +
                    " runs past the flash (" + Hex(usable) + " bytes)");
    }
    config.platform.item5 = item5;
  }

  if (options.image) {
    if (image_place % 4 || image_place >= flash_size) {
      Fail(dir, "no room for the OS image at " + Hex(image_place) + " in a flash of " +
                    Hex(flash_size) + " bytes: place it elsewhere or leave it out");
    }
    std::uint32_t size = 0;
    if (options.image->size) {
      size = *options.image->size;
    } else {
      // Up to 1 MB, before the registry area when it follows the image.
      std::uint64_t room =
          item5[1] > image_place ? item5[1] - image_place : flash_size - image_place;
      size = static_cast<std::uint32_t>(std::min<std::uint64_t>(kDefaultImageSize, room));
    }
    if (size < kMinBootImage || size % 4) {
      Fail(dir, "the OS image at " + Hex(image_place) + " would be " + Hex(size) +
                    " bytes: give a size of at least " + Hex(kMinBootImage) +
                    " (a multiple of 4), or no image");
    }
    std::uint64_t time = options.image->time ? options.image->time : Iso("2009-03-06T17:42:10");
    parts.push_back(
        {"the OS image", image_place,
         BootImage(image_place, size, kImageRomOffset, time, "nk.exe", 0x4E4B0000, 0x0000FFFF)});
  }

  for (std::size_t i = 0; i < parts.size(); ++i) {
    const FlashPiece& a = parts[i];
    std::uint64_t a_end = std::uint64_t{a.offset} + a.bytes.size();
    if (a_end > flash_size) {
      Fail(dir, a.name + " (" + Hex(a.bytes.size()) + " bytes at " + Hex(a.offset) +
                    ") runs past the flash (" + Hex(flash_size) + " bytes)");
    }
    for (std::size_t j = 0; j < i; ++j) {
      const FlashPiece& b = parts[j];
      if (a.offset < b.offset + b.bytes.size() && b.offset < a_end) {
        Fail(dir, a.name + " at " + Hex(a.offset) + " overlaps " + b.name + " at " + Hex(b.offset));
      }
    }
  }

  if (options.item0) config.platform.item0 = *options.item0;
  if (options.image_version) config.platform.image_version = *options.image_version;

  if (options.registry) {
    std::uint64_t base = options.mem_base ? *options.mem_base : item5[1] + 2ull * item5[2];
    if (base >= usable) {
      Fail(dir, "MemBase " + Hex(base) + " is past the flash (" + Hex(usable) + " bytes)");
    }
    std::uint64_t length = options.mem_len ? *options.mem_len : usable - base;
    if (base + length > usable) {
      Fail(dir, "MemBase " + Hex(base) + " + MemLen " + Hex(length) + " runs past the flash (" +
                    Hex(usable) + " bytes)");
    }
    std::u16string key = Utf16(kFmdKey);
    config.default_registry.SetValue(key, {u"Dll", REG_SZ, 0, u"StrataFMD.dll"});
    config.default_registry.SetValue(key, {u"Prefix", REG_SZ, 0, u"DSK"});
    config.default_registry.SetValue(key, {u"MemBase", REG_DWORD, static_cast<DWORD>(base), {}});
    config.default_registry.SetValue(key, {u"MemLen", REG_DWORD, static_cast<DWORD>(length), {}});
  }

  // Factory programming: straight into the erased flash image (on NAND, into its logical
  // space, with the controller's ECC).
  if (nand) {
    for (const FlashPiece& part : parts) {
      if (!nand_view->Program(part.offset, part.bytes.data(), part.bytes.size())) {
        Fail(dir, "cannot write " + part.name + " into the new flash image");
      }
    }
    if (msync(nand_image, nand_image_bytes, MS_SYNC) != 0) {
      Fail(dir, "cannot write the new flash image");
    }
  } else {
    fs::path image_file = staging / "nor.img";
    int fd = open(image_file.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) Fail(dir, std::string("cannot open the new flash image: ") + std::strerror(errno));
    for (const FlashPiece& part : parts) {
      if (pwrite(fd, part.bytes.data(), part.bytes.size(), part.offset) !=
          static_cast<ssize_t>(part.bytes.size())) {
        close(fd);
        Fail(dir, "cannot write " + part.name + " into the new flash image");
      }
    }
    close(fd);
  }

  if (options.fdf_time) {
    fs::path fdf = staging / "fs" / "windows" / "default.fdf";
    fs::create_directories(fdf.parent_path());
    std::ofstream(fdf, std::ios::binary) << kFdfText;
    std::int64_t seconds, nanoseconds;
    UnixFromTicks(*options.fdf_time, &seconds, &nanoseconds);
    struct timespec times[2] = {{static_cast<time_t>(seconds), static_cast<long>(nanoseconds)},
                                {static_cast<time_t>(seconds), static_cast<long>(nanoseconds)}};
    if (utimensat(AT_FDCWD, fdf.c_str(), times, 0) != 0) {
      Fail(dir, "cannot set the time of fs/windows/default.fdf");
    }
  }

  if (options.samples) WriteSamples(staging / "fs" / "USB HD" / "IMAGES", image_place);
}

std::string DescribeContent(const fs::path& dir, const ModuleConfig& config) {
  std::ostringstream out;
  auto row = [&](const char* name, const std::string& value) {
    char label[16];
    std::snprintf(label, sizeof label, "%-12s", name);
    out << label << value << "\n";
  };
  FlashFile flash(dir, config);
  if (!flash.ok()) {
    row("content", "the flash image cannot be read");
  } else {
    std::optional<FoundImage> boot;
    std::uint32_t boot_place = 0;
    for (std::uint32_t place : {0u, 0x8000u}) {
      if ((boot = FindImage(flash, place))) {
        boot_place = place;
        break;
      }
    }
    if (boot) {
      row("bootloader", "boot image at " + Hex(boot_place) + ": " + Hex(boot->size) +
                            " bytes, ROM header at " + Hex(boot->rom_offset) + ", built " +
                            FormatTicks(boot->time));
    } else {
      row("bootloader", "no boot image at 0x0 or 0x8000");
    }
    std::vector<std::uint8_t> head = flash.Read(0, kRecordScanBytes + 16);
    std::string version = "no version record and no banner";
    bool found = false;
    for (std::size_t at = 0; at + 20 <= head.size() && at < kRecordScanBytes && !found; at += 4) {
      if (Get32(&head[at]) == kVersionRecordStart && Get32(&head[at + 16]) == kVersionRecordEnd) {
        version = "version record at " + Hex(at) + ": id " + std::to_string(Get32(&head[at + 4])) +
                  ", version " + VersionText(Get32(&head[at + 8]), Get32(&head[at + 12]));
        found = true;
      }
    }
    if (!found && head.size() > kBannerWindowStart) {
      std::string window(head.begin() + kBannerWindowStart,
                         head.begin() + std::min<std::size_t>(head.size(), kBannerWindowEnd));
      std::size_t at = window.find(kBannerPrefix);
      if (at != std::string::npos) {
        std::size_t start = at + std::strlen(kBannerPrefix);
        std::size_t end = start;
        while (end < window.size() && end < start + 80 && window[end] >= 0x20 &&
               window[end] < 0x7F) {
          ++end;
        }
        version =
            "banner at " + Hex(kBannerWindowStart + at) + ": " + window.substr(start, end - start);
      }
    }
    row("", version);

    std::string block = "none at " + Hex(kConfigBlockPlace) + " or " + Hex(kConfigBlockOldPlace);
    for (std::uint32_t place : {kConfigBlockPlace, kConfigBlockOldPlace}) {
      if (flash.WordAt(place) != kConfigBlockMarker) continue;
      std::uint32_t words = 1;
      while (words < 0x10000 &&
             flash.WordAt(place + 4 * words).value_or(0xFFFFFFFF) != 0xFFFFFFFF) {
        ++words;
      }
      block = std::string(place == kConfigBlockOldPlace ? "at its old place " : "at ") +
              Hex(place) + ", " + std::to_string(words) + " words before the erased word";
      break;
    }
    row("config blk", block);

    std::vector<std::uint32_t> places = {kImagePlace, kImageOldPlace};
    if (config.platform.item5) places.insert(places.begin(), (*config.platform.item5)[0]);
    std::string image = "none at " + Hex(places[0]);
    for (std::uint32_t place : places) {
      if (std::optional<FoundImage> found_image = FindImage(flash, place)) {
        image = "boot image at " + Hex(place) + ": " + Hex(found_image->size) + " bytes, built " +
                FormatTicks(found_image->time);
        break;
      }
    }
    row("OS image", image);
    if (const NandLogicalView* view = flash.nand()) DescribeRelocations(dir, *view, row);
  }

  const PlatformConfig& p = config.platform;
  row("item 0", p.item0 ? Word((*p.item0)[0]) + " " + Word((*p.item0)[1]) : "none (not answered)");
  if (p.item5) {
    std::string words;
    for (std::uint32_t w : *p.item5) words += Word(w) + " ";
    row("item 5", words + "(image at " + Hex((*p.item5)[0]) + ", registry area " +
                      Hex((*p.item5)[1]) + " + " + Hex(2ull * (*p.item5)[2]) + ")");
  } else {
    row("item 5", "none (not answered)");
  }
  row("image ver", p.image_version ? "id " + std::to_string((*p.image_version)[0]) + ", version " +
                                         VersionText((*p.image_version)[1], (*p.image_version)[2])
                                   : "none (not answered)");

  fs::path fdf = dir / "fs" / "windows" / "default.fdf";
  struct stat st;
  if (stat(fdf.c_str(), &st) == 0) {
    row("default.fdf", "created " +
                           FormatTicks(TicksFromUnix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec)) +
                           " UTC (its mtime), " + std::to_string(st.st_size) + " bytes");
  } else {
    row("default.fdf", "none");
  }

  auto values = [](const RegistryKeyData& key) {
    std::string text;
    for (const RegistryValue& v : key.values) {
      if (!text.empty()) text += ", ";
      text += Utf8(v.name) + " = " +
              (v.type == REG_DWORD ? Word(v.number) : "\"" + Utf8(v.text) + "\"");
    }
    return text;
  };
  auto summary = [](const RegistryTree& tree) {
    std::size_t count = 0;
    for (const RegistryKeyData& key : tree.keys) count += key.values.size();
    auto counted = [](std::size_t n, const char* what) {
      return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
    };
    return counted(tree.keys.size(), "key") + ", " + counted(count, "value");
  };
  if (config.default_registry.empty()) row("registry", "no default registry in module.toml");
  for (const RegistryKeyData& key : config.default_registry.keys) {
    row("registry", Utf8(key.path) + ": " + values(key));
  }
  RegistryTree kept = LoadRegistryFile(KeptRegistryFile(dir));
  row("kept reg", kept.empty() ? "empty (a start makes the live registry from the default)"
                               : summary(kept) + " (registry.toml)");
  std::error_code ec;
  if (fs::exists(LiveRegistryFile(dir), ec)) {
    row("live reg", summary(LoadRegistryFile(LiveRegistryFile(dir))) + " (ram/registry.toml)");
  } else {
    row("live reg", "none until the module starts");
  }
  return out.str();
}

}  // namespace host

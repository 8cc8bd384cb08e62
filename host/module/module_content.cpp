// What the factory puts on a new module: the bootloader, the configuration block and the OS
// image programmed into its flash, the platform items, default.fdf and the default registry.

#include "host/module/module_content.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <vector>

#include "host/bin_image.h"
#include "host/module/module.h"
#include "host/module/module_files.h"
#include "host/module/nand_logical.h"
#include "host/system/calendar.h"
#include "host/system/registry.h"
#include "host/system/text.h"

namespace fs = std::filesystem;

namespace host {

namespace {

constexpr std::uint32_t kVirtualBase = 0x80000000;  // an image's first address: base + place
constexpr std::uint32_t kImageRomOffset = 0x2A40;
constexpr std::uint32_t kSampleRecordOffset = 0x1000;  // the sample nk.bin's version record
constexpr std::uint32_t kBootloaderRomBack = 0x400;    // the bootloader's ROM header: size - this
constexpr std::uint32_t kMinBootImage = 0x4000;
constexpr std::uint32_t kDefaultImageSize = 0x100000;
constexpr std::uint64_t kDriverFlashLimit = 0x4000000;  // the driver uses the first 64 MB
constexpr std::uint32_t kNorBusBlockBytes = 0x40000;
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

void Put32(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
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
  // A newer build than the factory's image, which says so in its own version record: after an
  // update from it and a cold restart, the version report names it.
  std::vector<std::uint8_t> nk =
      BootImage(image_place, 0x40000, kImageRomOffset, built, "nk.exe", 0x4E4C0000, 0x0000FFFF);
  const std::uint32_t nk_record[] = {kVersionRecordStart, 1, 5, 4, kVersionRecordEnd};
  for (int i = 0; i < 5; ++i) Put32(nk, kSampleRecordOffset + 4 * i, nk_record[i]);
  WriteSample(images / "nk.bin", kVirtualBase + image_place, nk);
  std::vector<std::uint8_t> boot = BootImage(0, 0x20000, 0x20000 - kBootloaderRomBack, built,
                                             "eboot.exe", 0xEB100000, 0x00FFFFFF);
  const std::uint32_t record[] = {kVersionRecordStart, 1, 1, 4, kVersionRecordEnd};
  for (int i = 0; i < 5; ++i) Put32(boot, kVersionRecordOffset + 4 * i, record[i]);
  WriteSample(images / "eboot.bin", 0xBCA00000, boot);
}

// The new nand.img mapped while the factory programs it, and its logical space as the driver
// lays it out over the erased chip.
class NewNandImage {
 public:
  NewNandImage(const fs::path& staging, const fs::path& dir, std::uint16_t chip) {
    fs::path file = staging / "nand.img";
    int fd = open(file.c_str(), O_RDWR | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) Fail(dir, "cannot open the new flash image");
    const std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (p == MAP_FAILED) Fail(dir, "cannot map the new flash image");
    image_ = static_cast<std::uint8_t*>(p);
    size_ = size;
    view_.emplace(image_, NandVariantFor(chip).blocks);
  }
  ~NewNandImage() {
    if (image_) munmap(image_, size_);
  }
  NewNandImage(const NewNandImage&) = delete;
  NewNandImage& operator=(const NewNandImage&) = delete;

  std::uint64_t FlashSize() const { return view_->FlashSize(); }

  // Programs `parts` into the logical space, with the controller's ECC. The image file was
  // written whole before it was mapped, so the mapping's stores need no new blocks.
  void Program(const fs::path& dir, const std::vector<FlashPiece>& parts) {
    for (const FlashPiece& part : parts) {
      if (!view_->Program(part.offset, part.bytes.data(), part.bytes.size())) {
        Fail(dir, "cannot write " + part.name + " into the new flash image");
      }
    }
  }

 private:
  std::uint8_t* image_ = nullptr;
  std::uint64_t size_ = 0;
  std::optional<NandLogicalView> view_;
};

// Programs `parts` straight into the erased nor.img of the module being made in `staging`.
void ProgramNor(const fs::path& staging, const fs::path& dir,
                const std::vector<FlashPiece>& parts) {
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

// The bootloader: a boot image at `b.place` with its version in a version record, or in a
// banner text like the one its build prints.
FlashPiece BootloaderPiece(const fs::path& dir, const BootloaderOptions& b) {
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
      Fail(dir, "a bootloader of " + Hex(b.size) + " bytes at " + Hex(b.place) +
                    " cannot hold its banner at " + Hex(kBannerOffset) + ": make it at least " +
                    Hex((kBannerOffset + length + kBootloaderRomBack - b.place + 0xFFF) & ~0xFFFu) +
                    " bytes");
    }
    std::memcpy(&image[kBannerOffset - b.place], text, length);
  } else {
    const std::uint32_t record[] = {kVersionRecordStart, 1, b.major, b.minor | (b.beta_build << 16),
                                    kVersionRecordEnd};
    for (int i = 0; i < 5; ++i) Put32(image, kVersionRecordOffset + 4 * i, record[i]);
  }
  return {"the bootloader", b.place, std::move(image)};
}

// The configuration block at `place`: the settings, then a record of each configuration item
// the platform answers (what the platform keeps there), then the end word.
FlashPiece ConfigBlockPiece(std::uint32_t place, const PlatformConfig& platform) {
  std::vector<std::uint32_t> words(std::begin(kConfigBlockWords), std::end(kConfigBlockWords) - 1);
  auto item = [&](std::uint32_t number, const std::uint32_t* item_words, std::size_t count) {
    words.push_back(kConfigItemTag);
    words.push_back(number);
    words.push_back(static_cast<std::uint32_t>(4 * count));
    words.insert(words.end(), item_words, item_words + count);
  };
  if (platform.item0) item(0, platform.item0->data(), platform.item0->size());
  if (platform.item5) item(5, platform.item5->data(), platform.item5->size());
  words.push_back(0xFFFFFFFF);
  std::vector<std::uint8_t> block(4 * words.size());
  for (std::size_t i = 0; i < words.size(); ++i) Put32(block, 4 * i, words[i]);
  return {"the configuration block", place, std::move(block)};
}

// Where the OS image goes: where asked, else where item 5's words say, else its usual place
// (further on when the configuration block is at its old place).
std::uint32_t ImagePlace(const CreateOptions& options) {
  const bool old_place = options.config_block && *options.config_block == kConfigBlockOldPlace;
  return options.image && options.image->place ? *options.image->place
         : options.item5_words                 ? (*options.item5_words)[0]
         : old_place                           ? kImageOldPlace
                                               : kImagePlace;
}

// Item 5's words as given, else the image's place and a registry area in the flash the driver
// uses (`usable` bytes): from 5/8 of it, twice 1/128 of it long. Where the flash has room for
// it after the image's place, the area is moved to whole erase blocks (`block` bytes) and each
// half made at least one: the platform erases one half while the other keeps the registry.
std::array<std::uint32_t, 6> Item5Words(const CreateOptions& options, std::uint32_t image_place,
                                        std::uint32_t usable, std::uint32_t block) {
  std::uint32_t start = usable / 8 * 5;
  std::uint32_t half = usable / 128;
  const std::uint32_t block_start = start / block * block;
  const std::uint32_t block_half = (half + block - 1) / block * block;
  if (block_start > image_place && std::uint64_t{block_start} + 2ull * block_half <= usable) {
    start = block_start;
    half = block_half;
  }
  std::array<std::uint32_t, 6> item5 = {image_place, start, half, 0, 0, 0};
  if (options.item5_words) item5 = *options.item5_words;
  return item5;
}

// The OS image at `place`: as long as asked, else up to 1 MB before the registry area when
// that follows the image, or before the end of the flash.
FlashPiece OsImagePiece(const fs::path& dir, const ImageOptions& options, std::uint32_t place,
                        const std::array<std::uint32_t, 6>& item5, std::uint64_t flash_size) {
  if (place % 4 || place >= flash_size) {
    Fail(dir, "no room for the OS image at " + Hex(place) + " in a flash of " + Hex(flash_size) +
                  " bytes: place it elsewhere or leave it out");
  }
  std::uint32_t size = 0;
  if (options.size) {
    size = *options.size;
  } else {
    std::uint64_t room = item5[1] > place ? item5[1] - place : flash_size - place;
    size = static_cast<std::uint32_t>(std::min<std::uint64_t>(kDefaultImageSize, room));
  }
  if (size < kMinBootImage || size % 4) {
    Fail(dir, "the OS image at " + Hex(place) + " would be " + Hex(size) +
                  " bytes: give a size of at least " + Hex(kMinBootImage) +
                  " (a multiple of 4), or no image");
  }
  std::uint64_t time = options.time ? options.time : Iso("2009-03-06T17:42:10");
  return {"the OS image", place,
          BootImage(place, size, kImageRomOffset, time, "nk.exe", 0x4E4B0000, 0x0000FFFF)};
}

// Refuses a piece that runs past the flash or overlaps a piece before it.
void CheckPieces(const fs::path& dir, const std::vector<FlashPiece>& parts,
                 std::uint64_t flash_size) {
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
}

// The flash file-system driver's key in the default registry: its MemBase and MemLen as
// given, else the flash the driver uses from the end of item 5's registry area on.
void AddDriverKey(const fs::path& dir, const CreateOptions& options,
                  const std::array<std::uint32_t, 6>& item5, std::uint32_t usable,
                  RegistryTree& registry) {
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
  registry.SetValue(key, {u"Dll", REG_SZ, 0, u"StrataFMD.dll"});
  registry.SetValue(key, {u"Prefix", REG_SZ, 0, u"DSK"});
  registry.SetValue(key, {u"MemBase", REG_DWORD, static_cast<DWORD>(base), {}});
  registry.SetValue(key, {u"MemLen", REG_DWORD, static_cast<DWORD>(length), {}});
}

}  // namespace

void MakeFileContent(const fs::path& staging, const fs::path& dir, const CreateOptions& options,
                     std::uint32_t usable, ModuleConfig& config) {
  const std::uint32_t block =
      config.flash == FlashKind::kNand ? kNandBlockBytes : kNorBusBlockBytes;
  const std::array<std::uint32_t, 6> item5 =
      config.platform.item5 ? *config.platform.item5
                            : Item5Words(options, ImagePlace(options), usable, block);
  if (!config.platform.item5 && options.item5) config.platform.item5 = item5;
  if (options.image_version) config.platform.image_version = *options.image_version;
  if (options.registry) AddDriverKey(dir, options, item5, usable, config.default_registry);
  if (options.fdf_time) SetDefaultFdfTime(staging, *options.fdf_time);
  if (options.samples) WriteSamples(staging / "fs" / "USB HD" / "IMAGES", item5[0]);
}

ConfigItems ConfigItemsIn(const std::vector<std::uint8_t>& bytes) {
  ConfigItems items;
  auto word = [&](std::size_t at) {
    return static_cast<std::uint32_t>(bytes[at]) | static_cast<std::uint32_t>(bytes[at + 1]) << 8 |
           static_cast<std::uint32_t>(bytes[at + 2]) << 16 |
           static_cast<std::uint32_t>(bytes[at + 3]) << 24;
  };
  // Records start after the marker word; the first of each item counts.
  for (std::size_t at = 4; at + 12 <= bytes.size(); at += 4) {
    if (word(at) != kConfigItemTag) continue;
    const std::uint32_t number = word(at + 4);
    const std::uint32_t length = word(at + 8);
    const std::size_t first = at + 12;
    if (number == 0 && length == 8 && first + 8 <= bytes.size() && !items.item0) {
      items.item0 = std::array<std::uint32_t, 2>{word(first), word(first + 4)};
    } else if (number == 5 && length == 24 && first + 24 <= bytes.size() && !items.item5) {
      std::array<std::uint32_t, 6> words;
      for (std::size_t i = 0; i < 6; ++i) words[i] = word(first + 4 * i);
      items.item5 = words;
    }
  }
  return items;
}

void SetDefaultFdfTime(const fs::path& module_dir, std::uint64_t time) {
  fs::path fdf = module_dir / "fs" / "windows" / "default.fdf";
  std::error_code ec;
  if (!fs::exists(fdf, ec)) {
    fs::create_directories(fdf.parent_path(), ec);
    std::ofstream out(fdf, std::ios::binary);
    out << kFdfText;
    out.close();
    if (!out) Fail(fdf, "cannot write");
  }
  std::int64_t seconds, nanoseconds;
  UnixFromTicks(time, &seconds, &nanoseconds);
  struct timespec times[2] = {{static_cast<time_t>(seconds), static_cast<long>(nanoseconds)},
                              {static_cast<time_t>(seconds), static_cast<long>(nanoseconds)}};
  if (utimensat(AT_FDCWD, fdf.c_str(), times, 0) != 0) Fail(fdf, "cannot set its time");
}

void MakeFactoryContent(const fs::path& staging, const fs::path& dir, const CreateOptions& options,
                        ModuleConfig& config) {
  const bool nand = config.flash == FlashKind::kNand;
  // The factory programs the logical space as the driver lays it out over the erased chip.
  std::optional<NewNandImage> nand_image;
  if (nand) nand_image.emplace(staging, dir, config.nand.chip);
  const std::uint64_t flash_size =
      nand ? nand_image->FlashSize() : std::uint64_t{2} << config.nor.cfi_size;
  const std::uint32_t usable =
      static_cast<std::uint32_t>(nand ? flash_size : std::min(flash_size, kDriverFlashLimit));
  std::vector<FlashPiece> parts;
  if (options.bootloader) parts.push_back(BootloaderPiece(dir, *options.bootloader));

  const std::uint32_t image_place = ImagePlace(options);
  // An erase block as the driver sees it: 128 KB of NAND, or a 128 KB main block of each of
  // the two NOR chips side by side.
  const std::uint32_t block = nand ? kNandBlockBytes : kNorBusBlockBytes;
  const std::array<std::uint32_t, 6> item5 = Item5Words(options, image_place, usable, block);
  if (options.item5) {
    if (std::uint64_t{item5[1]} + 2 * std::uint64_t{item5[2]} > usable) {
      Fail(dir, "item 5's registry area " + Hex(item5[1]) + " + 2 x " + Hex(item5[2]) +
                    " runs past the flash (" + Hex(usable) + " bytes)");
    }
    config.platform.item5 = item5;
  }
  if (options.item0) config.platform.item0 = *options.item0;
  if (options.image_version) config.platform.image_version = *options.image_version;
  if (options.config_block) {
    parts.push_back(ConfigBlockPiece(*options.config_block, config.platform));
  }
  if (options.image) {
    // Without a time of its own, the image was built when its default.fdf was made: a start
    // gives the file the running image's build time.
    ImageOptions image = *options.image;
    if (!image.time && options.fdf_time) image.time = *options.fdf_time;
    parts.push_back(OsImagePiece(dir, image, image_place, item5, flash_size));
  }
  CheckPieces(dir, parts, flash_size);

  if (options.registry) AddDriverKey(dir, options, item5, usable, config.default_registry);

  // Factory programming: straight into the erased flash image (on NAND, into its logical
  // space, with the controller's ECC).
  if (nand) {
    nand_image->Program(dir, parts);
  } else {
    ProgramNor(staging, dir, parts);
  }
  if (options.fdf_time) SetDefaultFdfTime(staging, *options.fdf_time);
  if (options.samples) WriteSamples(staging / "fs" / "USB HD" / "IMAGES", image_place);
}

}  // namespace host

// Making a module directory (its flash image erased, module.toml, faults.toml) and opening
// one: its image files mapped and its hardware built.

#include "host/module/module.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <vector>

#include "host/hardware/virtual_cpu.h"
#include "host/module/module_files.h"
#include "host/module/nand_logical.h"
#include "host/system/kernel_objects.h"

namespace fs = std::filesystem;

namespace host {

namespace {

Module* current_module = nullptr;

void WriteFile(const fs::path& file, const std::string& text) {
  std::ofstream out(file, std::ios::binary);
  out << text;
  out.close();
  if (!out) Fail(file, "cannot write");
}

constexpr const char* kNandFaultsTemplate =
    "# Faults to inject. Each [[nand]] entry:\n"
    "#   kind = \"erase-error\" | \"program-error\" | \"bit-flip\" | \"never-ready\"\n"
    "#   block = physical block (erase-error, program-error): the chip reports a failed\n"
    "#           status; a failed program or erase changes no cell\n"
    "#   page, byte, bit = physical page, byte of its 2112 (2048 and up: spare), bit 0-7\n"
    "#           (bit-flip): the bit reads inverted on every read of the page\n"
    "#   chip_select = 0 | 1 (never-ready; every chip when not given): reads, programs and\n"
    "#           erases start and never finish\n"
    "# [registry] open = \"fail\" | flush = \"fail\" (or a Win32 error number)\n"
    "# [platform] registry_clear = \"fail\" | config_set = \"fail\"\n";

constexpr const char* kNorFaultsTemplate =
    "# Faults to inject. Each [[nor]] entry:\n"
    "#   kind  = \"locked-down\" | \"erase-error\" | \"program-error\" | "
    "\"never-ready\" | \"buffer-unavailable\"\n"
    "#   block = offset of any byte of the block in the flash (not for never-ready or\n"
    "#           buffer-unavailable)\n"
    "#   count = buffer-unavailable: the next count Write to Buffer requests find the\n"
    "#           buffer taken for a few status reads\n"
    "#   chip  = \"low\" | \"high\" | \"both\" (the default)\n"
    "# [registry] open = \"fail\" | flush = \"fail\" (or a Win32 error number)\n"
    "# [platform] registry_clear = \"fail\" | config_set = \"fail\"\n";

// Maps `size` bytes of `file` shared, making the file that size when `create` is set. With
// `kept_fd`, the file stays open there as well (for reads that should not touch the mapping).
std::uint8_t* MapFile(const fs::path& file, std::uint64_t size, bool create,
                      const std::string& size_problem, int* kept_fd = nullptr) {
  int fd = open(file.c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0644);
  if (fd < 0) {
    Fail(file, std::string(create ? "cannot create: " : "cannot open: ") + std::strerror(errno));
  }
  struct stat st;
  // A new file (size 0) is made its size; another process may just have done it.
  if (create && fstat(fd, &st) == 0 && st.st_size == 0 &&
      ftruncate(fd, static_cast<off_t>(size)) != 0) {
    close(fd);
    Fail(file,
         std::string("cannot make it ") + std::to_string(size) + " bytes: " + std::strerror(errno));
  }
  if (fstat(fd, &st) != 0 || static_cast<std::uint64_t>(st.st_size) != size) {
    close(fd);
    Fail(file, "is " + std::to_string(st.st_size) + " bytes; " + size_problem + " needs " +
                   std::to_string(size));
  }
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  const int error = errno;
  if (kept_fd && p != MAP_FAILED) {
    *kept_fd = fd;
  } else {
    close(fd);
  }
  if (p == MAP_FAILED) Fail(file, std::string("cannot map: ") + std::strerror(error));
  return static_cast<std::uint8_t*>(p);
}

// Writes `size` erased bytes (0xFF) to a new `file`, then `marks`: bytes at their offsets.
// Written through the file, not a mapping: a mapping of a new file reads every page in as
// zeros before it can be set.
void WriteErasedFile(const fs::path& file, std::uint64_t size,
                     const std::vector<std::pair<std::uint64_t, std::uint8_t>>& marks = {}) {
  int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) Fail(file, std::string("cannot create: ") + std::strerror(errno));
  std::vector<std::uint8_t> erased(1 << 20, 0xFF);
  int error = 0;
  for (std::uint64_t at = 0; at < size && !error;) {
    std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(size - at, erased.size()));
    ssize_t n = pwrite(fd, erased.data(), take, static_cast<off_t>(at));
    if (n <= 0) error = n < 0 ? errno : ENOSPC;
    if (n > 0) at += static_cast<std::uint64_t>(n);
  }
  for (const auto& [at, value] : marks) {
    if (!error && pwrite(fd, &value, 1, static_cast<off_t>(at)) != 1) error = errno ? errno : EIO;
  }
  if (close(fd) != 0 && !error) error = errno;
  if (error) Fail(file, std::string("cannot write the flash image: ") + std::strerror(error));
}

// An erased chip as it leaves the factory, with the relocation table page programmed (ECC off:
// the signature 0x524E and nothing else, spare area erased) and its program counted, and the
// maker's mark on its bad blocks: on large-page parts a non-0xFF first spare byte in the
// block's first and second pages.
void WriteErasedNand(const fs::path& staging, const NandConfig& nand) {
  std::uint64_t size = NandImageBytes(nand.chip);
  std::vector<std::pair<std::uint64_t, std::uint8_t>> marks = {
      {std::uint64_t{kNandTablePage} * kNandRawPageBytes, 0x4E},
      {std::uint64_t{kNandTablePage} * kNandRawPageBytes + 1, 0x52}};
  for (std::uint32_t block : nand.factory_bad_blocks) {
    for (std::uint64_t page = 0; page < 2; ++page) {
      marks.push_back(
          {(std::uint64_t{block} * kNandPagesPerBlock + page) * kNandRawPageBytes + kNandPageBytes,
           0x00});
    }
  }
  WriteErasedFile(staging / "nand.img", size, marks);
  std::uint64_t pages = size / kNandRawPageBytes;
  std::uint8_t* programs = MapFile(staging / "nand.programs", pages, true, "the chip");
  programs[kNandTablePage] = 1;
  munmap(programs, pages);
}

}  // namespace

ModuleConfig NewModuleConfig(const fs::path& dir, const CreateOptions& options) {
  ModuleConfig config;
  const bool nand = options.flash == FlashKind::kNand;
  config.flash = options.flash;
  if (nand) {
    config.part_number = options.part_number.value_or(9);
    if (config.part_number != 8 && config.part_number != 9) {
      Fail(dir, "part number " + std::to_string(config.part_number) +
                    " is not a PXA3xx (8 or 9): NAND modules have a PXA3xx");
    }
    config.nand.chip = options.nand_chip;
    const std::uint32_t blocks = NandVariantFor(config.nand.chip).blocks;
    for (std::uint32_t block : options.factory_bad_blocks) {
      if (block == 0) Fail(dir, "block 0 cannot be a factory bad block: makers guarantee it good");
      if (block >= blocks) {
        Fail(dir, "factory bad block " + std::to_string(block) + " is past the chip's " +
                      std::to_string(blocks) + " blocks");
      }
      if (std::find(config.nand.factory_bad_blocks.begin(), config.nand.factory_bad_blocks.end(),
                    block) == config.nand.factory_bad_blocks.end()) {
        config.nand.factory_bad_blocks.push_back(block);
      }
    }
    std::sort(config.nand.factory_bad_blocks.begin(), config.nand.factory_bad_blocks.end());
  } else {
    if (!options.factory_bad_blocks.empty()) Fail(dir, "factory bad blocks are NAND's");
    config.part_number = options.part_number.value_or(17);
    config.nor.device[0] = config.nor.device[1] = options.nor_device;
    const NorVariant* variant = FindNorVariant(options.nor_device);
    config.nor.cfi_size = options.cfi_size ? *options.cfi_size : variant ? variant->cfi_size : 0x18;
    if (config.nor.cfi_size < kMinCfiSize || config.nor.cfi_size > kMaxCfiSize) {
      Fail(dir, "CFI size " + Hex(config.nor.cfi_size, 2) + " is outside " + Hex(kMinCfiSize, 2) +
                    ".." + Hex(kMaxCfiSize, 2));
    }
  }
  config.main_id = MainIdForPartNumber(config.part_number);
  config.nor.timing.mode = options.times;
  config.nor.timing.seed = options.seed;
  return config;
}

CreateOptions CreateOptions::Blank() {
  CreateOptions options;
  options.bootloader.reset();
  options.config_block.reset();
  options.image.reset();
  options.item0.reset();
  options.item5 = false;
  options.image_version.reset();
  options.fdf_time.reset();
  options.registry = false;
  options.samples = false;
  return options;
}

void MakeModuleDirectory(const fs::path& dir, FlashKind flash,
                         const std::function<ModuleConfig(const fs::path&)>& fill) {
  std::error_code ec;
  if (fs::exists(dir, ec) && (!fs::is_directory(dir) || !fs::is_empty(dir, ec))) {
    Fail(dir, "already exists and is not an empty directory");
  }
  // Build the module beside its place and move it in whole, so that a failure leaves nothing.
  fs::path parent = fs::absolute(dir).parent_path();
  fs::create_directories(parent, ec);
  if (ec) Fail(parent, "cannot create: " + ec.message());
  std::string pattern = (parent / ".imbrel-module-XXXXXX").string();
  if (!mkdtemp(pattern.data())) Fail(parent, "cannot create a directory here");
  fs::path staging = pattern;
  try {
    fs::create_directory(staging / "fs");
    const ModuleConfig config = fill(staging);
    WriteFile(staging / "module.toml", ModuleToml(config));
    WriteFile(staging / "faults.toml",
              flash == FlashKind::kNand ? kNandFaultsTemplate : kNorFaultsTemplate);
    WriteRegistryFile(KeptRegistryFile(staging), RegistryTree{});
    fs::create_directory(staging / "ram");
    fs::permissions(staging, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                 fs::perms::others_read | fs::perms::others_exec);
    if (fs::exists(dir)) fs::remove(dir);
    fs::rename(staging, dir);
  } catch (...) {
    fs::remove_all(staging, ec);
    throw;
  }
}

void CreateModule(const fs::path& dir, const CreateOptions& options) {
  ModuleConfig config = NewModuleConfig(dir, options);
  MakeModuleDirectory(dir, options.flash, [&](const fs::path& staging) {
    if (options.flash == FlashKind::kNand) {
      WriteErasedNand(staging, config.nand);
    } else {
      WriteErasedFile(staging / "nor.img", std::uint64_t{2} << config.nor.cfi_size);
    }
    MakeFactoryContent(staging, dir, options, config);
    return config;
  });
}

std::unique_ptr<Module> Module::Open(const fs::path& dir) {
  return Open(dir, LoadModuleConfig(dir));
}

std::unique_ptr<Module> Module::OpenPrivate(const fs::path& dir, const ModuleConfig& config,
                                            const fs::path& image) {
  std::unique_ptr<Module> module(new Module());
  module->private_image_ = fs::absolute(image);
  module->Build(dir, config);
  return module;
}

std::unique_ptr<Module> Module::Open(const fs::path& dir, const ModuleConfig& config) {
  std::unique_ptr<Module> module(new Module());
  module->Build(dir, config);
  return module;
}

std::uint8_t* Module::MapImage(const fs::path& file, std::uint64_t size,
                               const std::string& size_problem) {
  if (private_image_.empty()) return MapFile(file, size, false, size_problem, &image_fd_);
  // Read-only underneath: nothing of this process reaches the file. Reads go through the
  // mapping (image_fd_ stays -1), as the file does not see this process's changes.
  int fd = open(private_image_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) Fail(private_image_, std::string("cannot open: ") + std::strerror(errno));
  struct stat st;
  if (fstat(fd, &st) != 0 || static_cast<std::uint64_t>(st.st_size) != size) {
    close(fd);
    Fail(private_image_,
         "is not the " + std::to_string(size) + " bytes " + size_problem + " needs");
  }
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, 0);
  const int error = errno;
  close(fd);
  if (p == MAP_FAILED) Fail(private_image_, std::string("cannot map: ") + std::strerror(error));
  return static_cast<std::uint8_t*>(p);
}

void Module::Build(const fs::path& dir, const ModuleConfig& config) {
  Module* module = this;
  module->dir_ = fs::absolute(dir);
  module->config_ = config;
  // The module's RAM holds the live registry and the named mutexes' lock files: without a
  // writable ram/ two processes could not exclude each other, so the module is refused.
  fs::path ram = module->dir_ / "ram";
  std::error_code ram_error;
  fs::create_directories(ram, ram_error);
  if (fs::exists(ram) && !fs::is_directory(ram)) Fail(ram, "not a folder");
  if (ram_error) Fail(ram, "cannot make the module's RAM folder: " + ram_error.message());
  if (access(ram.c_str(), W_OK) != 0)
    Fail(ram, std::string("cannot write: ") + std::strerror(errno));
  module->notes_ = std::make_unique<ModelNotes>(module->dir_, TraceRequested());
  module->links_.notes = module->notes_.get();
  module->power_ = std::make_unique<PowerSupply>(module->dir_, module->config_.power_cut_after);
  module->links_.power = module->power_.get();
  if (module->config_.flash == FlashKind::kNand) {
    module->OpenNand();
  } else {
    fs::path image = dir / "nor.img";
    std::uint64_t size = std::uint64_t{2} << module->config_.nor.cfi_size;
    module->image_ = module->MapImage(
        image, size, "module.toml's cfi_size " + Hex(module->config_.nor.cfi_size, 2));
    module->image_size_ = size;
    module->LinkImageFile();
    module->nor_ = std::make_unique<NorArray>(module->config_.nor, module->image_, module->links_);
    if (module->config_.nor.clear_lock_clears_all) {
      // J3 lock bits are cells: nor.locks keeps them across restarts.
      fs::path locks = dir / "nor.locks";
      module->locks_size_ = module->nor_->LockBitBytes();
      module->locks_ = MapFile(locks, module->locks_size_, true, "one byte a block of each chip");
      module->nor_->KeepLockBits(module->locks_);
    }
    // Blocks whose erase was cut short stay weak across restarts, until erased whole.
    fs::path weak = dir / "nor.weak";
    module->weak_size_ = module->nor_->LockBitBytes();
    module->weak_ = MapFile(weak, module->weak_size_, true, "one byte a block of each chip");
    module->nor_->KeepWeakBlocks(module->weak_);
    // The blocks' wear: erases begun on each, ever.
    module->erase_counts_size_ = 4 * module->nor_->LockBitBytes();
    module->erase_counts_ = MapFile(dir / "nor.erases", module->erase_counts_size_, true,
                                    "four bytes a block of each chip");
    module->nor_->KeepEraseCounts(reinterpret_cast<std::uint32_t*>(module->erase_counts_));
    module->bus_.Attach(kNorPhysicalBase, size, module->nor_.get());
  }

  // The module becomes the one the CE calls of this process reach. The destructor undoes
  // every setting made here, so that nothing of it is left to the next module.
  current_module = module;
  SetRegistryFaults(module->config_.registry_faults);
  SetCpuMainId(module->config_.main_id);
  SetClockPace(module->config_.pace);
  SetKernelObjectDirectory(module->dir_ / "ram");
  SetPhysicalBus(&module->bus_);
  InstallPlatformCodes(module->dir_, module->config_.platform, module->config_.platform_faults);
}

void Module::OpenNand() {
  const NandConfig& nand = config_.nand;
  NandVariant variant = NandVariantFor(nand.chip);
  image_size_ = NandImageBytes(nand.chip);
  image_ = MapImage(dir_ / "nand.img", image_size_,
                    "module.toml's chip " + Hex(nand.chip, 4) + " (" +
                        std::to_string(variant.blocks) + " blocks of 64 pages of 2112 bytes)");
  LinkImageFile();
  // The program counters of the pages: made (all zero) for a module that has none yet.
  fs::path counters = dir_ / "nand.programs";
  programs_size_ = image_size_ / kNandRawPageBytes;
  programs_ = MapFile(counters, programs_size_, !fs::exists(counters), "one byte a page");
  std::uint32_t blocks = variant.blocks / variant.chip_selects;
  // Blocks whose erase was cut short stay weak across restarts, until erased whole.
  fs::path weak = dir_ / "nand.weak";
  weak_size_ = variant.blocks;
  weak_ = MapFile(weak, weak_size_, true, "one byte a block");
  // The blocks' wear: erases begun on each, ever.
  erase_counts_size_ = 4 * std::size_t{variant.blocks};
  erase_counts_ = MapFile(dir_ / "nand.erases", erase_counts_size_, true, "four bytes a block");
  // Factory bad blocks fail every erase and program, as the injected faults do.
  std::vector<NandFault> faults = nand.faults;
  for (std::uint32_t block : nand.factory_bad_blocks) {
    faults.push_back({.kind = NandFaultKind::kEraseError, .block = block});
    faults.push_back({.kind = NandFaultKind::kProgramError, .block = block});
  }
  std::vector<NandChip*> chips;
  for (std::uint32_t cs = 0; cs < variant.chip_selects; ++cs) {
    std::uint64_t first_page = std::uint64_t{cs} * blocks * kNandPagesPerBlock;
    nand_.push_back(std::make_unique<NandChip>(
        variant, blocks, cs * blocks, image_ + first_page * kNandRawPageBytes,
        programs_ + first_page, nand.timing, faults, static_cast<int>(cs), links_));
    nand_.back()->SpoilRuleBreaks(nand.spoil_rule_breaks);
    nand_.back()->KeepWeakBlocks(weak_ + std::size_t{cs} * blocks);
    nand_.back()->KeepEraseCounts(reinterpret_cast<std::uint32_t*>(erase_counts_) +
                                  std::size_t{cs} * blocks);
    chips.push_back(nand_.back().get());
  }
  DfcTiming timing;
  timing.clock_mhz = DfcClockMhz(config_.part_number);
  timing.follow_cpu = true;
  dfc_ = std::make_unique<Pxa3xxDfc>(chips, timing, links_);
  // The controller's registers hold what the last program wrote until the module restarts.
  fs::create_directories(dir_ / "ram");
  dfc_settings_ = MapFile(dir_ / "ram" / "pxa3xx-dfc-registers", sizeof(DfcSettings), true,
                          "the controller's settings");
  dfc_->KeepSettingsIn(reinterpret_cast<DfcSettings*>(dfc_settings_));
  bus_.Attach(kDfcPhysicalBase, kDfcWindowBytes, dfc_.get());
}

void Module::ReloadRam() {
  if (!dfc_) return;
  fs::create_directories(dir_ / "ram");
  if (dfc_settings_) munmap(dfc_settings_, sizeof(DfcSettings));
  dfc_settings_ = MapFile(dir_ / "ram" / "pxa3xx-dfc-registers", sizeof(DfcSettings), true,
                          "the controller's settings");
  dfc_->KeepSettingsIn(reinterpret_cast<DfcSettings*>(dfc_settings_));
}

void Module::ReadLockBitsAgain() {
  if (nor_) nor_->ReadLockBitsAgain();
}

void Module::LinkImageFile() {
  image_file_ = std::make_unique<FlashImageFile>(image_, image_size_,
                                                 config_.flash == FlashKind::kNand, image_fd_);
  links_.image = image_file_.get();
}

std::uint64_t NandImageBytes(std::uint16_t chip) {
  return std::uint64_t{NandVariantFor(chip).blocks} * kNandPagesPerBlock * kNandRawPageBytes;
}

Module::~Module() {
  if (current_module == this) {
    RemovePlatformCodes();
    SetPhysicalBus(nullptr);
    SetKernelObjectDirectory({});
    SetClockPace(Pace::kFast);
    SetCpuMainId(kDefaultCpuMainId);
    SetRegistryFaults({});
    current_module = nullptr;
  }
  dfc_.reset();
  nand_.clear();
  if (image_) munmap(image_, image_size_);
  if (image_fd_ >= 0) close(image_fd_);
  if (programs_) munmap(programs_, programs_size_);
  if (locks_) munmap(locks_, locks_size_);
  if (weak_) munmap(weak_, weak_size_);
  if (erase_counts_) munmap(erase_counts_, erase_counts_size_);
  if (dfc_settings_) munmap(dfc_settings_, sizeof(DfcSettings));
}

Module* CurrentModule() { return current_module; }

}  // namespace host

// imbrel-update-campaign: generated BIN images, sound and broken, each written by a quiet update
// onto a small NOR or NAND module that already holds other data, sometimes with one flash fault
// injected, then a small sound image written in the same process. After each update the flash,
// read straight from the module's image file, is held to a reference built here from the
// image's records: a reported success must leave exactly the reference in the blocks the image
// range touches and nothing changed elsewhere; an error box must leave everything outside those
// blocks as it was. Every case runs in a process of its own, from a module restored to its
// template, so a case can be run alone again (--case K) from the seed.

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "ce/ce.h"
#include "flash/flash_ops.h"
#include "host/module/module.h"
#include "host/module/nand_logical.h"
#include "host/system/text.h"
#include "host/tool_support.h"
#include "host/ui/script_backend.h"
#include "resources/resources.h"
#include "shell/program_state.h"
#include "tests/bin_writer.h"
#include "update/update_dialog.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<std::uint8_t>;
using U = unsigned long long;  // for printf

constexpr std::uint32_t kPage = 2048;  // flash contents are kept and compared by these
constexpr std::uint64_t kBootArea = kBootAreaBytes;
constexpr std::uint64_t kBootLastPage = 0x3F800;  // NAND: never written by an update
constexpr std::uint32_t kDefaultBase = 0x80000;
constexpr char kSuccess[] = "success";

volatile sig_atomic_t Interrupted = 0;

// ---- Flash contents -------------------------------------------------------------------------

// The flash an update addresses, by page; an empty page is erased.
struct Contents {
  std::vector<Bytes> pages;

  explicit Contents(std::uint64_t size = 0) : pages(size / kPage) {}
  std::uint64_t size() const { return std::uint64_t{pages.size()} * kPage; }
  std::uint8_t Get(std::uint64_t at) const {
    const Bytes& p = pages[at / kPage];
    return p.empty() ? 0xFF : p[at % kPage];
  }
  void Set(std::uint64_t at, std::uint8_t value) {
    Bytes& p = pages[at / kPage];
    if (p.empty()) p.assign(kPage, 0xFF);
    p[at % kPage] = value;
  }
  void Erase(std::uint64_t from, std::uint64_t to) {  // page-aligned
    for (std::uint64_t at = from; at < to; at += kPage) pages[at / kPage].clear();
  }
};

const Bytes kErasedPage(kPage, 0xFF);

std::optional<std::uint64_t> FirstDifference(const Contents& a, const Contents& b,
                                             std::uint64_t from, std::uint64_t to) {
  for (std::uint64_t page = from / kPage; page < to / kPage; ++page) {
    if (a.pages[page] == b.pages[page]) continue;
    for (std::uint64_t at = page * kPage; at < (page + 1) * kPage; ++at) {
      if (a.Get(at) != b.Get(at)) return at;
    }
  }
  return std::nullopt;
}

// ---- Modules --------------------------------------------------------------------------------

enum Kind { kP30, kJ3, kNand8, kNand9, kKinds };
const char* const kKindNames[kKinds] = {"NOR 0x8922", "NOR J3 0x0018", "NAND, part number 8",
                                        "NAND, part number 9"};
bool IsNand(int kind) { return kind >= kNand8; }

// A module of one kind in the work directory, and its files as created, to put back before
// every case. The flash image is mapped shared here, where the checks read it.
struct Bench {
  int kind;
  fs::path dir;
  fs::path image_file;
  std::uint64_t flash_size;  // bytes the updates can address
  std::uint32_t nand_blocks = 0;
  std::uint8_t* image = nullptr;
  std::uint8_t* pristine = nullptr;  // the image as created; not inherited by the cases
  std::size_t image_size = 0;
  std::map<fs::path, std::string> files;
  Contents blank;  // the flash as created
  std::uint64_t restores = 0;

  std::uint64_t BlockSize(std::uint64_t at) const {
    return IsNand(kind) ? 0x20000 : kind == kP30 && at < kBootArea ? 0x10000 : 0x40000;
  }
  std::uint64_t BlockStart(std::uint64_t at) const { return at - at % BlockSize(at); }
  // The end of the block that holds at - 1.
  std::uint64_t BlockEnd(std::uint64_t at) const {
    return at == 0 ? 0 : BlockStart(at - 1) + BlockSize(at - 1);
  }
};

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const fs::path& path, const void* data, std::size_t size) {
  std::ofstream(path, std::ios::binary)
      .write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
}

// Reads pages [from, to) of what the module's image file holds into `c`, as the program's
// driver lays the flash out in it.
void Read(const Bench& bench, Contents& c, std::uint64_t from, std::uint64_t to) {
  std::optional<host::NandLogicalView> view;
  if (IsNand(bench.kind)) view.emplace(bench.image, bench.nand_blocks);
  for (std::uint64_t page = from / kPage; page < (to + kPage - 1) / kPage; ++page) {
    const std::uint8_t* data = bench.image + page * kPage;
    if (view) {
      std::optional<std::uint32_t> physical = view->PhysicalPage(static_cast<std::uint32_t>(page));
      data = physical ? view->RawPage(*physical) : kErasedPage.data();
    }
    if (std::memcmp(data, kErasedPage.data(), kPage) != 0) {
      c.pages[page].assign(data, data + kPage);
    } else {
      c.pages[page].clear();
    }
  }
}

// The 128 KB units of the flash a case's checks read, by index: on NAND only those around
// what the case's images and content touch (a change anywhere else shows in nand.programs).
using Window = std::vector<bool>;
constexpr std::uint64_t kUnit = 0x20000;

Contents Capture(const Bench& bench, const Window& window) {
  Contents c = bench.blank;
  for (std::uint64_t unit = 0; unit < window.size(); ++unit) {
    if (window[unit]) Read(bench, c, unit * kUnit, std::min((unit + 1) * kUnit, bench.flash_size));
  }
  return c;
}

std::unique_ptr<Bench> MakeBench(int kind, const fs::path& work) {
  auto bench = std::make_unique<Bench>();
  bench->kind = kind;
  bench->dir = work / ("module-" + std::to_string(kind));
  host::CreateOptions options = host::CreateOptions::Blank();
  if (IsNand(kind)) {
    options.flash = host::FlashKind::kNand;
    options.nand_chip = 0xF1EC;
    options.part_number = kind == kNand8 ? 8 : 9;
  } else {
    options.nor_device = kind == kP30 ? 0x8922 : 0x0018;
    options.cfi_size = 0x15;  // 2 x 2 MB
  }
  host::CreateModule(bench->dir, options);
  bench->image_file = bench->dir / (IsNand(kind) ? "nand.img" : "nor.img");
  for (const auto& entry : fs::recursive_directory_iterator(bench->dir)) {
    if (entry.is_regular_file() && entry.path() != bench->image_file) {
      bench->files[entry.path()] = ReadText(entry.path());
    }
  }
  int fd = open(bench->image_file.c_str(), O_RDWR);
  bench->image_size = fs::file_size(bench->image_file);
  void* map = mmap(nullptr, bench->image_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  void* copy =
      mmap(nullptr, bench->image_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (map == MAP_FAILED || copy == MAP_FAILED) throw std::runtime_error("cannot map the image");
  madvise(copy, bench->image_size, MADV_DONTFORK);
  bench->image = static_cast<std::uint8_t*>(map);
  bench->pristine = static_cast<std::uint8_t*>(copy);
  std::memcpy(bench->pristine, bench->image, bench->image_size);
  if (IsNand(kind)) {
    bench->nand_blocks = static_cast<std::uint32_t>(bench->image_size / host::kNandRawPageBytes /
                                                    host::kNandPagesPerBlock);
    bench->flash_size = host::NandLogicalView(bench->image, bench->nand_blocks).FlashSize();
  } else {
    bench->flash_size = bench->image_size;
  }
  bench->blank = Contents(bench->flash_size);
  Read(*bench, bench->blank, 0, bench->flash_size);
  return bench;
}

// Puts the module back as it was made: files the program or a case added go. On NAND every
// change to a page's cells is a program, which counts up its byte of nand.programs, or an
// erase, which sets it to 0 and the page to 0xFF: only pages whose count moved, and the two
// boot blocks whose table page is rewritten in place, are copied back; every 16th time the
// whole image is compared, to hold that to account.
void Restore(Bench& bench) {
  std::size_t changed = 0;
  auto copy_back = [&](std::size_t at, std::size_t n) {
    if (std::memcmp(bench.image + at, bench.pristine + at, n) == 0) return;
    std::memcpy(bench.image + at, bench.pristine + at, n);
    ++changed;
  };
  const bool full = !IsNand(bench.kind) || ++bench.restores % 16 == 0;
  if (IsNand(bench.kind)) {
    const fs::path counts_file = bench.dir / "nand.programs";
    const std::string counts = ReadText(counts_file), made = bench.files.at(counts_file);
    for (std::size_t page = 0; page < made.size(); ++page) {
      if (page < 2 * host::kNandPagesPerBlock || counts[page] != made[page]) {
        copy_back(page * host::kNandRawPageBytes, host::kNandRawPageBytes);
      }
    }
  }
  if (full) {
    changed = 0;
    for (std::size_t at = 0; at < bench.image_size; at += 1 << 16) {
      copy_back(at, std::min<std::size_t>(1 << 16, bench.image_size - at));
    }
    if (IsNand(bench.kind) && changed) {
      throw std::runtime_error("pages changed without a program or erase counted in nand.programs");
    }
  }
  std::vector<fs::path> extra;
  for (const auto& entry : fs::recursive_directory_iterator(bench.dir)) {
    if (entry.is_regular_file() && entry.path() != bench.image_file &&
        !bench.files.count(entry.path())) {
      extra.push_back(entry.path());
    }
  }
  for (const fs::path& path : extra) fs::remove(path);
  for (const auto& [path, text] : bench.files) {
    if (!fs::exists(path) || ReadText(path) != text) WriteFile(path, text.data(), text.size());
  }
}

// ---- Images: reading them as the file format has it, and what an update must do ------------

struct Record {
  std::uint32_t address, length, checksum;
  std::size_t data;  // file offset of the data
  bool complete;
};

struct Parsed {
  bool signature = false;
  bool cut = false;  // ends in the header, a record header or data, or has no end record
  std::uint32_t start = 0, length = 0;
  std::vector<Record> records;  // those before the end record
};

std::uint32_t Word(const Bytes& f, std::size_t at) {
  std::uint32_t w;
  std::memcpy(&w, &f[at], 4);
  return w;
}

Parsed Parse(const Bytes& f) {
  Parsed p;
  if (f.size() < 7 || std::memcmp(f.data(), "B000FF\n", 7) != 0) return p;
  p.signature = true;
  if (f.size() < 15) {
    p.cut = true;
    return p;
  }
  p.start = Word(f, 7);
  p.length = Word(f, 11);
  for (std::size_t at = 15;;) {
    if (f.size() - at < 12) {
      p.cut = true;
      return p;
    }
    Record r{Word(f, at), Word(f, at + 4), Word(f, at + 8), at + 12, true};
    if (r.address == 0 && r.checksum == 0) return p;
    at += 12;
    r.complete = f.size() - at >= r.length;
    p.records.push_back(r);
    if (!r.complete) {
      p.cut = true;
      return p;
    }
    at += r.length;
  }
}

// Added to an image's addresses to give flash offsets: boot images land at 0, kernel addresses
// at the operating-system image's place, anything else stands as it is.
std::uint32_t Translation(std::uint32_t start, std::uint32_t base) {
  if (start >= 0xBCA00000u && start <= 0xBFFFFFFEu) return 0u - start;
  if ((start >= 0x80000000u && start < 0x9CA00000u) ||
      (start >= 0xA0000000u && start < 0xBCA00000u)) {
    return base - start;
  }
  return 0;
}

struct Verdict {
  std::uint32_t translation = 0;
  std::uint64_t image_start = 0, image_end = 0;    // flash offsets
  std::uint64_t touched_from = 0, touched_to = 0;  // the blocks the image range touches
  std::uint64_t erased_from = 0, erased_to = 0;    // with the NAND boot area
  unsigned refuse = 0;  // why the update must refuse the file: bits of kReasons
  bool sound = false;   // nothing to refuse, and nothing that lets the update fail either
};

// Whether the update rewrites the NAND boot area: an image range that starts in it.
bool Boot(const Bench& bench, const Verdict& v) {
  return IsNand(bench.kind) && v.image_start < kBootArea && v.image_end > v.image_start;
}

const char* const kReasons[] = {"bad signature",
                                "cut short",
                                "bad checksum",
                                "record outside the flash",
                                "record outside the image",
                                "records overlap",
                                "records out of order"};
enum Reason { kSignature, kCut, kChecksum, kOutsideFlash, kOutsideImage, kOverlap, kOrder };

std::string Reasons(unsigned refuse) {
  std::string text;
  for (int r = kSignature; r <= kOrder; ++r) {
    if (refuse & (1u << r)) text += (text.empty() ? "" : ", ") + std::string(kReasons[r]);
  }
  return text;
}

Verdict Judge(const Bench& bench, const Parsed& p, const Bytes& file,
              std::optional<std::uint32_t> item5) {
  Verdict v;
  const std::uint64_t size = bench.flash_size;
  v.translation = Translation(p.start, item5.value_or(kDefaultBase));
  v.image_start = static_cast<std::uint32_t>(p.start + v.translation);
  v.image_end = v.image_start + p.length;
  if (p.length && v.image_start < size) {
    v.touched_from = bench.BlockStart(v.image_start);
    v.touched_to = std::min(bench.BlockEnd(v.image_end), size);
  } else {
    v.touched_from = v.touched_to = std::min(v.image_start, size);
  }
  v.erased_from = v.touched_from;
  v.erased_to = v.touched_to;
  if (Boot(bench, v)) {
    v.erased_from = 0;
    v.erased_to = std::max(v.erased_to, kBootArea);
  }

  auto reason = [&](Reason r) { v.refuse |= 1u << r; };
  if (!p.signature) reason(kSignature);
  if (p.cut) reason(kCut);
  struct Span {
    std::uint64_t from, to;
  };
  // NAND: bytes past the boot area go through the page cache, which programs each page once
  // and a block's pages in ascending order: the pages it programs are followed as it takes
  // them (the page it holds goes when a record leaves it, pages skipped over get 0xFF). The
  // boot area collects in RAM in any order.
  constexpr std::uint64_t kPage = 0x800, kPagesPerBlock = 64;
  std::set<std::uint64_t> programmed;
  std::map<std::uint64_t, std::uint64_t> block_top;  // block -> one past its highest page
  std::optional<std::uint64_t> held, mark;
  auto free_page = [&](std::uint64_t page) {
    return !programmed.count(page) && page % kPagesPerBlock >= block_top[page / kPagesPerBlock];
  };
  auto program = [&](std::uint64_t page) {
    if (!free_page(page)) return false;
    programmed.insert(page);
    block_top[page / kPagesPerBlock] = page % kPagesPerBlock + 1;
    return true;
  };
  auto cache = [&](std::uint64_t from, std::uint64_t to) {
    for (std::uint64_t page = from / kPage; page <= (to - 1) / kPage; ++page) {
      if (held && page != *held) {
        if (!program(*held)) return false;
        mark = *held + 1;
        held.reset();
      }
      for (; mark && page > *mark; ++*mark) {
        if (!program(*mark)) return false;
      }
      if (held) {
        // more of the held page
      } else if (from <= page * kPage && to >= (page + 1) * kPage) {
        if (!program(page)) return false;
      } else {
        if (!free_page(page)) return false;
        held = page;
      }
      mark = to >= (page + 1) * kPage ? page + 1 : page;
    }
    return true;
  };
  std::vector<Span> spans;
  for (const Record& r : p.records) {
    if (!r.complete) continue;
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < r.length; ++i) sum += file[r.data + i];
    if (sum != r.checksum) reason(kChecksum);
    if (r.length == 0) continue;  // lands nowhere
    std::uint64_t from = static_cast<std::uint32_t>(r.address + v.translation);
    Span s{from, from + r.length};
    if (s.to > size) reason(kOutsideFlash);
    // Anywhere in the blocks the update erases.
    if (s.from < v.erased_from || s.to > v.erased_to) reason(kOutsideImage);
    for (const Span& o : spans) {
      if (std::max(o.from, s.from) < std::min(o.to, s.to)) reason(kOverlap);
    }
    if (IsNand(bench.kind) && s.to > kBootArea && !(v.refuse & (1u << kOutsideImage)) &&
        !(v.refuse & (1u << kOutsideFlash))) {
      if (!cache(std::max(s.from, kBootArea), s.to)) reason(kOrder);
    }
    spans.push_back(s);
  }
  v.sound = !v.refuse && p.length && v.image_end <= size;
  return v;
}

// The flash a successful update leaves: the blocks the image range touches erased, the NAND
// boot area's bytes outside the image range kept but for its last page (none for an image at
// 0, a bootloader, which leaves the rest of the area erased), then every record at its flash
// offset.
Contents Reference(const Bench& bench, const Contents& before, const Parsed& p, const Bytes& file,
                   const Verdict& v) {
  Contents ref = before;
  ref.Erase(v.touched_from, v.touched_to);
  const bool nand = IsNand(bench.kind);
  if (Boot(bench, v) && v.image_start == 0) ref.Erase(0, kBootArea);
  if (Boot(bench, v) && v.image_start != 0) {
    for (std::uint64_t at = 0; at < kBootArea; ++at) {
      if (at < v.image_start || at >= v.image_end) ref.Set(at, before.Get(at));
    }
    ref.Erase(kBootLastPage, kBootArea);
  }
  for (const Record& r : p.records) {
    for (std::uint32_t i = 0; i < r.length && r.complete; ++i) {
      std::uint32_t at = r.address + v.translation + i;
      if (at >= ref.size() || (nand && at >= kBootLastPage && at < kBootArea)) continue;
      ref.Set(at, file[r.data + i]);
    }
  }
  // On part number 9 the driver always stores "HMIT" at offset 4 of the boot area.
  if (Boot(bench, v) && bench.kind == kNand9) {
    for (int i = 0; i < 4; ++i) ref.Set(4 + i, static_cast<std::uint8_t>("HMIT"[i]));
  }
  return ref;
}

// ---- Cases ----------------------------------------------------------------------------------

using Rng = std::mt19937_64;

std::uint64_t Pick(Rng& rng, std::uint64_t low, std::uint64_t high) {
  return low + rng() % (high - low + 1);
}
bool Chance(Rng& rng, int percent) { return static_cast<int>(rng() % 100) < percent; }
// Mostly small, sometimes up to 2^max_bits.
std::uint64_t Size(Rng& rng, int max_bits) {
  int bits = static_cast<int>(Pick(rng, 1, max_bits));
  return Pick(rng, (std::uint64_t{1} << bits) / 2, std::uint64_t{1} << bits);
}
Bytes RandomBytes(Rng& rng, std::size_t n) {
  Bytes data(n);
  for (std::uint8_t& b : data) b = static_cast<std::uint8_t>(rng());
  return data;
}

std::string Hex(std::uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

struct Case {
  int kind;
  std::optional<std::uint32_t> item5;
  std::string faults;  // faults.toml
  std::vector<std::pair<std::uint64_t, Bytes>> prior;
  std::optional<std::uint64_t> fault_at;  // the flash offset the fault was placed by
  bool block_fault = false;               // the fault is in that block alone
  Bytes a, b;
  std::string what;
};

// Records over [from, from + length) of the flash, as addresses of an image starting at start.
void AddBody(Rng& rng, test::BinLayout& image, std::uint64_t from, std::uint64_t length,
             std::uint64_t flash_at_start, int max_records) {
  std::uint64_t at = from;
  const std::uint64_t end = from + length;
  while (at < end && static_cast<int>(image.records.size()) < max_records) {
    if (Chance(rng, 20)) at += Pick(rng, 1, 0x3000);
    if (at >= end) break;
    std::uint64_t n = Chance(rng, 25)   ? Pick(rng, 1, 64)
                      : Chance(rng, 60) ? Pick(rng, 65, 0x4000)
                                        : Pick(rng, 0x4000, 0x10000);
    n = std::min(n, end - at);
    image.records.push_back(
        {static_cast<std::uint32_t>(image.start + (at - flash_at_start)), RandomBytes(rng, n), {}});
    at += n;
  }
}

Case MakeCase(std::uint64_t seed, std::uint64_t number, const std::vector<int>& kinds) {
  std::seed_seq seq{static_cast<std::uint32_t>(seed), static_cast<std::uint32_t>(seed >> 32),
                    static_cast<std::uint32_t>(number), static_cast<std::uint32_t>(number >> 32)};
  Rng rng(seq);
  Case c;
  c.kind = kinds[rng() % kinds.size()];
  const bool nand = IsNand(c.kind);
  const std::uint64_t size = nand ? 0x7D80000 : 0x400000;
  if (Chance(rng, 30)) {
    const std::uint32_t bases[] = {0x40000, 0x100000, 0x20000, 0x3C0000};
    c.item5 = bases[rng() % 4];
  }
  std::ostringstream what;
  what << kKindNames[c.kind];
  if (c.item5) what << ", item 5 base " << Hex(*c.item5);

  // Image A: where it lands, its range and its records.
  test::BinLayout a;
  std::uint64_t flash_at;  // where the image's start lands
  std::uint64_t form = rng() % 100;
  if (form < 55) {
    std::uint64_t r = rng() % 100;
    flash_at = r < 10   ? 0
               : r < 30 ? Pick(rng, 0, kBootArea - 1)
               : r < 37 ? Pick(rng, kBootLastPage - 0x2000, kBootArea - 1)
               : r < 45 ? kBootArea
               : r < 92 ? Pick(rng, kBootArea, std::min<std::uint64_t>(size, 0x1000000) - 0x1000)
                        : size - Pick(rng, 1, 0x20000);
    if (Chance(rng, 30)) flash_at &= ~std::uint64_t{0xFFF};
    a.start = static_cast<std::uint32_t>(flash_at);
  } else if (form < 85) {
    const std::uint32_t starts[] = {0x80000000, 0x80001000, 0x8C000000,
                                    0x9C9F0000, 0xA0000000, 0xBC9FF000};
    a.start = starts[rng() % 6] + static_cast<std::uint32_t>(Chance(rng, 30) ? rng() % 0x1000 : 0);
    flash_at = c.item5.value_or(kDefaultBase);
  } else if (form < 97) {
    a.start =
        0xBCA00000 + static_cast<std::uint32_t>(Chance(rng, 50) ? 0 : Pick(rng, 1, 0x3000000));
    flash_at = 0;
  } else {  // starts just beside the ranges that translate: they stand as flash offsets
    const std::uint32_t starts[] = {0x9CA00000, 0xBFFFFFFF, 0x7FFFFFF0};
    a.start = starts[rng() % 3];
    flash_at = a.start;
  }
  std::uint64_t r = rng() % 100;
  std::uint64_t length =
      r < 3   ? 0
      : r < 6 ? (Chance(rng, 50) ? 0xFFFFFFF0 : size - flash_at + Pick(rng, 1, 0x40000))
              : Size(rng, nand ? 20 : 19);
  if (length > 0x1000 && r >= 6 && Chance(rng, 50)) length &= ~std::uint64_t{0xFFF};
  a.length = static_cast<std::uint32_t>(length);
  AddBody(rng, a, flash_at, std::min<std::uint64_t>(a.length, 0x100000), flash_at, 200);
  what << "; A: start " << Hex(a.start) << " (flash " << Hex(flash_at) << "), length "
       << Hex(a.length);

  // What is wrong with it, if anything.
  std::vector<std::string> marks;
  auto mark = [&](int percent, const char* name) {
    bool on = Chance(rng, percent);
    if (on) marks.push_back(name);
    return on;
  };
  auto record_at = [&](std::uint64_t flash, Bytes data) {
    return test::BinRecordLayout{
        static_cast<std::uint32_t>(a.start + (flash - flash_at)), std::move(data), {}};
  };
  auto& recs = a.records;
  if (recs.size() >= 2 && mark(12, "out of order")) {
    if (Chance(rng, 50)) {
      std::shuffle(recs.begin(), recs.end(), rng);
    } else {
      std::size_t i = rng() % (recs.size() - 1);
      std::swap(recs[i], recs[i + 1]);
    }
  }
  if (!recs.empty() && mark(8, "overlap")) {
    std::size_t i = rng() % recs.size();
    std::uint32_t at = recs[i].address + static_cast<std::uint32_t>(rng() % recs[i].data.size());
    recs.insert(recs.begin() + static_cast<long>(i + Pick(rng, 0, 1)),
                {at, RandomBytes(rng, Pick(rng, 1, 0x800)), {}});
  }
  if (mark(10, "outside the image")) {
    std::uint64_t at = Chance(rng, 50) && flash_at > 0
                           ? flash_at - std::min<std::uint64_t>(flash_at, Pick(rng, 1, 0x3000))
                       : Chance(rng, 50) ? flash_at + a.length + Pick(rng, 0, 0x1000)
                                         : Pick(rng, 0, std::min<std::uint64_t>(size, 0x800000));
    recs.insert(recs.begin() + static_cast<long>(rng() % (recs.size() + 1)),
                record_at(at, RandomBytes(rng, Pick(rng, 1, 0x2000))));
  }
  if (mark(5, "outside the flash")) {
    recs.push_back(
        record_at(size - Pick(rng, 0, 0x100), RandomBytes(rng, Pick(rng, 0x101, 0x1000))));
  }
  if (mark(8, "empty record")) {
    std::uint64_t at = Chance(rng, 50) ? flash_at + Pick(rng, 0, a.length) : Pick(rng, 1, size);
    test::BinRecordLayout empty = record_at(at, {});
    if (empty.address == 0) empty.address = 4;
    recs.insert(recs.begin() + static_cast<long>(rng() % (recs.size() + 1)), empty);
  }
  if (!recs.empty() && mark(6, "bad checksum")) {
    test::BinRecordLayout& bad = recs[rng() % recs.size()];
    bad.checksum = test::Sum(bad.data) + static_cast<std::uint32_t>(Pick(rng, 1, 0xFFFF));
  }
  if (!recs.empty() && mark(3, "end record inside")) {
    recs.insert(recs.begin() + static_cast<long>(rng() % recs.size()), {0, {}, 0});
  }
  if (mark(4, "no end record")) a.end_record = false;
  if (mark(3, "end record length")) a.end_length = static_cast<std::uint32_t>(Pick(rng, 1, 0x100));
  c.a = test::MakeBin(a);
  if (mark(6, "cut short")) c.a.resize(Pick(rng, 0, c.a.size() - 1));
  if (c.a.size() >= 7 && mark(2, "bad signature"))
    c.a[rng() % 7] ^= static_cast<std::uint8_t>(Pick(rng, 1, 255));
  what << ", " << a.records.size() << " records, " << c.a.size() << " bytes";
  for (const std::string& m : marks) what << ", " << m;

  // The blocks around the image range, for the prior content and the fault.
  const std::uint64_t near_from = std::min(flash_at, size - 1) & ~std::uint64_t{0x1FFFF};
  const std::uint64_t near_to = std::min<std::uint64_t>(flash_at + a.length, size);
  auto near = [&](std::uint64_t margin) {
    std::uint64_t low = near_from > margin ? near_from - margin : 0;
    std::uint64_t high = std::min<std::uint64_t>(std::max(near_from, near_to) + margin, size - 1);
    return Pick(rng, low, high);
  };
  for (int n = static_cast<int>(Pick(rng, 2, 7)); n > 0; --n) {
    std::uint64_t at =
        Chance(rng, 70) ? near(0x40000) : Pick(rng, 0, std::min<std::uint64_t>(size, 0x800000) - 1);
    Bytes data = RandomBytes(rng, Size(rng, 16));
    data.resize(std::min<std::uint64_t>(data.size(), size - at));
    c.prior.emplace_back(at, std::move(data));
  }

  if (Chance(rng, 25)) {
    std::uint64_t at = near(0x40000);
    c.fault_at = at;
    // Data in the block, so that its erase is not skipped as blank.
    c.prior.emplace_back(
        at, RandomBytes(rng, std::min<std::uint64_t>(Pick(rng, 1, 0x1000), size - at)));
    c.block_fault = rng() % 100 < 70;  // erase and program errors
    // NAND faults name physical blocks and pages: logical pages 63 to 126 sit one page on.
    std::uint64_t page = at / kPage;
    if (page >= host::kNandTablePage && page < host::kNandSkippedPage) ++page;
    const char* chips[] = {"low", "high", "both"};
    const std::string chip = nand ? "" : "chip = \"" + std::string(chips[rng() % 3]) + "\"\n";
    const std::string block = "block = " + (nand ? std::to_string(page / 64) : Hex(at)) + "\n";
    std::uint64_t pick = c.block_fault ? rng() % 70 : Pick(rng, 70, 99);
    std::ostringstream f;
    f << (nand ? "[[nand]]\n" : "[[nor]]\n");
    if (pick < 35) {
      f << "kind = \"erase-error\"\n" << block << chip;
    } else if (pick < 70) {
      f << "kind = \"program-error\"\n" << block << chip;
    } else if (pick < 90 && nand) {
      f << "kind = \"bit-flip\"\npage = " << page << "\nbyte = " << Pick(rng, 0, 2111)
        << "\nbit = " << Pick(rng, 0, 7) << "\n";
    } else if (pick < 90) {
      f << "kind = \"buffer-unavailable\"\ncount = " << Pick(rng, 1, 8) << "\n";
    } else {
      f << "kind = \"never-ready\"\n" << chip;
    }
    c.faults = f.str();
    std::string text = c.faults.substr(c.faults.find('\n') + 1);
    std::replace(text.begin(), text.end(), '\n', ' ');
    what << "; fault: " << text;
  }

  // Image B: small and sound, near A or anywhere low in the flash.
  test::BinLayout b;
  std::uint64_t b_at = Chance(rng, 40)   ? near(0x20000)
                       : Chance(rng, 20) ? Pick(rng, 0, kBootArea - 1)
                                         : Pick(rng, kBootArea, size / 2);
  b.start = static_cast<std::uint32_t>(b_at);
  b.length =
      static_cast<std::uint32_t>(std::min<std::uint64_t>(Pick(rng, 0x100, 0x10000), size - b_at));
  AddBody(rng, b, b_at, b.length, b_at, 4);
  if (b.records.empty()) b.records.push_back({b.start, RandomBytes(rng, 1), {}});
  for (auto& rec : b.records) {
    if (rec.address == 0 && test::Sum(rec.data) == 0) rec.data[0] = 1;
  }
  c.b = test::MakeBin(b);
  what << "; B: start " << Hex(b.start) << ", length " << Hex(b.length) << ", " << b.records.size()
       << " records";
  c.what = what.str();
  return c;
}

// ---- One case, in a process of its own -------------------------------------------------------

// Runs one quiet update of `path` on the open module: the text of its message box (a quiet
// update shows one at most: its error), or kSuccess when none appeared.
std::string RunUpdate(const char16_t* path) {
  host::ui::ScriptBackend& backend = host::ui::UseScriptBackend();
  backend.SetIdleLimit(std::chrono::milliseconds(60000));
  InitCommonControls();
  QuietFlag = 1;
  std::memcpy(ImagePath, path, (std::char_traits<char16_t>::length(path) + 1) * sizeof(char16_t));
  DialogBoxParamW(nullptr, MAKEINTRESOURCEW(IDD_UPDATE), nullptr, UpdateDialogProc, 0);
  std::vector<host::ui::UiEvent> boxes = backend.Events(host::ui::UiEvent::Kind::kMessageBox);
  if (boxes.empty()) return kSuccess;
  std::string text = host::Utf8(boxes.front().text);
  return boxes.size() == 1 ? text : text + " and " + std::to_string(boxes.size() - 1) + " more";
}

std::string At(const Contents& flash, const Contents& expected, std::uint64_t at) {
  char text[96];
  std::snprintf(text, sizeof text, "first at %s: 0x%02x, expected 0x%02x", Hex(at).c_str(),
                flash.Get(at), expected.Get(at));
  return text;
}

// The findings of one update, one line each: "category\tdetail".
std::vector<std::string> Check(const char* name, const Bench& bench, const Case& c,
                               const Bytes& file, const Contents& before, const Contents& after,
                               std::optional<std::string> far, const std::string& outcome) {
  Parsed p = Parse(file);
  Verdict v = Judge(bench, p, file, c.item5);
  const bool ok = outcome == kSuccess;
  // A fault in one block reaches an update only when that block is among those it erases.
  const bool reached =
      c.fault_at && (!c.block_fault || (*c.fault_at >= v.erased_from && *c.fault_at < v.erased_to));
  int first = 0;
  while (v.refuse && !(v.refuse & (1u << first))) ++first;
  const std::string why = v.refuse ? kReasons[first] : p.length ? "" : "empty image range";
  const std::string tag = why.empty() ? "" : " (" + why + ")";
  std::string head = std::string(name) + (ok ? " succeeded" : " failed");
  std::string detail = "\t" + outcome + "; erased range " + Hex(v.erased_from) + "-" +
                       Hex(v.erased_to) + (v.refuse ? "; " + Reasons(v.refuse) : "");
  std::vector<std::string> found;
  auto outside = FirstDifference(before, after, 0, v.erased_from);
  if (!outside) outside = FirstDifference(before, after, v.erased_to, after.size());
  if (outside) far = At(after, before, *outside);
  if (far) {
    found.push_back(head + ": flash changed outside the erased range" + tag + detail + "; " + *far);
  } else if (ok && v.refuse) {
    found.push_back(head + " on an image it must refuse" + tag + detail);
  } else if (ok) {
    Contents ref = Reference(bench, before, p, file, v);
    if (auto d = FirstDifference(ref, after, v.erased_from, v.erased_to)) {
      found.push_back(head + ": the erased range differs from the reference" +
                      (IsNand(bench.kind) && *d < kBootArea ? " in the boot area" : "") + tag +
                      detail + "; " + At(after, ref, *d));
    }
  } else if (v.refuse) {
    if (auto d = FirstDifference(before, after, 0, after.size())) {
      found.push_back(head + " on an image it must refuse" + tag + ", after changing the flash" +
                      detail + "; " + At(after, before, *d));
    }
  } else if (v.sound && !reached) {
    found.push_back(head + " on a sound image that no fault reaches" + detail);
  }
  return found;
}

Window CaseWindow(const Bench& bench, const Case& c) {
  Window window((bench.flash_size + kUnit - 1) / kUnit, !IsNand(bench.kind));
  auto mark = [&](std::uint64_t from, std::uint64_t to) {
    from = std::min(from, bench.flash_size);
    to = std::min(to, bench.flash_size);
    std::uint64_t first = from / kUnit > 0 ? from / kUnit - 1 : 0;
    for (std::uint64_t u = first; u < window.size() && u <= to / kUnit + 1; ++u) window[u] = true;
  };
  mark(0, kBootArea);
  for (const auto& [at, data] : c.prior) mark(at, at + data.size());
  if (c.fault_at) mark(*c.fault_at, *c.fault_at + kUnit);
  for (const Bytes* file : {&c.a, &c.b}) {
    Parsed p = Parse(*file);
    Verdict v = Judge(bench, p, *file, c.item5);
    mark(v.erased_from, v.erased_to);
    for (const Record& r : p.records) {
      std::uint64_t from = static_cast<std::uint32_t>(r.address + v.translation);
      mark(from, from + r.length);
    }
  }
  return window;
}

// A NAND page programmed or erased outside the window, or a block outside it relocated.
std::optional<std::string> FarChange(const Bench& bench, const Window& window) {
  if (!IsNand(bench.kind)) return std::nullopt;
  const fs::path counts_file = bench.dir / "nand.programs";
  const std::string counts = ReadText(counts_file), made = bench.files.at(counts_file);
  host::NandLogicalView view(bench.image, bench.nand_blocks);
  const std::uint32_t logical_blocks = bench.nand_blocks - view.Reserve();
  for (std::uint32_t page = 0; page < made.size(); ++page) {
    std::uint32_t block = page / host::kNandPagesPerBlock;
    if (counts[page] != made[page] && block < logical_blocks && !window[block]) {
      return "physical page " + std::to_string(page) + " programmed or erased";
    }
  }
  for (const host::NandRelocation& entry : view.Table()) {
    if (entry.bad_block < logical_blocks && !window[entry.bad_block]) {
      return "logical block " + std::to_string(entry.bad_block) + " relocated";
    }
  }
  return std::nullopt;
}

void Send(int fd, const std::string& text) {
  for (std::size_t done = 0; done < text.size();) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

// The case's process: opens the module, runs update A, reports its outcome on `out` and waits
// for a byte on `in` while the flash is checked, then runs update B and reports it.
[[noreturn]] void RunUpdates(const Bench& bench, int in, int out) {
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  alarm(120);
  int null = open("/dev/null", O_WRONLY);
  dup2(null, STDOUT_FILENO);
  dup2(null, STDERR_FILENO);
  auto module = host::Module::Open(bench.dir);
  Send(out, RunUpdate(u"\\a.bin") + "\n");
  char go;
  if (read(in, &go, 1) != 1) std::_Exit(3);
  Send(out, RunUpdate(u"\\b.bin") + "\n");
  std::_Exit(0);
}

void Prepare(Bench& bench, const Case& c) {
  Restore(bench);
  std::string module_toml = bench.files.at(bench.dir / "module.toml");
  if (c.item5) module_toml += "\n[platform]\nitem5 = [" + Hex(*c.item5) + ", 0, 0, 0, 0, 0]\n";
  WriteFile(bench.dir / "module.toml", module_toml.data(), module_toml.size());
  WriteFile(bench.dir / "faults.toml", c.faults.data(), c.faults.size());
  WriteFile(bench.dir / "fs" / "a.bin", c.a.data(), c.a.size());
  WriteFile(bench.dir / "fs" / "b.bin", c.b.data(), c.b.size());
  // What earlier programs left: straight into the cells; on NAND with the page's ECC, counted
  // as one program of each page.
  if (!IsNand(bench.kind)) {
    for (const auto& [at, data] : c.prior) std::memcpy(bench.image + at, data.data(), data.size());
    return;
  }
  host::NandLogicalView view(bench.image, bench.nand_blocks);
  fs::path counts_file = bench.dir / "nand.programs";
  std::string counts = ReadText(counts_file);
  for (const auto& [at, data] : c.prior) {
    view.Program(at, data.data(), data.size());
    for (std::uint64_t page = at / kPage; page * kPage < at + data.size(); ++page) {
      if (auto physical = view.PhysicalPage(static_cast<std::uint32_t>(page))) {
        counts[*physical] = std::max<char>(counts[*physical], 1);
      }
    }
  }
  WriteFile(counts_file, counts.data(), counts.size());
}

struct Result {
  std::string a = "no outcome", b = "no outcome";
  std::vector<std::string> findings;  // "category\tdetail"
};

Result Run(Bench& bench, const Case& c) {
  Prepare(bench, c);
  const Window window = CaseWindow(bench, c);
  Contents before = bench.blank;
  for (const auto& [at, data] : c.prior) Read(bench, before, at, at + data.size());
  int to_child[2], from_child[2];
  if (pipe(to_child) != 0 || pipe(from_child) != 0) throw std::runtime_error("pipe");
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    close(to_child[1]);
    close(from_child[0]);
    RunUpdates(bench, to_child[0], from_child[1]);
  }
  close(to_child[0]);
  close(from_child[1]);
  FILE* reports = fdopen(from_child[0], "r");
  auto outcome = [&](std::string& into) {
    char line[4096];
    if (!std::fgets(line, sizeof line, reports)) return false;
    into.assign(line, std::strcspn(line, "\n"));
    return true;
  };
  Result r;
  if (outcome(r.a)) {
    Contents after_a = Capture(bench, window);
    std::optional<std::string> far = FarChange(bench, window);
    r.findings = Check("A", bench, c, c.a, before, after_a, far, r.a);
    Send(to_child[1], "g");
    if (outcome(r.b)) {
      std::optional<std::string> far_b = far ? std::nullopt : FarChange(bench, window);
      for (std::string& f :
           Check("B", bench, c, c.b, after_a, Capture(bench, window), far_b, r.b)) {
        r.findings.push_back(std::move(f));
      }
    }
  }
  close(to_child[1]);
  std::fclose(reports);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    r.findings.push_back("the case's process " +
                         (WIFSIGNALED(status)
                              ? "ended by signal " + std::to_string(WTERMSIG(status))
                              : "exited with status " + std::to_string(WEXITSTATUS(status))) +
                         "\tA: " + r.a + ", B: " + r.b);
  }
  if (fs::exists(bench.dir / "unknown.commands")) {
    std::string text = ReadText(bench.dir / "unknown.commands");
    r.findings.push_back("the chips were sent commands they do not know\t" +
                         text.substr(0, text.find('\n')));
  }
  return r;
}

// A case's outcome as a lane sends it: the strings of a Result and the case's description, each
// as its length and its bytes.
void PutString(FILE* out, const std::string& text) {
  const std::uint32_t n = static_cast<std::uint32_t>(text.size());
  std::fwrite(&n, sizeof n, 1, out);
  std::fwrite(text.data(), 1, n, out);
}

bool GetString(FILE* in, std::string& text) {
  std::uint32_t n = 0;
  if (std::fread(&n, sizeof n, 1, in) != 1) return false;
  text.resize(n);
  return std::fread(text.data(), 1, n, in) == n;
}

void PutOutcome(FILE* out, const Result& r, const std::string& what) {
  PutString(out, r.a);
  PutString(out, r.b);
  PutString(out, what);
  PutString(out, std::to_string(r.findings.size()));
  for (const std::string& f : r.findings) PutString(out, f);
  std::fflush(out);
}

bool GetOutcome(FILE* in, Result& r, std::string& what) {
  std::string count;
  if (!GetString(in, r.a) || !GetString(in, r.b) || !GetString(in, what) || !GetString(in, count)) {
    return false;
  }
  r.findings.resize(std::stoul(count));
  for (std::string& f : r.findings) {
    if (!GetString(in, f)) return false;
  }
  return true;
}

// A lane: a process with modules of its own that runs the cases `first`, `first + step`, ...
// below `end` and sends each outcome, in order, on `out`.
[[noreturn]] void RunLane(U seed, U first, U step, U end, const std::vector<int>& kinds,
                          const fs::path& dir, int out) {
  FILE* results = fdopen(out, "w");
  int status = 0;
  {
    std::unique_ptr<Bench> benches[kKinds];
    try {
      for (U number = first; number < end && !Interrupted; number += step) {
        Case c = MakeCase(seed, number, kinds);
        if (!benches[c.kind]) benches[c.kind] = MakeBench(c.kind, dir);
        Result r = Run(*benches[c.kind], c);
        if (Interrupted) break;
        PutOutcome(results, r, c.what);
      }
    } catch (const std::exception& e) {
      Result stopped;
      stopped.findings.push_back(std::string("the campaign stopped\t") + e.what());
      PutOutcome(results, stopped, "");
      status = 2;
    }
  }
  std::fclose(results);
  std::_Exit(status);
}

}  // namespace

int main(int argc, char** argv) {
  // Every case is a fork of a lane: with every library symbol bound before the first fork
  // (the dynamic linker's LD_BIND_NOW), no case binds them again as it first calls them.
  if (!std::getenv("LD_BIND_NOW")) {
    setenv("LD_BIND_NOW", "1", 1);
    execv("/proc/self/exe", argv);  // on failure, carry on unbound
  }
  CLI::App app{
      "imbrel-update-campaign: generated BIN images, sound and broken, written by quiet updates "
      "onto small NOR and NAND modules holding other data, some with a flash fault, each "
      "followed by a small sound image; the flash is checked against a reference after each"};
  U cases = 1000, seed = 1;
  std::optional<U> only;
  std::string keep, work, kind_names = "nor,nand";
  bool verbose = false;
  int jobs = static_cast<int>(std::max(1L, sysconf(_SC_NPROCESSORS_ONLN)));
  app.add_option("--cases", cases, "cases to run (default 1000)")->check(CLI::Range(1, 100000000));
  app.add_option("--jobs", jobs,
                 "cases run at once, each lane on modules of its own (default: the processors); "
                 "the outcomes are the same whatever the number")
      ->check(CLI::Range(1, 64));
  app.add_option("--seed", seed, "the seed every case is made from (default 1)");
  app.add_option("--case", only, "run case K alone");
  app.add_option("--keep", keep,
                 "with --case: keep the case's module in DIR, as it was before "
                 "update A (DIR/before) and after update B (DIR/after)");
  app.add_option("--work", work, "directory for the modules (default: a new one in /dev/shm)");
  app.add_option("--kinds", kind_names, "nor, nand or both (default nor,nand)");
  app.add_flag("--verbose", verbose, "print every case and its outcomes");
  app.footer("Exit status: 0 no finding, 1 findings, 2 bad arguments, 130 interrupted.");
  if (std::optional<int> status = host::ParseToolArguments(app, argc, argv)) return *status;
  std::vector<int> kinds;
  if (kind_names.find("nor") != std::string::npos) kinds.insert(kinds.end(), {kP30, kP30, kJ3});
  if (kind_names.find("nand") != std::string::npos) kinds.insert(kinds.end(), {kNand8, kNand9});
  if (kinds.empty() || (!keep.empty() && !only)) {
    std::fprintf(stderr, "--kinds takes nor, nand or both; --keep needs --case\n");
    return 2;
  }

  fs::path dir = work;
  if (work.empty()) {
    std::string pattern =
        (fs::is_directory("/dev/shm") ? "/dev/shm" : "/tmp") + std::string("/imbrel-update-XXXXXX");
    if (!mkdtemp(pattern.data())) return 2;
    dir = pattern;
  }
  std::unique_ptr<Bench> benches[kKinds];
  auto bench_for = [&](int kind) -> Bench& {
    if (!benches[kind]) benches[kind] = MakeBench(kind, dir);
    return *benches[kind];
  };

  std::map<std::pair<std::string, std::string>, U> outcomes;  // {kind and update, text}
  std::map<std::string, std::pair<U, U>> categories;          // {cases, the first case}
  U with_findings = 0, run = 0;
  const auto began = std::chrono::steady_clock::now();
  // An interrupted campaign still gives its figures, and leaves no modules behind.
  signal(SIGINT, [](int) { Interrupted = 1; });
  signal(SIGTERM, [](int) { Interrupted = 1; });
  signal(SIGPIPE, SIG_IGN);  // a case's process that died is a finding, not the campaign's end
  // Lanes run the cases (case n in lane n % jobs) and send their outcomes; they are taken here
  // in case order, so that the figures and findings read the same for any number of lanes. A
  // case alone (--case) runs here.
  if (only) jobs = 1;
  std::vector<pid_t> lanes;
  std::vector<FILE*> lane_results;
  if (!only) {
    for (int lane = 0; lane < jobs; ++lane) {
      int channel[2];
      if (pipe(channel) != 0) return 2;
      std::fflush(nullptr);
      pid_t pid = fork();
      if (pid < 0) return 2;
      if (pid == 0) {
        close(channel[0]);
        for (FILE* other : lane_results) std::fclose(other);
        const fs::path lane_dir = dir / ("lane-" + std::to_string(lane));
        fs::create_directories(lane_dir);
        RunLane(seed, static_cast<U>(lane), static_cast<U>(jobs), cases, kinds, lane_dir,
                channel[1]);
      }
      close(channel[1]);
      lanes.push_back(pid);
      lane_results.push_back(fdopen(channel[0], "r"));
    }
  }
  try {
    for (U number = only.value_or(0); number < (only ? *only + 1 : cases); ++number, ++run) {
      Result r;
      Case c;
      if (!only) {
        if (!GetOutcome(lane_results[number % jobs], r, c.what)) break;
        c.kind = MakeCase(seed, number, kinds).kind;
      } else {
        c = MakeCase(seed, number, kinds);
        Bench& bench = bench_for(c.kind);
        if (!keep.empty()) {
          Prepare(bench, c);
          fs::remove_all(fs::path(keep) / "before");
          fs::create_directories(keep);
          fs::copy(bench.dir, fs::path(keep) / "before", fs::copy_options::recursive);
        }
        r = Run(bench, c);
      }
      if (Interrupted) break;
      const char* family = IsNand(c.kind) ? "NAND" : "NOR ";
      ++outcomes[{family + std::string(" update A"), r.a}];
      ++outcomes[{family + std::string(" update B"), r.b}];
      if (verbose || only)
        std::printf("case %llu: %s\n  A: %s; B: %s\n", number, c.what.c_str(), r.a.c_str(),
                    r.b.c_str());
      with_findings += !r.findings.empty();
      for (const std::string& f : r.findings) {
        const std::string category = f.substr(0, f.find('\t'));
        auto& [count, first] = categories.try_emplace(category, 0, number).first->second;
        if (++count > 3 && !only && !verbose) continue;
        std::printf(
            "finding, case %llu: %s\n  %s\n  %s\n  reproduce: imbrel-update-campaign "
            "--seed %llu --case %llu --keep DIR\n",
            number, category.c_str(), f.substr(f.find('\t') + 1).c_str(), c.what.c_str(), U{seed},
            number);
      }
      if (!keep.empty()) {
        fs::remove_all(fs::path(keep) / "after");
        fs::copy(bench_for(c.kind).dir, fs::path(keep) / "after", fs::copy_options::recursive);
        std::printf("modules kept in %s/before and %s/after\n", keep.c_str(), keep.c_str());
      }
      if (!only && (run + 1) % 10000 == 0) {
        std::printf("... %llu cases, %llu with findings\n", run + 1, with_findings);
        std::fflush(stdout);
      }
    }
  } catch (const std::exception& e) {
    std::printf("the campaign stopped: %s\n", e.what());
    ++with_findings;
  }
  for (FILE* results : lane_results) std::fclose(results);
  for (pid_t pid : lanes) {
    if (Interrupted || run < cases) kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  std::printf("cases run: %llu (seed %llu), %.1f s, %.1f cases per second (%d at once)%s\n", run,
              U{seed}, seconds, run / seconds, jobs, Interrupted ? ", interrupted" : "");
  for (const auto& [key, count] : outcomes) {
    std::printf("  %s: %7llu %s\n", key.first.c_str(), count, key.second.c_str());
  }
  std::printf("findings: %llu cases\n", with_findings);
  for (const auto& [category, count] : categories) {
    std::printf("  %7llu %s (first: --case %llu)\n", count.first, category.c_str(), count.second);
  }
  for (auto& bench : benches) bench.reset();
  if (work.empty()) fs::remove_all(dir);
  return Interrupted ? 130 : with_findings ? 1 : 0;
}

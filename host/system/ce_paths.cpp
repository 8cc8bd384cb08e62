#include "host/system/ce_paths.h"

#include <sys/stat.h>

#include <mutex>

#include "host/module/module.h"
#include "host/system/text.h"

namespace fs = std::filesystem;

namespace host {

fs::path ModuleFsRoot() {
  Module* module = CurrentModule();
  return module ? module->dir() / "fs" : fs::path();
}

namespace {

// CE's file systems ignore case: "\usb hd\images\NK.BIN" names fs/USB HD/IMAGES/nk.bin. Case is
// folded on UTF-16 units, ASCII and Latin-1, as FAT's upper-case table does for them.
std::u16string Folded(std::u16string_view name) {
  std::u16string out(name);
  for (char16_t& c : out) {
    if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7))
      c = static_cast<char16_t>(c - 0x20);
  }
  return out;
}

// What an entry of a folder is, as lstat sees it.
enum class Entry { kMissing, kPlain, kLink };

Entry Lstat(const fs::path& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return Entry::kMissing;
  return S_ISLNK(st.st_mode) ? Entry::kLink : Entry::kPlain;
}

// The entry of `dir` named `name` but for case: the exact name when it exists, else the first
// in name order that matches when case is ignored, else `name` (which does not exist). `kind`
// says which of these it is.
std::string EntryIgnoringCase(const fs::path& dir, const std::string& name, Entry* kind) {
  *kind = Lstat(dir / name);
  if (*kind != Entry::kMissing) return name;
  std::error_code ec;
  std::u16string want = Folded(Utf16(name));
  std::string found;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    std::string entry = it->path().filename().string();
    if (Folded(Utf16(entry)) == want && (found.empty() || entry < found)) found = entry;
  }
  if (found.empty()) return name;
  *kind = Lstat(dir / found);
  return found;
}

std::mutex usb_mutex;
fs::path usb_folder;  // shown as \USB HD; empty: the module's fs/USB HD

fs::path UsbFolder() {
  std::lock_guard lock(usb_mutex);
  return usb_folder;
}

bool Inside(const fs::path& root, const fs::path& resolved) {
  auto [r, p] = std::mismatch(root.begin(), root.end(), resolved.begin(), resolved.end());
  (void)p;
  return r == root.end();
}

}  // namespace

void SetUsbFolder(const fs::path& dir) {
  std::lock_guard lock(usb_mutex);
  usb_folder = dir;
}

std::optional<fs::path> CePathToHost(std::u16string_view ce_path) {
  fs::path root = ModuleFsRoot();
  if (root.empty()) return std::nullopt;
  const fs::path usb = UsbFolder();
  fs::path out = root;
  bool first = true, in_usb = false;
  // Once a name is missing, nothing after it exists; while every name so far is a plain
  // folder or file, the path cannot lead out of the root.
  bool missing = false, links = false;
  std::u16string part;
  auto take = [&]() -> bool {
    if (part.empty()) return true;
    if (part == u"." || part == u"..") return false;
    if (first && !usb.empty() && Folded(part) == u"USB HD") {
      out = usb;
      in_usb = true;
    } else if (missing) {
      out /= Utf8(part);
    } else {
      Entry kind;
      out /= EntryIgnoringCase(out, Utf8(part), &kind);
      missing = kind == Entry::kMissing;
      links |= kind == Entry::kLink;
    }
    first = false;
    part.clear();
    return true;
  };
  for (char16_t c : ce_path) {
    if (c == u'\\' || c == u'/') {
      if (!take()) return std::nullopt;
    } else if (c == 0) {
      return std::nullopt;
    } else {
      part += c;
    }
  }
  if (!take()) return std::nullopt;
  if (!in_usb && !links && usb.empty()) return out;
  // Links may lead anywhere: what the path resolves to must still be inside fs/.
  std::error_code ec;
  fs::path real = fs::weakly_canonical(out, ec);
  if (ec || (in_usb ? !Inside(usb, real) : !InsideFs(real))) return std::nullopt;
  // With a host folder as the stick, the module's own fs/USB HD is out of sight.
  if (!in_usb && !usb.empty() && InsideFs(real)) {
    std::error_code ec2;
    Entry kind;
    fs::path hidden = fs::weakly_canonical(root / EntryIgnoringCase(root, "USB HD", &kind), ec2);
    if (!ec2 && Inside(hidden, real)) return std::nullopt;
  }
  return out;
}

bool InsideFs(const fs::path& resolved) {
  fs::path root = ModuleFsRoot();
  if (root.empty()) return false;
  // The module's folder does not move while it is open: resolve its fs/ once, not at every
  // file the program opens.
  static std::mutex cache_mutex;
  static fs::path cached_root, cached_real_root;
  fs::path real_root;
  {
    std::lock_guard lock(cache_mutex);
    if (root != cached_root) {
      std::error_code ec;
      fs::path real = fs::weakly_canonical(root, ec);
      if (ec) return false;
      cached_root = root;
      cached_real_root = real;
    }
    real_root = cached_real_root;
  }
  if (Inside(real_root, resolved)) return true;
  const fs::path usb = UsbFolder();
  return !usb.empty() && Inside(usb, resolved);
}

bool OpenedInsideFs(int fd) {
  std::error_code ec;
  fs::path opened = fs::read_symlink("/proc/self/fd/" + std::to_string(fd), ec);
  // Without /proc the path checks made before the open are all there is.
  if (ec) return !fs::is_directory("/proc/self/fd", ec);
  return InsideFs(opened);
}

}  // namespace host

#include "host/system/ce_paths.h"

#include "host/module/module.h"
#include "host/system/text.h"

namespace fs = std::filesystem;

namespace host {

fs::path ModuleFsRoot() {
  Module* module = CurrentModule();
  return module ? module->dir() / "fs" : fs::path();
}

std::optional<fs::path> CePathToHost(std::u16string_view ce_path) {
  fs::path root = ModuleFsRoot();
  if (root.empty()) return std::nullopt;
  fs::path out = root;
  std::u16string part;
  auto take = [&]() -> bool {
    if (part.empty()) return true;
    if (part == u"." || part == u"..") return false;
    out /= Utf8(part);
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
  // Links may lead anywhere: what the path resolves to must still be inside fs/.
  std::error_code ec;
  fs::path real = fs::weakly_canonical(out, ec);
  if (ec || !InsideFs(real)) return std::nullopt;
  return out;
}

bool InsideFs(const fs::path& resolved) {
  fs::path root = ModuleFsRoot();
  if (root.empty()) return false;
  std::error_code ec;
  fs::path real_root = fs::weakly_canonical(root, ec);
  if (ec) return false;
  auto [r, p] = std::mismatch(real_root.begin(), real_root.end(), resolved.begin(), resolved.end());
  (void)p;
  return r == real_root.end();
}

bool OpenedInsideFs(int fd) {
  std::error_code ec;
  fs::path opened = fs::read_symlink("/proc/self/fd/" + std::to_string(fd), ec);
  // Without /proc the path checks made before the open are all there is.
  if (ec) return !fs::is_directory("/proc/self/fd", ec);
  return InsideFs(opened);
}

}  // namespace host

#include "host/module/ce_paths.h"

#include "host/module/module.h"
#include "host/module/text.h"

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
  fs::path real_root = fs::weakly_canonical(root, ec);
  fs::path real = fs::weakly_canonical(out, ec);
  if (ec) return std::nullopt;
  auto [r, p] = std::mismatch(real_root.begin(), real_root.end(), real.begin(), real.end());
  if (r != real_root.end()) return std::nullopt;
  (void)p;
  return out;
}

}  // namespace host

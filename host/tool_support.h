// What the host tools share: numbers from the command line, the default module, and a session
// with the program's flash driver on an open module.
#pragma once

#include <toml++/toml.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "ce/types.h"
#include "host/hardware/nand_chip.h"
#include "host/hex.h"
#include "host/module/module.h"
#include "host/module/nand_logical.h"

namespace CLI {
class App;
}

namespace host {

/// Parses a decimal or 0x-hexadecimal number, with an optional K, M or G (1024-based), no
/// larger than `max`; nullopt otherwise.
std::optional<std::uint64_t> ParseNumber(const std::string& text, std::uint64_t max);

/// A bad command line or input file: the tools print it as one line and exit 2.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

/// ParseNumber, or a UsageError naming `what` and the accepted range.
std::uint64_t Number(const std::string& what, const std::string& text, std::uint64_t max);

/// Parses a tool's arguments. Returns the exit status when the tool must end now: 0 after
/// --help, 2 (with CLI11's message) for a bad command line; nullopt to go on.
std::optional<int> ParseToolArguments(CLI::App& app, int argc, char** argv);

/// What --version says: the tool's name and version, then the program's ("Imbrel 2.9", as its
/// dialogs' titles show it).
std::string VersionText(const std::string& tool_and_version);

/// $XDG_DATA_HOME/imbrel/module, or ~/.local/share/imbrel/module.
std::filesystem::path DefaultModuleDir();

/// The program's flash driver on an open module, with the flash mutex held for the session's
/// life, as the program holds it around every use of the flash.
class FlashSession {
 public:
  /// Opens `dir`, takes "OnModuleFlash" and selects the driver. Throws ModuleError when the
  /// module cannot be opened.
  explicit FlashSession(const std::filesystem::path& dir);
  ~FlashSession();
  FlashSession(const FlashSession&) = delete;
  FlashSession& operator=(const FlashSession&) = delete;

  /// The DriverKind that the selection gave: 0 when the driver could not start.
  int driver() const { return driver_; }
  Module& module() { return *module_; }

 private:
  std::unique_ptr<Module> module_;
  HANDLE mutex_ = nullptr;
  int driver_ = 0;
};

/// Runs the program's quiet update (/u) of the CE file `ce_path` on the open module, its
/// dialogs answered by the script back end: the text of the message box it showed (a quiet
/// update shows one at most: its error), or "" when it showed none.
std::string RunQuietUpdate(const char16_t* ce_path);

/// "1.0 s", "218 us": a span of virtual time for people.
std::string FormatDuration(std::uint64_t ns);

// What an operation did to NAND bad blocks: the relocation table as it stood before it, and
// the entries it gained. Nothing on NOR.
class BadBlockWatch {
  static std::int64_t Int(std::uint64_t n) { return static_cast<std::int64_t>(n); }

 public:
  explicit BadBlockWatch(Module& module) : module_(module) {
    if (module.config().flash != FlashKind::kNand) return;
    blocks_ = static_cast<std::uint32_t>(NandVariantFor(module.config().nand.chip).blocks);
    const NandLogicalView view(module.image(), blocks_);
    before_ = view.Table();
    map_before_ = view.Map();
  }

  struct Relocation {
    std::uint32_t logical, bad_physical, replacement;
    bool factory_bad;  // the maker's mark
  };
  std::vector<Relocation> Relocations() const {
    std::vector<Relocation> list;
    if (!blocks_) return list;
    const std::vector<NandRelocation> table = NandLogicalView(module_.image(), blocks_).Table();
    for (std::size_t i = before_.size(); i < table.size(); ++i) {
      if (table[i].bad_block == 0) continue;  // a retired entry
      const std::uint32_t logical = table[i].bad_block;
      const std::uint32_t bad = logical < map_before_.size() ? map_before_[logical] : logical;
      const std::vector<std::uint32_t>& factory = module_.config().nand.factory_bad_blocks;
      list.push_back({logical, bad, table[i].replacement,
                      std::find(factory.begin(), factory.end(), bad) != factory.end()});
    }
    return list;
  }
  bool nand() const { return blocks_ != 0; }
  std::uint32_t Reserve() const { return RelocationReserveBlocks(blocks_); }
  std::uint32_t ReserveLeft() const {
    std::vector<std::uint32_t> used;
    for (const NandRelocation& e : NandLogicalView(module_.image(), blocks_).Table()) {
      if (std::find(used.begin(), used.end(), e.replacement) == used.end()) {
        used.push_back(e.replacement);
      }
    }
    return Reserve() > used.size() ? Reserve() - static_cast<std::uint32_t>(used.size()) : 0;
  }

  // "; block 9 went bad (physical block 9, the maker's mark): it now lives in reserve block
  // 1012; 19 of 20 reserve blocks left", or "" when nothing was relocated.
  std::string Text() const {
    std::string text;
    const std::vector<Relocation> moved = Relocations();
    for (const Relocation& r : moved) {
      text += "; block " + std::to_string(r.logical) + " went bad (physical block " +
              std::to_string(r.bad_physical) + (r.factory_bad ? ", the maker's mark" : "") +
              "): it now lives in reserve block " + std::to_string(r.replacement);
    }
    if (!moved.empty()) {
      text += "; " + std::to_string(ReserveLeft()) + " of " + std::to_string(Reserve()) +
              " reserve blocks left";
    }
    return text;
  }
  // The logical blocks of [start, end) that live in a reserve block (relocated earlier), as
  // "; block 9 lives in reserve block 1012 (relocated)"; "" when none, or on NOR.
  std::string InRangeText(std::uint64_t start, std::uint64_t end) const {
    std::string text;
    for (const auto& [logical, replacement] : InRange(start, end)) {
      text += "; block " + std::to_string(logical) + " lives in reserve block " +
              std::to_string(replacement) + " (relocated)";
    }
    return text;
  }
  std::vector<std::pair<std::uint32_t, std::uint32_t>> InRange(std::uint64_t start,
                                                               std::uint64_t end) const {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> list;
    if (!blocks_) return list;
    const std::vector<std::uint32_t> map = NandLogicalView(module_.image(), blocks_).Map();
    for (std::uint64_t b = start / kNandBlockBytes; b < map.size() && b * kNandBlockBytes < end;
         ++b) {
      if (map[b] != b) list.push_back({static_cast<std::uint32_t>(b), map[b]});
    }
    return list;
  }
  // For JSON: InRange as [{"logical_block", "replacement"}, ...].
  toml::array InRangeJson(std::uint64_t start, std::uint64_t end) const {
    toml::array list;
    for (const auto& [logical, replacement] : InRange(start, end)) {
      list.push_back(
          toml::table{{"logical_block", Int(logical)}, {"replacement", Int(replacement)}});
    }
    return list;
  }
  // For JSON: {"relocated": [...], "reserve", "reserve_left"}.
  toml::table Json() const {
    toml::array relocated;
    for (const Relocation& r : Relocations()) {
      relocated.push_back(toml::table{{"logical_block", Int(r.logical)},
                                      {"bad_physical_block", Int(r.bad_physical)},
                                      {"replacement", Int(r.replacement)},
                                      {"factory_bad", r.factory_bad}});
    }
    return toml::table{{"relocated", std::move(relocated)},
                       {"reserve", Int(Reserve())},
                       {"reserve_left", Int(ReserveLeft())}};
  }

 private:
  Module& module_;
  std::uint32_t blocks_ = 0;
  std::vector<NandRelocation> before_;
  std::vector<std::uint32_t> map_before_;
};

}  // namespace host

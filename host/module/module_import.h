// A module made from a flash dump read off a real module: its flash is the dump, byte for
// byte, and what the flash says (the configuration items, the NAND chip's bad-block marks)
// comes from it; the rest comes from the options, as `create` takes them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

#include "host/module/module.h"

namespace host {

/// What `create --from-dump` was given beside the options' defaults: the flash's answers win
/// over defaults, and an option that contradicts the flash is refused.
struct DumpChoices {
  std::optional<std::uint16_t> nand_chip;  // NAND: else the chip whose size the dump has
  bool item0_given = false;
  bool item5_given = false;
};

/// Makes a module in `dir` (new or empty) whose flash is the dump `file`: NOR, the whole
/// flash as raw bytes (its size names the chips' size); NAND, every page with its 64 spare
/// bytes. `options` gives the kind of flash, the processor, the times, and what the flash
/// cannot tell. Reads the dump once, streaming. Nothing is left behind when it fails.
void CreateModuleFromDump(const std::filesystem::path& dir, const std::filesystem::path& file,
                          CreateOptions options, const DumpChoices& choices);

}  // namespace host

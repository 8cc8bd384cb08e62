// The loaders of module.toml and faults.toml: the input up to its first NUL byte is
// module.toml, the rest (when there is a NUL) faults.toml, both given to the loaders as text,
// as they would read them from a module's files. A file the loaders refuse must be refused
// with host::ModuleError; any other exception, a crash or undefined behaviour is a finding.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <optional>
#include <string_view>

#include "fuzz_support.h"
#include "host/module/module.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto* nul = static_cast<const std::uint8_t*>(std::memchr(data, 0, size));
  const std::size_t module_size = nul ? static_cast<std::size_t>(nul - data) : size;
  const std::string_view module_toml(reinterpret_cast<const char*>(data), module_size);
  std::optional<std::string_view> faults_toml;
  if (nul) faults_toml.emplace(reinterpret_cast<const char*>(nul + 1), size - module_size - 1);
  try {
    // The module is never opened: the folder only names the files in messages.
    host::ModuleConfig config =
        host::LoadModuleConfigText("/fuzz/module", module_toml, faults_toml);
    // What a loaded configuration promises the module it opens: a flash size it can map.
    if (config.flash == host::FlashKind::kNor &&
        (config.nor.cfi_size < 0x12 || config.nor.cfi_size > 0x1A)) {
      fuzz::Finding("a NOR size outside the model's range was accepted");
    }
  } catch (const host::ModuleError&) {
    // Refused with words: what a bad file should get.
  }
  return 0;
}

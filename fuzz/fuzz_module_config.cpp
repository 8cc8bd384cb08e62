// The loaders of module.toml and faults.toml: the input up to its first NUL byte is
// module.toml, the rest (when there is a NUL) faults.toml. A file the loaders refuse must be
// refused with host::ModuleError; any other exception, a crash or undefined behaviour is a
// finding.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>

#include "fuzz_support.h"
#include "host/module/module.h"

namespace {

std::unique_ptr<fuzz::ScratchDir> scratch;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  scratch = std::make_unique<fuzz::ScratchDir>();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::filesystem::path dir = scratch->path();
  const auto* nul = static_cast<const std::uint8_t*>(std::memchr(data, 0, size));
  const std::size_t module_size = nul ? static_cast<std::size_t>(nul - data) : size;
  fuzz::WriteBytes(dir / "module.toml", data, module_size);
  std::error_code ec;
  if (nul) {
    fuzz::WriteBytes(dir / "faults.toml", nul + 1, size - module_size - 1);
  } else {
    std::filesystem::remove(dir / "faults.toml", ec);
  }
  try {
    host::ModuleConfig config = host::LoadModuleConfig(dir);
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

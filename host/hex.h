// Numbers in hexadecimal as the host's texts write them: in capitals where module.toml and the
// module's descriptions give chip IDs, places and sizes; in small letters where the tools
// report offsets, lengths and checksums. Free of the rest of the host, so that every part of it
// (the hardware models included) can use it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace host {

/// "0x1FC00": capitals, at least `digits` digits ("0x00DA" for 0xDA and 4), and "0x0" for 0.
inline std::string Hex(std::uint64_t value, int digits = 0) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%0*llX", digits, static_cast<unsigned long long>(value));
  return buf;
}

/// "0x1fc00": small letters, and "0" for 0, as printf's "%#llx" writes them. The tools' reports
/// (erase, write, verify, imbrel-bin) are matched by scripts: keep them in this form.
inline std::string HexLower(std::uint64_t value) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "%#llx", static_cast<unsigned long long>(value));
  return buf;
}

}  // namespace host

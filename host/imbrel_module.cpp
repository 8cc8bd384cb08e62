// imbrel-module: make, inspect and read or write virtual modules. Flash access goes through
// the program's own driver on the module's hardware models, with the flash mutex held.

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <vector>

#include "flash/flash_ops.h"
#include "host/module/module.h"
#include "host/module/virtual_clock.h"
#include "host/tool_support.h"

namespace fs = std::filesystem;

namespace {

constexpr int kExitFailed = 1;  // a flash operation failed
constexpr int kExitUsage = 2;   // bad command line, module or file

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::uint64_t Number(const std::string& what, const std::string& text, std::uint64_t max) {
  auto value = host::ParseNumber(text, max);
  if (!value) {
    char limit[32];
    std::snprintf(limit, sizeof limit, "%#llx", static_cast<unsigned long long>(max));
    throw UsageError(what + " '" + text + "' is not a number from 0 to " + limit +
                     " (decimal or 0x-hex)");
  }
  return *value;
}

std::string Hex(std::uint64_t v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%#llx", static_cast<unsigned long long>(v));
  return buf;
}

// Opens a session and checks that the range lies inside the flash before anything is touched.
void CheckRange(const host::FlashSession& session, const std::string& what, std::uint64_t offset,
                std::uint64_t length) {
  if (session.driver() == 0) {
    throw std::runtime_error("the flash driver could not start on this module");
  }
  if (offset > FlashOps.FlashSize || length > FlashOps.FlashSize - offset) {
    throw UsageError(what + " " + Hex(offset) + " + " + Hex(length) + " runs past the flash (" +
                     Hex(FlashOps.FlashSize) + " bytes)");
  }
}

bool stderr_is_terminal = false;

int ShowEraseProgress(DWORD done, DWORD total) {
  if (stderr_is_terminal) {
    std::fprintf(stderr, "\rerasing: %u of %u KB", done / 1024, total / 1024);
    std::fflush(stderr);
  }
  return 1;
}

void EndProgressLine() {
  if (stderr_is_terminal) std::fprintf(stderr, "\r\033[K");
}

int Create(const std::string& dir, bool nor, const std::string& device, const std::string& cfi) {
  if (!nor) throw UsageError("say which flash the module has: --nor");
  host::CreateOptions options;
  options.flash = host::FlashKind::kNor;
  if (!device.empty()) {
    options.nor_device = static_cast<std::uint16_t>(Number("device code", device, 0xFFFF));
  }
  if (!cfi.empty()) {
    std::uint64_t size = Number("CFI size", cfi, 0xFF);
    if (size < 0x12 || size > 0x1A) {
      throw UsageError("CFI size " + cfi + " is outside 0x12..0x1A (each chip 256 KB to 64 MB)");
    }
    options.cfi_size = static_cast<std::uint8_t>(size);
  }
  host::CreateModule(dir, options);
  std::printf("made a NOR module in %s\n\n%s", dir.c_str(), host::DescribeModule(dir).c_str());
  return 0;
}

int Info(const std::string& dir) {
  std::fputs(host::DescribeModule(dir).c_str(), stdout);
  host::FlashSession session(dir);
  if (session.driver()) {
    std::printf("%-12s%s: DeviceType %d, FlashSize %s\n", "driver", "NOR driver started",
                FlashOps.DeviceType, Hex(FlashOps.FlashSize).c_str());
  } else {
    std::printf("%-12s%s\n", "driver", "the flash driver does not start on this module");
  }
  return 0;
}

int Erase(const std::string& dir, const std::string& offset_text, const std::string& length_text) {
  std::uint64_t offset = Number("offset", offset_text, 0xFFFFFFFF);
  std::uint64_t length = Number("length", length_text, 0xFFFFFFFF);
  host::FlashSession session(dir);
  CheckRange(session, "erase", offset, length);
  std::uint64_t started = host::ClockNow();
  SetProgressCallback(ShowEraseProgress, 0x10000);
  int ok = FlashOps.EraseRange(static_cast<DWORD>(offset), static_cast<DWORD>(length));
  SetProgressCallback(nullptr, 0);
  EndProgressLine();
  if (!ok) {
    std::fprintf(stderr,
                 "imbrel-module: erase of %s + %s failed (a block is locked, failed to "
                 "erase or timed out)\n",
                 Hex(offset).c_str(), Hex(length).c_str());
    return kExitFailed;
  }
  std::printf("erased %s + %s in %s of module time\n", Hex(offset).c_str(), Hex(length).c_str(),
              host::FormatDuration(host::ClockNow() - started).c_str());
  return 0;
}

int Write(const std::string& dir, const std::string& offset_text, const std::string& file) {
  std::uint64_t offset = Number("offset", offset_text, 0xFFFFFFFF);
  std::ifstream in(file, std::ios::binary);
  if (!in) throw UsageError("cannot read " + file);
  std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(in)),
                                 std::istreambuf_iterator<char>());
  if (in.bad()) throw UsageError("cannot read " + file);
  host::FlashSession session(dir);
  CheckRange(session, "write", offset, data.size());
  std::uint64_t started = host::ClockNow();
  constexpr std::size_t kPiece = 0x40000;
  for (std::size_t done = 0; done < data.size(); done += kPiece) {
    std::size_t take = std::min(kPiece, data.size() - done);
    if (!FlashOps.WriteBuffer(data.data() + done, static_cast<DWORD>(offset + done),
                              static_cast<DWORD>(take))) {
      EndProgressLine();
      std::fprintf(stderr,
                   "imbrel-module: write failed at %s (a block is locked, reported a "
                   "program error or timed out); the bytes before it are written\n",
                   Hex(offset + done).c_str());
      return kExitFailed;
    }
    if (stderr_is_terminal) {
      std::fprintf(stderr, "\rwriting: %zu of %zu KB", (done + take) / 1024, data.size() / 1024);
      std::fflush(stderr);
    }
  }
  EndProgressLine();
  std::vector<std::uint8_t> back(data.size());
  if (!data.empty() && (!FlashOps.ReadBuffer(back.data(), static_cast<DWORD>(offset),
                                             static_cast<DWORD>(back.size())) ||
                        back != data)) {
    std::size_t at = 0;
    while (at < data.size() && back[at] == data[at]) ++at;
    std::fprintf(stderr,
                 "imbrel-module: after the write the flash at %s does not hold the "
                 "file's bytes: programming only clears bits, so erase the range first\n",
                 Hex(offset + at).c_str());
    return kExitFailed;
  }
  std::printf("wrote %zu bytes at %s in %s of module time\n", data.size(), Hex(offset).c_str(),
              host::FormatDuration(host::ClockNow() - started).c_str());
  return 0;
}

void HexDump(const std::vector<std::uint8_t>& data, std::uint64_t offset) {
  for (std::size_t i = 0; i < data.size(); i += 16) {
    std::printf("%08llx ", static_cast<unsigned long long>(offset + i));
    for (std::size_t j = i; j < i + 16; ++j) {
      if (j < data.size())
        std::printf(" %02x", data[j]);
      else
        std::printf("   ");
    }
    std::printf("  ");
    for (std::size_t j = i; j < i + 16 && j < data.size(); ++j) {
      std::putchar(data[j] >= 0x20 && data[j] < 0x7F ? data[j] : '.');
    }
    std::putchar('\n');
  }
}

int Read(const std::string& dir, const std::string& offset_text, const std::string& length_text,
         const std::string& out_file) {
  std::uint64_t offset = Number("offset", offset_text, 0xFFFFFFFF);
  std::uint64_t length = Number("length", length_text, 0xFFFFFFFF);
  host::FlashSession session(dir);
  CheckRange(session, "read", offset, length);
  std::vector<std::uint8_t> data(length);
  if (length &&
      !FlashOps.ReadBuffer(data.data(), static_cast<DWORD>(offset), static_cast<DWORD>(length))) {
    std::fprintf(stderr, "imbrel-module: read of %s + %s failed\n", Hex(offset).c_str(),
                 Hex(length).c_str());
    return kExitFailed;
  }
  if (!out_file.empty()) {
    std::ofstream out(out_file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(length));
    out.close();
    if (!out) throw UsageError("cannot write " + out_file);
  } else if (isatty(STDOUT_FILENO)) {
    HexDump(data, offset);
  } else {
    std::fwrite(data.data(), 1, data.size(), stdout);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  stderr_is_terminal = isatty(STDERR_FILENO);
  CLI::App app{"imbrel-module: make, inspect, read and write Imbrel virtual modules"};
  app.require_subcommand(1);
  app.footer(
      "Numbers are decimal or 0x-hex. Flash access goes through the program's own driver.\n"
      "Exit status: 0 done, 1 a flash operation failed, 2 bad command line, module or file.");

  std::string dir, device, cfi, offset, length, file, out_file;
  bool nor = false;

  CLI::App* create = app.add_subcommand("create", "make a new module in DIR (new or empty)");
  create->add_option("DIR", dir, "module directory")->required();
  create->add_flag("--nor", nor, "a PXA270 module with Intel NOR flash");
  create->add_option("--device", device, "NOR device code (default 0x8922)");
  create->add_option("--cfi-size", cfi,
                     "CFI device size byte: each chip holds 2^N bytes (default 0x18: 32 MB)");

  CLI::App* info = app.add_subcommand("info", "show what the module is and holds");
  info->add_option("DIR", dir, "module directory")->required();

  CLI::App* erase = app.add_subcommand("erase", "erase every block the range touches");
  erase->add_option("DIR", dir, "module directory")->required();
  erase->add_option("OFFSET", offset, "flash offset")->required();
  erase->add_option("LENGTH", length, "bytes")->required();

  CLI::App* write =
      app.add_subcommand("write", "program FILE at OFFSET (erase first: programming clears bits)");
  write->add_option("DIR", dir, "module directory")->required();
  write->add_option("OFFSET", offset, "flash offset")->required();
  write->add_option("FILE", file, "data to program")->required();

  CLI::App* read = app.add_subcommand("read", "read flash bytes (a hex dump on a terminal)");
  read->add_option("DIR", dir, "module directory")->required();
  read->add_option("OFFSET", offset, "flash offset")->required();
  read->add_option("LENGTH", length, "bytes")->required();
  read->add_option("-o,--output", out_file, "write the bytes to this file");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return kExitUsage;
  }

  try {
    if (*create) return Create(dir, nor, device, cfi);
    if (*info) return Info(dir);
    if (*erase) return Erase(dir, offset, length);
    if (*write) return Write(dir, offset, file);
    if (*read) return Read(dir, offset, length, out_file);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "imbrel-module: %s\n", e.what());
    return kExitUsage;
  } catch (const host::ModuleError& e) {
    std::fprintf(stderr, "imbrel-module: %s\n", e.what());
    return kExitUsage;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "imbrel-module: %s\n", e.what());
    return kExitFailed;
  }
  return kExitUsage;
}

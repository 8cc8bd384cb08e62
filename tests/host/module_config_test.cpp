// The loaders of module.toml, faults.toml and the registry tables: every integer key takes a
// TOML integer in its range and nothing else, and a refusal names the file and the key.

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "host/module/module.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kNorModule =
    "[cpu]\npart_number = 17\n[nor]\ndevice = 0x8922\ncfi_size = 0x18\n";
constexpr const char* kNandModule = "[cpu]\npart_number = 9\n[nand]\nchip = 0xDAEC\n";

// One integer key: the files with "@" where the value goes, and the key the message names.
struct IntegerKey {
  const char* module_toml;
  const char* faults_toml;  // nullptr: no faults.toml
  const char* key;
};

const IntegerKey kIntegerKeys[] = {
    {"[cpu]\npart_number = @\n[nor]\ndevice = 0x8922\ncfi_size = 0x18\n", nullptr, "part_number"},
    {"[cpu]\nmain_id = @\n[nor]\ndevice = 0x8922\ncfi_size = 0x18\n", nullptr, "main_id"},
    {"[cpu]\npart_number = 17\n[nor]\nmanufacturer = @\ndevice = 0x8922\ncfi_size = 0x18\n",
     nullptr, "manufacturer"},
    {"[cpu]\npart_number = 17\n[nor]\ndevice = [0x8922, @]\ncfi_size = 0x18\n", nullptr, "device"},
    {"[cpu]\npart_number = 17\n[nor]\ndevice = 0x8922\ncfi_size = @\n", nullptr, "cfi_size"},
    {"[cpu]\npart_number = 9\n[nand]\nchip = @\n", nullptr, "chip"},
    {"[cpu]\npart_number = 9\n[nand]\nchip = 0xDAEC\nerase_ns = @\n", nullptr, "erase_ns"},
    {"[cpu]\npart_number = 17\n[nor]\ndevice = 0x8922\ncfi_size = 0x18\n[platform]\n"
     "item5 = [0x80000, @, 0, 0, 0, 0]\n",
     nullptr, "item5[1]"},
    {"[cpu]\npart_number = 17\n[nor]\ndevice = 0x8922\ncfi_size = 0x18\n[registry.'A\\B']\n"
     "V = @\n",
     nullptr, "registry value 'A\\B\\V'"},
    {kNorModule, "[[nor]]\nkind = \"erase-error\"\nblock = @\n", "block"},
    {kNorModule, "[power]\ncut_after = @\n", "cut_after"},
    {kNandModule, "[[nand]]\nkind = \"program-error\"\nblock = @\n", "block"},
    {kNandModule, "[[nand]]\nkind = \"bit-flip\"\npage = 5\nbyte = @\nbit = 0\n", "byte"},
    {kNandModule, "[[nand]]\nkind = \"bit-flip\"\npage = @\nbyte = 0\nbit = 0\n", "page"},
    {kNandModule, "[[nand]]\nkind = \"bit-flip\"\npage = 5\nbyte = 0\nbit = @\n", "bit"},
    {"[cpu]\npart_number = 9\n[nand]\nchip = 0xDCAD\n",
     "[[nand]]\nkind = \"never-ready\"\nchip_select = @\n", "chip_select"},
};

std::string With(const char* text, const std::string& value) {
  std::string out = text;
  out.replace(out.find('@'), 1, value);
  return out;
}

// What each loader must refuse where an integer goes: floats of every kind (2e50 once made
// toml++ convert out of range), text, and integers no key takes.
TEST(ModuleConfigTest, IntegerKeysRefuseFloatsTextAndNumbersOutsideTheirRange) {
  const std::vector<std::string> bad = {
      "2e50",
      "-2e50",
      "1e400",
      "-1e400",
      "nan",
      "inf",
      "-0.0",
      "1.0",
      "0.5",
      "\"5\"",
      "true",
      "[1]",
      "-1",
      "-9223372036854775808",
      "9223372036854775807",
      "0x1_0000_0000_0",
  };
  test::TempDir dir;
  for (const IntegerKey& k : kIntegerKeys) {
    for (const std::string& value : bad) {
      // cut_after takes any count a 64-bit counter holds.
      if (std::string(k.key) == "cut_after" &&
          (value == "9223372036854775807" || value.rfind("0x", 0) == 0))
        continue;
      // A registry value may be text: a REG_SZ.
      if (std::string(k.key).starts_with("registry") && value == "\"5\"") continue;
      std::ofstream(dir / "module.toml", std::ios::trunc)
          << (k.faults_toml ? std::string(k.module_toml) : With(k.module_toml, value));
      fs::remove(dir / "faults.toml");
      if (k.faults_toml) std::ofstream(dir / "faults.toml") << With(k.faults_toml, value);
      const std::string file = k.faults_toml ? "faults.toml" : "module.toml";
      try {
        host::LoadModuleConfig(dir.path());
        ADD_FAILURE() << k.key << " = " << value << " was taken";
      } catch (const host::ModuleError& e) {
        std::string message = e.what();
        // A value TOML itself cannot read is refused by the parser, naming its line instead.
        if (message.find("line ") != std::string::npos) continue;
        EXPECT_NE(message.find(file + ": "), std::string::npos) << message;
        EXPECT_NE(message.find(k.key), std::string::npos)
            << k.key << " = " << value << ": " << message;
        EXPECT_EQ(message.find('\n'), std::string::npos) << message;
      }
    }
  }
}

TEST(ModuleConfigTest, RefusalSaysWhatIsAccepted) {
  test::TempDir dir;
  std::ofstream(dir / "module.toml") << kNandModule;
  std::ofstream(dir / "faults.toml") << "[[nand]]\nkind = \"bit-flip\"\npage = 5\nbyte = 2e50\n";
  try {
    host::LoadModuleConfig(dir.path());
    ADD_FAILURE() << "byte = 2e50 was taken";
  } catch (const host::ModuleError& e) {
    EXPECT_NE(std::string(e.what()).find("byte must be an integer 0x0..0x83F, not a float"),
              std::string::npos)
        << e.what();
  }
}

}  // namespace

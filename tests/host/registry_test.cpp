// The registry calls over the module's registry files: the live copy made at the start, keys
// and values as Win32 gives them, the flush into the kept copy, faults and malformed files.

#include "host/system/registry.h"

#include <gtest/gtest.h>
#include <toml++/toml.h>

#include <cstring>
#include <fstream>

#include "ce/kernel.h"
#include "ce/registry.h"
#include "flash/flash_ops.h"
#include "flash/nor/nor_flash.h"
#include "host/module/flash_file.h"
#include "host/module/module.h"
#include "host/oal/platform_codes.h"
#include "host/oal/registry_flash.h"
#include "host/system/kernel_objects.h"
#include "host/system/text.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

const char kDefault[] = R"(
[registry.'Drivers\BuiltIn\StrataFMD']
MemBase = 0x01480000
MemLen = 0x00B80000
Dll = 'StrataFMD.dll'
Empty = ''

[registry.Comm.Serial1]
Port = "COM1:"
)";

class RegistryTest : public ::testing::Test {
 protected:
  fs::path Dir() { return dir_ / "m"; }
  void Make(const std::string& module_tables = kDefault, const std::string& faults = "",
            const std::string& kept = "") {
    host::CreateOptions options = host::CreateOptions::Blank();
    // 1 MB, its registry area the last two erase blocks.
    options.cfi_size = 0x13;
    options.item5 = true;
    options.item5_words = std::array<std::uint32_t, 6>{0x80000, 0x80000, 0x40000, 0, 0, 0};
    host::CreateModule(Dir(), options);
    std::ofstream(Dir() / "module.toml", std::ios::app) << module_tables;
    if (!faults.empty()) std::ofstream(Dir() / "faults.toml") << faults;
    if (!kept.empty()) std::ofstream(Dir() / "registry.toml") << kept;
  }
  // The registry's part of a start (the module has no image to boot).
  void Start() {
    module_.reset();
    module_ = host::Module::Open(Dir());
    // The driver is selected once per process; start it again on this test's module.
    SelectFlashDriver();
    NorInitialize();
    host::StartLiveRegistryFromFlash(Dir(), module_->config(),
                                     host::FlashFile(Dir(), module_->config()));
  }
  HKEY OpenKey(const char16_t* path) {
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key), ERROR_SUCCESS)
        << host::Utf8(path);
    return key;
  }

  test::TempDir dir_;
  std::unique_ptr<host::Module> module_;
};

TEST_F(RegistryTest, OpensKeysIgnoringCase) {
  Make();
  Start();
  struct Case {
    const char16_t* path;
    LONG result;
  };
  const Case cases[] = {
      {u"Drivers\\BuiltIn\\StrataFMD", ERROR_SUCCESS},
      {u"drivers\\builtin\\stratafmd", ERROR_SUCCESS},
      {u"Drivers", ERROR_SUCCESS},  // a key that has only subkeys
      {u"DRIVERS\\BuiltIn", ERROR_SUCCESS},
      {u"Drivers\\BuiltIn\\StrataFMD\\", ERROR_SUCCESS},
      {u"Comm\\Serial1", ERROR_SUCCESS},  // written as nested tables
      {u"", ERROR_SUCCESS},
      {nullptr, ERROR_SUCCESS},
      {u"Drivers\\Built", ERROR_FILE_NOT_FOUND},  // part of a name is not a key
      {u"Drivers\\BuiltIn\\StrataFMD\\Sub", ERROR_FILE_NOT_FOUND},
      {u"Drivers\\BlockDevice\\StrataFMD", ERROR_FILE_NOT_FOUND},
      {u"\\Drivers", 161},  // ERROR_BAD_PATHNAME
  };
  std::size_t handles = host::OpenHandleCount();
  for (const Case& c : cases) {
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, c.path, 0, 0, &key), c.result)
        << (c.path ? host::Utf8(c.path) : "(null)");
    if (c.result == ERROR_SUCCESS) {
      EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    }
  }
  EXPECT_EQ(host::OpenHandleCount(), handles);

  // A subkey of an open key.
  HKEY drivers = OpenKey(u"Drivers");
  HKEY fmd = nullptr;
  ASSERT_EQ(RegOpenKeyExW(drivers, u"builtin\\StrataFMD", 0, 0, &fmd), ERROR_SUCCESS);
  DWORD base = 0, size = sizeof base;
  EXPECT_EQ(
      RegQueryValueExW(fmd, u"MemBase", nullptr, nullptr, reinterpret_cast<BYTE*>(&base), &size),
      ERROR_SUCCESS);
  EXPECT_EQ(base, 0x01480000u);
  RegCloseKey(fmd);
  RegCloseKey(drivers);

  // Other roots, stale handles and a missing result.
  HKEY key;
  auto current_user = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000001));
  EXPECT_EQ(RegOpenKeyExW(current_user, u"Drivers", 0, 0, &key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegOpenKeyExW(drivers, u"BuiltIn", 0, 0, &key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(drivers), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers", 0, 0, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
}

TEST_F(RegistryTest, QueriesGiveTypesAndSizesAsWin32) {
  Make();
  Start();
  HKEY key = OpenKey(u"Drivers\\BuiltIn\\StrataFMD");
  const std::u16string dll = u"StrataFMD.dll";
  const DWORD dll_bytes = (13 + 1) * 2;
  struct Case {
    const char16_t* name;
    bool with_data;
    DWORD size;  // in *size
    LONG result;
    DWORD type;
    DWORD size_after;
    bool written;
  };
  const Case cases[] = {
      {u"membase", true, 4, ERROR_SUCCESS, REG_DWORD, 4, true},
      {u"MemLen", true, 64, ERROR_SUCCESS, REG_DWORD, 4, true},
      {u"MemBase", true, 3, ERROR_MORE_DATA, REG_DWORD, 4, false},
      {u"MemBase", false, 0, ERROR_SUCCESS, REG_DWORD, 4, false},  // the size alone
      {u"Dll", false, 0, ERROR_SUCCESS, REG_SZ, dll_bytes, false},
      {u"DLL", true, dll_bytes - 1, ERROR_MORE_DATA, REG_SZ, dll_bytes, false},
      {u"Dll", true, dll_bytes, ERROR_SUCCESS, REG_SZ, dll_bytes, true},
      {u"Empty", true, 64, ERROR_SUCCESS, REG_SZ, 2, true},
      {u"MemBas", true, 64, ERROR_FILE_NOT_FOUND, 0xEEEE, 64, false},
      {u"Port", true, 64, ERROR_FILE_NOT_FOUND, 0xEEEE, 64, false},  // another key's
  };
  for (const Case& c : cases) {
    std::uint8_t data[64];
    std::memset(data, 0xCC, sizeof data);
    DWORD type = 0xEEEE;
    DWORD size = c.size;
    LONG result =
        RegQueryValueExW(key, c.name, nullptr, &type, c.with_data ? data : nullptr, &size);
    std::string name = host::Utf8(c.name);
    EXPECT_EQ(result, c.result) << name;
    EXPECT_EQ(type, c.type) << name;
    EXPECT_EQ(size, c.size_after) << name;
    EXPECT_EQ(data[0] != 0xCC, c.written) << name;
    if (c.written && c.type == REG_SZ && c.size_after == dll_bytes) {
      EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(data)), dll);
    }
  }
  DWORD word = 0, size = 4;
  EXPECT_EQ(
      RegQueryValueExW(key, u"MemLen", nullptr, nullptr, reinterpret_cast<BYTE*>(&word), &size),
      ERROR_SUCCESS);
  EXPECT_EQ(word, 0x00B80000u);
  DWORD reserved = 0;
  EXPECT_EQ(RegQueryValueExW(key, u"MemLen", &reserved, nullptr, nullptr, &size),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(
      RegQueryValueExW(key, u"MemLen", nullptr, nullptr, reinterpret_cast<BYTE*>(&word), nullptr),
      ERROR_INVALID_PARAMETER);
  RegCloseKey(key);
  EXPECT_EQ(RegQueryValueExW(key, u"MemLen", nullptr, nullptr, nullptr, &size),
            ERROR_INVALID_HANDLE);
}

TEST_F(RegistryTest, LiveRegistryStartsFromTheDefaultWhileTheKeptCopyIsEmpty) {
  Make();
  Start();
  EXPECT_TRUE(host::LoadRegistryFile(Dir() / "registry.toml").empty());
  host::RegistryTree live = host::LoadRegistryFile(Dir() / "ram" / "registry.toml");
  const host::RegistryValue* base = live.FindValue(u"Drivers\\BuiltIn\\StrataFMD", u"MemBase");
  ASSERT_NE(base, nullptr);
  EXPECT_EQ(base->number, 0x01480000u);
}

TEST_F(RegistryTest, RegistryFileOfAnOlderModuleStartsItOnceAndIsKeptBeside) {
  // The save runs the flash driver, which a process selects once: a process of its own.
  EXPECT_EQ(
      test::RunInChild([&] {
        // Before the registry lived in flash, registry.toml was the saved registry.
        Make(kDefault, "", "['Saved\\Key']\nCount = 7\n");
        Start();
        HKEY key = OpenKey(u"saved\\key");
        DWORD count = 0, size = 4;
        EXPECT_EQ(RegQueryValueExW(key, u"Count", nullptr, nullptr, reinterpret_cast<BYTE*>(&count),
                                   &size),
                  ERROR_SUCCESS);
        EXPECT_EQ(count, 7u);
        RegCloseKey(key);
        // The kept copy replaces the default whole.
        HKEY none;
        EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers", 0, 0, &none), ERROR_FILE_NOT_FOUND);
        EXPECT_NE(test::ReadFile(Dir() / "registry.toml.old").find("Count = 7"), std::string::npos);

        // Unsaved, it does not start the module again: the flash holds no copy.
        fs::remove_all(Dir() / "ram");
        Start();
        EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Saved", 0, 0, &none), ERROR_FILE_NOT_FOUND);
        // Saved at that first start, it lives in flash from then on.
        module_.reset();
        fs::remove_all(Dir());
        Make(kDefault, "", "['Saved\\Key']\nCount = 7\n");
        Start();
        EXPECT_EQ(RegFlushKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
        fs::remove_all(Dir() / "ram");
        Start();
        RegCloseKey(OpenKey(u"Saved\\Key"));
      }),
      0);
}

TEST_F(RegistryTest, LiveRegistryLastsUntilRamIsCleared) {
  Make();
  Start();
  std::ofstream(Dir() / "ram" / "registry.toml") << "['Changed']\nValue = 'since the start'\n";
  Start();
  HKEY key = OpenKey(u"Changed");
  RegCloseKey(key);
  fs::remove_all(Dir() / "ram");
  Start();
  HKEY none;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Changed", 0, 0, &none), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, FlushKeepsTheLiveRegistryForTheNextStart) {
  // The save runs the flash driver, which a process selects once: a process of its own.
  EXPECT_EQ(test::RunInChild([&] {
              Make();
              Start();
              // What the module changed while it ran.
              std::ofstream(Dir() / "ram" / "registry.toml")
                  << "['Drivers\\BuiltIn\\StrataFMD']\nMemBase = 0x1500000\nName = \"it's "
                     "\\\"here\\\"\"\n";
              HKEY key = OpenKey(u"Drivers\\BuiltIn\\StrataFMD");
              EXPECT_EQ(RegFlushKey(key), ERROR_SUCCESS);
              RegCloseKey(key);

              // The kept copy as any TOML reader sees it.
              toml::table kept = toml::parse_file((Dir() / "registry.toml").string());
              EXPECT_EQ(kept["Drivers\\BuiltIn\\StrataFMD"]["MemBase"].value<std::int64_t>(),
                        0x1500000);
              EXPECT_EQ(kept["Drivers\\BuiltIn\\StrataFMD"]["Name"].value<std::string>(),
                        "it's \"here\"");
              EXPECT_FALSE(kept["Drivers\\BuiltIn\\StrataFMD"]["MemLen"]);

              // A restart makes the live registry from it, not from the default.
              fs::remove_all(Dir() / "ram");
              Start();
              key = OpenKey(u"Drivers\\BuiltIn\\StrataFMD");
              DWORD size = 0;
              EXPECT_EQ(RegQueryValueExW(key, u"MemLen", nullptr, nullptr, nullptr, &size),
                        ERROR_FILE_NOT_FOUND);
              EXPECT_EQ(RegFlushKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
              RegCloseKey(key);
              EXPECT_EQ(RegFlushKey(key), ERROR_INVALID_HANDLE);
            }),
            0);
}

TEST_F(RegistryTest, ClearErasesBothCopiesAndTheRunningModuleKeepsItsLiveRegistry) {
  // The save runs the flash driver, which a process selects once: a process of its own.
  EXPECT_EQ(
      test::RunInChild([&] {
        Make();
        Start();
        std::ofstream(Dir() / "ram" / "registry.toml") << "['Saved']\nValue = 1\n";
        ASSERT_EQ(RegFlushKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
        ASSERT_EQ(RegFlushKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);  // a copy in each half
        ASSERT_NE(test::ReadFile(Dir() / "registry.toml").find("copy 2 in half 1"),
                  std::string::npos);
        ASSERT_TRUE(KernelIoControl(host::kCodeRegistryClear, nullptr, 0, nullptr, 0, nullptr));
        EXPECT_TRUE(host::LoadRegistryFile(Dir() / "registry.toml").empty());
        EXPECT_NE(host::LoadRegistryFile(Dir() / "ram" / "registry.toml").FindKey(u"Saved"),
                  nullptr);
        // The next start has no copy to take: the default.
        fs::remove_all(Dir() / "ram");
        Start();
        HKEY none;
        EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Saved", 0, 0, &none), ERROR_FILE_NOT_FOUND);
        RegCloseKey(OpenKey(u"Drivers\\BuiltIn\\StrataFMD"));
      }),
      0);
}

TEST_F(RegistryTest, FaultsMakeOpenAndFlushFail) {
  // The save runs the flash driver, which a process selects once: a process of its own.
  EXPECT_EQ(test::RunInChild([&] {
              struct Case {
                const char* faults;
                LONG open;
                LONG flush;
              };
              const Case cases[] = {
                  {"[registry]\nopen = \"fail\"\n", ERROR_ACCESS_DENIED, ERROR_SUCCESS},
                  {"[registry]\nopen = 1009\n", 1009, ERROR_SUCCESS},
                  {"[registry]\nflush = \"fail\"\n", ERROR_SUCCESS, 29},
                  {"[registry]\nflush = 5\n", ERROR_SUCCESS, ERROR_ACCESS_DENIED},
              };
              for (const Case& c : cases) {
                module_.reset();
                fs::remove_all(Dir());
                Make(kDefault, c.faults);
                Start();
                std::string kept_before = test::ReadFile(Dir() / "registry.toml");
                HKEY key = nullptr;
                EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers", 0, 0, &key), c.open)
                    << c.faults;
                EXPECT_EQ(RegFlushKey(HKEY_LOCAL_MACHINE), c.flush) << c.faults;
                if (c.flush != ERROR_SUCCESS) {
                  EXPECT_EQ(test::ReadFile(Dir() / "registry.toml"), kept_before) << c.faults;
                }
                if (key) RegCloseKey(key);
              }
            }),
            0);
}

TEST_F(RegistryTest, MalformedRegistriesAreNamedInOneLine) {
  struct Case {
    std::string file;  // "module.toml", "registry.toml", "ram/registry.toml", "faults.toml"
    std::string text;
    std::string message;
  };
  const Case cases[] = {
      {"module.toml", "[registry.Key]\nValue = 1.5\n",
       "module.toml: registry value 'Key\\Value' must be an integer (REG_DWORD) or a string"},
      {"module.toml", "[registry.Key]\nValue = 0x100000000\n", "outside 0..0xFFFFFFFF"},
      {"module.toml", "[registry.Key]\nValue = -1\n", "outside 0..0xFFFFFFFF"},
      {"module.toml", "[registry]\nValue = 1\n", "is outside a key"},
      {"module.toml", "[registry.'A\\\\B']\nV = 1\n", "has an empty part"},
      {"module.toml", "[registry.Key]\nname = 1\nNAME = 2\n", "given twice"},
      {"registry.toml", "[Key]\nV = [1, 2]\n", "registry.toml: registry value 'Key\\V'"},
      {"registry.toml", "[Key\n", "registry.toml: line 1"},
      {"ram/registry.toml", "Loose = 1\n", "ram/registry.toml: registry value 'Loose'"},
      {"faults.toml", "[registry]\nflush = \"sometimes\"\n", "faults.toml: flush must be"},
      {"faults.toml", "[registry]\nclose = \"fail\"\n", "unknown key 'close' in [registry]"},
  };
  for (const Case& c : cases) {
    module_.reset();
    fs::remove_all(Dir());
    Make("");
    std::ofstream(Dir() / c.file, c.file == "module.toml" ? std::ios::app : std::ios::trunc)
        << c.text;
    try {
      Start();
      ADD_FAILURE() << c.file << " was accepted: " << c.text;
    } catch (const host::ModuleError& e) {
      std::string message = e.what();
      EXPECT_NE(message.find(c.message), std::string::npos) << message;
      EXPECT_EQ(message.find('\n'), std::string::npos) << message;
    }
  }
}

TEST(RegistryFiles, AwkwardNamesAndTextsSurviveAWriteAndARead) {
  host::RegistryTree tree;
  tree.SetValue(u"Drivers\\It's \"quoted\"", {u"MemBase", REG_DWORD, 0xFFFFFFFF, {}});
  tree.SetValue(u"Drivers\\It's \"quoted\"", {u"", REG_SZ, 0, u"the default value"});
  tree.SetValue(u"Ger\u00E4te\\\u00DCbersicht", {u"a.b c", REG_SZ, 0, u"C:\\Windows\\x.dll"});
  tree.SetValue(u"Lines", {u"Text", REG_SZ, 0, u"one\ntwo\t'three'\u0001"});
  tree.SetValue(u"Lines", {u"Zero", REG_DWORD, 0, {}});
  test::TempDir dir;
  host::WriteRegistryFile(dir / "registry.toml", tree);
  host::RegistryTree back = host::LoadRegistryFile(dir / "registry.toml");
  ASSERT_EQ(back.keys.size(), tree.keys.size());
  for (const host::RegistryKeyData& key : tree.keys) {
    for (const host::RegistryValue& value : key.values) {
      const host::RegistryValue* got = back.FindValue(key.path, value.name);
      ASSERT_NE(got, nullptr) << host::Utf8(key.path) << " " << host::Utf8(value.name);
      EXPECT_EQ(got->type, value.type);
      EXPECT_EQ(got->number, value.number);
      EXPECT_EQ(got->text, value.text);
    }
  }
  // Latin-1 letters ignore case too.
  EXPECT_NE(back.FindValue(u"GER\u00C4TE\\\u00FCBERSICHT", u"A.B C"), nullptr);
}

}  // namespace

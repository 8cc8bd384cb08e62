// The Platform Builder build of the program (device/platform_builder/sources) lists exactly the
// program's sources and its resource script: a source added or removed shows here.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

TEST(PlatformBuilder, SourcesListsExactlyTheProgramsSources) {
  const fs::path root = IMBREL_SOURCE_DIR;
  std::ifstream in(root / "device" / "platform_builder" / "sources");
  ASSERT_TRUE(in) << "device/platform_builder/sources is missing";
  // SOURCES= and its continuation lines: "..\..\dir\file.cpp \".
  std::set<std::string> listed;
  bool in_sources = false;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("SOURCES=", 0) == 0) {
      in_sources = true;
      line = line.substr(8);
    } else if (!in_sources) {
      continue;
    }
    std::istringstream words(line);
    for (std::string word; words >> word;) {
      if (word == "\\") continue;
      ASSERT_EQ(word.rfind("..\\..\\", 0), 0u) << word;
      word = word.substr(6);
      for (char& c : word) c = c == '\\' ? '/' : c;
      listed.insert(word);
    }
    if (line.empty() || line.back() != '\\') in_sources = false;
  }
  std::set<std::string> program{"resources/imbrel.rc"};
  for (const char* dir : {"platform", "flash", "update", "shell", "resources"}) {
    for (const auto& entry : fs::recursive_directory_iterator(root / dir)) {
      if (entry.path().extension() == ".cpp") {
        program.insert(fs::relative(entry.path(), root).generic_string());
      }
    }
  }
  EXPECT_EQ(listed, program);
  EXPECT_TRUE(fs::exists(root / "device" / "platform_builder" / "makefile"));
}

}  // namespace

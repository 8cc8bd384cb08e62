// The command-line grammar, as a table of lines and the commands they give.

#include "shell/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/system/text.h"

namespace {

struct Expected {
  int kind;
  std::string path;  // update
  DWORD quiet;
  DWORD delay;  // restart
};

std::vector<Expected> Parse(const std::u16string& line) {
  ParseCommandLine(line.c_str());
  std::vector<Expected> out;
  for (int i = 0; i < CommandCount; ++i) {
    const BatchCommand& c = Commands[i];
    out.push_back({c.kind, c.kind == kCommandUpdate ? host::Utf8(c.path) : "", c.quiet,
                   c.kind == kCommandRestart ? c.delay : 0});
  }
  return out;
}

bool operator==(const Expected& a, const Expected& b) {
  return a.kind == b.kind && a.path == b.path && a.quiet == b.quiet && a.delay == b.delay;
}
std::ostream& operator<<(std::ostream& os, const Expected& e) {
  return os << "{kind " << e.kind << ", path '" << e.path << "', quiet " << e.quiet << ", delay "
            << e.delay << "}";
}

constexpr int U = kCommandUpdate, F = kCommandRegistrySave, C = kCommandRegistryClear,
              R = kCommandRestart, X = kCommandUnsupported;

TEST(CommandLineTest, Grammar) {
  struct Case {
    std::u16string line;
    std::vector<Expected> commands;
  };
  const Case cases[] = {
      {u"", {}},
      {u" /f", {}},
      {u"f", {}},
      {u"/fu", {{F, "", 1, 0}}},
      {u"/f", {{F, "", 0, 0}}},
      {u"/cu /rc", {{C, "", 1, 0}, {R, "", 0, 1}}},
      {u"/u \\USB HD\\IMAGES\\new.bin /rc3000",
       {{U, "\\USB HD\\IMAGES\\new.bin", 1, 0}, {R, "", 0, 3000}}},
      {u"/u", {{U, "", 1, 0}}},
      {u"/u /f", {{U, "", 1, 0}, {F, "", 0, 0}}},
      {u"/r", {{R, "", 0, 0}}},
      {u"/rc0", {{R, "", 0, 0}}},
      {u"/rc", {{R, "", 0, 1}}},
      {u"/rcx", {{R, "", 0, 0}}},
      {u"/f/c", {{F, "", 0, 0}}},
      {u"/fx/c", {{F, "", 0, 0}, {C, "", 0, 0}}},
      {u"/rc/f", {{R, "", 0, 1}}},
      {u"/rc500/f", {{R, "", 0, 500}}},
      {u"/rc500 /f", {{R, "", 0, 500}, {F, "", 0, 0}}},
      {u"/rc12ab /f", {{R, "", 0, 12}, {F, "", 0, 0}}},
      {u"/x/f", {{X, "", 0, 0}, {F, "", 0, 0}}},
      {u"/x /f", {{X, "", 0, 0}}},
      {u"/F", {{X, "", 0, 0}}},
      {u"/u \\a/b", {{U, "\\", 1, 0}, {X, "", 0, 0}}},
      {u"/", {{X, "", 0, 0}}},
      {u"/u x  y /r", {{U, "x  y", 1, 0}, {R, "", 0, 0}}},
      {u"/rc99999999999 /f", {{R, "", 0, 0xFFFFFFFF}, {F, "", 0, 0}}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Parse(c.line), c.commands) << host::Utf8(c.line);
  }
}

TEST(CommandLineTest, TwentyCommandsAtMost) {
  std::u16string line;
  for (int i = 0; i < 21; ++i) line += i < 20 ? u"/f " : u"/c ";
  std::vector<Expected> commands = Parse(line);
  ASSERT_EQ(commands.size(), 20u);
  for (const Expected& e : commands) EXPECT_EQ(e.kind, F);
}

TEST(CommandLineTest, PathThatDoesNotFitIsRefused) {
  std::u16string line = u"/u \\" + std::u16string(300, u'a') + u" /f";
  std::vector<Expected> commands = Parse(line);
  ASSERT_EQ(commands.size(), 2u);
  EXPECT_EQ(commands[0].kind, X);
  EXPECT_EQ(commands[1].kind, F);
  std::u16string fits = u"/u \\" + std::u16string(258, u'a');
  commands = Parse(fits);
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0].path.size(), 259u);
}

}  // namespace

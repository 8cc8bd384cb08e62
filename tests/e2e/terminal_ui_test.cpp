// The terminal window system end to end: imbrel-ui-demo runs in a tmux session of 100 x 40
// cells, the test types keys with send-keys and reads the screen back with capture-pane.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host/system/text.h"
#include "host/ui/resource_section.h"
#include "host/ui/terminal_layout.h"
#include "resources/resources.h"
#include "test_support.h"

namespace {

using host::ui::terminal::CellRect;
using test::RunCommand;

constexpr int kRows = 40;
// The rows under the dialogs: the last outcome, the work under way, the keys.
constexpr int kStatusRows = 3;
constexpr int kCols = 100;
constexpr auto kPatience = std::chrono::seconds(10);

std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

bool HaveTmux() { return RunCommand("command -v tmux").status == 0; }

struct Position {
  int row = -1, col = -1;
  bool operator==(const Position&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Position& p) {
  return os << "(row " << p.row << ", col " << p.col << ")";
}

// One capture of the pane. Columns count characters: every character the backend draws
// (ASCII, box and block characters) takes one cell.
struct Screen {
  std::vector<std::u16string> lines;
  std::vector<std::vector<bool>> reverse;  // per character, when captured with attributes
  std::string raw;

  std::optional<Position> Find(std::u16string_view text) const {
    for (std::size_t row = 0; row < lines.size(); ++row) {
      std::size_t col = lines[row].find(text);
      if (col != std::u16string::npos) return Position{int(row), int(col)};
    }
    return std::nullopt;
  }
  bool Has(std::u16string_view text) const { return Find(text).has_value(); }
  // Whether `text` is on the screen, wrapped over rows or not: the rows read as one text,
  // each row's trailing blanks and the next one's leading blanks taken as one space.
  bool HasWrapped(std::u16string_view text) const {
    std::u16string joined;
    for (const std::u16string& line : lines) {
      std::size_t first = line.find_first_not_of(u' '), last = line.find_last_not_of(u' ');
      if (first == std::u16string::npos) continue;
      joined += line.substr(first, last - first + 1) + u" ";
    }
    return joined.find(text) != std::u16string::npos;
  }
  std::u16string Line(int row) const { return row < int(lines.size()) ? lines[row] : u""; }
  // Whether every character of the first `text` on the screen is in reverse video.
  bool Reversed(std::u16string_view text) const {
    std::optional<Position> at = Find(text);
    if (!at) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
      const auto& row = reverse[at->row];
      if (at->col + i >= row.size() || !row[at->col + i]) return false;
    }
    return true;
  }
  // How many cells of row `row` from `col` on, `width` of them, are the filled bar character
  // (a block, or '#' where the locale has no block).
  int Filled(int row, int col, int width) const {
    std::u16string line = Line(row);
    int filled = 0;
    for (int i = col; i < col + width && i < int(line.size()); ++i) {
      filled += line[i] == u'\u2588' || line[i] == u'#';
    }
    return filled;
  }
};

// Splits capture-pane output into lines; with attributes (-e), follows the SGR sequences to
// know which characters are in reverse video.
Screen Parse(const std::string& captured, bool with_attributes) {
  Screen screen;
  screen.raw = captured;
  std::istringstream in(captured);
  std::string line;
  while (std::getline(in, line)) {
    std::u16string text;
    std::vector<bool> reverse;
    bool on = false;
    std::string plain;
    auto flush = [&] {
      std::u16string part = host::Utf16(plain);
      text += part;
      reverse.insert(reverse.end(), part.size(), on);
      plain.clear();
    };
    for (std::size_t i = 0; i < line.size(); ++i) {
      if (with_attributes && line[i] == '\x1b' && i + 1 < line.size() && line[i + 1] == '[') {
        flush();
        std::size_t end = line.find('m', i);
        std::istringstream codes(line.substr(i + 2, end - i - 2));
        std::string code;
        bool any = false;
        while (std::getline(codes, code, ';')) {
          any = true;
          if (code.empty() || code == "0") on = false;
          if (code == "7") on = true;
          if (code == "27") on = false;
          if (code == "38" || code == "48") {  // extended colour: 5;n or 2;r;g;b
            std::string kind;
            std::getline(codes, kind, ';');
            for (int skip = kind == "5" ? 1 : 3; skip > 0; --skip) std::getline(codes, code, ';');
          }
        }
        if (!any) on = false;
        i = end;
        continue;
      }
      plain += line[i];
    }
    flush();
    screen.lines.push_back(std::move(text));
    screen.reverse.push_back(std::move(reverse));
  }
  return screen;
}

// imbrel-ui-demo with the terminal window system in a tmux server of its own. A shell around
// it says how the demo ended and whether the terminal is back in its normal mode, then waits.
class DemoSession {
 public:
  explicit DemoSession(const std::string& demo_args, const std::string& program = IMBREL_UI_DEMO,
                       const std::string& ui = "--ui terminal", int cols = kCols,
                       int rows = kRows) {
    // A server of its own, its socket in the session's directory (tmux leaves it behind).
    socket_ = (dir_ / "tmux.socket").string();
    std::ofstream(dir_ / "demo.sh")
        << "echo $$ > " << Quote((dir_ / "pid").string()) << "\n"
        << "exec " << Quote(program) << " " << ui << " " << demo_args << "\n";
    // Ctrl-C reaches the whole foreground group: the script outlives it (a handler, not an
    // ignore, which the demo would inherit) to tell how the demo ended.
    std::ofstream(dir_ / "run.sh")
        << "trap : INT\n"
        << "sh " << Quote((dir_ / "demo.sh").string()) << "\n"
        << "echo EXITED-$?\n"
        << "mode=$(stty -a | tr ' ;' '\\n\\n')\n"
        << "echo \"$mode\" | grep -qx icanon && echo \"$mode\" | grep -qx echo && echo SANE\n"
        << "sleep 600\n";
    // CI has no $TERM: the server gets one, and the pane a terminal whose terminfo entry
    // every ncurses installation has.
    std::string inner =
        "env TERM=screen-256color LC_ALL=C.UTF-8 sh " + Quote((dir_ / "run.sh").string());
    started_ = Tmux("new-session -d -s demo -x " + std::to_string(cols) + " -y " +
                    std::to_string(rows) + " " + Quote(inner))
                   .status == 0;
  }
  ~DemoSession() { Tmux("kill-server"); }
  DemoSession(const DemoSession&) = delete;
  DemoSession& operator=(const DemoSession&) = delete;

  bool started() const { return started_; }

  Screen Capture() {
    test::CommandResult r = Tmux("capture-pane -p -e -t demo");
    last_capture_end_ = std::chrono::steady_clock::now();
    last_ = Parse(r.out, true);
    return last_;
  }
  /// When the last capture had come back: what it shows had happened by then.
  std::chrono::steady_clock::time_point last_capture_end() const { return last_capture_end_; }

  /// Captures until `ready` holds, at most kPatience; `seen` looks at every capture.
  bool WaitFor(const std::function<bool(const Screen&)>& ready,
               const std::function<void(const Screen&)>& seen = nullptr) {
    auto give_up = std::chrono::steady_clock::now() + kPatience;
    for (;;) {
      Screen screen = Capture();
      if (seen) seen(screen);
      if (ready(screen)) return true;
      if (std::chrono::steady_clock::now() > give_up) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(15));
    }
  }
  bool WaitForText(std::u16string_view text) {
    return WaitFor([&](const Screen& s) { return s.Has(text); });
  }
  /// A capture can come while a redraw is half written: wait for every part of it.
  bool WaitForAll(std::initializer_list<std::u16string_view> texts) {
    return WaitFor([&](const Screen& s) {
      return std::all_of(texts.begin(), texts.end(), [&](auto text) { return s.Has(text); });
    });
  }

  void Keys(const std::string& keys) { Tmux("send-keys -t demo " + keys); }

  /// The demo's process id.
  pid_t DemoPid() {
    pid_t pid = 0;
    std::ifstream(dir_ / "pid") >> pid;
    return pid;
  }

  /// The last capture, for failure messages.
  const std::string& last() const { return last_.raw; }
  const Screen& last_screen() const { return last_; }

 private:
  test::CommandResult Tmux(const std::string& args) {
    return RunCommand("TERM=xterm-256color tmux -S " + Quote(socket_) + " -f /dev/null " + args);
  }

  test::TempDir dir_;
  std::string socket_;
  bool started_ = false;
  Screen last_;
  std::chrono::steady_clock::time_point last_capture_end_;
};

class TerminalUi : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveTmux()) GTEST_SKIP() << "tmux is not installed";
  }
};

// The main dialog fully drawn: its caption and its last buttons.
#define START_DEMO(session)                                 \
  ASSERT_TRUE((session).started()) << "tmux did not start"; \
  ASSERT_TRUE((session).WaitForAll({u"Demo 2.9", u"Coldboot", u"Warmboot"})) << (session).last()

// Where the backend should draw a template's button text: its cells, the face centred in them.
Position ButtonTextPosition(const CellRect& frame, const DialogItemTemplate& item) {
  CellRect cells = host::ui::terminal::ControlCells(item.x, item.y, item.cx, item.cy);
  std::wstring label =
      host::ui::terminal::ButtonLabel(host::ui::terminal::Wide(item.text), cells.cols);
  int offset = static_cast<int>(label.find(host::ui::terminal::Wide(item.text)));
  return {frame.row + 1 + cells.row, frame.col + 1 + cells.col + offset};
}

TEST_F(TerminalUi, MainDialogIsDrawnFromItsTemplateAndAnswersTheKeyboard) {
  DemoSession session("");
  START_DEMO(session);
  Screen screen = session.last_screen();

  // The caption bar is the frame's top row; each button where the template puts it.
  const DialogTemplate* main = FindDialogTemplate(IDD_MAIN);
  ASSERT_NE(main, nullptr);
  CellRect frame = host::ui::terminal::DialogFrame(main->cx, main->cy, kRows - kStatusRows, kCols);
  EXPECT_EQ(screen.Find(u"Demo 2.9"), (Position{frame.row, frame.col + 1})) << session.last();
  for (int i = 0; i < main->item_count; ++i) {
    EXPECT_EQ(screen.Find(main->items[i].text), ButtonTextPosition(frame, main->items[i]))
        << host::Utf8(main->items[i].text) << "\n"
        << session.last();
  }
  // The same, independently of the scaling: the four long buttons stacked in template order
  // at 21 units, 2 or 3 rows, apart; Coldboot right of Warmboot on the row below them.
  std::optional<Position> long_buttons[] = {
      screen.Find(u"Save Registry to Flash"), screen.Find(u"Clear Registry on Flash"),
      screen.Find(u"Update Bootloader/Image"), screen.Find(u"BSP Version")};
  std::optional<Position> warm = screen.Find(u"Warmboot"), cold = screen.Find(u"Coldboot");
  ASSERT_TRUE(warm && cold) << session.last();
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(long_buttons[i]) << i << "\n" << session.last();
  for (int i = 1; i < 4; ++i) {
    int step = long_buttons[i]->row - long_buttons[i - 1]->row;
    EXPECT_TRUE(step == 2 || step == 3) << i << ": " << step << "\n" << session.last();
  }
  EXPECT_EQ(warm->row, cold->row);
  EXPECT_GT(cold->col, warm->col + 8);
  EXPECT_GT(warm->row, long_buttons[3]->row);
  EXPECT_TRUE(screen.Reversed(u"Save Registry to Flash")) << "the first tab stop has the focus";
  EXPECT_FALSE(screen.Reversed(u"BSP Version"));

  session.Keys("Enter");
  ASSERT_TRUE(session.WaitForText(u"Saved")) << session.last();
  EXPECT_FALSE(session.last_screen().Has(u"Demo 2.9"));

  session.Keys("Tab Tab Tab");
  ASSERT_TRUE(session.WaitFor([](const Screen& s) { return s.Reversed(u"BSP Version"); }))
      << session.last();
  EXPECT_FALSE(session.last_screen().Reversed(u"Save Registry to Flash"));

  // The two-line message box: tabs to the next multiple of 8 columns of its text.
  session.Keys("Enter");
  ASSERT_TRUE(session.WaitForAll({u"Bootloader:", u"Image:", u"OK"})) << session.last();
  screen = session.last_screen();
  std::optional<Position> first = screen.Find(u"Bootloader:     1.2");
  std::optional<Position> second = screen.Find(u"Image:  3.4");
  std::optional<Position> caption = screen.Find(u"BSP Version");
  ASSERT_TRUE(first && second && caption) << session.last();
  EXPECT_EQ(second->row, first->row + 1);
  EXPECT_EQ(second->col, first->col);
  EXPECT_LT(caption->row, first->row) << "the box's caption is above its text";
  EXPECT_TRUE(screen.Reversed(u"OK")) << "the only button is the default" << session.last();
  EXPECT_TRUE(screen.Has(u"Saved")) << "the dialog stays drawn under the box";

  session.Keys("Enter");
  ASSERT_TRUE(session.WaitFor([](const Screen& s) { return !s.Has(u"Bootloader:"); }))
      << session.last();
  EXPECT_TRUE(session.last_screen().Reversed(u"BSP Version")) << session.last();

  // Escape ends the main dialog and the program, and the shell finds the terminal as it was.
  session.Keys("Escape");
  ASSERT_TRUE(session.WaitForText(u"SANE")) << session.last();
  screen = session.last_screen();
  EXPECT_TRUE(screen.Has(u"main dialog ended: 0")) << session.last();
  EXPECT_TRUE(screen.Has(u"EXITED-0")) << session.last();
  EXPECT_FALSE(screen.Has(u"Saved")) << "the dialogs' screen is gone";
}

TEST_F(TerminalUi, YesNoBoxStartsOnItsDefaultButtonAndEscapeDoesNotAnswerIt) {
  DemoSession session("");
  START_DEMO(session);
  session.Keys("Tab Enter");
  ASSERT_TRUE(session.WaitForAll({u"Clear the registry?", u"Yes", u"No"})) << session.last();
  ASSERT_TRUE(session.WaitFor([](const Screen& s) { return s.Reversed(u"No"); }))
      << "the second button is the default\n"
      << session.last();
  EXPECT_FALSE(session.last_screen().Reversed(u"Yes"));
  // Keys are taken in order: when Left has moved to Yes, Escape came before it and the box
  // is still open.
  session.Keys("Escape");
  session.Keys("Left");
  ASSERT_TRUE(session.WaitFor([](const Screen& s) { return s.Reversed(u"Yes"); }))
      << "Escape answered the box\n"
      << session.last();
  EXPECT_TRUE(session.last_screen().Has(u"Clear the registry?")) << session.last();
  session.Keys("Enter");
  ASSERT_TRUE(session.WaitForText(u"Answer: Yes")) << session.last();
  EXPECT_FALSE(session.last_screen().Has(u"Clear the registry?"));
  // A button's first letter answers, as on the console; the status line says so.
  session.Keys("Enter");
  ASSERT_TRUE(session.WaitForText(u"y/n: that button")) << session.last();
  session.Keys("n");
  ASSERT_TRUE(session.WaitForText(u"Answer: No")) << session.last();
}

// NO_COLOR: the windows in plain attributes, the caption of the window on top reversed instead
// of coloured.
TEST_F(TerminalUi, NoColorDrawsWithoutColours) {
  for (bool no_color : {false, true}) {
    if (no_color) setenv("NO_COLOR", "1", 1);
    DemoSession session("");
    unsetenv("NO_COLOR");
    START_DEMO(session);
    EXPECT_EQ(session.last_screen().Reversed(u"Demo 2.9"), no_color) << session.last();
  }
}

// Every first Ctrl-C is the cancel command of the window on top, however long ago another was
// pressed; only a second one soon after it ends the program.
TEST_F(TerminalUi, CtrlCLongAfterAnotherIsACancelAgain) {
  DemoSession session("");
  START_DEMO(session);
  // The status line is drawn after the dialog's controls; wait for it.
  EXPECT_TRUE(session.WaitForText(u"Esc/Ctrl-C: cancel")) << session.last();
  session.Keys("Tab Tab Tab Enter");  // the version report, a box with OK
  ASSERT_TRUE(session.WaitForText(u"Bootloader:")) << session.last();
  session.Keys("C-c");
  ASSERT_TRUE(session.WaitFor([](const Screen& s) { return !s.Has(u"Bootloader:"); }))
      << session.last();
  // A second Ctrl-C quits within two seconds of the first on the monotonic clock. The program
  // took the first before the capture that showed the box gone had returned, so the window
  // has closed two seconds from now, however slowly this machine runs; the notice that says
  // so goes when they end.
  std::this_thread::sleep_until(session.last_capture_end() + std::chrono::seconds(2));
  ASSERT_TRUE(session.WaitFor([](const Screen& s) { return !s.Has(u"Ctrl-C again to quit"); }))
      << session.last();
  session.Keys("Enter");
  ASSERT_TRUE(session.WaitForText(u"Bootloader:")) << session.last();
  session.Keys("C-c");
  ASSERT_TRUE(session.WaitFor([](const Screen& s) { return !s.Has(u"Bootloader:"); }))
      << session.last();
  EXPECT_TRUE(session.last_screen().Has(u"Demo 2.9")) << "the program went on\n" << session.last();
  session.Keys("C-c C-c");
  ASSERT_TRUE(session.WaitForText(u"SANE")) << session.last();
  EXPECT_TRUE(session.last_screen().Has(u"EXITED-130")) << session.last();
}

// The cells of the update dialog's first bar on the screen.
struct BarCells {
  int row, col, width;
};
BarCells SectionBar() {
  const DialogTemplate* update = FindDialogTemplate(IDD_UPDATE);
  CellRect frame =
      host::ui::terminal::DialogFrame(update->cx, update->cy, kRows - kStatusRows, kCols);
  for (int i = 0; i < update->item_count; ++i) {
    const DialogItemTemplate& item = update->items[i];
    if (item.id == 1002) {
      CellRect cells = host::ui::terminal::ControlCells(item.x, item.y, item.cx, item.cy);
      return {frame.row + 1 + cells.row, frame.col + 1 + cells.col, cells.cols};
    }
  }
  return {0, 0, 0};
}

TEST_F(TerminalUi, WorkerMovesTheBarsThenItsMessageBoxShowsOverTheUpdateDialog) {
  DemoSession session("--file x --step-ms 50");
  START_DEMO(session);
  session.Keys("Tab Tab Enter");
  BarCells bar = SectionBar();
  std::set<int> fills;
  bool work_shown = false;  // the status line under the dialogs tells the work under way
  ASSERT_TRUE(session.WaitFor([](const Screen& s) { return s.Has(u"Update done"); },
                              [&](const Screen& s) {
                                if (!s.Has(u"Update done") && s.Has(u"Updating IMAGE")) {
                                  fills.insert(s.Filled(bar.row, bar.col, bar.width));
                                  work_shown |= s.Has(u"Writing: ") && s.Has(u"of 0.2 MB");
                                }
                              }))
      << session.last();
  EXPECT_TRUE(work_shown) << session.last();
  // Ten steps of four cells; the captures see some of them, in between empty and full.
  std::set<int> partial;
  for (int fill : fills) {
    EXPECT_EQ(fill % 4, 0) << fill;
    if (fill > 0 && fill < bar.width) partial.insert(fill);
  }
  EXPECT_FALSE(partial.empty()) << "no capture saw the bar partly filled";
  Screen screen = session.last_screen();
  EXPECT_TRUE(screen.Has(u"Updating IMAGE")) << "the box is drawn over its owner\n"
                                             << session.last();
  EXPECT_TRUE(screen.Has(u"Section: 000a4000")) << session.last();

  session.Keys("Enter");
  ASSERT_TRUE(session.WaitForText(u"Update: 10")) << session.last();
  EXPECT_FALSE(session.last_screen().Has(u"Updating IMAGE"));
  // The outcome stays on the screen under the dialogs.
  EXPECT_TRUE(session.last_screen().Has(u"Update done; took")) << session.last();
  session.Keys("Escape");
  ASSERT_TRUE(session.WaitForText(u"SANE")) << session.last();
  EXPECT_TRUE(session.last_screen().Has(u"EXITED-0"));
}

TEST_F(TerminalUi, EscapeDuringTheUpdateAbortsIt) {
  DemoSession session("--file x --step-ms 300");
  START_DEMO(session);
  session.Keys("Tab Tab Enter");
  BarCells bar = SectionBar();
  ASSERT_TRUE(session.WaitFor([&](const Screen& s) {
    int fill = s.Filled(bar.row, bar.col, bar.width);
    return fill > 0 && fill < bar.width;
  })) << session.last();
  session.Keys("Escape");
  ASSERT_TRUE(session.WaitForText(u"Update aborted")) << session.last();
  session.Keys("Enter");
  ASSERT_TRUE(session.WaitForText(u"Update: ")) << session.last();
  std::u16string line = session.last_screen().Line(session.last_screen().Find(u"Update: ")->row);
  int steps = std::stoi(host::Utf8(line.substr(line.find(u"Update: ") + 8)));
  EXPECT_GE(steps, 1);
  EXPECT_LT(steps, 10);
}

// A key typed while the update dialog (which takes no keys) is up answers the box that follows.
TEST_F(TerminalUi, KeysTypedDuringTheUpdateGoToTheBoxThatFollows) {
  DemoSession session("--file x --step-ms 50");
  START_DEMO(session);
  session.Keys("Tab Tab Enter");
  ASSERT_TRUE(session.WaitForText(u"Updating IMAGE")) << session.last();
  session.Keys("Enter");
  ASSERT_TRUE(session.WaitForText(u"Update: 10")) << session.last();
}

// A module whose \USB HD\IMAGES holds two images, another file and a directory.
class TerminalUiWithModule : public TerminalUi {
 protected:
  void SetUp() override {
    TerminalUi::SetUp();
    if (IsSkipped()) return;
    module_ = dir_.path() / "m";
    test::CommandResult r = RunCommand(std::string(IMBREL_MODULE_TOOL) +
                                       " create --nor --cfi-size 0x13 " + Quote(module_.string()));
    ASSERT_EQ(r.status, 0) << r.err;
    // Only these files, whatever samples the module came with.
    std::filesystem::path images = module_ / "fs" / "USB HD" / "IMAGES";
    std::filesystem::remove_all(images);
    std::filesystem::create_directories(images / "OLD");
    for (const char* name : {"nk.bin", "Eboot.BIN", "notes.txt"})
      std::ofstream(images / name) << "x";
  }
  test::TempDir dir_;
  std::filesystem::path module_;
};

TEST_F(TerminalUiWithModule, FileDialogBrowsesTheModuleAndReturnsTheChosenPath) {
  DemoSession session("--module " + Quote(module_.string()));
  START_DEMO(session);
  session.Keys("Tab Tab Enter");
  ASSERT_TRUE(session.WaitForText(u"Look in: \\USB HD\\IMAGES")) << session.last();
  Screen screen = session.last_screen();
  // "..", the directories, then the files of the filter, in order; other files not at all.
  std::optional<Position> up = screen.Find(u"..");
  ASSERT_TRUE(up) << session.last();
  EXPECT_EQ(screen.Find(u"OLD\\"), (Position{up->row + 1, up->col})) << session.last();
  EXPECT_EQ(screen.Find(u"Eboot.BIN"), (Position{up->row + 2, up->col})) << session.last();
  EXPECT_EQ(screen.Find(u"nk.bin"), (Position{up->row + 3, up->col})) << session.last();
  EXPECT_FALSE(screen.Has(u"notes.txt"));
  EXPECT_TRUE(screen.Has(u"IMAGE files (*.bin)"));

  // Up to \USB HD, where the directory just left is selected; back in; choose by its letter.
  session.Keys("Enter");
  ASSERT_TRUE(session.WaitForText(u"Look in: \\USB HD ")) << session.last();
  ASSERT_TRUE(session.WaitFor([](const Screen& s) { return s.Reversed(u"IMAGES\\"); }))
      << session.last();
  session.Keys("Enter");
  ASSERT_TRUE(session.WaitForText(u"nk.bin")) << session.last();
  session.Keys("n Enter");
  ASSERT_TRUE(session.WaitForText(u"Update done")) << session.last();
  session.Keys("Enter");
  ASSERT_TRUE(session.WaitForText(u"Update: 10")) << session.last();

  // Escape in the file dialog cancels it, and the update dialog with it.
  session.Keys("Enter");
  ASSERT_TRUE(session.WaitForText(u"Look in:")) << session.last();
  session.Keys("Escape");
  ASSERT_TRUE(session.WaitForText(u"Update: -2")) << session.last();
}

// A module restart ends the process with quick_exit: the terminal is back before the shell
// goes on, and the message printed meanwhile is not lost with the dialogs' screen.
TEST_F(TerminalUiWithModule, ColdbootRestartGivesTheTerminalBack) {
  DemoSession session("--module " + Quote(module_.string()), IMBREL_TOOL);
  ASSERT_TRUE(session.started());
  ASSERT_TRUE(session.WaitForAll({u"Coldboot", u"Warmboot"})) << session.last();
  session.Keys("BTab BTab");  // from the first button back round to Coldboot
  ASSERT_TRUE(session.WaitFor([](const Screen& s) { return s.Reversed(u"Coldboot"); }))
      << session.last();
  session.Keys("Enter");
  ASSERT_TRUE(session.WaitForText(u"SANE")) << session.last();
  Screen screen = session.last_screen();
  EXPECT_TRUE(screen.Has(u"EXITED-0")) << session.last();
  EXPECT_TRUE(screen.Has(u"the module restarted (cold)")) << session.last();
  EXPECT_FALSE(screen.Has(u"Warmboot")) << session.last();
}

// The program itself: its title, the version report from its flash, the update's file-open
// dialog in the images directory, and Escape ending it with the terminal given back.
TEST_F(TerminalUiWithModule, ImbrelMainDialogReportUpdateAndEscape) {
  DemoSession session("--module " + Quote(module_.string()), IMBREL_TOOL);
  ASSERT_TRUE(session.started());
  ASSERT_TRUE(
      session.WaitForAll({u"Imbrel 2.9", u"Save Registry to Flash", u"Clear Registry on Flash",
                          u"Update Bootloader/Image", u"BSP Version", u"Coldboot", u"Warmboot"}))
      << session.last();
  Screen screen = session.last_screen();
  auto save = screen.Find(u"Save Registry to Flash");
  auto clear = screen.Find(u"Clear Registry on Flash");
  auto update = screen.Find(u"Update Bootloader/Image");
  auto version = screen.Find(u"BSP Version");
  ASSERT_TRUE(save && clear && update && version);
  EXPECT_LT(save->row, clear->row);
  EXPECT_LT(clear->row, update->row);
  EXPECT_LT(update->row, version->row);

  session.Keys("Tab Tab Tab");
  ASSERT_TRUE(session.WaitFor([](const Screen& s) { return s.Reversed(u"BSP Version"); }))
      << session.last();
  session.Keys("Enter");
  ASSERT_TRUE(session.WaitForAll(
      {u"Bootloader (in Flash)", u"OSTRALA", u"Ver:", u"1.3", u"Image (current running)"}))
      << session.last();
  session.Keys("Enter");
  ASSERT_TRUE(session.WaitFor([](const Screen& s) { return !s.Has(u"Bootloader (in Flash)"); }))
      << session.last();

  session.Keys("BTab");  // back to "Update Bootloader/Image"
  ASSERT_TRUE(session.WaitFor([](const Screen& s) {
    return s.Reversed(u"Update Bootloader/Image");
  })) << session.last();
  session.Keys("Enter");
  ASSERT_TRUE(session.WaitForAll({u"Look in: \\USB HD\\IMAGES", u"nk.bin"})) << session.last();
  // The first Ctrl-C is the cancel command: the file dialog goes, the main dialog stays.
  session.Keys("C-c");
  // The main dialog and the status line's hint are drawn one after the other; wait for both.
  ASSERT_TRUE(session.WaitFor([](const Screen& s) {
    return !s.Has(u"Look in:") && s.Has(u"Save Registry to Flash") &&
           s.Has(u"Ctrl-C again to quit");
  })) << session.last();
  session.Keys("C-c");  // a second one at once ends the program, saying what the flash holds
  ASSERT_TRUE(session.WaitForText(u"SANE")) << session.last();
  EXPECT_TRUE(session.last_screen().Has(u"EXITED-130")) << session.last();
  EXPECT_TRUE(session.last_screen().Has(
      u"imbrel: ended by Ctrl-C; no update was under way, and this run changed nothing in the "
      u"flash"))
      << session.last();
}

// An update that relocated a block says so in the outcome rows under the dialogs, wrapped
// rather than cut at 80 columns, and again once the terminal is given back.
TEST_F(TerminalUi, OutcomeRowsNameRelocationsWhole) {
  test::TempDir dir;
  const std::filesystem::path module = dir.path() / "n";
  ASSERT_EQ(RunCommand(std::string(IMBREL_MODULE_TOOL) + " create --nand " + Quote(module.string()))
                .status,
            0);
  ASSERT_EQ(RunCommand(std::string(IMBREL_MODULE_TOOL) + " fault " + Quote(module.string()) +
                       " --bad-block 5 --on program")
                .status,
            0);
  DemoSession session("--module " + Quote(module.string()), IMBREL_TOOL, "--ui terminal", 80, 30);
  ASSERT_TRUE(session.started());
  ASSERT_TRUE(session.WaitForAll({u"Update Bootloader/Image", u"Warmboot"})) << session.last();
  session.Keys("Tab Tab");
  ASSERT_TRUE(session.WaitFor([](const Screen& s) {
    return s.Reversed(u"Update Bootloader/Image");
  })) << session.last();
  session.Keys("Enter");
  ASSERT_TRUE(session.WaitForAll({u"Look in: \\USB HD\\IMAGES", u"nk.bin"})) << session.last();
  session.Keys("n Enter");
  ASSERT_TRUE(session.WaitForText(u"Are you sure you want to continue?")) << session.last();
  session.Keys("o");
  ASSERT_TRUE(session.WaitForText(u"Reset now?")) << session.last();
  session.Keys("n");
  ASSERT_TRUE(session.WaitFor([](const Screen& s) {
    return s.HasWrapped(
        u" s of module time; block 5 went bad (physical block 5): it now lives in reserve block "
        u"2047; 39 of 40 reserve blocks left");
  })) << session.last();
  EXPECT_TRUE(session.last_screen().Has(u"Update done; took")) << session.last();
  session.Keys("Escape");
  ASSERT_TRUE(session.WaitForText(u"SANE")) << session.last();
  EXPECT_TRUE(session.last_screen().Has(u"imbrel: [Updating IMAGE] block 5 went bad"))
      << session.last();
}

// A fatal or terminating signal while the dialogs are drawn leaves the terminal as it was.
TEST_F(TerminalUi, SignalsRestoreTheTerminal) {
  struct Case {
    const char* name;
    int signal;
    const char16_t* exited;
  };
  const Case cases[] = {{"SIGABRT", SIGABRT, u"EXITED-134"},
                        {"SIGTERM", SIGTERM, u"EXITED-143"},
                        {"SIGHUP", SIGHUP, u"EXITED-129"}};
  for (const Case& c : cases) {
    DemoSession session("");
    START_DEMO(session);
    ASSERT_GT(session.DemoPid(), 0);
    ASSERT_EQ(kill(session.DemoPid(), c.signal), 0) << c.name;
    ASSERT_TRUE(session.WaitForText(u"SANE")) << c.name << "\n" << session.last();
    EXPECT_TRUE(session.last_screen().Has(c.exited)) << c.name << "\n" << session.last();
    EXPECT_FALSE(session.last_screen().Has(u"Demo 2.9")) << c.name << "\n" << session.last();
  }
}

// Without --ui, a terminal too small for the dialogs gets the console window system, which
// asks at the terminal for a box's answer instead of taking its default.
TEST_F(TerminalUi, SmallTerminalFallsBackToTheConsoleWhichAsks) {
  DemoSession session("", IMBREL_UI_DEMO, "", kCols, 12);
  ASSERT_TRUE(session.started());
  ASSERT_TRUE(session.WaitForText(u"smaller than the dialogs")) << session.last();
  session.Keys("2 Enter");  // the button that asks "Clear the registry?"
  ASSERT_TRUE(session.WaitForText(u"Enter: No?")) << session.last();
  session.Keys("y Enter");
  ASSERT_TRUE(session.WaitForText(u"[Registry] -> Yes")) << session.last();
  // The file-open dialog asks for a path in the same way.
  session.Keys("3 Enter");
  ASSERT_TRUE(session.WaitForText(u"File (a CE path")) << session.last();
  session.Keys("nk.bin Enter");
  ASSERT_TRUE(session.WaitForText(u"-> \\USB HD\\IMAGES\\nk.bin")) << session.last();
}

}  // namespace

// The console backend: every dialog as lines on standard error, choices from standard input.
//
// Output is a log, so it is written when a change is made (under the UI lock, from whichever
// thread made it) rather than when the dialog's loop next wakes: a line per tenth of a bar
// must not depend on how often the loop runs. Only the in-place progress line of a terminal
// is drawing, and it is rewritten only when its text changes.

#include "host/ui/console_backend.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <deque>
#include <map>
#include <set>
#include <sstream>

#include "host/hardware/virtual_clock.h"
#include "host/system/text.h"
#include "host/ui/run_outcome.h"
#include "host/ui/terminal_restore.h"

namespace host::ui {

namespace {

volatile std::sig_atomic_t interrupted = 0;

// A first Ctrl-C is the cancel command of the dialog on top; a second one soon after it, or
// before the first was taken, ends the program with status 130.
void OnInterrupt(int) {
  if (terminal::InterruptEndsProgram(interrupted != 0)) {
    const int saved_errno = errno;
    terminal::EndByInterrupt();
    errno = saved_errno;
    return;
  }
  interrupted = 1;
}

char16_t FoldCase(char16_t c) { return c >= u'A' && c <= u'Z' ? c - u'A' + u'a' : c; }

// A button's text as a person types it: no mnemonic marks, any case.
std::u16string ChoiceKey(std::u16string_view text) {
  std::u16string key;
  for (char16_t c : text) {
    if (c != u'&') key += FoldCase(c);
  }
  return key;
}

std::u16string Trim(std::u16string_view text) {
  std::size_t begin = 0, end = text.size();
  while (begin < end && (text[begin] == u' ' || text[begin] == u'\t')) ++begin;
  while (end > begin && (text[end - 1] == u' ' || text[end - 1] == u'\t' || text[end - 1] == u'\r'))
    --end;
  return std::u16string(text.substr(begin, end - begin));
}

bool IsPushButton(const Window& control) {
  // BS_PUSHBUTTON or BS_DEFPUSHBUTTON; the other button types are not commands.
  return control.kind == ControlKind::kButton && control.visible() && (control.style & 0xF) <= 1;
}

std::vector<const Window*> PushButtons(const Window& dialog) {
  std::vector<const Window*> buttons;
  for (const auto& control : dialog.controls) {
    if (IsPushButton(*control)) buttons.push_back(control.get());
  }
  return buttons;
}

bool HasVisibleBar(const Window& dialog) {
  for (const auto& control : dialog.controls) {
    if (control->kind == ControlKind::kProgress && control->visible()) return true;
  }
  return false;
}

// How far a bar is through its range, in units of 1/`parts`; a bar with an empty range is full.
int Fraction(const Window& bar, int parts) {
  long long span = static_cast<long long>(bar.range_high) - bar.range_low;
  if (span == 0) return parts;
  return static_cast<int>((static_cast<long long>(bar.position) - bar.range_low) * parts / span);
}

// Line breaks and tabs would break a line that is rewritten in place.
std::string OneLine(std::u16string_view text) {
  std::string line = Utf8(text);
  for (char& c : line) {
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  }
  return line;
}

// At most `columns` characters of UTF-8 text, cut between characters.
std::string Truncate(const std::string& text, std::size_t columns) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
    if (count++ == columns) return text.substr(0, i);
  }
  return text;
}

std::string AnswerNames(const MessageBoxButtons& buttons) {
  std::string names;
  for (int id : buttons.ids) names += std::string(names.empty() ? "" : "/") + ButtonName(id);
  return names;
}

class ConsoleBackend : public Backend {
 public:
  ConsoleBackend(std::vector<int> answers, std::optional<std::u16string> open_path, bool verbose)
      : answers_(answers.begin(), answers.end()),
        open_path_(std::move(open_path)),
        verbose_(verbose),
        terminal_(isatty(STDERR_FILENO) != 0),
        echo_choices_(isatty(STDIN_FILENO) == 0),
        asks_(isatty(STDIN_FILENO) != 0) {}

  ~ConsoleBackend() override {
    if (interrupt_armed_) sigaction(SIGINT, &previous_interrupt_, nullptr);
  }

  void DialogOpened(Window& dialog) override {
    if (open_dialogs_++ == 0) ArmInterrupt();
    opened_at_[dialog.handle] = ClockNow();
    // The dialog below no longer has the input; it lists its buttons again when it has.
    listed_ = nullptr;
  }

  void UpdateStarted(Window& dialog, const UpdateItems& items) override {
    updates_[dialog.handle] = UpdateProgress(items, ClockNow());
  }

  void UpdateEnded(Window& dialog, const UpdateOutcome& outcome) override {
    if (status_owner_ == dialog.handle) EndStatusLine();
    FlushProgress(dialog);
    // One line ends every update: how it ended, and how long it took on the module.
    std::string how = outcome.kind == UpdateOutcome::Kind::kDone     ? "update done"
                      : outcome.kind == UpdateOutcome::Kind::kFailed ? "update failed: "
                                                                     : "update cancelled";
    if (outcome.kind == UpdateOutcome::Kind::kFailed) how += OneLine(outcome.error);
    PrintLine("[" + Utf8(dialog.text) + "] " + how + "; " + Took(dialog) + outcome.relocations);
    updates_.erase(dialog.handle);
    if (std::string left = LeftBehind(outcome); !left.empty()) {
      PrintLine("[" + Utf8(dialog.text) + "] " + left);
    }
    progressed_.erase(dialog.handle);
  }

  void DialogEnded(Window& dialog) override {
    if (status_owner_ == dialog.handle) EndStatusLine();
    FlushProgress(dialog);
    // A dialog with progress bars is long work: say how long it took on the module.
    if (opened_at_.count(dialog.handle) && progressed_.count(dialog.handle)) {
      PrintLine("[" + Utf8(dialog.text) + "] " + Took(dialog));
    }
    opened_at_.erase(dialog.handle);
    progressed_.erase(dialog.handle);
    states_.erase(dialog.handle);
    if (listed_ == dialog.handle) listed_ = nullptr;
    if (--open_dialogs_ == 0) DisarmInterrupt();
  }

  void TextChanged(Window& window) override {
    if (!window.dialog) {
      DialogState& state = states_[window.handle];
      // A dialog about to list its buttons again shows its new title in the listing.
      bool listing_due = listed_ != window.handle && !PushButtons(window).empty();
      if (terminal_ && HasVisibleBar(window)) {
        DrawStatus(window);
      } else if (state.shown && !listing_due && window.text != state.printed_title) {
        state.printed_title = window.text;
        PrintLine("title: " + Utf8(window.text));
      }
      return;
    }
    Window& dialog = *window.dialog;
    if (window.kind != ControlKind::kStatic || !window.visible()) return;
    if (terminal_ && HasVisibleBar(dialog)) {
      DrawStatus(dialog);
      return;
    }
    std::u16string& printed = states_[dialog.handle].printed_text[window.id];
    if (window.text == printed) return;
    printed = window.text;
    // The update names each record it writes ("Section: ...", hundreds for a large image): the
    // progress line says how far it is, unless every line was asked for.
    if (!verbose_ && window.text.rfind(u"Section", 0) == 0 && HasVisibleBar(dialog)) return;
    if (!window.text.empty()) PrintLine("[" + Utf8(dialog.text) + "] " + Utf8(window.text));
  }

  void ProgressChanged(Window& control, bool /*range_changed*/) override {
    progressed_.insert(control.dialog->handle);
    if (!control.visible()) return;
    Window& dialog = *control.dialog;
    if (auto update = updates_.find(dialog.handle); update != updates_.end()) {
      update->second.Observe(dialog);
    }
    if (terminal_) {
      DrawStatus(dialog);
      return;
    }
    // One line names every bar of the dialog with what it measures, at most a few a second;
    // what it last showed that no line said yet is said when the dialog ends or a box opens.
    DialogState& state = states_[dialog.handle];
    state.progress_pending = true;
    const auto now = std::chrono::steady_clock::now();
    if (now - state.progress_printed_at < kProgressLineInterval) return;
    PrintProgressLine(dialog);
    state.progress_printed_at = now;
  }

  void Pump(Window& dialog, std::unique_lock<std::mutex>& lock,
            std::chrono::milliseconds timeout) override {
    if (interrupted) {
      interrupted = 0;
      PrintLine("Ctrl-C: cancel sent to " + Utf8(dialog.text) +
                " (Ctrl-C again within two seconds ends the program)");
      PostCommand(dialog, IDCANCEL);
      return;
    }
    DialogState& state = states_[dialog.handle];
    if (!state.shown) {
      state.shown = true;
      state.printed_title = dialog.text;
    }
    std::vector<const Window*> buttons = PushButtons(dialog);
    if (buttons.empty()) {
      Backend::Pump(dialog, lock, timeout);
      return;
    }
    if (listed_ != dialog.handle) {
      listed_ = dialog.handle;
      state.printed_title = dialog.text;
      PrintLine(Listing(dialog, buttons));
    }
    if (std::optional<std::string> line = TakeLine()) {
      Choose(dialog, buttons, *line);
      return;
    }
    if (input_ended_) {
      if (!end_cancel_sent_) {
        end_cancel_sent_ = true;
        PrintLine("end of input: cancel");
        PostCommand(dialog, IDCANCEL);
      } else {
        Backend::Pump(dialog, lock, timeout);
      }
      return;
    }
    if (reading_) {
      // Another dialog's thread is waiting for the same input.
      Backend::Pump(dialog, lock, timeout);
      return;
    }
    reading_ = true;
    lock.unlock();
    std::string read;
    bool ended = ReadInput(timeout, &read);
    lock.lock();
    reading_ = false;
    input_ += read;
    if (ended) input_ended_ = true;
  }

  int MessageBox(Window*, const std::u16string& text, const std::u16string& caption,
                 UINT type) override {
    std::unique_lock lock(UiLock());
    for (const ModalFrame& frame : ModalStack()) {
      if (frame.kind == ModalFrame::Kind::kDialog && frame.window) FlushProgress(*frame.window);
    }
    MessageBoxButtons buttons = ButtonsOf(type);
    int answer = buttons.ids[buttons.default_index];
    if (answers_.empty() && buttons.ids.size() > 1 && asks_) {
      // A person at the terminal answers the box.
      answer = Ask(lock, text, caption, buttons);
      PrintLine("[" + Utf8(caption) + "] -> " + ButtonName(answer));
      return answer;
    }
    if (!answers_.empty()) {
      int given = answers_.front();
      answers_.pop_front();
      if (std::find(buttons.ids.begin(), buttons.ids.end(), given) != buttons.ids.end()) {
        answer = given;
      } else {
        std::u16string first_line = text.substr(0, text.find(u'\n'));
        PrintLine("console: --answer " + Lower(ButtonName(given)) + " does not fit the box [" +
                  Utf8(caption) + "] " + OneLine(first_line) + " (" + AnswerNames(buttons) +
                  "); it takes its default, " + ButtonName(answer));
      }
    }
    if (caption == u"BSP Version") {
      // The version report is for scripts: on standard output, with plain line ends; the
      // transcript on standard error says where it went.
      std::string report = Utf8(text);
      for (std::size_t at; (at = report.find("\r\n")) != std::string::npos;) report.erase(at, 1);
      if (report.empty() || report.back() != '\n') report += '\n';
      EndStatusLine();
      std::fwrite(report.data(), 1, report.size(), stdout);
      std::fflush(stdout);
      PrintLine("[" + Utf8(caption) + "] (on standard output) -> " + ButtonName(answer));
      return answer;
    }
    PrintLine("[" + Utf8(caption) + "] " + Utf8(text) + " -> " + ButtonName(answer));
    return answer;
  }

  // Asks at the terminal until a button is named (or its first letter, or Enter for the
  // default); Ctrl-C or the end of input is Cancel, or No.
  int Ask(std::unique_lock<std::mutex>& lock, const std::u16string& text,
          const std::u16string& caption, const MessageBoxButtons& buttons) {
    const int fallback =
        std::find(buttons.ids.begin(), buttons.ids.end(), IDCANCEL) != buttons.ids.end() ? IDCANCEL
        : std::find(buttons.ids.begin(), buttons.ids.end(), IDNO) != buttons.ids.end()
            ? IDNO
            : buttons.ids[buttons.default_index];
    PrintLine("[" + Utf8(caption) + "] " + Utf8(text));
    for (;;) {
      std::string prompt = AnswerNames(buttons) +
                           ", Enter: " + ButtonName(buttons.ids[buttons.default_index]) + "? ";
      std::fwrite(prompt.data(), 1, prompt.size(), stderr);
      std::fflush(stderr);
      std::optional<std::string> line = AwaitLine(lock);
      if (interrupted || (!line && input_ended_)) {
        interrupted = 0;
        std::fputc('\n', stderr);
        return fallback;
      }
      std::u16string key = ChoiceKey(Trim(Utf16(*line)));
      if (key.empty()) return buttons.ids[buttons.default_index];
      for (int id : buttons.ids) {
        std::u16string name = ChoiceKey(Utf16(ButtonName(id)));
        if (key == name || (key.size() == 1 && key[0] == name[0])) return id;
      }
    }
  }

  std::u16string OpenFile(const OPENFILENAMEW& request) override {
    std::unique_lock lock(UiLock());
    std::string title = request.lpstrTitle ? Utf8(request.lpstrTitle) : "Open";
    std::string what;
    auto filters = FilterPairs(request.lpstrFilter);
    std::size_t index = request.nFilterIndex ? request.nFilterIndex - 1 : 0;
    if (index < filters.size()) {
      what = Utf8(filters[index].first) + " (" + Utf8(filters[index].second) + ")";
    }
    if (request.lpstrInitialDir && *request.lpstrInitialDir) {
      what += (what.empty() ? "in " : " in ") + Utf8(request.lpstrInitialDir);
    }
    std::string prefix = "[" + title + "] " + (what.empty() ? "" : what + " ");
    std::u16string path;
    if (open_path_) {
      path = *open_path_;
      open_path_.reset();
      open_used_ = true;
    } else if (asks_ && !input_ended_) {
      // A person at the terminal names the file, as a box's answer is asked for.
      PrintLine(prefix);
      const char prompt[] = "File (a CE path, or a name in that folder; Enter: cancel)? ";
      std::fwrite(prompt, 1, sizeof prompt - 1, stderr);
      std::fflush(stderr);
      std::optional<std::string> line = AwaitLine(lock);
      if (interrupted) interrupted = 0;
      path = line ? Trim(Utf16(*line)) : u"";
      if (path.empty()) {
        std::fputc('\n', stderr);
        PrintLine(prefix + "-> cancelled");
        return u"";
      }
    } else {
      PrintLine(prefix + "-> cancelled (" +
                (open_used_ ? "--open was taken already" : "no --open") + ")");
      return u"";
    }
    // A bare name is in the folder the dialog opens on, as if typed into it.
    if (!path.empty() && path[0] != u'\\' && path[0] != u'/' && request.lpstrInitialDir &&
        *request.lpstrInitialDir) {
      std::u16string folder = request.lpstrInitialDir;
      if (folder.back() != u'\\') folder += u'\\';
      path = folder + path;
    }
    PrintLine(prefix + "-> " + Utf8(path));
    return path;
  }

 private:
  // "took 1.234 s of module time", since `dialog` opened.
  std::string Took(const Window& dialog) {
    auto it = opened_at_.find(dialog.handle);
    std::uint64_t ns = it == opened_at_.end() ? 0 : ClockNow() - it->second;
    char took[96];
    std::snprintf(took, sizeof took, "took %.3f s of module time",
                  static_cast<double>(ns) / kNsPerSecond);
    return took;
  }

  struct DialogState {
    bool shown = false;  // the loop has run once: later title changes are news
    std::u16string printed_title;
    std::map<int, std::u16string> printed_text;  // by static item id
    bool progress_pending = false;               // a bar moved since the last progress line
    std::chrono::steady_clock::time_point progress_printed_at;
    std::string progress_line;  // the last one printed
  };

  static constexpr std::chrono::milliseconds kProgressLineInterval{300};

  // What a bar measures: the text above it up to its first colon or number ("Section",
  // "Image", "Erasing Flash Sector"); "bar N" where there is none.
  static std::string BarName(const Window& dialog, const Window& bar) {
    const Window* label = nullptr;
    for (const auto& control : dialog.controls) {
      if (control->kind != ControlKind::kStatic || !control->visible()) continue;
      if (control->y + control->cy > bar.y || control->x >= bar.x + bar.cx ||
          control->x + control->cx <= bar.x) {
        continue;
      }
      if (!label || control->y > label->y) label = control.get();
    }
    std::string name;
    if (label) {
      std::istringstream words(OneLine(label->text));
      for (std::string word; words >> word;) {
        if (std::any_of(word.begin(), word.end(), [](char c) { return c >= '0' && c <= '9'; })) {
          break;
        }
        const bool colon = word.back() == ':';
        if (colon) word.pop_back();
        name += (name.empty() ? "" : " ") + word;
        if (colon) break;
      }
      if (name.size() > 3 && name.compare(name.size() - 3, 3, " at") == 0)
        name.resize(name.size() - 3);
    }
    return name.empty() ? "bar " + std::to_string(BarNumber(dialog, bar)) : name;
  }

  void PrintProgressLine(Window& dialog) {
    DialogState& state = states_[dialog.handle];
    state.progress_pending = false;
    std::string line;
    bool moved = false;
    for (const auto& control : dialog.controls) {
      if (control->kind != ControlKind::kProgress || !control->visible()) continue;
      const int percent = Fraction(*control, 100);
      moved |= percent != 0;
      line += (line.empty() ? "" : "; ") + BarName(dialog, *control) + " " +
              std::to_string(percent) + "%";
    }
    // Bars that have not moved yet, or have not moved since the last line, say nothing new.
    if (!moved || line == state.progress_line) return;
    state.progress_line = line;
    std::string work = WorkLine(dialog);
    PrintLine("[" + Utf8(dialog.text) + "] " + line + (work.empty() ? "" : "; " + work));
  }

  // The update's megabytes, rate and module time left, for an update dialog; else empty.
  std::string WorkLine(const Window& dialog, std::size_t columns = std::string::npos) {
    auto it = updates_.find(dialog.handle);
    return it == updates_.end() ? "" : it->second.Line(dialog, ClockNow(), columns);
  }

  void FlushProgress(Window& dialog) {
    if (terminal_) return;
    auto it = states_.find(dialog.handle);
    if (it != states_.end() && it->second.progress_pending) PrintProgressLine(dialog);
  }

  static std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
  }

  static int BarNumber(const Window& dialog, const Window& bar) {
    int number = 0;
    for (const auto& control : dialog.controls) {
      if (control->kind == ControlKind::kProgress && control->visible()) ++number;
      if (control.get() == &bar) break;
    }
    return number;
  }

  static std::string Listing(const Window& dialog, const std::vector<const Window*>& buttons) {
    std::string line = Utf8(dialog.text) + ":";
    for (std::size_t i = 0; i < buttons.size(); ++i) {
      line += (i ? "  " : " ") + std::to_string(i + 1) + ") " + OneLine(buttons[i]->text);
    }
    return line;
  }

  void Choose(Window& dialog, const std::vector<const Window*>& buttons, const std::string& line) {
    std::u16string choice = Trim(Utf16(line));
    if (choice.empty()) return;
    const Window* chosen = nullptr;
    if (choice.size() <= 4 && choice.find_first_not_of(u"0123456789") == std::u16string::npos) {
      std::size_t number = std::stoul(Utf8(choice));
      if (number >= 1 && number <= buttons.size()) chosen = buttons[number - 1];
    } else {
      for (const Window* button : buttons) {
        if (ChoiceKey(button->text) == ChoiceKey(choice)) chosen = button;
      }
    }
    if (!chosen) {
      PrintLine("console: \"" + Utf8(choice) + "\" is not a button of " + Utf8(dialog.text) +
                "; answer with its number or its text");
      PrintLine(Listing(dialog, buttons));
      return;
    }
    if (echo_choices_) {
      std::size_t number = std::find(buttons.begin(), buttons.end(), chosen) - buttons.begin() + 1;
      PrintLine("> " + std::to_string(number) + ") " + OneLine(chosen->text));
    }
    PostCommand(dialog, chosen->id);
  }

  // One complete line of input, or what is left at the end of input.
  std::optional<std::string> TakeLine() {
    std::size_t end = input_.find('\n');
    if (end == std::string::npos) {
      if (!input_ended_ || input_.empty()) return std::nullopt;
      end = input_.size();
    }
    std::string line = input_.substr(0, end);
    input_.erase(0, std::min(end + 1, input_.size()));
    return line;
  }

  // Waits, with the lock released, for a line typed at the terminal; none when the input
  // ends or a Ctrl-C comes first.
  std::optional<std::string> AwaitLine(std::unique_lock<std::mutex>& lock) {
    std::optional<std::string> line;
    while (!(line = TakeLine()) && !input_ended_ && !interrupted) {
      lock.unlock();
      std::string read;
      bool ended = ReadInput(std::chrono::milliseconds(100), &read);
      lock.lock();
      input_ += read;
      if (ended) input_ended_ = true;
    }
    return line;
  }

  // Waits at most `timeout` for standard input; appends what came to `*read`. Returns true at
  // the end of input. Called without the lock.
  static bool ReadInput(std::chrono::milliseconds timeout, std::string* read) {
    pollfd fd{STDIN_FILENO, POLLIN, 0};
    int ready = poll(&fd, 1, static_cast<int>(timeout.count()));
    if (ready <= 0) return false;  // time out, or a signal (Ctrl-C) to look at
    if (fd.revents & POLLNVAL) return true;
    char buffer[4096];
    ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (got < 0) return errno != EINTR && errno != EAGAIN;
    read->append(buffer, static_cast<std::size_t>(got));
    return got == 0;
  }

  // Rewrites the terminal's progress line of `dialog` when its text changed.
  void DrawStatus(const Window& dialog) {
    std::string line = OneLine(dialog.text), bars;
    if (std::string work = WorkLine(dialog, 40); !work.empty()) line += "  " + work;
    for (const auto& control : dialog.controls) {
      if (!control->visible()) continue;
      if (control->kind == ControlKind::kStatic && !control->text.empty()) {
        line += "  " + OneLine(control->text);
      } else if (control->kind == ControlKind::kProgress) {
        bars += "  " + std::to_string(Fraction(*control, 100)) + "%";
      }
    }
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > bars.size() + 1) {
      // A line longer than the terminal wraps and cannot be rewritten; the bars must show.
      line = Truncate(line, size.ws_col - 1 - bars.size());
    }
    line += bars;
    if (status_owner_ == dialog.handle && line == status_text_) return;
    if (status_owner_ != dialog.handle) EndStatusLine();
    status_owner_ = dialog.handle;
    status_text_ = line;
    // Back to the start of the line, the new text, then clear what the old one left.
    std::string out = "\r" + line + "\x1b[K";
    std::fwrite(out.data(), 1, out.size(), stderr);
    std::fflush(stderr);
  }

  void EndStatusLine() {
    if (!status_owner_) return;
    std::fputc('\n', stderr);
    status_owner_ = nullptr;
    status_text_.clear();
  }

  void PrintLine(const std::string& text) {
    EndStatusLine();
    std::string out = text + "\n";
    std::fwrite(out.data(), 1, out.size(), stderr);
    std::fflush(stderr);
  }

  // Ctrl-C cancels the top dialog while dialogs are open; after one, the next ends the program.
  void ArmInterrupt() {
    if (interrupt_armed_) return;
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    if (sigaction(SIGINT, &action, &previous_interrupt_) != 0) return;
    if (previous_interrupt_.sa_handler == SIG_IGN) {
      // Started where Ctrl-C is not meant for it (in the background of a script): keep so.
      sigaction(SIGINT, &previous_interrupt_, nullptr);
      return;
    }
    interrupt_armed_ = true;
  }

  void DisarmInterrupt() {
    if (!interrupt_armed_) return;
    interrupt_armed_ = false;
    // A Ctrl-C that came as the last dialog ended has nothing left to cancel.
    interrupted = 0;
    sigaction(SIGINT, &previous_interrupt_, nullptr);
  }

  std::deque<int> answers_;
  std::optional<std::u16string> open_path_;
  std::map<HWND, UpdateProgress> updates_;  // the update dialogs open, by handle
  bool verbose_ = false;                    // every text a dialog shows, the per-record ones too
  bool open_used_ = false;
  const bool terminal_;
  const bool echo_choices_;

  std::map<HWND, DialogState> states_;
  int open_dialogs_ = 0;
  HWND listed_ = nullptr;  // the dialog whose buttons were listed last, while it has the input
  HWND status_owner_ = nullptr;  // the dialog whose progress line is open on the terminal
  std::string status_text_;

  std::string input_;  // read but not yet taken: at most one partial line after the last '\n'
  bool input_ended_ = false;
  bool end_cancel_sent_ = false;
  bool reading_ = false;
  const bool asks_;  // standard input is a terminal: a person answers the boxes

  bool interrupt_armed_ = false;
  struct sigaction previous_interrupt_ {};
  std::map<HWND, std::uint64_t> opened_at_;  // virtual time each dialog opened
  std::set<HWND> progressed_;                // dialogs whose bars have moved
};

}  // namespace

std::unique_ptr<Backend> MakeConsoleBackend(std::vector<int> answers,
                                            std::optional<std::u16string> open_path, bool verbose) {
  return std::make_unique<ConsoleBackend>(std::move(answers), std::move(open_path), verbose);
}

}  // namespace host::ui

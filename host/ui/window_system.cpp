// The window system's core and the CE dialog calls: template → controls → modal loop →
// default handling.

#include "host/ui/window_system.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cwctype>
#include <map>

#include "ce/kernel.h"
#include "host/system/ce_paths.h"
#include "host/system/text.h"
#include "host/ui/resource_section.h"

namespace host::ui {

namespace {

std::mutex ui_mutex;
std::condition_variable ui_changed;
std::map<HWND, Window*> windows;
std::vector<ModalFrame> modal_stack;
std::unique_ptr<Backend> backend;
std::atomic<std::uintptr_t> next_handle{0x10000};
std::atomic<bool> common_controls{false};

// How long a modal loop waits before looking again when nothing wakes it.
constexpr std::chrono::milliseconds kLoopTick{50};

WindowObserver* observer = nullptr;

HWND NewHandle() { return reinterpret_cast<HWND>(next_handle.fetch_add(0x10) + 0x10); }

ControlKind KindOf(std::u16string_view class_name) {
  std::u16string lower(class_name);
  for (char16_t& c : lower) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  }
  if (lower == u"button") return ControlKind::kButton;
  if (lower == u"static") return ControlKind::kStatic;
  if (lower == u"msctls_progress32") return ControlKind::kProgress;
  return ControlKind::kOther;
}

std::unique_ptr<Window> BuildDialog(const DialogTemplate& t, HWND owner, DLGPROC procedure) {
  auto dialog = std::make_unique<Window>();
  dialog->handle = NewHandle();
  dialog->id = t.id;
  dialog->class_name = u"#32770";
  dialog->text = t.caption ? t.caption : u"";
  dialog->style = t.style;
  dialog->x = t.x;
  dialog->y = t.y;
  dialog->cx = t.cx;
  dialog->cy = t.cy;
  dialog->owner = owner;
  dialog->procedure = procedure;
  dialog->thread = std::this_thread::get_id();
  for (int i = 0; i < t.item_count; ++i) {
    const DialogItemTemplate& item = t.items[i];
    auto control = std::make_unique<Window>();
    control->handle = NewHandle();
    control->dialog = dialog.get();
    control->id = item.id;
    control->class_name = item.class_name;
    control->kind = KindOf(item.class_name);
    control->text = item.text ? item.text : u"";
    control->style = item.style;
    control->x = item.x;
    control->y = item.y;
    control->cx = item.cx;
    control->cy = item.cy;
    dialog->controls.push_back(std::move(control));
  }
  return dialog;
}

void Register(Window& dialog) {
  windows[dialog.handle] = &dialog;
  for (auto& control : dialog.controls) windows[control->handle] = control.get();
}

void Unregister(Window& dialog) {
  windows.erase(dialog.handle);
  for (auto& control : dialog.controls) windows.erase(control->handle);
}

void PopFrame(std::thread::id thread, ModalFrame::Kind kind) {
  for (auto it = modal_stack.rbegin(); it != modal_stack.rend(); ++it) {
    if (it->thread == thread && it->kind == kind) {
      modal_stack.erase(std::next(it).base());
      return;
    }
  }
}

// Keeps a modal frame on the stack for the life of a message box or file dialog.
class ModalScope {
 public:
  ModalScope(ModalFrame::Kind kind, HWND owner) : kind_(kind) {
    std::lock_guard lock(ui_mutex);
    modal_stack.push_back({kind, FindWindow(owner), std::this_thread::get_id()});
    ui_changed.notify_all();
  }
  ~ModalScope() {
    std::lock_guard lock(ui_mutex);
    PopFrame(std::this_thread::get_id(), kind_);
    ui_changed.notify_all();
  }

 private:
  ModalFrame::Kind kind_;
};

bool SetProgress(Window& control, UINT message, WPARAM wparam, LPARAM lparam, LRESULT* result) {
  switch (message) {
    case PBM_SETRANGE32:
    case PBM_SETRANGE: {
      int low = message == PBM_SETRANGE32 ? static_cast<int>(wparam) : LOWORD(lparam);
      int high = message == PBM_SETRANGE32 ? static_cast<int>(lparam) : HIWORD(lparam);
      *result = static_cast<LRESULT>((control.range_low & 0xFFFF) |
                                     ((control.range_high & 0xFFFF) << 16));
      control.range_low = low;
      control.range_high = high;
      control.position = std::clamp(control.position, std::min(low, high), std::max(low, high));
      backend->ProgressChanged(control, true);
      return true;
    }
    case PBM_SETPOS: {
      *result = control.position;
      int low = std::min(control.range_low, control.range_high);
      int high = std::max(control.range_low, control.range_high);
      control.position = std::clamp(static_cast<int>(wparam), low, high);
      backend->ProgressChanged(control, false);
      return true;
    }
    case PBM_GETPOS:
      *result = control.position;
      return true;
    case PBM_GETRANGE:
      *result = wparam ? control.range_low : control.range_high;
      return true;
  }
  return false;
}

}  // namespace

Window* Window::Control(int control_id) const {
  for (const auto& control : controls) {
    if (control->id == control_id) return control.get();
  }
  return nullptr;
}

std::mutex& UiLock() { return ui_mutex; }

void Backend::Pump(Window&, std::unique_lock<std::mutex>& lock, std::chrono::milliseconds timeout) {
  ui_changed.wait_for(lock, timeout);
}

void SetBackend(std::unique_ptr<Backend> new_backend) {
  std::lock_guard lock(ui_mutex);
  backend = std::move(new_backend);
}

Backend& CurrentBackend() {
  if (!backend) {
    std::fprintf(stderr, "host: a window was opened before the window system had a backend\n");
    std::abort();
  }
  return *backend;
}

void SetWindowObserver(WindowObserver* new_observer) {
  std::lock_guard lock(ui_mutex);
  observer = new_observer;
}

namespace {
std::mutex notes_mutex;
std::vector<std::string> exit_notes;
}  // namespace

void AddExitNote(const std::string& line) {
  std::lock_guard lock(notes_mutex);
  exit_notes.push_back(line);
}

void PrintExitNotes() {
  std::lock_guard lock(notes_mutex);
  for (const std::string& line : exit_notes) std::fprintf(stderr, "%s\n", line.c_str());
  exit_notes.clear();
}

void PostCommand(Window& dialog, int id) {
  if (observer) observer->CommandPosted(dialog, id);
  dialog.commands.push_back(id);
  ui_changed.notify_all();
}

void WakeLoops() { ui_changed.notify_all(); }

const std::vector<ModalFrame>& ModalStack() { return modal_stack; }

Window* FindWindow(HWND handle) {
  auto it = windows.find(handle);
  return it == windows.end() ? nullptr : it->second;
}

MessageBoxButtons ButtonsOf(UINT type) {
  MessageBoxButtons buttons;
  switch (type & MB_TYPEMASK) {
    case MB_OKCANCEL:
      buttons.ids = {IDOK, IDCANCEL};
      break;
    case MB_YESNO:
      buttons.ids = {IDYES, IDNO};
      break;
    default:
      buttons.ids = {IDOK};
      break;
  }
  std::size_t wanted = (type & MB_DEFMASK) >> 8;
  buttons.default_index = wanted < buttons.ids.size() ? static_cast<int>(wanted) : 0;
  return buttons;
}

const char* ButtonName(int id) {
  switch (id) {
    case IDOK:
      return "OK";
    case IDCANCEL:
      return "Cancel";
    case IDYES:
      return "Yes";
    case IDNO:
      return "No";
  }
  return "?";
}

std::vector<std::pair<std::u16string, std::u16string>> FilterPairs(LPCWSTR filter) {
  std::vector<std::pair<std::u16string, std::u16string>> pairs;
  while (filter && *filter) {
    std::u16string description(filter);
    filter += description.size() + 1;
    std::u16string pattern(filter);
    filter += pattern.size() + 1;
    bool last = pattern.empty();
    pairs.emplace_back(std::move(description), std::move(pattern));
    if (last) break;
  }
  return pairs;
}

namespace {
char16_t Lower(char16_t c) { return c < 0x80 ? static_cast<char16_t>(std::towlower(c)) : c; }

bool MatchOne(std::u16string_view name, std::u16string_view pattern) {
  if (pattern.empty()) return name.empty();
  if (pattern[0] == u'*') {
    for (std::size_t skip = 0; skip <= name.size(); ++skip) {
      if (MatchOne(name.substr(skip), pattern.substr(1))) return true;
    }
    return false;
  }
  if (name.empty()) return false;
  if (pattern[0] != u'?' && Lower(pattern[0]) != Lower(name[0])) return false;
  return MatchOne(name.substr(1), pattern.substr(1));
}
}  // namespace

bool MatchesPattern(std::u16string_view name, std::u16string_view patterns) {
  while (!patterns.empty()) {
    std::size_t end = patterns.find(u';');
    std::u16string_view one = patterns.substr(0, end);
    // "*.*" is every file, as on Windows, also names without a dot.
    if (one == u"*.*" || MatchOne(name, one)) return true;
    if (end == std::u16string_view::npos) break;
    patterns.remove_prefix(end + 1);
  }
  return false;
}

}  // namespace host::ui

using host::ui::ui_changed;
using host::ui::ui_mutex;
using host::ui::Window;

void InitCommonControls() { host::ui::common_controls = true; }

INT_PTR DialogBoxParamW(HINSTANCE, LPCWSTR template_name, HWND owner, DLGPROC procedure,
                        LPARAM init_param) {
  auto id = static_cast<WORD>(reinterpret_cast<ULONG_PTR>(template_name));
  const DialogTemplate* t =
      reinterpret_cast<ULONG_PTR>(template_name) >> 16 ? nullptr : FindDialogTemplate(id);
  if (!t || !procedure) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  std::unique_ptr<Window> dialog = host::ui::BuildDialog(*t, owner, procedure);
  for (const auto& control : dialog->controls) {
    // Progress bars exist only once the common controls are registered.
    if (control->kind == host::ui::ControlKind::kProgress && !host::ui::common_controls) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return -1;
    }
  }
  host::ui::Backend& backend = host::ui::CurrentBackend();
  {
    std::lock_guard lock(ui_mutex);
    host::ui::Register(*dialog);
    host::ui::modal_stack.push_back(
        {host::ui::ModalFrame::Kind::kDialog, dialog.get(), std::this_thread::get_id()});
    if (host::ui::observer) host::ui::observer->DialogOpened(*dialog);
    backend.DialogOpened(*dialog);
  }

  HWND handle = dialog->handle;
  procedure(handle, WM_INITDIALOG, 0, init_param);

  std::unique_lock lock(ui_mutex);
  while (!dialog->ended) {
    if (!dialog->commands.empty()) {
      int command = dialog->commands.front();
      dialog->commands.pop_front();
      lock.unlock();
      procedure(handle, WM_COMMAND, static_cast<WPARAM>(command), 0);
      lock.lock();
      ui_changed.notify_all();
      continue;
    }
    const auto& stack = host::ui::modal_stack;
    if (!stack.empty() && stack.back().window == dialog.get() &&
        stack.back().kind == host::ui::ModalFrame::Kind::kDialog) {
      backend.Pump(*dialog, lock, host::ui::kLoopTick);
    } else {
      ui_changed.wait_for(lock, host::ui::kLoopTick);
    }
  }
  if (host::ui::observer) host::ui::observer->DialogEnding(*dialog);
  host::ui::PopFrame(std::this_thread::get_id(), host::ui::ModalFrame::Kind::kDialog);
  backend.DialogEnded(*dialog);
  host::ui::Unregister(*dialog);
  ui_changed.notify_all();
  return dialog->result;
}

BOOL EndDialog(HWND dialog, INT_PTR result) {
  std::lock_guard lock(ui_mutex);
  Window* window = host::ui::FindWindow(dialog);
  if (!window || window->dialog) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  window->ended = true;
  window->result = result;
  ui_changed.notify_all();
  return TRUE;
}

LRESULT SendMessageW(HWND handle, UINT message, WPARAM wparam, LPARAM lparam) {
  std::unique_lock lock(ui_mutex);
  Window* window = host::ui::FindWindow(handle);
  if (!window) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  LRESULT result = 0;
  if (message == WM_SETTEXT) {
    window->text = lparam ? reinterpret_cast<LPCWSTR>(lparam) : u"";
    host::ui::CurrentBackend().TextChanged(*window);
    result = TRUE;
  } else if (message == WM_COMMAND && !window->dialog) {
    // A command to a dialog runs its procedure on the dialog's own thread.
    host::ui::PostCommand(*window, LOWORD(wparam));
    result = 0;
  } else if (window->kind == host::ui::ControlKind::kProgress &&
             host::ui::SetProgress(*window, message, wparam, lparam, &result)) {
  }
  // No wake-up here: backends that draw in the modal loop ask for one themselves, and a
  // command queued by a rule wakes the loop when it is posted.
  // A message sent from another thread is handled as the dialog's thread would handle it:
  // commands it gave rise to (a test's rule, say) run before the sender goes on.
  Window* dialog = window->dialog ? window->dialog : window;
  if (dialog->thread != std::this_thread::get_id()) {
    // Bounded: a dialog whose loop is not running (a nested dialog is on top of it) must not
    // hold the sender for ever.
    HWND dialog_handle = dialog->handle;
    ui_changed.wait_for(lock, std::chrono::seconds(5), [&] {
      Window* still = host::ui::FindWindow(dialog_handle);
      return !still || still->ended || still->commands.empty();
    });
  }
  return result;
}

BOOL SetWindowTextW(HWND window, LPCWSTR text) {
  {
    std::lock_guard lock(ui_mutex);
    if (!host::ui::FindWindow(window)) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
  }
  SendMessageW(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
  return TRUE;
}

HWND GetDlgItem(HWND dialog, int item) {
  std::lock_guard lock(ui_mutex);
  Window* window = host::ui::FindWindow(dialog);
  Window* control = window ? window->Control(item) : nullptr;
  if (!control) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return control->handle;
}

BOOL SetDlgItemTextW(HWND dialog, int item, LPCWSTR text) {
  HWND control = GetDlgItem(dialog, item);
  if (!control) return FALSE;
  SendMessageW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
  return TRUE;
}

int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
  host::ui::ModalScope modal(host::ui::ModalFrame::Kind::kMessageBox, owner);
  Window* owner_window;
  {
    std::lock_guard lock(ui_mutex);
    owner_window = host::ui::FindWindow(owner);
  }
  std::u16string shown_text = text ? text : u"";
  std::u16string shown_caption = caption ? caption : u"Error";
  int answer = host::ui::CurrentBackend().MessageBox(owner_window, shown_text, shown_caption, type);
  std::lock_guard lock(ui_mutex);
  if (host::ui::observer) {
    host::ui::observer->MessageBoxAnswered(host::ui::FindWindow(owner), shown_text, shown_caption,
                                           type, answer);
  }
  return answer;
}

BOOL GetOpenFileNameW(OPENFILENAMEW* ofn) {
  if (!ofn || !ofn->lpstrFile || ofn->nMaxFile == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::u16string chosen;
  for (;;) {
    {
      host::ui::ModalScope modal(host::ui::ModalFrame::Kind::kOpenFile, ofn->hwndOwner);
      chosen = host::ui::CurrentBackend().OpenFile(*ofn);
    }
    if (chosen.empty()) {
      std::lock_guard lock(ui_mutex);
      if (host::ui::observer) {
        host::ui::observer->OpenFileCancelled(host::ui::FindWindow(ofn->hwndOwner));
      }
      return FALSE;
    }
    // The rules of the request: a path that does not exist is refused, as the dialog would.
    std::u16string directory = chosen.substr(0, chosen.rfind(u'\\') + 1);
    auto file = host::CePathToHost(chosen);
    auto folder = host::CePathToHost(directory.empty() ? u"\\" : directory);
    std::error_code ec;
    bool path_ok = folder && std::filesystem::is_directory(*folder, ec);
    bool file_ok = file && std::filesystem::is_regular_file(*file, ec);
    if ((ofn->Flags & OFN_PATHMUSTEXIST) && !path_ok) {
      MessageBoxW(ofn->hwndOwner, (chosen + u"\nPath does not exist.").c_str(), u"Open",
                  MB_OK | MB_ICONEXCLAMATION);
      continue;
    }
    if ((ofn->Flags & OFN_FILEMUSTEXIST) && !file_ok) {
      MessageBoxW(ofn->hwndOwner, (chosen + u"\nFile not found.").c_str(), u"Open",
                  MB_OK | MB_ICONEXCLAMATION);
      continue;
    }
    break;
  }
  if (chosen.size() + 1 > ofn->nMaxFile) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::copy(chosen.begin(), chosen.end(), ofn->lpstrFile);
  ofn->lpstrFile[chosen.size()] = 0;
  std::size_t name = chosen.rfind(u'\\') + 1;
  std::size_t dot = chosen.rfind(u'.');
  ofn->nFileOffset = static_cast<WORD>(name);
  ofn->nFileExtension =
      static_cast<WORD>(dot != std::u16string::npos && dot > name ? dot + 1 : chosen.size());
  return TRUE;
}

#include "host/ui/script_backend.h"

#include <cstdio>
#include <cstdlib>

#include "host/system/text.h"

namespace host::ui {

void ScriptBackend::AnswerMessageBoxes(std::vector<int> answers) {
  std::lock_guard lock(UiLock());
  message_box_answers_.assign(answers.begin(), answers.end());
}

void ScriptBackend::AnswerOpenFiles(std::vector<std::u16string> paths) {
  std::lock_guard lock(UiLock());
  open_file_answers_.assign(paths.begin(), paths.end());
}

void ScriptBackend::When(std::function<bool(const UiEvent&)> match, int command, bool repeat) {
  std::lock_guard lock(UiLock());
  rules_.push_back({std::move(match), command, repeat});
}

std::vector<UiEvent> ScriptBackend::Events() const {
  std::lock_guard lock(UiLock());
  return events_;
}

std::vector<UiEvent> ScriptBackend::Events(UiEvent::Kind kind) const {
  std::vector<UiEvent> out;
  for (const UiEvent& e : Events()) {
    if (e.kind == kind) out.push_back(e);
  }
  return out;
}

// Called with the lock held. `target` is the dialog that a matching rule's command goes to.
void ScriptBackend::Record(UiEvent event, Window* target) {
  events_.push_back(event);
  last_event_ = std::chrono::steady_clock::now();
  for (Rule& rule : rules_) {
    if ((rule.fired && !rule.repeat) || !rule.match(event)) continue;
    rule.fired = true;
    if (target) PostCommand(*target, rule.command);
  }
}

namespace {
Window* TopDialog() {
  const auto& stack = ModalStack();
  for (auto it = stack.rbegin(); it != stack.rend(); ++it) {
    if (it->kind == ModalFrame::Kind::kDialog) return it->window;
  }
  return nullptr;
}
}  // namespace

void ScriptBackend::DialogOpened(Window& dialog) {
  UiEvent e{UiEvent::Kind::kDialogOpened};
  e.dialog = dialog.handle;
  e.owner = dialog.owner;
  e.id = dialog.id;
  e.template_id = dialog.id;
  e.text = dialog.text;
  Record(e, &dialog);
}

void ScriptBackend::DialogEnded(Window& dialog) {
  UiEvent e{UiEvent::Kind::kDialogEnded};
  e.dialog = dialog.handle;
  e.owner = dialog.owner;
  e.id = dialog.id;
  e.template_id = dialog.id;
  e.result = dialog.result;
  Record(e, nullptr);
}

void ScriptBackend::TextChanged(Window& window) {
  Window* dialog = window.dialog ? window.dialog : &window;
  UiEvent e{window.dialog ? UiEvent::Kind::kItemText : UiEvent::Kind::kWindowText};
  e.dialog = dialog->handle;
  e.id = window.dialog ? window.id : 0;
  e.template_id = dialog->id;
  e.text = window.text;
  Record(e, dialog);
}

void ScriptBackend::ProgressChanged(Window& control, bool range_changed) {
  UiEvent e{range_changed ? UiEvent::Kind::kProgressRange : UiEvent::Kind::kProgressPos};
  e.dialog = control.dialog->handle;
  e.id = control.id;
  e.template_id = control.dialog->id;
  e.low = range_changed ? control.range_low : control.position;
  e.high = control.range_high;
  Record(e, control.dialog);
}

void ScriptBackend::Pump(Window& dialog, std::unique_lock<std::mutex>& lock,
                         std::chrono::milliseconds timeout) {
  Backend::Pump(dialog, lock, timeout);
  if (std::chrono::steady_clock::now() - last_event_ > idle_limit_) {
    std::fprintf(stderr,
                 "host: script UI: dialog %d has waited %lld ms with nothing happening; a test "
                 "forgot to end it\n",
                 dialog.id, static_cast<long long>(idle_limit_.count()));
    std::abort();
  }
}

int ScriptBackend::MessageBox(Window* owner, const std::u16string& text,
                              const std::u16string& caption, UINT type) {
  std::lock_guard lock(UiLock());
  MessageBoxButtons buttons = ButtonsOf(type);
  int answer = buttons.ids[buttons.default_index];
  if (!message_box_answers_.empty()) {
    answer = message_box_answers_.front();
    message_box_answers_.pop_front();
  }
  UiEvent e{UiEvent::Kind::kMessageBox};
  e.owner = owner ? owner->handle : nullptr;
  e.dialog = e.owner;
  e.template_id = owner ? owner->id : 0;
  e.text = text;
  e.caption = caption;
  e.flags = type;
  e.result = answer;
  Record(e, TopDialog());
  return answer;
}

std::u16string ScriptBackend::OpenFile(const OPENFILENAMEW& request) {
  std::lock_guard lock(UiLock());
  std::u16string answer;
  if (!open_file_answers_.empty()) {
    answer = open_file_answers_.front();
    open_file_answers_.pop_front();
  }
  UiEvent e{UiEvent::Kind::kOpenFile};
  Window* owner = FindWindow(request.hwndOwner);
  e.owner = request.hwndOwner;
  e.template_id = owner ? owner->id : 0;
  e.text = request.lpstrInitialDir ? request.lpstrInitialDir : u"";
  auto filters = FilterPairs(request.lpstrFilter);
  if (!filters.empty()) e.caption = filters[0].second;
  e.flags = request.Flags;
  e.result = !answer.empty();
  Record(e, TopDialog());
  return answer;
}

ScriptBackend& UseScriptBackend() {
  auto backend = std::make_unique<ScriptBackend>();
  ScriptBackend& ref = *backend;
  SetBackend(std::move(backend));
  return ref;
}

}  // namespace host::ui

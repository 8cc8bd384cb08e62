#include "host/hardware/model_notes.h"

#include <cstdlib>
#include <cstring>

#include "host/hardware/virtual_clock.h"

namespace host {

namespace {

UnknownCommandHook unknown_hook = nullptr;

std::string Seconds() {
  char when[32];
  std::snprintf(when, sizeof when, "%.6f", static_cast<double>(ClockNow()) / kNsPerSecond);
  return when;
}

}  // namespace

ModelNotes::ModelNotes(std::filesystem::path dir, bool trace)
    : dir_(std::move(dir)), tracing_(trace) {}

ModelNotes::~ModelNotes() {
  if (trace_) std::fclose(trace_);
}

void ModelNotes::Note(const char* file_name, const std::string& text) const {
  std::FILE* file = std::fopen((dir_ / file_name).c_str(), "a");
  if (!file) return;
  std::fprintf(file, "%s s: %s\n", Seconds().c_str(), text.c_str());
  std::fclose(file);
}

void ModelNotes::TraceLine(const char* model, const std::string& text) {
  if (!trace_) trace_ = std::fopen((dir_ / "trace.log").c_str(), "a");
  if (!trace_) return;
  std::fprintf(trace_, "%s s: %s: %s\n", Seconds().c_str(), model, text.c_str());
  std::fflush(trace_);
}

bool TraceRequested() {
  const char* value = std::getenv("IMBREL_TRACE");
  return value && *value && std::strcmp(value, "0") != 0;
}

void UnknownCommand(ModelNotes* notes, const std::string& text) {
  Note(notes, "unknown.commands", text);
  Trace(notes, "unknown", text);
  if (unknown_hook) unknown_hook(text);
}

UnknownCommandHook SetUnknownCommandHook(UnknownCommandHook hook) {
  UnknownCommandHook old = unknown_hook;
  unknown_hook = hook;
  return old;
}

}  // namespace host

#include "host/hardware/model_notes.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "host/hardware/virtual_clock.h"
#include "host/module/module.h"

namespace host {

bool tracing = false;

namespace {

UnknownCommandHook unknown_hook = nullptr;

std::string Seconds() {
  char when[32];
  std::snprintf(when, sizeof when, "%.6f", static_cast<double>(ClockNow()) / kNsPerSecond);
  return when;
}

// The trace file stays open while the same module is: one line per command must be cheap.
struct TraceFile {
  std::filesystem::path path;
  std::FILE* file = nullptr;
  ~TraceFile() {
    if (file) std::fclose(file);
  }
};

TraceFile& Traced() {
  static TraceFile trace;
  return trace;
}

}  // namespace

void NoteInModule(const char* file_name, const std::string& text) {
  Module* module = CurrentModule();
  if (!module) return;
  std::FILE* file = std::fopen((module->dir() / file_name).c_str(), "a");
  if (!file) return;
  std::fprintf(file, "%s s: %s\n", Seconds().c_str(), text.c_str());
  std::fclose(file);
}

void UnknownCommand(const std::string& text) {
  NoteInModule("unknown.commands", text);
  Trace("unknown", text);
  if (unknown_hook) unknown_hook(text);
}

UnknownCommandHook SetUnknownCommandHook(UnknownCommandHook hook) {
  UnknownCommandHook old = unknown_hook;
  unknown_hook = hook;
  return old;
}

void SetTracing(bool on) { tracing = on; }

void ReadTraceSetting() {
  const char* value = std::getenv("IMBREL_TRACE");
  tracing = value && *value && std::strcmp(value, "0") != 0;
}

void TraceLine(const char* model, const std::string& text) {
  Module* module = CurrentModule();
  if (!module) return;
  TraceFile& trace = Traced();
  std::filesystem::path path = module->dir() / "trace.log";
  if (!trace.file || trace.path != path) {
    if (trace.file) std::fclose(trace.file);
    trace.path = path;
    trace.file = std::fopen(path.c_str(), "a");
    if (!trace.file) return;
  }
  std::fprintf(trace.file, "%s s: %s: %s\n", Seconds().c_str(), model, text.c_str());
  std::fflush(trace.file);
}

}  // namespace host

// What the hardware models tell about the driver beyond what the bus shows: commands a chip
// does not know or does not model, kept in the module directory and, in tests, failing the
// test; and, with IMBREL_TRACE set, a trace of every command, status change and fault the
// models see, one line each with the virtual time, in the module's trace.log.
#pragma once

#include <string>

namespace host {

/// Appends "SECONDS s: text" to `file_name` in the open module's directory (nothing when no
/// module is open).
void NoteInModule(const char* file_name, const std::string& text);

/// A command that a chip does not know, or knows but does not model (suspend, OTP): the chip
/// ignores it. Noted in the module's `unknown.commands` and passed to the hook, if one is set.
void UnknownCommand(const std::string& text);
using UnknownCommandHook = void (*)(const std::string& text);
/// Sets the hook that sees every unknown command (tests fail on it); returns the old one.
UnknownCommandHook SetUnknownCommandHook(UnknownCommandHook hook);

/// True when the models trace: IMBREL_TRACE is set (and not "0") in the environment, read
/// when a module opens, or SetTracing said so.
extern bool tracing;
void SetTracing(bool on);
/// Reads IMBREL_TRACE again (a module opening).
void ReadTraceSetting();
/// One line of the trace: "SECONDS s: model: text" in the open module's trace.log.
void TraceLine(const char* model, const std::string& text);
inline void Trace(const char* model, const std::string& text) {
  if (tracing) TraceLine(model, text);
}

}  // namespace host

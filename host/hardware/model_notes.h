// What the hardware models tell about the driver beyond what the bus shows: commands a chip
// does not know or does not model, kept in the module directory and, in tests, failing the
// test; and, when the module traces, a trace of every command, status change and fault the
// models see, one line each with the virtual time, in the module's trace.log.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>

namespace host {

/// Where the models of one module write what they tell: files in the module's directory. The
/// module makes one and gives it to each model it builds (model_links.h).
class ModelNotes {
 public:
  /// Notes go to files in `dir`; with `trace`, the models' trace lines go to its trace.log.
  ModelNotes(std::filesystem::path dir, bool trace);
  ~ModelNotes();
  ModelNotes(const ModelNotes&) = delete;
  ModelNotes& operator=(const ModelNotes&) = delete;

  /// Appends "SECONDS s: text" to `file_name` in the directory.
  void Note(const char* file_name, const std::string& text) const;
  bool tracing() const { return tracing_; }
  /// One line of the trace: "SECONDS s: model: text" in trace.log.
  void TraceLine(const char* model, const std::string& text);

 private:
  std::filesystem::path dir_;
  bool tracing_;
  std::FILE* trace_ = nullptr;  // trace.log, open while the notes are: a line per command
};

/// True when IMBREL_TRACE is set (and not "0") in the environment: a module opened now traces.
bool TraceRequested();

// The models' calls. A model made on its own (a test's) has no notes: it writes nothing.

/// Appends "SECONDS s: text" to `file_name` in the notes' directory.
inline void Note(const ModelNotes* notes, const char* file_name, const std::string& text) {
  if (notes) notes->Note(file_name, text);
}

/// A command that a chip does not know, or knows but does not model (suspend, OTP): the chip
/// ignores it. Noted in `unknown.commands` and passed to the hook, if one is set.
void UnknownCommand(ModelNotes* notes, const std::string& text);
using UnknownCommandHook = void (*)(const std::string& text);
/// Sets the hook that sees every unknown command (tests fail on it); returns the old one.
UnknownCommandHook SetUnknownCommandHook(UnknownCommandHook hook);

inline bool Tracing(const ModelNotes* notes) { return notes && notes->tracing(); }
inline void Trace(ModelNotes* notes, const char* model, const std::string& text) {
  if (Tracing(notes)) notes->TraceLine(model, text);
}

}  // namespace host

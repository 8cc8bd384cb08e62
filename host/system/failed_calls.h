// Calls of the program that failed where the host can see it. The host's exit status takes
// them in: a quiet registry save or clear (/fu, /cu) shows no box when it fails, yet the run
// did not do what it was asked.
#pragma once

#include <string>
#include <vector>

namespace host {

/// Notes a failed call, as a line that says what failed ("the registry save failed: ...").
void NoteFailedCall(const std::string& what);
/// The calls noted so far in this process, in order.
std::vector<std::string> FailedCalls();

}  // namespace host

#include "host/system/failed_calls.h"

#include <mutex>

namespace host {

namespace {
std::mutex failed_mutex;
std::vector<std::string> failed;
}  // namespace

void NoteFailedCall(const std::string& what) {
  std::lock_guard lock(failed_mutex);
  failed.push_back(what);
}

std::vector<std::string> FailedCalls() {
  std::lock_guard lock(failed_mutex);
  return failed;
}

}  // namespace host

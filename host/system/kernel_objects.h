// The process's handle table and the kernel objects behind it. Named mutexes are one object
// for every process of the module: the cross-process part is a lock file under the module's
// ram/, which the host's kernel releases when the holder dies.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "ce/types.h"

namespace host {

class KernelObject {
 public:
  virtual ~KernelObject() = default;
  /// Waits for the object; WaitForSingleObject's result.
  virtual DWORD Wait(DWORD milliseconds) = 0;
};

/// Enters an object in the handle table and returns its new handle.
HANDLE AddHandle(std::shared_ptr<KernelObject> object);
/// The object behind a handle, or null.
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);
/// Open handles, for leak checks in tests.
std::size_t OpenHandleCount();

/// A kernel object name as a file name: characters other than letters, digits, '-' and '_'
/// are written as %XXXX.
std::string ObjectFileName(const std::u16string& name);

/// Where named objects of the module live (its ram/); empty keeps them inside this process.
void SetKernelObjectDirectory(const std::filesystem::path& directory);

/// What a wait does on a named mutex that another process of the module holds (the flash
/// mutex, while another imbrel updates or shows a box): kWait waits, saying so on standard
/// error once a second has gone by; kRefuse ends the process at once with status 2. `tool`
/// names the process in the message.
enum class OtherProcessWait { kWait, kRefuse };
void SetOtherProcessWait(OtherProcessWait policy, const std::string& tool);

/// Runs `job` as CE thread `id` on a host thread of the pool (a new one when none is idle);
/// false when no host thread could be started.
bool RunOnPooledThread(DWORD id, std::function<void()> job);

/// Waits up to `limit` for every pooled thread to finish its job, the job's own clean-up
/// included (a thread shows its end before it lets go of what its job held); false when one
/// is still busy then. For a process that runs the program many times over and must start
/// each run with nothing of the last one in flight (a fuzz target).
bool WaitForPooledThreads(std::chrono::milliseconds limit);

/// While set, CreateThread fails with ERROR_NOT_ENOUGH_MEMORY, as on a module out of memory.
void SetThreadCreationFails(bool fails);

}  // namespace host

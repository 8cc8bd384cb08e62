// Handles, the last-error word, and mutexes.

#include "host/system/kernel_objects.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include "ce/kernel.h"
#include "host/hardware/virtual_clock.h"
#include "host/hardware/virtual_cpu.h"
#include "host/system/text.h"

namespace host {

namespace {

std::mutex table_mutex;
std::unordered_map<std::uintptr_t, std::shared_ptr<KernelObject>> handles;
std::uintptr_t next_handle = 0x40;
std::filesystem::path object_directory;

thread_local DWORD last_error = ERROR_SUCCESS;

std::atomic<DWORD> next_thread_id{0x100};
// The CE thread this host thread runs now: a pooled host thread runs many, one after another.
thread_local DWORD current_thread_id = next_thread_id++;

std::atomic<OtherProcessWait> other_process_wait{OtherProcessWait::kWait};
std::string waiting_tool = "imbrel";  // set once, before any wait

// Takes the lock file `fd` that another process may hold, for as long as it takes: at once
// when it is free; else, as the policy says, refuses or waits, telling once a second has
// gone by whose lock it waits for.
bool LockAgainstOtherProcesses(int fd, const std::u16string& name) {
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
  std::string what =
      "the module's " + (name == u"OnModuleFlash" ? std::string("flash") : Utf8(name));
  if (other_process_wait == OtherProcessWait::kRefuse) {
    std::fprintf(stderr, "%s: %s is in use by another process; not waiting (--no-wait)\n",
                 waiting_tool.c_str(), what.c_str());
    std::fflush(stderr);
    std::quick_exit(2);
  }
  const auto notice = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (std::chrono::steady_clock::now() < notice) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
  }
  std::fprintf(stderr,
               "%s: waiting for %s, which another process holds (an imbrel updating or with a "
               "box open?); --no-wait gives up at once\n",
               waiting_tool.c_str(), what.c_str());
  int rc;
  while ((rc = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
  }
  return rc == 0;
}

// A mutex as CE has it: owned by a thread, recursive for its owner. A named one also holds
// an exclusive lock on a file of the module while owned, which excludes other processes.
class MutexObject : public KernelObject {
 public:
  MutexObject(int lock_fd, std::u16string name) : lock_fd_(lock_fd), name_(std::move(name)) {}
  ~MutexObject() override {
    if (lock_fd_ >= 0) close(lock_fd_);
  }

  DWORD Wait(DWORD milliseconds) override {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    std::unique_lock lock(mutex_);
    const DWORD self = current_thread_id;
    if (count_ > 0 && owner_ == self) {
      ++count_;
      return WAIT_OBJECT_0;
    }
    while (count_ > 0) {
      if (milliseconds == INFINITE) {
        changed_.wait(lock);
      } else if (changed_.wait_until(lock, deadline) == std::cv_status::timeout && count_ > 0) {
        return WAIT_TIMEOUT;
      }
    }
    owner_ = self;
    count_ = 1;
    if (lock_fd_ < 0) return WAIT_OBJECT_0;
    // This thread owns the mutex inside the process; now exclude the other processes.
    lock.unlock();
    bool got = false;
    if (milliseconds == INFINITE) {
      got = LockAgainstOtherProcesses(lock_fd_, name_);
    } else {
      for (;;) {
        if (flock(lock_fd_, LOCK_EX | LOCK_NB) == 0) {
          got = true;
          break;
        }
        if (Clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    }
    if (got) return WAIT_OBJECT_0;
    lock.lock();
    count_ = 0;
    owner_ = 0;
    changed_.notify_all();
    return WAIT_TIMEOUT;
  }

  bool Release() {
    std::lock_guard lock(mutex_);
    if (count_ == 0 || owner_ != current_thread_id) return false;
    if (--count_ == 0) {
      if (lock_fd_ >= 0) flock(lock_fd_, LOCK_UN);
      owner_ = 0;
      changed_.notify_all();
    }
    return true;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  DWORD owner_ = 0;
  int count_ = 0;
  int lock_fd_;
  std::u16string name_;
};

std::map<std::u16string, std::weak_ptr<MutexObject>> named_mutexes;

}  // namespace

std::string ObjectFileName(const std::u16string& name) {
  std::string out;
  for (char16_t c : name) {
    if ((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
        c == u'-' || c == u'_') {
      out += static_cast<char>(c);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "%%%04X", static_cast<unsigned>(c));
      out += buf;
    }
  }
  return out;
}

HANDLE AddHandle(std::shared_ptr<KernelObject> object) {
  std::lock_guard lock(table_mutex);
  std::uintptr_t value = next_handle;
  next_handle += 4;
  handles[value] = std::move(object);
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle) {
  std::lock_guard lock(table_mutex);
  auto it = handles.find(reinterpret_cast<std::uintptr_t>(handle));
  return it == handles.end() ? nullptr : it->second;
}

std::size_t OpenHandleCount() {
  std::lock_guard lock(table_mutex);
  return handles.size();
}

void SetKernelObjectDirectory(const std::filesystem::path& directory) {
  std::lock_guard lock(table_mutex);
  object_directory = directory;
  named_mutexes.clear();
}

}  // namespace host

DWORD GetLastError() { return host::last_error; }
void SetLastError(DWORD error) { host::last_error = error; }

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL initial_owner, LPCWSTR name) {
  std::shared_ptr<host::MutexObject> mutex;
  bool existed = false;
  if (name && *name) {
    std::u16string key(name);
    std::lock_guard lock(host::table_mutex);
    mutex = host::named_mutexes[key].lock();
    existed = mutex != nullptr;
    if (!mutex) {
      int fd = -1;
      if (!host::object_directory.empty()) {
        std::filesystem::path file =
            host::object_directory / ("mutex-" + host::ObjectFileName(key) + ".lock");
        std::error_code ec;
        std::filesystem::create_directories(host::object_directory, ec);
        fd = open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) {
          SetLastError(ERROR_ACCESS_DENIED);
          return nullptr;
        }
      }
      mutex = std::make_shared<host::MutexObject>(fd, key);
      host::named_mutexes[key] = mutex;
    }
  } else {
    mutex = std::make_shared<host::MutexObject>(-1, std::u16string());
  }
  // An existing named mutex is opened, not taken.
  if (initial_owner && !existed) mutex->Wait(INFINITE);
  HANDLE handle = host::AddHandle(mutex);
  SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

BOOL ReleaseMutex(HANDLE handle) {
  auto mutex = std::dynamic_pointer_cast<host::MutexObject>(host::LookupHandle(handle));
  if (!mutex) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!mutex->Release()) {
    SetLastError(ERROR_NOT_OWNER);
    return FALSE;
  }
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  auto object = host::LookupHandle(handle);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  return object->Wait(milliseconds);
}

BOOL CloseHandle(HANDLE handle) {
  std::lock_guard lock(host::table_mutex);
  if (host::handles.erase(reinterpret_cast<std::uintptr_t>(handle)) == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // A name whose mutex is gone is free again: its entry, and the memory the mutex shared with
  // it, go too.
  std::erase_if(host::named_mutexes, [](const auto& entry) { return entry.second.expired(); });
  return TRUE;
}

namespace host {
namespace {

// A thread: waiting for it waits for its end.
class ThreadObject : public KernelObject {
 public:
  DWORD Wait(DWORD milliseconds) override {
    std::unique_lock lock(mutex_);
    auto done = [&] { return finished_; };
    if (milliseconds == INFINITE) {
      ended_.wait(lock, done);
    } else if (!ended_.wait_for(lock, std::chrono::milliseconds(milliseconds), done)) {
      return WAIT_TIMEOUT;
    }
    return WAIT_OBJECT_0;
  }
  void Finish() {
    std::lock_guard lock(mutex_);
    finished_ = true;
    ended_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable ended_;
  bool finished_ = false;
};

std::atomic<bool> thread_creation_fails{false};

// Host threads that ran a CE thread to its end wait here for the next one: a program that
// starts a worker for every job (each update does) would otherwise pay for a new host thread
// each time, its stack and, under the sanitizers, their bookkeeping mapped and unmapped. A job
// starts as a new thread would: user mode, no last error, a thread id of its own.
class ThreadPool {
 public:
  bool Run(DWORD id, std::function<void()> job) {
    {
      std::unique_lock lock(mutex_);
      ++busy_;
      if (idle_ > 0) {
        jobs_.push_back({id, std::move(job)});
        --idle_;
        lock.unlock();  // the pool lives as long as the process: its wake needs no lock
        wake_.notify_one();
        return true;
      }
    }
    try {
      std::thread([this, id, first = std::move(job)]() mutable {
        Serve(id, std::move(first));
      }).detach();
    } catch (const std::system_error&) {
      std::lock_guard lock(mutex_);
      if (--busy_ == 0) done_.notify_all();
      return false;
    }
    return true;
  }

  bool WaitForAll(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return done_.wait_for(lock, limit, [&] { return busy_ == 0; });
  }

  // In a child of fork() only the forking thread goes on: the pool's threads are not there.
  void ForgetThreadsAfterFork() {
    new (&mutex_) std::mutex;
    new (&wake_) std::condition_variable;
    new (&done_) std::condition_variable;
    idle_ = busy_ = 0;
    jobs_.clear();
  }

 private:
  struct Job {
    DWORD id;
    std::function<void()> body;
  };

  [[noreturn]] void Serve(DWORD id, std::function<void()> job) {
    for (;;) {
      current_thread_id = id;
      SetLastError(ERROR_SUCCESS);
      SetCpuMode(kCpuModeUser);
      job();
      job = nullptr;
      ClockNow();  // the job's bus time joins the clock before anyone waits on its end
      std::unique_lock lock(mutex_);
      ++idle_;
      if (--busy_ == 0) done_.notify_all();
      wake_.wait(lock, [&] { return !jobs_.empty(); });
      id = jobs_.front().id;
      job = std::move(jobs_.front().body);
      jobs_.pop_front();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  int idle_ = 0;
  int busy_ = 0;  // jobs handed over and not yet cleaned up
  std::deque<Job> jobs_;
};

// Never destroyed: pooled threads wait on it until the process ends.
ThreadPool& Pool() {
  static ThreadPool* pool = [] {
    auto* created = new ThreadPool;
    pthread_atfork(nullptr, nullptr, [] { Pool().ForgetThreadsAfterFork(); });
    return created;
  }();
  return *pool;
}

}  // namespace

bool RunOnPooledThread(DWORD id, std::function<void()> job) {
  return Pool().Run(id, std::move(job));
}

bool WaitForPooledThreads(std::chrono::milliseconds limit) { return Pool().WaitForAll(limit); }

void SetThreadCreationFails(bool fails) { thread_creation_fails = fails; }

void SetOtherProcessWait(OtherProcessWait policy, const std::string& tool) {
  other_process_wait = policy;
  waiting_tool = tool;
}
}  // namespace host

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, DWORD, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                    DWORD creation_flags, LPDWORD thread_id) {
  if (!start || creation_flags != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (host::thread_creation_fails) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  auto thread = std::make_shared<host::ThreadObject>();
  DWORD id = host::next_thread_id++;
  if (!host::RunOnPooledThread(id, [thread, start, parameter] {
        start(parameter);
        thread->Finish();
      })) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (thread_id) *thread_id = id;
  return host::AddHandle(thread);
}

// Paging-file backed file mappings: every mapping is a file descriptor (a file under the
// module's ram/ for a named one, an anonymous memory file otherwise) and every view a shared
// mmap of it.

#include "host/system/shared_memory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "ce/file_mapping.h"
#include "ce/kernel.h"
#include "host/module/module.h"
#include "host/system/kernel_objects.h"

namespace host {

namespace {

// Views start at multiples of the allocation granularity, as on Win32.
constexpr std::uint64_t kViewAlignment = 0x10000;

std::atomic<int> create_failures{0};
std::atomic<int> map_failures{0};
std::atomic<unsigned> temp_counter{0};

class MappingObject : public KernelObject {
 public:
  MappingObject(int fd, std::uint64_t size, bool writable)
      : fd_(fd), size_(size), writable_(writable) {}
  ~MappingObject() override { close(fd_); }
  MappingObject(const MappingObject&) = delete;
  MappingObject& operator=(const MappingObject&) = delete;

  // A mapping is not a waitable object.
  DWORD Wait(DWORD) override {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }

  int fd() const { return fd_; }
  std::uint64_t size() const { return size_; }
  bool writable() const { return writable_; }

 private:
  int fd_;
  std::uint64_t size_;
  bool writable_;
};

struct View {
  std::size_t length;
  std::shared_ptr<MappingObject> mapping;  // a view keeps its mapping alive
};

std::mutex mapping_mutex;
std::map<std::uintptr_t, View> views;
// Named mappings when no module is open: known to this process only.
std::map<std::u16string, std::weak_ptr<MappingObject>> local_names;

bool TakeFault(std::atomic<int>& counter) {
  int left = counter.load();
  while (left > 0) {
    if (counter.compare_exchange_weak(left, left - 1)) return true;
  }
  return false;
}

std::string MappingFileName(const std::u16string& name) {
  return "mapping-" + ObjectFileName(name);
}

DWORD ErrorFromErrno(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
      return ERROR_ACCESS_DENIED;
    case ENOENT:
      return ERROR_PATH_NOT_FOUND;
    default:
      return ERROR_NOT_ENOUGH_MEMORY;
  }
}

// A zero-filled memory file of `size` bytes, or -1 with errno set.
int NewMemoryFile(std::uint64_t size) {
  int fd = memfd_create("imbrel-mapping", MFD_CLOEXEC);
  if (fd < 0) return -1;
  if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
    int error = errno;
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

// Opens the named mapping's file in `directory`, creating it zero-filled with `size` bytes
// when there is none. The new file is made whole under a temporary name and then linked in
// place, so another process never sees it shorter than its size. -1 with errno on failure.
int OpenNamedFile(const std::filesystem::path& directory, const std::u16string& name,
                  std::uint64_t size, bool* existed) {
  std::error_code ec;
  std::filesystem::create_directories(directory, ec);
  const std::filesystem::path file = directory / MappingFileName(name);
  for (;;) {
    int fd = open(file.c_str(), O_RDWR | O_CLOEXEC);
    if (fd >= 0) {
      *existed = true;
      return fd;
    }
    if (errno != ENOENT) return -1;

    const std::filesystem::path temp =
        directory / ("." + MappingFileName(name) + "." + std::to_string(getpid()) + "." +
                     std::to_string(temp_counter++));
    fd = open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
      int error = errno;
      close(fd);
      unlink(temp.c_str());
      errno = error;
      return -1;
    }
    int linked = link(temp.c_str(), file.c_str());
    int error = errno;
    unlink(temp.c_str());
    if (linked == 0) {
      *existed = false;
      return fd;
    }
    close(fd);
    // Another process made it first: open theirs.
    if (error != EEXIST) {
      errno = error;
      return -1;
    }
  }
}

}  // namespace

void FailCreateFileMapping(int count) { create_failures = count; }
void FailMapViewOfFile(int count) { map_failures = count; }

std::size_t MappedViewCount() {
  std::lock_guard lock(mapping_mutex);
  return views.size();
}

}  // namespace host

HANDLE CreateFileMappingW(HANDLE file, LPSECURITY_ATTRIBUTES, DWORD protect, DWORD size_high,
                          DWORD size_low, LPCWSTR name) {
  if (file != INVALID_HANDLE_VALUE) {
    // Mappings of files of the module's file system are not served.
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  const DWORD page_access = protect & 0xFF;
  if (page_access != PAGE_READWRITE && page_access != PAGE_READONLY) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const std::uint64_t size = static_cast<std::uint64_t>(size_high) << 32 | size_low;
  // The paging file needs a size.
  if (size == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (host::TakeFault(host::create_failures)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  const bool writable = page_access == PAGE_READWRITE;

  std::shared_ptr<host::MappingObject> mapping;
  bool existed = false;
  {
    std::lock_guard lock(host::mapping_mutex);
    host::Module* module = host::CurrentModule();
    if (name && *name && module) {
      std::uint64_t file_size = size;
      int fd = host::OpenNamedFile(module->dir() / "ram", name, size, &existed);
      struct stat st;
      if (fd >= 0 && existed && fstat(fd, &st) == 0)
        file_size = static_cast<std::uint64_t>(st.st_size);
      if (fd < 0) {
        SetLastError(host::ErrorFromErrno(errno));
        return nullptr;
      }
      mapping = std::make_shared<host::MappingObject>(fd, file_size, writable);
    } else if (name && *name) {
      auto& known = host::local_names[std::u16string(name)];
      auto existing = known.lock();
      int fd = existing ? fcntl(existing->fd(), F_DUPFD_CLOEXEC, 0) : host::NewMemoryFile(size);
      if (fd < 0) {
        SetLastError(host::ErrorFromErrno(errno));
        return nullptr;
      }
      existed = existing != nullptr;
      mapping =
          std::make_shared<host::MappingObject>(fd, existed ? existing->size() : size, writable);
      if (!existed) known = mapping;
    } else {
      int fd = host::NewMemoryFile(size);
      if (fd < 0) {
        SetLastError(host::ErrorFromErrno(errno));
        return nullptr;
      }
      mapping = std::make_shared<host::MappingObject>(fd, size, writable);
    }
  }
  HANDLE handle = host::AddHandle(mapping);
  SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

LPVOID MapViewOfFile(HANDLE handle, DWORD access, DWORD offset_high, DWORD offset_low,
                     DWORD bytes) {
  auto mapping = std::dynamic_pointer_cast<host::MappingObject>(host::LookupHandle(handle));
  if (!mapping) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  const bool write = (access & FILE_MAP_WRITE) != 0;
  if (!write && (access & FILE_MAP_READ) == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (write && !mapping->writable()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  const std::uint64_t offset = static_cast<std::uint64_t>(offset_high) << 32 | offset_low;
  if (offset % host::kViewAlignment != 0) {
    SetLastError(ERROR_MAPPED_ALIGNMENT);
    return nullptr;
  }
  if (offset >= mapping->size() || bytes > mapping->size() - offset) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (host::TakeFault(host::map_failures)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  const std::size_t length = bytes ? bytes : static_cast<std::size_t>(mapping->size() - offset);
  void* base = mmap(nullptr, length, write ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED,
                    mapping->fd(), static_cast<off_t>(offset));
  if (base == MAP_FAILED) {
    SetLastError(host::ErrorFromErrno(errno));
    return nullptr;
  }
  std::lock_guard lock(host::mapping_mutex);
  host::views[reinterpret_cast<std::uintptr_t>(base)] = {length, mapping};
  return base;
}

BOOL UnmapViewOfFile(LPCVOID base) {
  std::lock_guard lock(host::mapping_mutex);
  auto it = host::views.find(reinterpret_cast<std::uintptr_t>(base));
  if (it == host::views.end()) {
    SetLastError(ERROR_INVALID_ADDRESS);
    return FALSE;
  }
  munmap(const_cast<void*>(base), it->second.length);
  host::views.erase(it);
  return TRUE;
}

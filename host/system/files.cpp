// The module's file system as CE files: read-only opens of files under fs/, reads, sizes and
// times. The CE creation time of a file is its host modification time (the tools set it with
// utimensat); its last-access and last-write times are the host's atime and mtime.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <mutex>

#include "ce/files.h"
#include "ce/kernel.h"
#include "host/system/calendar.h"
#include "host/system/ce_paths.h"
#include "host/system/kernel_objects.h"
#include "host/system/text.h"

namespace fs = std::filesystem;

namespace host {

namespace {

class FileObject : public KernelObject {
 public:
  explicit FileObject(int fd) : fd_(fd) {}
  ~FileObject() override { close(fd_); }
  DWORD Wait(DWORD) override {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  int fd() const { return fd_; }

 private:
  int fd_;
};

std::shared_ptr<FileObject> LookupFile(HANDLE handle) {
  auto file = std::dynamic_pointer_cast<FileObject>(LookupHandle(handle));
  if (!file) SetLastError(ERROR_INVALID_HANDLE);
  return file;
}

}  // namespace

}  // namespace host

HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD, LPSECURITY_ATTRIBUTES, DWORD creation, DWORD,
                   HANDLE) {
  if (!name || !*name) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  // The module's file system is read-only to the program.
  if (access & ~GENERIC_READ) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  if (creation != OPEN_EXISTING) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return INVALID_HANDLE_VALUE;
  }
  std::u16string ce_path(name);
  std::optional<fs::path> path = host::CePathToHost(ce_path);
  if (!path) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  std::error_code ec;
  if (!fs::exists(*path, ec)) {
    // Missing (the path has found each name whatever its case): the file, or already its
    // folder, which must also stay inside fs/.
    std::optional<fs::path> folder =
        host::CePathToHost(ce_path.substr(0, ce_path.find_last_of(u"\\/") + 1));
    SetLastError(folder && fs::is_directory(*folder, ec) ? ERROR_FILE_NOT_FOUND
                                                         : ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  // O_NONBLOCK: a FIFO must not hang the open; anything but a regular file is refused below.
  int fd = open(path->c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    SetLastError(errno == ENOENT    ? ERROR_FILE_NOT_FOUND
                 : errno == ENOTDIR ? ERROR_PATH_NOT_FOUND
                                    : ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  if (!host::OpenedInsideFs(fd)) {
    close(fd);
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  SetLastError(ERROR_SUCCESS);
  return host::AddHandle(std::make_shared<host::FileObject>(fd));
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD to_read, LPDWORD read_count, LPVOID overlapped) {
  auto object = host::LookupFile(file);
  if (!object) return FALSE;
  if (overlapped || !read_count || (!buffer && to_read)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto* out = static_cast<std::uint8_t*>(buffer);
  DWORD done = 0;
  while (done < to_read) {
    ssize_t n = read(object->fd(), out + done, to_read - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *read_count = done;
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    if (n == 0) break;
    done += static_cast<DWORD>(n);
  }
  *read_count = done;
  return TRUE;
}

DWORD SetFilePointer(HANDLE file, LONG distance, PLONG distance_high, DWORD method) {
  auto object = host::LookupFile(file);
  if (!object) return INVALID_SET_FILE_POINTER;
  static const int kWhence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
  std::int64_t move =
      distance_high
          ? static_cast<std::int64_t>((std::uint64_t(std::uint32_t(*distance_high)) << 32) |
                                      std::uint32_t(distance))
          : distance;
  off_t at = method <= FILE_END ? lseek(object->fd(), move, kWhence[method]) : -1;
  if (at < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  if (distance_high) *distance_high = static_cast<LONG>(static_cast<std::uint64_t>(at) >> 32);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(at);
}

DWORD GetFileSize(HANDLE file, LPDWORD high) {
  auto object = host::LookupFile(file);
  struct stat st;
  if (!object || fstat(object->fd(), &st) != 0) {
    if (object) SetLastError(ERROR_INVALID_HANDLE);
    return INVALID_FILE_SIZE;
  }
  std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
  if (high) *high = static_cast<DWORD>(size >> 32);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(size);
}

BOOL GetFileTime(HANDLE file, FILETIME* creation, FILETIME* last_access, FILETIME* last_write) {
  auto object = host::LookupFile(file);
  struct stat st;
  if (!object || fstat(object->fd(), &st) != 0) {
    if (object) SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  auto put = [](FILETIME* out, const struct timespec& when) {
    if (!out) return;
    std::uint64_t ticks = host::TicksFromUnix(when.tv_sec, when.tv_nsec);
    out->dwLowDateTime = static_cast<DWORD>(ticks);
    out->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  };
  put(creation, st.st_mtim);
  put(last_access, st.st_atim);
  put(last_write, st.st_mtim);
  return TRUE;
}

BOOL FileTimeToSystemTime(const FILETIME* file_time, SYSTEMTIME* system_time) {
  if (!file_time || !system_time) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::uint64_t ticks = (std::uint64_t{file_time->dwHighDateTime} << 32) | file_time->dwLowDateTime;
  host::CivilTime t = host::CivilFromTicks(ticks);
  if (t.year > host::kLastYear) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  system_time->wYear = static_cast<WORD>(t.year);
  system_time->wMonth = static_cast<WORD>(t.month);
  system_time->wDayOfWeek = static_cast<WORD>(t.day_of_week);
  system_time->wDay = static_cast<WORD>(t.day);
  system_time->wHour = static_cast<WORD>(t.hour);
  system_time->wMinute = static_cast<WORD>(t.minute);
  system_time->wSecond = static_cast<WORD>(t.second);
  system_time->wMilliseconds = static_cast<WORD>(t.millisecond);
  return TRUE;
}

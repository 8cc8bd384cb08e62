// A module directory that the campaigns' runs change and that is put back to its template
// between them, at the cost of what the runs changed.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/hardware/flash_activity.h"
#include "host/hardware/nand_chip.h"

namespace campaign {

namespace fs = std::filesystem;

// Where the flash image file changed since the module was last put back: one byte a 64 KB
// piece, in memory shared with the forked runs, whose chips note every erase and program
// before its cells change.
constexpr std::uint64_t kPiece = 64 * 1024;
inline std::uint8_t* changed_pieces = nullptr;
inline std::size_t piece_count = 0;

inline void NoteChange(std::uint64_t start, std::uint64_t length, bool nand) {
  std::uint64_t first = start;
  std::uint64_t end = start + length;
  if (nand) {  // physical offsets of 2048 data bytes a page; the file has 2112 a page
    first = start / host::kNandPageBytes * host::kNandRawPageBytes;
    end = (end + host::kNandPageBytes - 1) / host::kNandPageBytes * host::kNandRawPageBytes;
  }
  for (std::uint64_t piece = first / kPiece; piece < piece_count && piece * kPiece < end; ++piece) {
    changed_pieces[piece] = 1;
  }
}

// Reads the whole of `file` into `text` (reusing its memory); false when it cannot be read.
inline bool ReadWhole(const fs::path& file, std::string& text) {
  int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (ok) {
    text.resize(static_cast<std::size_t>(st.st_size));
    std::size_t done = 0;
    while (done < text.size()) {
      ssize_t n = read(fd, text.data() + done, text.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    ok = done == text.size();
  }
  close(fd);
  return ok;
}

// True when `file` holds exactly `text`. Compared through a mapping: this process forks a run
// for every cut, after which every page it writes is first copied, so it reads no file into
// its own memory.
inline bool SameFile(const fs::path& file, const std::string& text) {
  int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool same = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
              static_cast<std::uint64_t>(st.st_size) == text.size();
  if (same && !text.empty()) {
    void* p = mmap(nullptr, text.size(), PROT_READ, MAP_SHARED, fd, 0);
    same = p != MAP_FAILED && std::memcmp(p, text.data(), text.size()) == 0;
    if (p != MAP_FAILED) munmap(p, text.size());
  }
  close(fd);
  return same;
}

inline void WriteWhole(const fs::path& file, const std::string& text) {
  int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  bool ok = fd >= 0;
  for (std::size_t done = 0; ok && done < text.size();) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    ok = n > 0;
    if (ok) done += static_cast<std::size_t>(n);
  }
  if (fd >= 0) close(fd);
  if (!ok) throw std::runtime_error("cannot write " + file.string());
}

// A module directory that runs change and that is put back to its template between them: the
// flash image's changed pieces are copied back, every other file (the weak and wear files, the
// program counters, boot.log, ram/ ...) is compared with the template's and rewritten when it
// differs, and what the template does not have is removed. A cut costs what the runs changed,
// not a copy of a 138 MB module.
class ModuleCopy {
 public:
  ModuleCopy(const fs::path& base, const fs::path& dir, const char* image_name)
      : dir_(dir), image_name_(image_name) {
    fs::remove_all(dir_);
    fs::copy(base, dir_, fs::copy_options::recursive);
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(base)) {
      Entry kept{entry.path().lexically_relative(base), entry.is_directory(), {}};
      kept.read_only = *kept.relative.begin() == "fs";
      if (kept.relative == image_name_) continue;
      if (!kept.folder && !ReadWhole(entry.path(), kept.text)) {
        throw std::runtime_error("cannot read " + entry.path().string());
      }
      names_.insert(kept.relative);
      entries_.push_back(std::move(kept));
    }
    image_size_ = fs::file_size(base / image_name_);
    int fd = open((base / image_name_).c_str(), O_RDONLY | O_CLOEXEC);
    void* p = fd < 0 ? MAP_FAILED : mmap(nullptr, image_size_, PROT_READ, MAP_SHARED, fd, 0);
    if (fd >= 0) close(fd);
    if (p == MAP_FAILED) throw std::runtime_error("cannot map the template's flash image");
    base_image_ = static_cast<const std::uint8_t*>(p);
    piece_count = static_cast<std::size_t>((image_size_ + kPiece - 1) / kPiece);
    void* pieces =
        mmap(nullptr, piece_count, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (pieces == MAP_FAILED) throw std::runtime_error("cannot map the record of changes");
    changed_pieces = static_cast<std::uint8_t*>(pieces);
    host::SetFlashChangeObserver(NoteChange);
  }
  ~ModuleCopy() {
    host::SetFlashChangeObserver(nullptr);
    munmap(const_cast<std::uint8_t*>(base_image_), image_size_);
    munmap(changed_pieces, piece_count);
    changed_pieces = nullptr;
    piece_count = 0;
  }
  ModuleCopy(const ModuleCopy&) = delete;
  ModuleCopy& operator=(const ModuleCopy&) = delete;

  void Restore() {
    int fd = open((dir_ / image_name_).c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("cannot open the module's flash image");
    for (std::size_t piece = 0; piece < piece_count; ++piece) {
      if (!changed_pieces[piece]) continue;
      const std::uint64_t at = piece * kPiece;
      const std::size_t n = static_cast<std::size_t>(std::min(kPiece, image_size_ - at));
      if (pwrite(fd, base_image_ + at, n, static_cast<off_t>(at)) != static_cast<ssize_t>(n)) {
        close(fd);
        throw std::runtime_error("cannot write the module's flash image");
      }
      changed_pieces[piece] = 0;
    }
    close(fd);
    // What the runs added goes; what they removed or changed comes back.
    std::vector<fs::path> extra;
    for (auto it = fs::recursive_directory_iterator(dir_); it != fs::recursive_directory_iterator();
         ++it) {
      fs::path relative = it->path().lexically_relative(dir_);
      if (relative == image_name_ || names_.count(relative)) continue;
      extra.push_back(it->path());
      if (it->is_directory()) it.disable_recursion_pending();
    }
    for (const fs::path& path : extra) fs::remove_all(path);
    for (Entry& entry : entries_) {
      const fs::path path = dir_ / entry.relative;
      if (entry.folder) {
        if (!fs::is_directory(path)) {
          fs::remove_all(path);
          fs::create_directories(path);
        }
        continue;
      }
      // The module's file system (fs/) is read-only to the program: a file there that is the
      // one this copy wrote, untouched since, is not read again.
      struct stat now {};
      const bool kept = entry.read_only && stat(path.c_str(), &now) == 0 &&
                        now.st_ino == entry.written.st_ino &&
                        now.st_size == entry.written.st_size &&
                        now.st_mtim.tv_sec == entry.written.st_mtim.tv_sec &&
                        now.st_mtim.tv_nsec == entry.written.st_mtim.tv_nsec &&
                        now.st_ctim.tv_sec == entry.written.st_ctim.tv_sec &&
                        now.st_ctim.tv_nsec == entry.written.st_ctim.tv_nsec;
      if (kept) continue;
      if (!SameFile(path, entry.text)) {
        if (fs::is_directory(path)) fs::remove_all(path);
        WriteWhole(path, entry.text);
      }
      if (entry.read_only) stat(path.c_str(), &entry.written);
    }
  }

  /// True when the module's files are byte for byte the template's (a check of Restore).
  bool SameAsTemplate() {
    std::size_t files = 0;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(dir_)) {
      (void)entry;
      ++files;
    }
    if (files != entries_.size() + 1) return false;
    for (const Entry& entry : entries_) {
      const fs::path path = dir_ / entry.relative;
      if (entry.folder ? !fs::is_directory(path) : !SameFile(path, entry.text)) {
        return false;
      }
    }
    int fd = open((dir_ / image_name_).c_str(), O_RDONLY | O_CLOEXEC);
    void* image = fd < 0 ? MAP_FAILED : mmap(nullptr, image_size_, PROT_READ, MAP_SHARED, fd, 0);
    if (fd >= 0) close(fd);
    if (image == MAP_FAILED || fs::file_size(dir_ / image_name_) != image_size_) return false;
    const bool same = std::memcmp(image, base_image_, image_size_) == 0;
    munmap(image, image_size_);
    return same;
  }

 private:
  struct Entry {
    fs::path relative;
    bool folder;
    std::string text;
    bool read_only = false;  // under fs/
    struct stat written {};  // read_only: the file as Restore last saw it right
  };

  fs::path dir_;
  fs::path image_name_;
  std::vector<Entry> entries_;  // everything of the template but its flash image
  std::set<fs::path> names_;
  std::uint64_t image_size_ = 0;
  const std::uint8_t* base_image_ = nullptr;
};

}  // namespace campaign

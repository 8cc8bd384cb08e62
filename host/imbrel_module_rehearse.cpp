// imbrel-module rehearse: the program's quiet update of a BIN image run on a throwaway copy of
// a module, and a report of what it did and what it leaves: the outcome, the module time,
// the blocks it erased and programmed, the bad blocks it met, the bytes outside the image's
// blocks it changed, the wear, and what the next start runs. With --cuts, the power fails at
// points spread over the update, each on a fresh copy, and the module is started (and
// updated again) after each.
//
// The copy: the module's small files (module.toml, the wear, weak and program-count files,
// ram/, fs/) go into a work directory; its flash image is not copied but mapped copy-on-write
// from the module's own file by each run, a process forked for it (Module::OpenPrivate). A
// run's changes live in its memory and end with it, so every run starts from the module as
// it is, and the module's directory is never written. A run cut by the power hands the pieces
// of the flash it changed to the run after the restart through a file of the work directory.

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <toml++/toml.h>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <set>
#include <sstream>

#include "flash/flash_ops.h"
#include "host/bin_image.h"
#include "host/hardware/flash_activity.h"
#include "host/hardware/virtual_clock.h"
#include "host/imbrel_module_commands.h"
#include "host/module/flash_file.h"
#include "host/module/flash_map.h"
#include "host/module/module.h"
#include "host/module/module_boot.h"
#include "host/module/nand_logical.h"
#include "host/oal/registry_flash.h"
#include "host/tool_support.h"

namespace fs = std::filesystem;

namespace host {

namespace {

constexpr char16_t kCeImage[] = u"\\imbrel-rehearsal.bin";
constexpr char kHostImage[] = "imbrel-rehearsal.bin";

// Exit statuses of a run's process, beside kPowerCutStatus.
constexpr int kRunDone = 0;
constexpr int kRunBroken = 20;  // the run itself failed (a module file); its report says why

const char* ImageName(const ModuleConfig& config) {
  return config.flash == FlashKind::kNand ? "nand.img" : "nor.img";
}

// Every regular file of `dir` (relative name -> bytes and modification time) and its
// folders: the state each run starts from.
struct SnapshotFile {
  std::string bytes;
  timespec mtime;
};
struct Snapshot {
  std::map<fs::path, SnapshotFile> files;
  std::set<fs::path> folders;
};

std::string ReadAll(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteAll(const fs::path& file, const std::string& text) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) throw ModuleError(file.string() + ": cannot write");
}

Snapshot TakeSnapshot(const fs::path& dir) {
  Snapshot s;
  for (const fs::directory_entry& e : fs::recursive_directory_iterator(dir)) {
    const fs::path name = e.path().lexically_relative(dir);
    struct stat st;
    if (e.is_directory()) {
      s.folders.insert(name);
    } else if (e.is_regular_file() && stat(e.path().c_str(), &st) == 0) {
      s.files[name] = {ReadAll(e.path()), st.st_mtim};
    }
  }
  return s;
}

// Whether `name` (relative to a module directory) is one of the files the models map: the
// wear, weak, lock and program-count files, or in ram/.
bool ModelFile(const fs::path& name) {
  const std::string base = name.filename().string();
  return *name.begin() == "ram" || base == "nand.programs" || base.ends_with(".erases") ||
         base.ends_with(".weak") || base == "nor.locks";
}

// Puts `dir` back to `s`: files that differ are written again and get their time back, files
// and folders it did not have are removed. A file the runs write by its name, whose size and
// time are the snapshot's, is taken as unchanged; the files the models map are always
// compared, as a store through a mapping does not always give its file a new time. Without
// `model_files`, those and ram/ are left as they are (for a run that writes them whole).
void Restore(const fs::path& dir, const Snapshot& s, bool model_files = true) {
  std::vector<fs::path> extra;
  for (fs::recursive_directory_iterator it(dir), end; it != end; ++it) {
    const fs::path name = it->path().lexically_relative(dir);
    if (!model_files && ModelFile(name)) {
      if (it->is_directory()) it.disable_recursion_pending();
      continue;
    }
    if (it->is_directory() ? !s.folders.count(name) : !s.files.count(name)) extra.push_back(name);
  }
  for (const fs::path& name : extra) fs::remove_all(dir / name);
  for (const fs::path& folder : s.folders) fs::create_directories(dir / folder);
  for (const auto& [name, file] : s.files) {
    const fs::path path = dir / name;
    const bool mapped = ModelFile(name);
    if (mapped && !model_files) continue;
    struct stat st;
    if (!mapped && stat(path.c_str(), &st) == 0 &&
        static_cast<std::size_t>(st.st_size) == file.bytes.size() &&
        st.st_mtim.tv_sec == file.mtime.tv_sec && st.st_mtim.tv_nsec == file.mtime.tv_nsec) {
      continue;
    }
    if (ReadAll(path) != file.bytes) WriteAll(path, file.bytes);
    const timespec times[2] = {{0, UTIME_OMIT}, file.mtime};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
  }
}

// The work directory: the module's files but its flash image, and the image to rehearse in
// its file system. Removed when the rehearsal ends.
class Workspace {
 public:
  Workspace(const fs::path& module, const ModuleConfig& config, const std::string& bin) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        (fs::path(tmp && *tmp ? tmp : "/tmp") / "imbrel-rehearse-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw ModuleError(pattern + ": cannot create");
    root_ = pattern;
    dir_ = root_ / "module";
    fs::create_directory(dir_);
    for (const fs::directory_entry& e : fs::directory_iterator(module)) {
      const fs::path name = e.path().filename();
      if (name == ImageName(config)) continue;
      fs::copy(e.path(), dir_ / name,
               fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    }
    fs::create_directories(dir_ / "fs");
    WriteAll(dir_ / "fs" / kHostImage, bin);
  }
  ~Workspace() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  Workspace(const Workspace&) = delete;
  Workspace& operator=(const Workspace&) = delete;
  const fs::path& dir() const { return dir_; }
  fs::path File(const char* name) const { return root_ / name; }

 private:
  fs::path root_, dir_;
};

// ---- Ctrl-C ------------------------------------------------------------------------------------
//
// Ctrl-C (or a TERM or a HUP) ends a rehearsal and takes the work copy with it. The runs keep
// the default and end at once; the rehearsal notes it, leaves the wait it is in and unwinds.

volatile std::sig_atomic_t interrupted = 0;
extern "C" void NoteInterrupt(int) { interrupted = 1; }

struct Interrupted {};
void ThrowIfInterrupted() {
  if (interrupted) throw Interrupted{};
}

constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
// How the rehearsal found them: a signal its caller ignores (nohup, a script's background job)
// stays ignored, in the rehearsal and in its runs.
struct sigaction signals_found[std::size(kEndingSignals)];

// In a process forked for a run: the signals as the rehearsal found them.
void DefaultSignals() {
  for (std::size_t i = 0; i < std::size(kEndingSignals); ++i) {
    sigaction(kEndingSignals[i], &signals_found[i], nullptr);
  }
}

class InterruptHandlers {
 public:
  InterruptHandlers() {
    interrupted = 0;
    struct sigaction note = {};
    note.sa_handler = NoteInterrupt;  // no SA_RESTART: a wait ends
    sigemptyset(&note.sa_mask);
    // A run that ended leaves its pipe without a reader: an error, not the end of this process.
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    for (std::size_t i = 0; i < std::size(kEndingSignals); ++i) {
      sigaction(kEndingSignals[i], nullptr, &signals_found[i]);
      if (kEndingSignals[i] == SIGPIPE) {
        sigaction(SIGPIPE, &ignore, nullptr);
      } else if (signals_found[i].sa_handler != SIG_IGN) {
        sigaction(kEndingSignals[i], &note, nullptr);
      }
    }
  }
  ~InterruptHandlers() {
    for (std::size_t i = 0; i < std::size(kEndingSignals); ++i) {
      sigaction(kEndingSignals[i], &signals_found[i], nullptr);
    }
  }
  InterruptHandlers(const InterruptHandlers&) = delete;
  InterruptHandlers& operator=(const InterruptHandlers&) = delete;
};

// A process for the rehearsal's runs, as fork answers: in the child, the signals as the
// rehearsal found them and the output into `log`.
pid_t ForkInto(const fs::path& log) {
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    DefaultSignals();
    int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
      dup2(fd, STDOUT_FILENO);
      dup2(fd, STDERR_FILENO);
      close(fd);
    }
  }
  return pid;
}

// Runs `body` in a forked process, its output into `log`; the process's exit status, or 128 +
// the signal that ended it.
template <typename Body>
int Fork(const fs::path& log, Body body) {
  const pid_t pid = ForkInto(log);
  if (pid < 0) throw ModuleError("cannot start a run: fork failed");
  if (pid == 0) {
    int status = kRunBroken;
    try {
      status = body();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "%s\n", e.what());
    }
    std::fflush(nullptr);
    std::_Exit(status);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  ThrowIfInterrupted();
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// A process that holds the module open as every run begins: each run is a fork of it, so no
// run opens the module or sets up the program's host again. It takes a command on a pipe,
// runs `body` on the module in a fork of itself, and answers the fork's exit status.
struct RunCommand {
  char kind = 0;  // 'A': the run that is cut; 'B': the run after the restart; 'Q': quit
  std::uint64_t operation = 0;
  int landed = 0;
};

class Zygote {
 public:
  using Body = std::function<int(Module&, const RunCommand&)>;
  using Prepare = std::function<void(Module&)>;
  // `prepare` runs once on the module as it opens, in the process the runs are forked from.
  Zygote(const fs::path& log, const fs::path& dir, const ModuleConfig& config,
         const fs::path& original, Body body, Prepare prepare = nullptr) {
    int to[2], from[2];
    if (pipe(to) != 0 || pipe(from) != 0) throw ModuleError("cannot start the runs: pipe failed");
    pid_ = ForkInto(log);
    if (pid_ < 0) throw ModuleError("cannot start the runs: fork failed");
    if (pid_ == 0) {
      close(to[1]);
      close(from[0]);
      std::unique_ptr<Module> module;
      try {
        module = Module::OpenPrivate(dir, config, original);
        try {
          if (prepare) prepare(*module);
        } catch (const std::exception& e) {
          std::fprintf(stderr, "%s\n", e.what());  // the runs go on without it
        }
      } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        module.reset();
      }
      // Open (or not), before anyone touches the directory again.
      const int opened = module ? kRunDone : kRunBroken;
      std::fflush(nullptr);
      if (write(from[1], &opened, sizeof opened) != sizeof opened || !module) std::_Exit(0);
      for (RunCommand command; read(to[0], &command, sizeof command) == sizeof command;) {
        if (command.kind == 'Q') break;
        int status = kRunBroken;
        if (module) {
          std::fflush(nullptr);
          pid_t run = fork();
          if (run == 0) {
            close(to[0]);
            close(from[1]);
            int result = kRunBroken;
            try {
              result = body(*module, command);
            } catch (const std::exception& e) {
              std::fprintf(stderr, "%s\n", e.what());
            }
            std::fflush(nullptr);
            std::_Exit(result);
          }
          int raw = 0;
          while (run > 0 && waitpid(run, &raw, 0) < 0 && errno == EINTR) {
          }
          status = run < 0 ? kRunBroken : WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        }
        if (write(from[1], &status, sizeof status) != sizeof status) break;
      }
      std::fflush(nullptr);
      std::_Exit(0);
    }
    close(to[0]);
    close(from[1]);
    to_ = to[1];
    from_ = from[0];
    int opened = kRunBroken;
    if (read(from_, &opened, sizeof opened) != sizeof opened || opened != kRunDone) {
      const std::string text = ReadAll(log);
      close(to_);
      close(from_);
      int raw = 0;
      while (waitpid(pid_, &raw, 0) < 0 && errno == EINTR) {
      }
      ThrowIfInterrupted();
      throw ModuleError("the runs cannot open the module: " +
                        text.substr(text.size() > 400 ? text.size() - 400 : 0));
    }
  }
  ~Zygote() {
    RunCommand quit;
    quit.kind = 'Q';
    if (write(to_, &quit, sizeof quit) != sizeof quit) kill(pid_, SIGKILL);
    close(to_);
    close(from_);
    int raw = 0;
    while (waitpid(pid_, &raw, 0) < 0 && errno == EINTR) {
    }
  }
  Zygote(const Zygote&) = delete;
  Zygote& operator=(const Zygote&) = delete;

  int Run(const RunCommand& command) {
    int status = kRunBroken;
    if (write(to_, &command, sizeof command) != sizeof command ||
        read(from_, &status, sizeof status) != sizeof status) {
      ThrowIfInterrupted();
      throw ModuleError("the process that holds the module for the runs ended");
    }
    ThrowIfInterrupted();
    return status;
  }

 private:
  pid_t pid_ = -1;
  int to_ = -1, from_ = -1;
};

// ---- What one run saw --------------------------------------------------------------------------

std::vector<std::uint32_t> EraseCounts(const fs::path& dir, const ModuleConfig& config) {
  const std::string bytes =
      ReadAll(dir / (config.flash == FlashKind::kNand ? "nand.erases" : "nor.erases"));
  std::vector<std::uint32_t> counts(bytes.size() / 4);
  if (!counts.empty()) std::memcpy(counts.data(), bytes.data(), counts.size() * 4);
  return counts;
}

std::vector<std::string> Lines(const fs::path& file) {
  std::vector<std::string> lines;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

toml::array Added(const std::vector<std::string>& before, const std::vector<std::string>& after) {
  toml::array added;
  for (std::size_t i = before.size(); i < after.size(); ++i) added.push_back(after[i]);
  return added;
}

std::string LastPowerCut(const fs::path& dir) {
  std::string last;
  for (const std::string& line : Lines(dir / "boot.log")) {
    if (line.rfind("power cut", 0) == 0) last = line;
  }
  const std::size_t open = last.find('(');
  const std::size_t close = last.rfind(')');
  return open != std::string::npos && close > open ? last.substr(open + 1, close - open - 1) : last;
}

// The erase blocks of the flash, as physical offsets: NAND's 128 KB blocks, the NOR bus's
// blocks (both chips side by side).
struct BlockLayout {
  std::vector<std::uint64_t> starts;  // ascending; the last block ends at `end`
  std::uint64_t end = 0;
  std::size_t Index(std::uint64_t offset) const {
    return static_cast<std::size_t>(std::upper_bound(starts.begin(), starts.end(), offset) -
                                    starts.begin()) -
           1;
  }
};

BlockLayout Layout(Module& module) {
  BlockLayout layout;
  if (module.config().flash == FlashKind::kNand) {
    const std::uint64_t block = std::uint64_t{kNandPagesPerBlock} * kNandPageBytes;
    const std::uint64_t count = module.image_size() / (block / kNandPageBytes * kNandRawPageBytes);
    for (std::uint64_t b = 0; b < count; ++b) layout.starts.push_back(b * block);
    layout.end = count * block;
  } else {
    for (const NorBlock& b : module.nor()->Blocks()) layout.starts.push_back(b.offset);
    layout.end = module.image_size();
  }
  return layout;
}

// Blocks as "3-7, 12" (block numbers) and their count.
std::string BlockList(const std::set<std::size_t>& blocks) {
  std::string text;
  for (auto it = blocks.begin(); it != blocks.end();) {
    std::size_t first = *it, last = *it;
    while (++it != blocks.end() && *it == last + 1) last = *it;
    if (!text.empty()) text += ", ";
    text += std::to_string(first) + (last > first ? "-" + std::to_string(last) : "");
  }
  return text.empty() ? "none" : text;
}

// The logical offset each physical block holds now (NAND, through the table), or the block
// itself (NOR); nullopt for NAND blocks that hold none (the reserve, the table's).
std::vector<std::optional<std::uint64_t>> LogicalOfBlocks(Module& module,
                                                          const BlockLayout& layout) {
  std::vector<std::optional<std::uint64_t>> logical(layout.starts.size());
  if (module.config().flash == FlashKind::kNand) {
    NandLogicalView view(module.image(), static_cast<std::uint32_t>(layout.starts.size()));
    const std::vector<std::uint32_t> map = view.Map();
    for (std::size_t l = 0; l < map.size(); ++l) {
      if (map[l] < logical.size()) logical[map[l]] = std::uint64_t{l} * kNandBlockBytes;
    }
  } else {
    for (std::size_t b = 0; b < layout.starts.size(); ++b) logical[b] = layout.starts[b];
  }
  return logical;
}

// Names of the regions that the blocks hold.
toml::array RegionsOf(const std::set<std::size_t>& blocks,
                      const std::vector<std::optional<std::uint64_t>>& logical,
                      const std::vector<FlashRegion>& regions) {
  std::set<std::string> names;
  for (std::size_t b : blocks) {
    if (!logical[b]) {
      names.insert("reserve");
      continue;
    }
    for (const FlashRegion& r : regions) {
      if (*logical[b] >= r.start && *logical[b] < r.end) names.insert(r.name);
    }
  }
  toml::array list;
  for (const std::string& n : names) list.push_back(n);
  return list;
}

// Bytes of the logical flash outside [from, to) that differ between the module as it was (its
// own image file) and as the run left it: the count, and the first one's offset. The chips
// change no cell but in the operations kept, so only the logical blocks that lie, before or
// after, on a block those touched can differ (on NAND, a block the table moved as well).
std::pair<std::uint64_t, std::optional<std::uint64_t>> ChangedOutside(
    const fs::path& original, Module& module, const BlockLayout& layout,
    const std::set<std::size_t>& touched, std::uint64_t from, std::uint64_t to) {
  const ModuleConfig& config = module.config();
  FlashFile before(original.parent_path(), config);  // not this process's module: the file
  FlashFile after(module.dir(), config);
  // The logical ranges to compare.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
  if (before.nand() && after.nand()) {
    const std::vector<std::uint32_t> was = before.nand()->Map(), now = after.nand()->Map();
    for (std::size_t l = 0; l < was.size() && l < now.size(); ++l) {
      if (was[l] != now[l] || touched.count(was[l]) || touched.count(now[l])) {
        ranges.push_back({std::uint64_t{l} * kNandBlockBytes, (l + 1) * kNandBlockBytes});
      }
    }
  } else {
    for (std::size_t b : touched) {
      ranges.push_back(
          {layout.starts[b], b + 1 < layout.starts.size() ? layout.starts[b + 1] : layout.end});
    }
  }
  std::uint64_t count = 0;
  std::optional<std::uint64_t> first;
  for (const auto& [start, end] : ranges) {
    if (start >= from && end <= to) continue;
    const std::vector<std::uint8_t> a = before.Read(start, static_cast<std::size_t>(end - start));
    const std::vector<std::uint8_t> b = after.Read(start, static_cast<std::size_t>(end - start));
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
      const std::uint64_t offset = start + i;
      if ((offset >= from && offset < to) || a[i] == b[i]) continue;
      if (!first || offset < *first) first = offset;
      ++count;
    }
  }
  return {count, first};
}

// What a start of the flash as it stands runs, and the registry in force.
toml::table NextStart(Module& module) {
  const ModuleConfig& config = module.config();
  FlashFile flash(module.dir(), config);
  const BootVerdict verdict = ExamineBoot(flash, config);
  toml::table start{{"starts", verdict.Starts()}};
  if (!verdict.Starts()) start.insert("problem", verdict.problem);
  if (verdict.bootloader) {
    start.insert("bootloader", DescribeBootImage(*verdict.bootloader, config));
  }
  if (verdict.os) start.insert("runs", DescribeBootImage(*verdict.os, config));
  std::optional<RegistryCopy> copy;
  if (std::optional<RegistryArea> area = RegistryAreaOf(config.platform, flash.size())) {
    copy = NewestRegistryCopy(FlashFile::ReadFn, &flash, *area);
  }
  start.insert("registry", DescribeRegistryCopy(copy));
  return start;
}

// The pieces of the flash image a run changed, kept so that a run cut by the power can hand
// them on: one flag for each 4 KB page of the image file.
constexpr std::uint64_t kPiece = 4096;
std::vector<std::uint8_t>* changed_pieces = nullptr;
Module* cut_module = nullptr;
fs::path cut_pieces_file;

void NoteChangedPiece(std::uint64_t start, std::uint64_t length, bool nand) {
  std::uint64_t first = start, end = start + length;
  if (nand) {  // physical offsets of 2048 data bytes a page; the file has 2112 a page
    first = start / kNandPageBytes * kNandRawPageBytes;
    end = (end + kNandPageBytes - 1) / kNandPageBytes * kNandRawPageBytes;
  }
  for (std::uint64_t p = first / kPiece; p < changed_pieces->size() && p * kPiece < end; ++p) {
    (*changed_pieces)[p] = 1;
  }
}

// At the end of a run cut by the power: each run of changed pieces into the file, as its
// offset, its length and its bytes.
// False when the file could not be written whole: the run after the restart would see another
// flash.
bool WriteWhole(int fd, const void* bytes, std::uint64_t count) {
  for (std::uint64_t done = 0; done < count;) {
    const ssize_t n = write(fd, static_cast<const std::uint8_t*>(bytes) + done, count - done);
    if (n <= 0) return false;
    done += static_cast<std::uint64_t>(n);
  }
  return true;
}

bool SaveChangedPieces() {
  if (!changed_pieces || !cut_module) return false;
  int fd = open(cut_pieces_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const std::uint64_t size = cut_module->image_size();
  const std::vector<std::uint8_t>& changed = *changed_pieces;
  for (std::uint64_t p = 0; p < changed.size();) {
    if (!changed[p]) {
      ++p;
      continue;
    }
    const std::uint64_t first = p;
    while (p < changed.size() && changed[p]) ++p;
    const std::uint64_t at[2] = {first * kPiece, std::min(p * kPiece, size) - first * kPiece};
    if (!WriteWhole(fd, at, sizeof at) || !WriteWhole(fd, cut_module->image() + at[0], at[1])) {
      close(fd);
      return false;
    }
  }
  return close(fd) == 0;
}

// At the end of a run cut by the power (quick_exit): the pieces, or the run failed.
void SaveChangedPiecesAtCut() {
  if (!SaveChangedPieces()) {
    std::fprintf(stderr, "cannot write %s\n", cut_pieces_file.c_str());
    std::fflush(stderr);
    std::_Exit(kRunBroken);
  }
}

// The pieces a cut run saved, put into this run's flash; the ranges of the image file they
// cover.
using Ranges = std::vector<std::pair<std::uint64_t, std::uint64_t>>;  // [first, end)
Ranges ApplyChangedPieces(Module& module, const fs::path& file) {
  Ranges applied;
  int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw ModuleError(file.string() + ": cannot read the pieces the cut left");
  const std::uint64_t size = module.image_size();
  for (std::uint64_t at[2]; read(fd, at, sizeof at) == sizeof at;) {
    if (at[0] >= size || at[1] > size - at[0]) {
      close(fd);
      throw ModuleError(file.string() + ": a piece outside the flash image");
    }
    applied.push_back({at[0], at[0] + at[1]});
    // The pages made writable in one call rather than one fault each.
    const std::uint64_t page = at[0] / kPiece * kPiece;
    madvise(module.image() + page, at[0] + at[1] - page, MADV_POPULATE_WRITE);
    for (std::uint64_t done = 0; done < at[1];) {
      const ssize_t n = read(fd, module.image() + at[0] + done, at[1] - done);
      if (n <= 0) {
        close(fd);
        throw ModuleError(file.string() + ": a piece cut short");
      }
      done += static_cast<std::uint64_t>(n);
    }
  }
  close(fd);
  return applied;
}

// A start's scan of the registry area reads every step of it: a few hundred pages a run
// touches for the first time. The process the runs are forked from scans once, and a run
// whose flash holds the same bytes in the pages the scan reads hands that to its start.
struct RegistryScan {
  RegistryArea area;
  std::optional<RegistryCopy> copy;
  Ranges read;  // the ranges of the image file the scan reads
};
std::optional<RegistryScan> known_scan;

// The ranges of the image file behind the logical range [first, end) of `flash`, merged.
Ranges ImageRanges(const FlashFile& flash, std::uint64_t first, std::uint64_t end) {
  Ranges ranges;
  auto add = [&](std::uint64_t from, std::uint64_t to) {
    if (!ranges.empty() && ranges.back().second == from) {
      ranges.back().second = to;
    } else {
      ranges.push_back({from, to});
    }
  };
  if (!flash.nand()) {
    add(first, end);
    return ranges;
  }
  for (std::uint64_t at = first / kNandPageBytes * kNandPageBytes; at < end; at += kNandPageBytes) {
    // A page with no physical page reads erased, from no cells: the end of the file marks it.
    const std::optional<std::uint32_t> page =
        flash.nand()->PhysicalPage(static_cast<std::uint32_t>(at / kNandPageBytes));
    const std::uint64_t raw = page ? std::uint64_t{*page} * kNandRawPageBytes : ~0ull;
    add(raw, page ? raw + kNandRawPageBytes : raw);
  }
  return ranges;
}

std::optional<RegistryScan> ScanRegistry(Module& module) {
  const FlashFile flash(module.dir(), module.config());
  const std::optional<RegistryArea> area = RegistryAreaOf(module.config().platform, flash.size());
  if (!area) return std::nullopt;
  RegistryScan scan{*area,
                    NewestRegistryCopy(FlashFile::ReadFn, const_cast<FlashFile*>(&flash), *area),
                    ImageRanges(flash, area->start, area->start + 2ull * area->half)};
  return scan;
}

// Hands the known scan to the next start when `changed` (the ranges of the image file this
// run changed since the scan) misses every page it read and the same pages hold the area.
void KnowRegistryIfUnchanged(Module& module, const Ranges& changed) {
  if (!known_scan) return;
  const FlashFile flash(module.dir(), module.config());
  const RegistryArea& area = known_scan->area;
  if (ImageRanges(flash, area.start, area.start + 2ull * area.half) != known_scan->read) return;
  for (const auto& [first, end] : changed) {
    for (const auto& [from, to] : known_scan->read) {
      if (first < to && from < end) return;
    }
  }
  KnowRegistryCopy(area, known_scan->copy);
}

// The uncut rehearsal, in its own process: the update, then everything the report says.
toml::table RehearseOnce(const fs::path& original, const fs::path& work, const ModuleConfig& config,
                         const BinImage& bin, const RehearseArgs& args) {
  auto module = Module::OpenPrivate(work, config, original);
  toml::table report;
  if (std::optional<std::string> why = StartModule(*module)) {
    report.insert("succeeded", false);
    report.insert("outcome", "the module does not start: " + *why);
    report.insert("next_start", NextStart(*module));
    return report;
  }
  const bool nand = config.flash == FlashKind::kNand;
  const BlockLayout layout = Layout(*module);
  const std::vector<std::uint32_t> erases_before = EraseCounts(work, config);
  const std::vector<std::string> rules_before = Lines(work / "nand.rules");
  const std::vector<std::string> unknown_before = Lines(work / "unknown.commands");
  std::vector<NandRelocation> table_before;
  if (nand) {
    table_before =
        NandLogicalView(module->image(), static_cast<std::uint32_t>(layout.starts.size())).Table();
  }

  KeepFlashOperations(true);
  ForgetFlashActivity();
  const std::uint64_t operations_before = module->power().Operations();
  const std::uint64_t clock_before = ClockNow();
  const auto host_before = std::chrono::steady_clock::now();
  const std::string error = RunQuietUpdate(kCeImage);
  const double host_seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - host_before).count();
  const std::uint64_t module_ns = ClockNow() - clock_before;
  const std::vector<FlashOperation> operations = FlashOperationsKept();
  KeepFlashOperations(false);

  report.insert("succeeded", error.empty());
  report.insert("outcome", error.empty() ? "update done" : error);
  report.insert("operations",
                static_cast<std::int64_t>(module->power().Operations() - operations_before));

  // Module time: spans in which the chips erased or programmed, the rest the driver's.
  std::uint64_t erase_ns = 0, program_ns = 0;
  for (bool erase : {true, false}) {
    std::uint64_t covered = 0, until = 0;
    for (const FlashOperation& op : operations) {
      if (op.erase != erase) continue;
      const std::uint64_t end = op.at_ns + op.busy_ns;
      if (end <= until) continue;
      covered += end - std::max(op.at_ns, until);
      until = end;
    }
    (erase ? erase_ns : program_ns) = covered;
  }
  report.insert("time", toml::table{{"module_ns", static_cast<std::int64_t>(module_ns)},
                                    {"erase_ns", static_cast<std::int64_t>(erase_ns)},
                                    {"program_ns", static_cast<std::int64_t>(program_ns)},
                                    {"host_seconds", host_seconds}});

  // What it touched, and the regions the blocks hold.
  std::set<std::size_t> erased, programmed, touched;
  std::uint64_t programmed_bytes = 0;
  for (const FlashOperation& op : operations) {
    (op.erase ? erased : programmed).insert(layout.Index(op.start));
    touched.insert(layout.Index(op.start));
    if (!op.erase) programmed_bytes += op.length;
  }
  const std::vector<std::optional<std::uint64_t>> logical = LogicalOfBlocks(*module, layout);
  const std::vector<FlashRegion> regions = FlashRegionsOf(config, FlashFile(work, config));
  const FlashActivity activity = FlashActivityOfRun();
  report.insert("erased", toml::table{{"blocks", static_cast<std::int64_t>(erased.size())},
                                      {"list", BlockList(erased)},
                                      {"ranges", activity.erased.Describe(12)},
                                      {"regions", RegionsOf(erased, logical, regions)}});
  report.insert("programmed", toml::table{{"blocks", static_cast<std::int64_t>(programmed.size())},
                                          {"bytes", static_cast<std::int64_t>(programmed_bytes)},
                                          {"list", BlockList(programmed)},
                                          {"ranges", activity.programmed.Describe(12)},
                                          {"regions", RegionsOf(programmed, logical, regions)}});

  // Bad blocks: the entries the table gained, and the reserve left.
  if (nand) {
    NandLogicalView view(module->image(), static_cast<std::uint32_t>(layout.starts.size()));
    const std::vector<NandRelocation> table = view.Table();
    toml::array relocated;
    for (std::size_t i = table_before.size(); i < table.size(); ++i) {
      if (table[i].bad_block == 0) continue;
      relocated.push_back(toml::table{{"logical_block", table[i].bad_block},
                                      {"replacement", table[i].replacement}});
    }
    std::set<std::uint32_t> used;
    for (const NandRelocation& e : table) used.insert(e.replacement);
    toml::array factory;
    for (std::uint32_t b : config.nand.factory_bad_blocks) {
      if (erased.count(b) || programmed.count(b)) factory.push_back(static_cast<std::int64_t>(b));
    }
    report.insert(
        "bad_blocks",
        toml::table{{"relocated", std::move(relocated)},
                    {"factory_bad_met", std::move(factory)},
                    {"reserve", static_cast<std::int64_t>(view.Reserve())},
                    {"reserve_left", static_cast<std::int64_t>(view.Reserve() > used.size()
                                                                   ? view.Reserve() - used.size()
                                                                   : 0)}});
  }

  // Integrity: the image's blocks hold it, and nothing outside them changed.
  toml::table integrity;
  std::optional<BinComparison> compared;
  std::string unwritable;
  if (SelectFlashDriver()) {
    try {
      compared = CompareFlashWithBin(bin, args.bin);
    } catch (const UsageError& e) {
      unwritable = e.what();  // the updater refuses it: nothing of it to hold the flash to
    }
  }
  if (compared) {
    const BinComparison& c = *compared;
    integrity.insert("image_from", static_cast<std::int64_t>(c.from));
    integrity.insert("image_to", static_cast<std::int64_t>(c.to));
    integrity.insert("image_in_place", c.read_problem.empty() && c.differ == 0);
    integrity.insert("image_bytes_differ", static_cast<std::int64_t>(c.differ));
    if (c.differ) integrity.insert("image_first_difference", static_cast<std::int64_t>(c.first));
    if (!c.read_problem.empty()) integrity.insert("read_problem", c.read_problem);
    auto [changed, first] = ChangedOutside(original, *module, layout, touched, c.from, c.to);
    integrity.insert("changed_outside", static_cast<std::int64_t>(changed));
    if (first) integrity.insert("first_changed_outside", static_cast<std::int64_t>(*first));
  } else if (!unwritable.empty()) {
    // Nothing to hold the flash to: every byte that changed counts.
    auto [changed, first] = ChangedOutside(original, *module, layout, touched, 0, 0);
    integrity.insert("image_problem", unwritable);
    integrity.insert("changed_outside", static_cast<std::int64_t>(changed));
    if (first) integrity.insert("first_changed_outside", static_cast<std::int64_t>(*first));
  } else {
    integrity.insert("read_problem", "the flash driver does not start on the module it left");
  }
  integrity.insert("rules_added", Added(rules_before, Lines(work / "nand.rules")));
  integrity.insert("unknown_commands_added",
                   Added(unknown_before, Lines(work / "unknown.commands")));
  report.insert("integrity", std::move(integrity));

  // Wear.
  const std::vector<std::uint32_t> erases_after = EraseCounts(work, config);
  std::uint64_t added = 0, highest = 0, past = 0;
  for (std::size_t b = 0; b < erases_after.size(); ++b) {
    added += erases_after[b] - (b < erases_before.size() ? erases_before[b] : 0);
    highest = std::max<std::uint64_t>(highest, erases_after[b]);
    past += erases_after[b] > args.wear_limit;
  }
  report.insert("wear", toml::table{{"erases_added", static_cast<std::int64_t>(added)},
                                    {"highest", static_cast<std::int64_t>(highest)},
                                    {"limit", static_cast<std::int64_t>(args.wear_limit)},
                                    {"blocks_past_limit", static_cast<std::int64_t>(past)}});
  report.insert("next_start", NextStart(*module));

  // The timeline, for --svg: each operation's block, kind, start and length in module time.
  if (!args.svg_file.empty()) {
    std::ofstream out(work.parent_path() / "timeline.txt");
    for (const FlashOperation& op : operations) {
      out << layout.Index(op.start) << ' ' << op.erase << ' ' << op.at_ns - clock_before << ' '
          << op.busy_ns << '\n';
    }
    toml::array moved;
    if (const toml::array* relocated = report["bad_blocks"]["relocated"].as_array()) {
      for (const toml::node& e : *relocated) moved.push_back(*e.as_table()->get("replacement"));
    }
    report.insert("svg_replacements", std::move(moved));
  }
  return report;
}

// ---- Power cuts --------------------------------------------------------------------------------

enum class CutEnd { kInPlace, kNeedsUpdate, kBootloaderMenu, kDoesNotStart, kFinding, kNoCut };

struct CutOutcome {
  std::uint64_t operation = 0;
  int landed = 0;
  CutEnd end = CutEnd::kNoCut;
  std::string where, detail;
};

// One cut on a fresh copy: the update cut during `operation`, then the start (and the update
// again, unless no_retry), as the module lives through it.
// The run that is cut, on the module as the snapshot left it: the update until the power
// fails during `operation`, the pieces of the flash it changed saved as the process ends.
int CutRun(Module& module, const fs::path& pieces, std::uint64_t operation, int landed) {
  module.ReloadRam();  // ram/ as the snapshot has it, not as the last run left it
  static std::vector<std::uint8_t> flags;
  flags.assign((module.image_size() + kPiece - 1) / kPiece, 0);
  changed_pieces = &flags;
  cut_module = &module;
  cut_pieces_file = pieces;
  SetFlashChangeObserver(NoteChangedPiece);
  std::at_quick_exit(SaveChangedPiecesAtCut);
  module.power().ArmCut(operation, landed);
  RunQuietUpdate(kCeImage);
  return kRunDone;  // the update ended before the cut
}

// The run after the restart: the flash the cut left, a start, and (unless no_retry) the
// update again; what it leaves, as a line of `result`.
int RestartRun(Module& module, const fs::path& pieces, const fs::path& result,
               const ModuleConfig& config, const BinImage& bin, const RehearseArgs& args) {
  module.ReloadRam();          // the power cut emptied ram/: the controller's registers start at 0
  module.ReadLockBitsAgain();  // the cells as the cut left them
  KnowRegistryIfUnchanged(module, ApplyChangedPieces(module, pieces));
  std::ofstream out(result);
  // The table-page window: a cut between block 0's erase and its table page's program
  // leaves no relocation table, and the NAND driver would not start either.
  std::string table;
  if (config.flash == FlashKind::kNand) {
    const NandLogicalView view(module.image(),
                               static_cast<std::uint32_t>(NandVariantFor(config.nand.chip).blocks));
    if (!view.TableValid())
      table = "; and no relocation table page: the NAND driver does not start";
  }
  if (std::optional<std::string> why = StartModule(module)) {
    // A start reads the flash and changes none of it: whether a bootloader runs is as before.
    const BootVerdict boot = ExamineBoot(FlashFile(module.dir(), config), config);
    out << (boot.bootloader ? "menu\t" : "start\t") << *why << table;
    return kRunDone;
  }
  if (!table.empty()) {
    out << "update\tthe module starts" << table;
    return kRunDone;
  }
  std::string error;
  if (!args.no_retry) error = RunQuietUpdate(kCeImage);
  if (!SelectFlashDriver()) {
    out << "update\tthe flash driver no longer starts" << (error.empty() ? "" : ": " + error);
    return kRunDone;
  }
  // Read as the driver reads, from this run's flash without the controller's model time.
  const FlashFile flash(module.dir(), config);
  const BinComparison c = CompareFlashWithBin(
      bin, args.bin,
      [&](std::uint64_t offset, std::uint64_t count, std::uint8_t* data, std::string* problem) {
        if (flash.ReadChecked(offset, data, static_cast<std::size_t>(count))) return true;
        *problem = "a read of " + Hex(offset) + " + " + Hex(count) + " fails its ECC";
        return false;
      });
  const bool in_place = c.read_problem.empty() && c.differ == 0;
  const BootVerdict verdict = ExamineBoot(FlashFile(module.dir(), config), config);
  if (!verdict.Starts()) {
    out << (verdict.bootloader ? "menu\t" : "start\t") << verdict.problem;
  } else if (!args.no_retry && error.empty() && !in_place) {
    out << "finding\tthe update again reported success, but "
        << (c.read_problem.empty() ? std::to_string(c.differ) + " bytes of the image differ"
                                   : c.read_problem);
  } else if (in_place) {
    out << "ok\t";
  } else {
    out << "update\t" << (error.empty() ? "the image is not in place" : error);
  }
  return kRunDone;
}

// What the module does after the restart from the cut whose run left the work directory as
// the power left it: the start, and the update again, in a run of its own.
CutOutcome AfterCut(Zygote& runs, const Workspace& ws, std::uint64_t operation, int landed) {
  CutOutcome outcome{operation, landed, CutEnd::kNoCut, "", ""};
  outcome.where = LastPowerCut(ws.dir());
  const fs::path result = ws.File("cut.result");
  fs::remove(result);
  const int second = runs.Run({'B', 0, 0});
  const std::string text = ReadAll(result);
  const std::size_t tab = text.find('\t');
  const std::string kind = text.substr(0, tab);
  outcome.detail = tab == std::string::npos ? "" : text.substr(tab + 1);
  if (second != kRunDone || kind.empty()) {
    outcome.end = CutEnd::kFinding;
    outcome.detail = "the run after the restart crashed (" + std::to_string(second) + ")";
  } else if (kind == "ok") {
    outcome.end = CutEnd::kInPlace;
  } else if (kind == "update") {
    outcome.end = CutEnd::kNeedsUpdate;
  } else if (kind == "menu") {
    outcome.end = CutEnd::kBootloaderMenu;
  } else if (kind == "start") {
    outcome.end = CutEnd::kDoesNotStart;
  } else {
    outcome.end = CutEnd::kFinding;
  }
  return outcome;
}

// One cut on a fresh copy, the update replayed from its start up to the cut.
CutOutcome CutOnce(Zygote& runs, const Workspace& ws, const Snapshot& snapshot,
                   std::uint64_t operation, int landed) {
  Restore(ws.dir(), snapshot);
  fs::remove(ws.File("cut.pieces"));
  const int first = runs.Run({'A', operation, landed});
  if (first == kRunDone) {
    // Every cut falls before the end of the operations the uncut rehearsal counted.
    return {operation, landed, CutEnd::kFinding, "",
            "the update ended before this operation, though the uncut rehearsal went past it: "
            "the runs do not agree"};
  }
  if (first != kPowerCutStatus) {
    // Nothing is known of this cut: said as loudly as a fault of the program.
    const std::string log = ReadAll(ws.File("runs.log"));
    return {operation, landed, CutEnd::kFinding, "",
            "the cut run failed (" + std::to_string(first) +
                "): " + log.substr(log.size() > 300 ? log.size() - 300 : 0)};
  }
  return AfterCut(runs, ws, operation, landed);
}

// ---- The walk: every cut from one run of the update -----------------------------------------
//
// One process runs the update once, on a directory of its own. At each operation a cut falls
// in, its chip lands the cut's part and the power's Off hands the cut over: the files of the
// run's directory (the models' files with them) and the pieces of the flash it changed go to
// the work directory, as a run cut there would leave them, and the walking run waits while
// the run after the restart goes on the work directory and the directory is put back. Then
// the operation lands whole and the update goes on to the next cut. No cut replays the update
// up to its operation, and no process is made for the cut itself.

struct WalkCut {
  std::uint64_t operation;  // as the plan counts: the cut falls in operation + 1
  int landed;
  std::size_t index;  // in the plan
};

// What the walking run tells: a cut was handed over (status: kPowerCutStatus, or kRunBroken
// when the hand-over failed), or the update ended (index -1).
struct WalkMessage {
  std::int64_t index = -1;
  int status = 0;
};

struct WalkState {
  Module* module = nullptr;
  const std::vector<WalkCut>* cuts = nullptr;
  int to = -1, from = -1;
  fs::path walk_dir, cut_dir, pieces;
  const Snapshot* snapshot = nullptr;
};

// The files of `from` (a module directory that began as `snapshot`) that a run changed, written
// into `to` (which is as `snapshot` but for the models' files and ram/): the models' files
// always, the others when their size or time moved. Not the flash image, nor ram/ (a cut
// empties it).
void CopyChangedFiles(const fs::path& from, const fs::path& to, const Snapshot& snapshot,
                      const std::string& image) {
  std::set<fs::path> seen;
  for (fs::recursive_directory_iterator it(from), end; it != end; ++it) {
    const fs::path name = it->path().lexically_relative(from);
    if (*name.begin() == "ram" || name.filename() == image) {
      if (it->is_directory()) it.disable_recursion_pending();
      continue;
    }
    seen.insert(name);
    if (it->is_directory()) {
      fs::create_directories(to / name);
      continue;
    }
    struct stat st;
    if (!it->is_regular_file() || stat(it->path().c_str(), &st) != 0) continue;
    const auto known = snapshot.files.find(name);
    if (!ModelFile(name) && known != snapshot.files.end() &&
        static_cast<std::size_t>(st.st_size) == known->second.bytes.size() &&
        st.st_mtim.tv_sec == known->second.mtime.tv_sec &&
        st.st_mtim.tv_nsec == known->second.mtime.tv_nsec) {
      continue;
    }
    // Written in place: the process the runs are forked from maps the models' files.
    WriteAll(to / name, ReadAll(it->path()));
  }
  for (const auto& [name, file] : snapshot.files) {
    if (*name.begin() != "ram" && name.filename() != image && !seen.count(name)) {
      fs::remove(to / name);
    }
  }
}

// The power's Off during the walk, once the cut's part has landed and boot.log and ram/ of
// the work directory say so: the rest of the run's state into the work directory, then the
// run after the restart, and on.
void HandOver(std::size_t cut, void* arg) {
  WalkState& walk = *static_cast<WalkState*>(arg);
  WalkMessage message{static_cast<std::int64_t>((*walk.cuts)[cut].index), kPowerCutStatus};
  try {
    CopyChangedFiles(walk.walk_dir, walk.cut_dir, *walk.snapshot,
                     walk.module->config().flash == FlashKind::kNand ? "nand.img" : "nor.img");
    cut_pieces_file = walk.pieces;
    if (!SaveChangedPieces()) throw ModuleError(walk.pieces.string() + ": cannot write");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    message.status = kRunBroken;
  }
  char go = 0;
  if (write(walk.to, &message, sizeof message) != sizeof message || read(walk.from, &go, 1) != 1) {
    std::_Exit(kRunBroken);  // the rehearsal is gone
  }
}

// The walking run, in its own process.
int Walk(WalkState& walk, const ModuleConfig& config, const fs::path& original) {
  auto module = Module::OpenPrivate(walk.walk_dir, config, original);
  walk.module = module.get();
  static std::vector<std::uint8_t> flags;
  flags.assign((module->image_size() + kPiece - 1) / kPiece, 0);
  changed_pieces = &flags;
  cut_module = module.get();
  SetFlashChangeObserver(NoteChangedPiece);
  std::vector<PowerSupply::WalkCut> cuts;
  for (const WalkCut& cut : *walk.cuts) cuts.push_back({cut.operation + 1, cut.landed});
  module->power().Walk(std::move(cuts), walk.cut_dir, HandOver, &walk);
  RunQuietUpdate(kCeImage);
  const WalkMessage end;
  if (write(walk.to, &end, sizeof end) != sizeof end) return kRunBroken;
  return kRunDone;
}

// The walking run's process, seen from the rehearsal.
class Walker {
 public:
  Walker(const fs::path& log, WalkState walk, const ModuleConfig& config,
         const fs::path& original) {
    int to[2], from[2];
    if (pipe(to) != 0 || pipe(from) != 0) throw ModuleError("cannot start the walk: pipe failed");
    pid_ = ForkInto(log);
    if (pid_ < 0) throw ModuleError("cannot start the walk: fork failed");
    if (pid_ == 0) {
      close(to[0]);
      close(from[1]);
      walk.to = to[1];
      walk.from = from[0];
      int status = kRunBroken;
      try {
        status = Walk(walk, config, original);
      } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
      }
      std::fflush(nullptr);
      std::_Exit(status);
    }
    close(to[1]);
    close(from[0]);
    from_ = to[0];
    to_ = from[1];
  }
  ~Walker() {
    close(to_);  // a walk still waiting for its go ends
    close(from_);
    int raw = 0;
    while (waitpid(pid_, &raw, 0) < 0 && errno == EINTR) {
    }
  }
  Walker(const Walker&) = delete;
  Walker& operator=(const Walker&) = delete;

  // The next thing the walk tells; false when it ended without saying so.
  bool Next(WalkMessage* message) {
    const bool told = read(from_, message, sizeof *message) == sizeof *message;
    ThrowIfInterrupted();
    return told;
  }
  void GoOn() {
    const char go = 1;
    if (write(to_, &go, 1) != 1) throw ModuleError("the walk through the update ended");
  }

 private:
  pid_t pid_ = -1;
  int to_ = -1, from_ = -1;
};

// ---- The report --------------------------------------------------------------------------------

template <typename View>
std::int64_t Int(const View& n) {
  return n.template value_or<std::int64_t>(0);
}
template <typename View>
std::string Str(const View& n) {
  return n.value_or(std::string());
}

std::string Seconds(std::int64_t ns) { return FormatDuration(static_cast<std::uint64_t>(ns)); }

std::string Join(const toml::array* list) {
  std::string text;
  if (!list) return text;
  for (const toml::node& n : *list) {
    if (!text.empty()) text += ", ";
    text += n.value_or(std::string());
  }
  return text;
}

void PrintText(const toml::table& r) {
  auto row = [](const char* name, const std::string& value) {
    std::printf("%-13s%s\n", name, value.c_str());
  };
  row("rehearsal",
      Str(r["image"]) + " on " + Str(r["module"]) + ", on a copy (the module is not changed)");
  row("outcome", Str(r["outcome"]));
  if (const toml::table* t = r["time"].as_table()) {
    const toml::table& time = *t;
    char host[32];
    std::snprintf(host, sizeof host, "%.2f s", time["host_seconds"].value_or(0.0));
    const std::int64_t total = Int(time["module_ns"]);
    const std::int64_t erase = Int(time["erase_ns"]), program = Int(time["program_ns"]);
    row("module time", Seconds(total) + ": erasing " + Seconds(erase) + ", programming " +
                           Seconds(program) + ", the rest " +
                           Seconds(std::max<std::int64_t>(0, total - erase - program)) + " (host " +
                           host + ")");
  }
  if (const toml::table* e = r["erased"].as_table()) {
    const toml::table& erased = *e;
    const toml::table& programmed = *r["programmed"].as_table();
    row("erased", std::to_string(Int(erased["blocks"])) + " blocks (" + Str(erased["list"]) +
                      "): " + Str(erased["ranges"]) +
                      (Join(erased["regions"].as_array()).empty()
                           ? ""
                           : "; they hold " + Join(erased["regions"].as_array())));
    row("programmed", std::to_string(Int(programmed["blocks"])) + " blocks, " +
                          std::to_string(Int(programmed["bytes"])) +
                          " bytes: " + Str(programmed["ranges"]));
  }
  if (const toml::table* b = r["bad_blocks"].as_table()) {
    const toml::table& bad = *b;
    std::string met;
    for (const toml::node& n : *bad["relocated"].as_array()) {
      const toml::table& e = *n.as_table();
      if (!met.empty()) met += ", ";
      met += "logical block " + std::to_string(Int(e["logical_block"])) + " moved to block " +
             std::to_string(Int(e["replacement"]));
    }
    std::string factory;
    for (const toml::node& n : *bad["factory_bad_met"].as_array()) {
      factory += (factory.empty() ? "" : ", ") + std::to_string(n.value_or<std::int64_t>(0));
    }
    row("bad blocks", (met.empty() ? "none relocated" : met) +
                          (factory.empty() ? "" : "; the maker's bad blocks met: " + factory) +
                          "; " + std::to_string(Int(bad["reserve_left"])) + " of " +
                          std::to_string(Int(bad["reserve"])) + " reserve blocks left");
  }
  if (const toml::table* i = r["integrity"].as_table()) {
    const toml::table& in = *i;
    std::string text;
    if (in.contains("image_from")) {
      char range[64];
      std::snprintf(range, sizeof range, "0x%llx-0x%llx",
                    static_cast<unsigned long long>(Int(in["image_from"])),
                    static_cast<unsigned long long>(Int(in["image_to"]) - 1));
      text = std::string("the image's blocks ") + range +
             (in["image_in_place"].value_or(false)
                  ? " hold it"
                  : " do not hold it (" + std::to_string(Int(in["image_bytes_differ"])) +
                        " bytes differ)") +
             "; " + std::to_string(Int(in["changed_outside"])) + " bytes outside them changed";
    }
    if (in.contains("read_problem")) text += (text.empty() ? "" : "; ") + Str(in["read_problem"]);
    const std::size_t rules = in["rules_added"].as_array()->size();
    text += rules ? "; " + std::to_string(rules) + " datasheet rule(s) broken (nand.rules)"
                  : "; no datasheet rule broken";
    row("integrity", text);
  }
  if (const toml::table* w = r["wear"].as_table()) {
    const toml::table& wear = *w;
    row("wear", std::to_string(Int(wear["erases_added"])) + " erases added; the most-worn block " +
                    std::to_string(Int(wear["highest"])) + " erases; " +
                    std::to_string(Int(wear["blocks_past_limit"])) + " block(s) past " +
                    std::to_string(Int(wear["limit"])));
  }
  if (const toml::table* s = r["next_start"].as_table()) {
    const toml::table& start = *s;
    row("next start", start["starts"].value_or(false)
                          ? "runs " + Str(start["runs"])
                          : "the module does not start: " + Str(start["problem"]));
    row("registry", Str(start["registry"]));
  }
  if (const toml::table* c = r["cuts"].as_table()) {
    const toml::table& cuts = *c;
    const std::int64_t distinct = Int(cuts["distinct"]);
    row("power cuts",
        std::to_string(Int(cuts["made"])) + " over " + std::to_string(Int(cuts["operations"])) +
            " flash operations" +
            (distinct < Int(cuts["made"]) ? " (" + std::to_string(distinct) + " different)" : "") +
            ": " + std::to_string(Int(cuts["image_in_place"])) +
            " end with the image in place and the module starting, " +
            std::to_string(Int(cuts["needs_update"])) + " need the update run again, " +
            std::to_string(Int(cuts["bootloader_menu"])) +
            " leave the bootloader in its menu with no OS image it can take "
            "(the image must come again through the bootloader), " +
            std::to_string(Int(cuts["does_not_start"])) + " leave no bootloader: nothing runs" +
            (Int(cuts["findings"]) ? ", " + std::to_string(Int(cuts["findings"])) + " FINDINGS"
                                   : ""));
    // The cuts lost, grouped by what they left: the operations they fell in, and where.
    struct Group {
      std::set<std::int64_t> operations;
      std::vector<std::string> wheres;
      int count = 0;
    };
    std::map<std::pair<std::string, std::string>, Group> groups;
    for (const toml::node& n : *cuts["lost"].as_array()) {
      const toml::table& lost = *n.as_table();
      Group& g = groups[{Str(lost["end"]), Str(lost["detail"])}];
      ++g.count;
      g.operations.insert(Int(lost["operation"]));
      const std::string where = Str(lost["where"]);
      if (std::find(g.wheres.begin(), g.wheres.end(), where) == g.wheres.end()) {
        g.wheres.push_back(where);
      }
    }
    for (const auto& [key, g] : groups) {
      std::set<std::size_t> ops(g.operations.begin(), g.operations.end());
      std::string wheres;
      for (std::size_t i = 0; i < g.wheres.size() && i < 3; ++i) {
        wheres += (i ? "; " : "") + g.wheres[i];
      }
      if (g.wheres.size() > 3) wheres += "; ...";
      std::printf("  %s: %d cut%s during operation%s %s (%s): %s\n", key.first.c_str(), g.count,
                  g.count == 1 ? "" : "s", ops.size() == 1 ? "" : "s", BlockList(ops).c_str(),
                  wheres.c_str(), key.second.c_str());
    }
  }
  if (const toml::array* findings = r["findings"].as_array()) {
    for (const toml::node& n : *findings) {
      std::printf("FINDING: %s\n", n.value_or(std::string()).c_str());
    }
  }
}

// The SVG timeline: one row per block touched, erases and programs as spans over module time,
// replacement blocks marked, cuts as lines.
std::string TimelineSvg(const fs::path& timeline, const toml::table& report,
                        const std::vector<std::uint64_t>& cut_times) {
  struct Span {
    std::size_t block;
    bool erase;
    std::uint64_t at, busy;
  };
  std::vector<Span> spans;
  std::ifstream in(timeline);
  for (Span s; in >> s.block >> s.erase >> s.at >> s.busy;) spans.push_back(s);
  std::set<std::int64_t> replacements;
  if (const toml::array* r = report["svg_replacements"].as_array()) {
    for (const toml::node& n : *r) replacements.insert(n.value_or<std::int64_t>(-1));
  }
  std::map<std::size_t, int> rows;
  std::uint64_t end = 1;
  for (const Span& s : spans) {
    rows.emplace(s.block, 0);
    end = std::max(end, s.at + s.busy);
  }
  int index = 0;
  for (auto& [block, row] : rows) row = index++;
  const int row_height = 14, left = 90, width = 900;
  const int height = 40 + row_height * static_cast<int>(rows.size());
  std::ostringstream svg;
  svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << left + width + 20 << "\" height=\""
      << height + 20 << "\" font-family=\"monospace\" font-size=\"11\">\n"
      << "<title>" << Str(report["image"]) << " on " << Str(report["module"]) << "</title>\n"
      << "<text x=\"4\" y=\"14\">module time 0 to " << FormatDuration(end)
      << "; erase: orange, program: blue; replacement blocks in red; power cuts: black "
         "lines</text>\n";
  auto x = [&](std::uint64_t t) {
    return left + static_cast<double>(t) * width / static_cast<double>(end);
  };
  for (const auto& [block, row] : rows) {
    const int y = 24 + row * row_height;
    svg << "<text x=\"4\" y=\"" << y + 10 << "\""
        << (replacements.count(static_cast<std::int64_t>(block)) ? " fill=\"#c62828\"" : "")
        << ">block " << block << "</text>\n";
  }
  for (const Span& s : spans) {
    const int y = 24 + rows[s.block] * row_height;
    svg << "<rect x=\"" << x(s.at) << "\" y=\"" << y << "\" width=\""
        << std::max(0.5, x(s.at + s.busy) - x(s.at)) << "\" height=\"" << row_height - 2
        << "\" fill=\"" << (s.erase ? "#ef6c00" : "#1565c0") << "\"/>\n";
  }
  for (std::uint64_t t : cut_times) {
    svg << "<line x1=\"" << x(t) << "\" y1=\"20\" x2=\"" << x(t) << "\" y2=\"" << height
        << "\" stroke=\"black\" stroke-width=\"0.5\"/>\n";
  }
  svg << "</svg>\n";
  return svg.str();
}

// Takes the module's flash mutex for the rehearsal when a run of it has made one: a process
// writing the module's flash meanwhile would show through the copy-on-write mapping.
class ModuleFlashLock {
 public:
  explicit ModuleFlashLock(const fs::path& dir) {
    fd_ = open((dir / "ram" / "mutex-OnModuleFlash.lock").c_str(), O_RDWR | O_CLOEXEC);
    if (fd_ < 0) return;
    if (flock(fd_, LOCK_EX | LOCK_NB) == 0) return;
    std::fprintf(stderr,
                 "imbrel-module: waiting for another process to release the module's "
                 "flash\n");
    while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
      if (interrupted) {
        close(fd_);
        throw Interrupted{};
      }
    }
  }
  ~ModuleFlashLock() {
    if (fd_ >= 0) close(fd_);
  }
  ModuleFlashLock(const ModuleFlashLock&) = delete;
  ModuleFlashLock& operator=(const ModuleFlashLock&) = delete;

 private:
  int fd_ = -1;
};

int Rehearse(const RehearseArgs& args);

}  // namespace

int RunRehearse(const RehearseArgs& args) {
  InterruptHandlers handlers;
  try {
    return Rehearse(args);
  } catch (const Interrupted&) {
    if (isatty(STDERR_FILENO)) std::fprintf(stderr, "\r%40s\r", "");
    std::fprintf(stderr, "imbrel-module: rehearse: interrupted; the module is as it was\n");
    return 128 + SIGINT;
  }
}

namespace {

int Rehearse(const RehearseArgs& args) {
  const fs::path dir = fs::absolute(args.dir);
  ModuleConfig config = LoadModuleConfig(dir);
  // The rehearsal places its own cuts: a cut that faults.toml arms would end every run.
  config.power_cut_after.reset();
  const fs::path original = dir / ImageName(config);
  if (!fs::exists(original)) throw ModuleError(original.string() + ": missing");
  std::string bin_bytes;
  {
    std::ifstream in(args.bin, std::ios::binary);
    if (!in) throw UsageError("cannot read " + args.bin);
    std::ostringstream text;
    text << in.rdbuf();
    bin_bytes = text.str();
  }
  BinImage bin;
  try {
    bin = ReadBinImage(std::vector<std::uint8_t>(bin_bytes.begin(), bin_bytes.end()));
  } catch (const std::runtime_error& e) {
    throw UsageError(args.bin + ": " + e.what());
  }

  ModuleFlashLock lock(dir);
  Workspace ws(dir, config, bin_bytes);
  const fs::path log = ws.File("runs.log");
  // The module starts as a run of the program would start it, once: every run begins after
  // that start (a run cut by the power starts the module again itself).
  Fork(log, [&] {
    auto module = Module::OpenPrivate(ws.dir(), config, original);
    StartModule(*module);
    return kRunDone;
  });
  const Snapshot snapshot = TakeSnapshot(ws.dir());
  const fs::path report_file = ws.File("report.toml");
  const int status = Fork(log, [&] {
    toml::table report = RehearseOnce(original, ws.dir(), config, bin, args);
    std::ofstream(report_file) << report;
    return kRunDone;
  });
  if (status != kRunDone || !fs::exists(report_file)) {
    std::string text = ReadAll(log);
    throw std::runtime_error("the rehearsal's run failed (" + std::to_string(status) +
                             "): " + text.substr(text.size() > 400 ? text.size() - 400 : 0));
  }
  toml::table report = toml::parse_file(report_file.string());
  report.insert_or_assign("module", dir.string());
  report.insert_or_assign("image", args.bin);

  std::vector<std::uint64_t> cut_times;
  bool lost_any = false;
  if (args.cuts > 0 && report["succeeded"].value_or(false)) {
    const std::uint64_t total = static_cast<std::uint64_t>(Int(report["operations"]));
    std::vector<std::pair<std::uint64_t, int>> plan;
    for (int i = 0; i < args.cuts; ++i) {
      // Each part of the first operations landed (the boot area and the table page come
      // first), then spread over the rest of the update.
      const int dense = args.cuts / 2;
      const std::uint64_t cut = i < dense ? static_cast<std::uint64_t>(i / 4)
                                          : total * static_cast<std::uint64_t>(i) / args.cuts;
      if (cut < total) plan.push_back({cut, i % 4});
    }
    std::int64_t counts[static_cast<int>(CutEnd::kNoCut) + 1] = {};
    toml::array lost;
    const bool progress = isatty(STDERR_FILENO);
    const fs::path pieces = ws.File("cut.pieces"), result = ws.File("cut.result");
    Restore(ws.dir(), snapshot);  // as the uncut rehearsal left it: back to the snapshot
    // The runs after the restarts (and cuts made the slow way) are forks of a process that
    // holds the work directory's module open.
    Zygote runs(
        log, ws.dir(), config, original,
        [&](Module& module, const RunCommand& c) {
          return c.kind == 'A' ? CutRun(module, pieces, c.operation, c.landed)
                               : RestartRun(module, pieces, result, config, bin, args);
        },
        [](Module& module) { known_scan = ScanRegistry(module); });
    // A cut is known by its operation and the part of it landed: the same cut twice leaves
    // the same module, and is made once. (The walk meets them in its own order.)
    std::vector<CutOutcome> outcomes(plan.size());
    std::vector<bool> made(plan.size(), false);
    std::map<std::pair<std::uint64_t, int>, std::size_t> first_of;
    std::vector<WalkCut> order;
    for (std::size_t i = 0; i < plan.size(); ++i) {
      if (first_of.emplace(plan[i], i).second) order.push_back({plan[i].first, plan[i].second, i});
    }
    std::size_t done = 0;
    auto note_progress = [&] {
      if (progress) std::fprintf(stderr, "\rpower cut %zu of %zu", ++done, order.size());
    };
    if (!std::getenv("IMBREL_REHEARSE_REPLAY")) {
      WalkState walk;
      walk.cuts = &order;
      walk.walk_dir = ws.File("walk");
      walk.cut_dir = ws.dir();
      walk.snapshot = &snapshot;
      walk.pieces = pieces;
      fs::create_directory(walk.walk_dir);
      Restore(walk.walk_dir, snapshot);
      Walker walker(log, walk, config, original);
      for (WalkMessage m; walker.Next(&m) && m.index >= 0;) {
        const std::size_t i = static_cast<std::size_t>(m.index);
        note_progress();
        outcomes[i] = m.status == kPowerCutStatus
                          ? AfterCut(runs, ws, plan[i].first, plan[i].second)
                          : CutOnce(runs, ws, snapshot, plan[i].first, plan[i].second);
        made[i] = true;
        // The next cut's fork writes the models' files whole, and its power cut empties ram/.
        Restore(ws.dir(), snapshot, false);
        walker.GoOn();
      }
    }
    // Cuts the walk did not reach (or every cut, with IMBREL_REHEARSE_REPLAY set): the update
    // replayed up to each.
    for (const WalkCut& cut : order) {
      if (made[cut.index]) continue;
      note_progress();
      outcomes[cut.index] = CutOnce(runs, ws, snapshot, cut.operation, cut.landed);
      made[cut.index] = true;
    }
    std::size_t distinct_made = 0;
    for (const WalkCut& cut : order) distinct_made += outcomes[cut.index].end != CutEnd::kNoCut;
    for (std::size_t i = 0; i < plan.size(); ++i) {
      const CutOutcome& o = outcomes[first_of[plan[i]]];
      ++counts[static_cast<int>(o.end)];
      if (o.end == CutEnd::kDoesNotStart || o.end == CutEnd::kBootloaderMenu ||
          o.end == CutEnd::kFinding) {
        lost.push_back(toml::table{{"end", o.end == CutEnd::kFinding          ? "FINDING"
                                           : o.end == CutEnd::kBootloaderMenu ? "bootloader menu"
                                                                              : "nothing runs"},
                                   {"operation", static_cast<std::int64_t>(o.operation + 1)},
                                   {"landed", o.landed},
                                   {"where", o.where},
                                   {"detail", o.detail}});
      }
      cut_times.push_back(o.operation);
    }
    if (progress) std::fprintf(stderr, "\r%40s\r", "");
    lost_any = counts[static_cast<int>(CutEnd::kDoesNotStart)] ||
               counts[static_cast<int>(CutEnd::kBootloaderMenu)] ||
               counts[static_cast<int>(CutEnd::kFinding)];
    report.insert(
        "cuts", toml::table{{"made", static_cast<std::int64_t>(plan.size()) -
                                         counts[static_cast<int>(CutEnd::kNoCut)]},
                            {"distinct", static_cast<std::int64_t>(distinct_made)},
                            {"operations", static_cast<std::int64_t>(total)},
                            {"retry", !args.no_retry},
                            {"image_in_place", counts[static_cast<int>(CutEnd::kInPlace)]},
                            {"needs_update", counts[static_cast<int>(CutEnd::kNeedsUpdate)]},
                            {"bootloader_menu", counts[static_cast<int>(CutEnd::kBootloaderMenu)]},
                            {"does_not_start", counts[static_cast<int>(CutEnd::kDoesNotStart)]},
                            {"findings", counts[static_cast<int>(CutEnd::kFinding)]},
                            {"lost", std::move(lost)}});
  }

  // A success that changed bytes outside the image's blocks is a fault of the program.
  toml::array findings;
  const std::int64_t outside = Int(report["integrity"]["changed_outside"]);
  if (report["succeeded"].value_or(false) && outside > 0) {
    findings.push_back("the update reported success and changed " + std::to_string(outside) +
                       " bytes outside the image's blocks");
  }
  if (!findings.empty()) report.insert("findings", std::move(findings));

  if (!args.svg_file.empty()) {
    // Cut marks at the module time of the operation each fell in.
    std::vector<std::uint64_t> starts;
    std::ifstream in(ws.File("timeline.txt"));
    for (std::uint64_t block, erase, at, busy; in >> block >> erase >> at >> busy;) {
      starts.push_back(at);
    }
    std::vector<std::uint64_t> marks;
    // The power counts each NOR chip's share of an operation; the timeline, the operation.
    const std::uint64_t per_operation = config.flash == FlashKind::kNand ? 1 : 2;
    for (std::uint64_t op : cut_times) {
      if (starts.empty()) break;
      marks.push_back(starts[std::min<std::size_t>(op / per_operation, starts.size() - 1)]);
    }
    const std::string svg = TimelineSvg(ws.File("timeline.txt"), report, marks);
    report.erase("svg_replacements");
    if (args.svg_file == "-") {
      std::fputs(svg.c_str(), stdout);
    } else {
      std::ofstream out(args.svg_file);
      out << svg;
      if (!out) throw UsageError("cannot write " + args.svg_file);
    }
  }

  const bool starts = report["next_start"]["starts"].value_or(false);
  const bool ok =
      report["succeeded"].value_or(false) && starts && !lost_any && !report.contains("findings");
  if (args.json) {
    std::cout << toml::json_formatter{report} << "\n";
  } else if (args.svg_file != "-") {
    PrintText(report);
  }
  return ok ? 0 : kExitFailed;
}

}  // namespace

}  // namespace host

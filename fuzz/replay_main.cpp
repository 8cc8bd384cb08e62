// A fuzz target's own main for the test command: no libFuzzer, no coverage feedback, no clock.
// It runs every file of the target's corpus once, in name order, then a fixed number of
// inputs made from the corpus by a mutator driven by a seeded generator. Generated input K
// depends only on the seed, K, the corpus and the dictionaries, so the same commit runs the
// same inputs on every machine, and one input can be made again alone (--only K).
//
//   TARGET_replay --corpus DIR [--dict FILE]... [--seed N] [--runs N] [--max-len N]
//                 [--findings DIR] [--only K] [FILE...]
//
// FILEs, when given, are run instead of the corpus and the generated inputs. The target's
// name is the executable's without "_replay". What the target prints is kept aside and shown
// only for an input that fails. A target stops the process on a finding (or a sanitizer
// does); the input that did it is then named on standard error and written into the
// findings folder (default: fuzz-findings/ in the working directory), ready to be copied into
// the corpus.

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);
// Present when a sanitizer runtime is linked: called when it reports and ends the process.
extern "C" __attribute__((weak)) void __sanitizer_set_death_callback(void (*callback)());

namespace {

namespace fs = std::filesystem;

// The target's name, from the executable's.
char target[256] = "fuzz";
// An input that runs longer than this is reported as a hang.
constexpr unsigned kInputSeconds = 120;

using Bytes = std::vector<std::uint8_t>;

// ---- the generator --------------------------------------------------------------------------

// SplitMix64: small, fast, and the same sequence everywhere for the same seed.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t Next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  /// 0 .. n-1; 0 when n is 0.
  std::size_t Below(std::size_t n) { return n ? static_cast<std::size_t>(Next() % n) : 0; }
  bool OneIn(std::size_t n) { return Below(n) == 0; }
  std::uint8_t Byte() { return static_cast<std::uint8_t>(Next()); }

 private:
  std::uint64_t state_;
};

// The generator of generated input K: its own stream, so that K is made without the others.
Random StreamFor(std::uint64_t seed, std::uint64_t k) {
  Random mix(seed ^ 0x6A09E667F3BCC909ull);
  std::uint64_t base = mix.Next();
  return Random(base ^ (k * 0xD1B54A32D192ED03ull));
}

// ---- the mutator ----------------------------------------------------------------------------

struct Corpus {
  std::vector<std::string> names;
  std::vector<Bytes> inputs;
};

class Mutator {
 public:
  Mutator(const Corpus& corpus, const std::vector<Bytes>& dictionary, std::size_t max_len)
      : corpus_(corpus), dictionary_(dictionary), max_len_(max_len) {}

  /// Generated input K of `seed`: a corpus input (or nothing) changed one to eight times.
  Bytes Make(std::uint64_t seed, std::uint64_t k) const {
    Random random = StreamFor(seed, k);
    Bytes data;
    if (!corpus_.inputs.empty() && !random.OneIn(64)) {
      data = corpus_.inputs[random.Below(corpus_.inputs.size())];
    }
    // Mostly few changes, sometimes many: 1, 1-2, 1-4 or 1-8.
    const std::size_t rounds = 1 + random.Below(std::size_t{1} << random.Below(4));
    for (std::size_t i = 0; i < rounds; ++i) Mutate(random, data);
    if (data.size() > max_len_) data.resize(max_len_);
    return data;
  }

 private:
  static constexpr std::uint8_t kBytes[] = {0x00, 0x01, 0x02, 0x0A, 0x20, 0x7F, 0x80, 0xFE, 0xFF,
                                            '0',  '9',  '"',  '\'', '[',  ']',  '=',  '\\', '.'};
  static constexpr std::uint32_t kWords[] = {
      0,       1,          2,          3,          4,          0x7F,   0x80,
      0xFF,    0x100,      0x3FFF,     0x4000,     0x7FFF,     0x8000, 0xFFFF,
      0x10000, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFE, 0xFFFFFFFF, 0x80000};

  std::size_t Place(Random& random, const Bytes& data) const {
    return random.Below(data.size() + 1);
  }

  // A span [at, at + length) inside the data, at most `longest` bytes; length 0 when empty.
  std::pair<std::size_t, std::size_t> Span(Random& random, const Bytes& data,
                                           std::size_t longest) const {
    if (data.empty()) return {0, 0};
    std::size_t at = random.Below(data.size());
    std::size_t length = 1 + random.Below(std::min(longest, data.size() - at));
    return {at, length};
  }

  const Bytes& Other(Random& random) const {
    static const Bytes kNone;
    return corpus_.inputs.empty() ? kNone : corpus_.inputs[random.Below(corpus_.inputs.size())];
  }

  void Insert(Bytes& data, std::size_t at, const std::uint8_t* bytes, std::size_t n) const {
    if (data.size() >= max_len_) return;
    n = std::min(n, max_len_ - data.size());
    data.insert(data.begin() + static_cast<std::ptrdiff_t>(at), bytes, bytes + n);
  }

  void Overwrite(Bytes& data, std::size_t at, const std::uint8_t* bytes, std::size_t n) const {
    if (at >= data.size()) return Insert(data, data.size(), bytes, n);
    n = std::min(n, data.size() - at);
    std::copy(bytes, bytes + n, data.begin() + static_cast<std::ptrdiff_t>(at));
  }

  // The run of digits (with a 0x, a sign) at or after a random place becomes another number.
  void ReplaceNumber(Random& random, Bytes& data) const {
    static constexpr const char* kNumbers[] = {"0",
                                               "1",
                                               "-1",
                                               "7",
                                               "8",
                                               "63",
                                               "64",
                                               "0xFF",
                                               "0xFFFF",
                                               "0x10000",
                                               "0x12",
                                               "0x1A",
                                               "0x1B",
                                               "4294967295",
                                               "4294967296",
                                               "0xFFFFFFFF",
                                               "-0",
                                               "+1",
                                               "1e3",
                                               "1.0",
                                               "0o17",
                                               "0b101",
                                               "1_000",
                                               "9223372036854775807",
                                               "9223372036854775808",
                                               "-9223372036854775808"};
    auto digit = [](std::uint8_t c) { return c >= '0' && c <= '9'; };
    std::size_t at = random.Below(data.size() + 1);
    while (at < data.size() && !digit(data[at])) ++at;
    if (at == data.size()) return;
    std::size_t begin = at;
    if (begin > 0 && (data[begin - 1] == '-' || data[begin - 1] == '+')) --begin;
    std::size_t end = at;
    auto part = [&](std::uint8_t c) {
      return digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == 'x' || c == '_';
    };
    while (end < data.size() && part(data[end])) ++end;
    std::string number = kNumbers[random.Below(std::size(kNumbers))];
    if (random.OneIn(3)) number = std::to_string(random.Next() >> random.Below(64));
    data.erase(data.begin() + static_cast<std::ptrdiff_t>(begin),
               data.begin() + static_cast<std::ptrdiff_t>(end));
    Insert(data, begin, reinterpret_cast<const std::uint8_t*>(number.data()), number.size());
  }

  void Mutate(Random& random, Bytes& data) const {
    switch (random.Below(15)) {
      case 0:  // flip a bit
        if (!data.empty()) data[random.Below(data.size())] ^= 1u << random.Below(8);
        break;
      case 1:  // a random byte
        if (!data.empty()) data[random.Below(data.size())] = random.Byte();
        break;
      case 2:  // a byte that means something to text or numbers
        if (!data.empty()) data[random.Below(data.size())] = kBytes[random.Below(sizeof kBytes)];
        break;
      case 3: {  // a 32-bit little-endian word set to an edge value, or a near one
        std::uint32_t w = kWords[random.Below(std::size(kWords))];
        if (random.OneIn(2)) w += static_cast<std::uint32_t>(random.Below(33)) - 16;
        std::uint8_t le[4] = {static_cast<std::uint8_t>(w), static_cast<std::uint8_t>(w >> 8),
                              static_cast<std::uint8_t>(w >> 16),
                              static_cast<std::uint8_t>(w >> 24)};
        Overwrite(data, Place(random, data), le, random.OneIn(4) ? 2 : 4);
        break;
      }
      case 4: {  // add to a word already there: lengths, addresses and sums move a little
        if (data.size() < 4) break;
        std::size_t at = random.Below(data.size() - 3);
        std::uint32_t w;
        std::memcpy(&w, &data[at], 4);
        const std::uint32_t step =
            static_cast<std::uint32_t>(1 + random.Below(random.OneIn(4) ? 0x10000 : 16));
        w = random.OneIn(2) ? w + step : w - step;
        std::memcpy(&data[at], &w, 4);
        break;
      }
      case 5: {  // random bytes in
        std::uint8_t bytes[16];
        const std::size_t n = 1 + random.Below(sizeof bytes);
        for (std::size_t i = 0; i < n; ++i) bytes[i] = random.Byte();
        Insert(data, Place(random, data), bytes, n);
        break;
      }
      case 6: {  // a run of one byte in
        Bytes run(1 + random.Below(random.OneIn(8) ? 4096 : 64),
                  random.OneIn(2) ? kBytes[random.Below(sizeof kBytes)] : random.Byte());
        Insert(data, Place(random, data), run.data(), run.size());
        break;
      }
      case 7: {  // bytes out
        auto [at, length] = Span(random, data, random.OneIn(4) ? data.size() : 16);
        data.erase(data.begin() + static_cast<std::ptrdiff_t>(at),
                   data.begin() + static_cast<std::ptrdiff_t>(at + length));
        break;
      }
      case 8:  // cut short
        data.resize(random.Below(data.size() + 1));
        break;
      case 9: {  // a piece of the input copied over another place or in between
        auto [at, length] = Span(random, data, 256);
        if (!length) break;
        Bytes piece(data.begin() + static_cast<std::ptrdiff_t>(at),
                    data.begin() + static_cast<std::ptrdiff_t>(at + length));
        if (random.OneIn(2)) {
          Insert(data, Place(random, data), piece.data(), piece.size());
        } else {
          Overwrite(data, Place(random, data), piece.data(), piece.size());
        }
        break;
      }
      case 10: {  // spliced with another corpus input: this one's start, that one's end
        const Bytes& other = Other(random);
        const std::size_t keep = Place(random, data);
        const std::size_t from = random.Below(other.size() + 1);
        data.resize(keep);
        Insert(data, keep, other.data() + from, other.size() - from);
        break;
      }
      case 11: {  // a piece of another corpus input in
        const Bytes& other = Other(random);
        auto [at, length] = Span(random, other, 512);
        if (length) Insert(data, Place(random, data), other.data() + at, length);
        break;
      }
      case 12:  // a number in text replaced: TOML values, command-line delays
        ReplaceNumber(random, data);
        break;
      case 13:
      case 14: {  // a dictionary word, in or over
        if (dictionary_.empty()) {
          if (!data.empty()) data[random.Below(data.size())] = random.Byte();
          break;
        }
        const Bytes& word = dictionary_[random.Below(dictionary_.size())];
        if (random.OneIn(2)) {
          Insert(data, Place(random, data), word.data(), word.size());
        } else {
          Overwrite(data, Place(random, data), word.data(), word.size());
        }
        break;
      }
    }
  }

  const Corpus& corpus_;
  const std::vector<Bytes>& dictionary_;
  std::size_t max_len_;
};

// ---- files ----------------------------------------------------------------------------------

[[noreturn]] void Usage(const std::string& problem) {
  std::fprintf(stderr, "%s replay: %s\n", target, problem.c_str());
  std::fprintf(stderr,
               "usage: %s_replay --corpus DIR [--dict FILE]... [--seed N] [--runs N] "
               "[--max-len N] [--findings DIR] [--only K] [FILE...]\n",
               target);
  std::exit(2);
}

Bytes ReadFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) Usage("cannot read " + file.string());
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Corpus ReadCorpus(const fs::path& dir) {
  std::error_code ec;
  std::vector<fs::path> files;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir, ec)) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  if (ec) Usage("cannot read the corpus " + dir.string() + ": " + ec.message());
  // Name order, byte by byte: the same on every machine whatever the locale.
  std::sort(files.begin(), files.end(), [](const fs::path& a, const fs::path& b) {
    return a.filename().native() < b.filename().native();
  });
  Corpus corpus;
  for (const fs::path& file : files) {
    corpus.names.push_back(file.filename().string());
    corpus.inputs.push_back(ReadFile(file));
  }
  return corpus;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// libFuzzer's dictionary format: one quoted word a line, optionally name=, escapes \\ \" \xNN.
void ReadDictionary(const fs::path& file, std::vector<Bytes>& words) {
  std::ifstream in(file);
  if (!in) Usage("cannot read the dictionary " + file.string());
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    std::string_view text(line);
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
      text.remove_suffix(1);
    }
    if (text.empty() || text.front() == '#') continue;
    const std::size_t open = text.find('"');
    if (open == std::string_view::npos || text.size() < open + 2 || text.back() != '"') {
      Usage(file.string() + ":" + std::to_string(number) + ": not a quoted word");
    }
    std::string_view quoted = text.substr(open + 1, text.size() - open - 2);
    Bytes word;
    for (std::size_t i = 0; i < quoted.size(); ++i) {
      if (quoted[i] != '\\') {
        word.push_back(static_cast<std::uint8_t>(quoted[i]));
      } else if (i + 1 < quoted.size() && (quoted[i + 1] == '\\' || quoted[i + 1] == '"')) {
        word.push_back(static_cast<std::uint8_t>(quoted[++i]));
      } else if (i + 3 < quoted.size() && quoted[i + 1] == 'x' && HexDigit(quoted[i + 2]) >= 0 &&
                 HexDigit(quoted[i + 3]) >= 0) {
        word.push_back(
            static_cast<std::uint8_t>(HexDigit(quoted[i + 2]) * 16 + HexDigit(quoted[i + 3])));
        i += 3;
      } else {
        Usage(file.string() + ":" + std::to_string(number) + ": a bad escape");
      }
    }
    if (!word.empty()) words.push_back(std::move(word));
  }
}

std::uint64_t Number(const char* option, const char* text) {
  char* end = nullptr;
  errno = 0;
  unsigned long long value = std::strtoull(text, &end, 0);
  if (!*text || *end || errno || text[0] == '-') {
    Usage(std::string(option) + " needs a number, not '" + text + "'");
  }
  return value;
}

// ---- what the target prints, and what is reported when the process dies on an input --------

// Standard output and error of the target go to a file in memory while inputs run: a finding
// then shows what its own input printed, not the thousands of lines the inputs before it did.
int terminal = -1;  // the replay's own standard error
int captured = -1;
constexpr off_t kCaptureLimit = 1 << 20;  // emptied when it grows past this between inputs

// Prepared before each input, used by the handlers (which may only call async-signal-safe
// functions): what the input is, where it goes, its bytes, where its output starts.
struct Current {
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
  off_t output = 0;
  char what[512] = "";         // "corpus file overlap" or "generated input 12 of seed 1 ..."
  char parent[4096] = "";      // the findings folder's parent
  char dir[4096] = "";         // the findings folder
  char file[4096 + 256] = "";  // the input's file in it
};
Current current;
volatile sig_atomic_t reported = 0;

void Copy(char* out, std::size_t size, std::string_view text) {
  const std::size_t n = std::min(size - 1, text.size());
  std::memcpy(out, text.data(), n);
  out[n] = 0;
}

void Put(int fd, const char* text, std::size_t left) {
  while (left) {
    ssize_t n = write(fd, text, left);
    if (n <= 0) return;
    text += n;
    left -= static_cast<std::size_t>(n);
  }
}

void Say(const char* text) {
  Put(terminal >= 0 ? terminal : STDERR_FILENO, text, std::strlen(text));
}

// What the failing input printed (its last 64 KB), onto the replay's own standard error.
void ShowCaptured() {
  if (captured < 0 || terminal < 0) return;
  const off_t end = lseek(captured, 0, SEEK_CUR);
  off_t from = current.output;
  if (end < 0 || end <= from) return;
  if (end - from > 65536) from = end - 65536;
  Say("---- what the input printed ----\n");
  char buffer[4096];
  for (off_t at = from; at < end;) {
    ssize_t n = pread(captured, buffer, sizeof buffer, at);
    if (n <= 0) break;
    Put(terminal, buffer, static_cast<std::size_t>(n));
    at += n;
  }
  Say("---- end of what the input printed ----\n");
}

void Report(const char* how) {
  if (reported) return;
  reported = 1;
  ShowCaptured();
  if (!current.what[0]) {
    Say(target);
    Say(" replay: FAILED (");
    Say(how);
    Say(") outside any input: while starting or at the end of the run\n");
    return;
  }
  Say(target);
  Say(" replay: FAILED (");
  Say(how);
  Say(") on ");
  Say(current.what);
  Say("\n");
  mkdir(current.parent, 0755);
  mkdir(current.dir, 0755);
  int fd = open(current.file, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  bool written = fd >= 0;
  for (std::size_t done = 0; written && done < current.size;) {
    ssize_t n = write(fd, current.data + done, current.size - done);
    if (n <= 0) {
      written = false;
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  if (fd >= 0) close(fd);
  if (!written) {
    Say("  (could not write the input to ");
    Say(current.file);
    Say(")\n");
    return;
  }
  Say("  the input is in ");
  Say(current.file);
  Say("\n  run it alone: ");
  Say(target);
  Say("_replay ");
  Say(current.file);
  Say("\n  once fixed, keep it as a regression input: copy it into fuzz/corpus/");
  Say(target);
  Say("/ (every test run replays the corpus)\n");
}

void OnSignal(int signal) {
  Report(signal == SIGALRM   ? "no end after the time an input may take"
         : signal == SIGABRT ? "abort: a finding, an assertion or a sanitizer"
                             : "a fatal signal");
  const int again = signal == SIGALRM ? SIGABRT : signal;
  ::signal(again, SIG_DFL);
  raise(again);
}

void OnSanitizerDeath() { Report("a sanitizer report"); }

void InstallHandlers() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = static_cast<int>(SA_RESETHAND | SA_ONSTACK);
  sigaction(SIGABRT, &action, nullptr);
  sigaction(SIGALRM, &action, nullptr);
  if (__sanitizer_set_death_callback) {
    // The sanitizer keeps its own handlers for faults: it reports, then calls back.
    __sanitizer_set_death_callback(OnSanitizerDeath);
  } else {
    // A stack of its own, so that a stack overflow is reported too.
    static std::vector<char> stack(1 << 16);
    stack_t alternate{};
    alternate.ss_sp = stack.data();
    alternate.ss_size = stack.size();
    sigaltstack(&alternate, nullptr);
    for (int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL}) sigaction(signal, &action, nullptr);
  }
}

void CaptureOutput() {
  std::fflush(stdout);
  std::fflush(stderr);
  terminal = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  captured = memfd_create("imbrel-fuzz-output", MFD_CLOEXEC);
  if (terminal < 0 || captured < 0) {
    // Without a place for it the target's output stays where it is.
    if (captured >= 0) close(captured);
    captured = -1;
    return;
  }
  dup2(captured, STDOUT_FILENO);
  dup2(captured, STDERR_FILENO);
}

void RestoreOutput() {
  if (captured < 0) return;
  std::fflush(stdout);
  std::fflush(stderr);
  dup2(terminal, STDOUT_FILENO);
  dup2(terminal, STDERR_FILENO);
  close(captured);
  captured = -1;
}

// ---- running --------------------------------------------------------------------------------

struct Options {
  std::optional<fs::path> corpus;
  std::vector<fs::path> dictionaries;
  std::uint64_t seed = 1;
  std::uint64_t runs = 0;
  std::optional<std::size_t> max_len;
  fs::path findings = "fuzz-findings";
  std::optional<std::uint64_t> only;
  std::vector<fs::path> files;
};

Options Parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) Usage(std::string(arg) + " needs a value");
      return argv[++i];
    };
    if (arg == "--corpus") {
      options.corpus = value();
    } else if (arg == "--dict") {
      options.dictionaries.emplace_back(value());
    } else if (arg == "--seed") {
      options.seed = Number("--seed", value());
    } else if (arg == "--runs") {
      options.runs = Number("--runs", value());
    } else if (arg == "--max-len") {
      options.max_len = static_cast<std::size_t>(Number("--max-len", value()));
    } else if (arg == "--findings") {
      options.findings = value();
    } else if (arg == "--only") {
      options.only = Number("--only", value());
    } else if (arg == "-h" || arg == "--help") {
      Usage("runs the target over its corpus and seeded variations of it");
    } else if (arg.starts_with("-")) {
      Usage("unknown option " + std::string(arg));
    } else {
      options.files.emplace_back(arg);
    }
  }
  if (!options.corpus && options.files.empty()) Usage("no --corpus and no input files");
  return options;
}

// The input about to run: what to call it and the name of its file in the findings folder.
void Prepare(const std::string& what, const std::string& file_name) {
  Copy(current.what, sizeof current.what, what);
  const std::size_t n = std::strlen(current.dir);
  current.file[n] = '/';
  Copy(current.file + n + 1, sizeof current.file - n - 1, file_name);
}

// A digest of every input run, in order: the same inputs give the same digest on any machine.
std::uint64_t digest = 0xCBF29CE484222325ull;

void Digest(const Bytes& input) {
  std::uint64_t h = digest ^ input.size();
  std::size_t i = 0;
  for (; i + 8 <= input.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, input.data() + i, 8);
    h = (h ^ word) * 0x100000001B3ull;
  }
  for (; i < input.size(); ++i) h = (h ^ input[i]) * 0x100000001B3ull;
  digest = h ^ (h >> 29);
}

void Run(const Bytes& input) {
  Digest(input);
  if (captured >= 0) {
    std::fflush(stdout);
    std::fflush(stderr);
    current.output = lseek(captured, 0, SEEK_CUR);
    if (current.output > kCaptureLimit && ftruncate(captured, 0) == 0) {
      current.output = lseek(captured, 0, SEEK_SET);
    }
  }
  // An exact-size copy, as libFuzzer hands it over: reads past the end are caught.
  std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[input.size() ? input.size() : 1]);
  std::copy(input.begin(), input.end(), copy.get());
  current.data = copy.get();
  current.size = input.size();
  alarm(kInputSeconds);
  LLVMFuzzerTestOneInput(copy.get(), input.size());
  alarm(0);
  current.data = nullptr;
  current.what[0] = 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Line by line, so that what an input printed is in the capture when it fails.
  std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  std::string name = fs::path(argv[0]).filename().string();
  if (name.ends_with("_replay")) name.resize(name.size() - 7);
  Copy(target, sizeof target, name);
  const Options options = Parse(argc, argv);
  const fs::path findings = fs::absolute(options.findings);
  Copy(current.parent, sizeof current.parent, findings.parent_path().string());
  Copy(current.dir, sizeof current.dir, findings.string());
  Copy(current.file, sizeof current.file, findings.string());

  Corpus corpus;
  std::vector<Bytes> dictionary;
  if (options.files.empty()) {
    corpus = ReadCorpus(*options.corpus);
    for (const fs::path& file : options.dictionaries) ReadDictionary(file, dictionary);
  }
  std::size_t longest = 0;
  for (const Bytes& input : corpus.inputs) longest = std::max(longest, input.size());
  const std::size_t max_len = options.max_len.value_or(std::max<std::size_t>(4096, 2 * longest));
  const Mutator mutator(corpus, dictionary, max_len);
  const std::string seed = std::to_string(options.seed);

  InstallHandlers();
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
  const auto start = std::chrono::steady_clock::now();
  CaptureOutput();
  std::uint64_t inputs = 0;
  if (!options.files.empty()) {
    for (const fs::path& file : options.files) {
      const Bytes input = ReadFile(file);
      Prepare("file " + file.string(), "rerun-" + file.filename().string());
      Run(input);
      ++inputs;
    }
  } else if (options.only) {
    const std::string k = std::to_string(*options.only);
    Prepare("generated input " + k + " of seed " + seed, "seed" + seed + "-input" + k);
    Run(mutator.Make(options.seed, *options.only));
    ++inputs;
  } else {
    for (std::size_t i = 0; i < corpus.inputs.size(); ++i) {
      Prepare("corpus file " + corpus.names[i], "corpus-" + corpus.names[i]);
      Run(corpus.inputs[i]);
      ++inputs;
    }
    for (std::uint64_t k = 0; k < options.runs; ++k) {
      const std::string number = std::to_string(k);
      Prepare("generated input " + number + " of seed " + seed + " (alone: --only " + number +
                  " --seed " + seed + ")",
              "seed" + seed + "-input" + number);
      Run(mutator.Make(options.seed, k));
      ++inputs;
    }
  }
  RestoreOutput();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!options.files.empty() || options.only) {
    std::printf("%s: %llu inputs run, no finding\n", target,
                static_cast<unsigned long long>(inputs));
  } else {
    std::printf(
        "%s: %zu corpus inputs + %llu generated (seed %s, at most %zu bytes) = %llu inputs "
        "(digest %016llx) in %.1f s, no finding\n",
        target, corpus.inputs.size(), static_cast<unsigned long long>(options.runs), seed.c_str(),
        max_len, static_cast<unsigned long long>(inputs), static_cast<unsigned long long>(digest),
        seconds);
  }
  return 0;
}

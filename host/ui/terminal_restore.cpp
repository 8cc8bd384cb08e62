#include "host/ui/terminal_restore.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(undefined_behavior_sanitizer)
#define IMBREL_HAS_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define IMBREL_HAS_SANITIZER 1
#endif
#ifdef IMBREL_HAS_SANITIZER
#include <sanitizer/common_interface_defs.h>
#endif

namespace host::ui::terminal {

namespace {

constexpr int kSignals[] = {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL,
                            SIGTERM, SIGINT,  SIGHUP, SIGQUIT};

int tty_fd = -1;
int out_fd = -1;
termios saved_mode;
bool have_mode = false;
char reset_sequence[256];
std::size_t reset_length = 0;
struct sigaction previous_actions[NSIG];
std::atomic<bool> curses_active{false};

// Standard error held back while curses draws: fd 2 is the write end of a pipe that a thread
// empties into `held`, a ring that keeps the last bytes (a fatal message comes last); the real
// standard error is kept in `real_stderr`.
int held_pipe[2] = {-1, -1};
int real_stderr = -1;
char held[64 * 1024];
std::atomic<std::size_t> held_total{0};  // bytes ever put in `held` since the last release
std::atomic<bool> holding{false};
std::mutex held_mutex;

void WriteAll(int fd, const char* data, std::size_t length) {
  while (length > 0) {
    ssize_t n = write(fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    data += n;
    length -= static_cast<std::size_t>(n);
  }
}

// Moves what waits in the pipe into `held`. Call with held_mutex, or from a signal handler.
void DrainPipe() {
  for (;;) {
    std::size_t total = held_total.load();
    std::size_t at = total % sizeof held;
    ssize_t n = read(held_pipe[0], held + at, sizeof held - at);
    if (n <= 0) return;
    held_total.store(total + static_cast<std::size_t>(n));
  }
}

void WriteHeld(int fd) {
  std::size_t total = held_total.load();
  if (total <= sizeof held) {
    WriteAll(fd, held, total);
    return;
  }
  static const char kDropped[] =
      "[standard error held while the terminal was drawn: only its end is kept]\n";
  WriteAll(fd, kDropped, sizeof kDropped - 1);
  std::size_t at = total % sizeof held;
  WriteAll(fd, held + at, sizeof held - at);
  WriteAll(fd, held, at);
}

void EmptyPipeForever() {
  for (;;) {
    pollfd ready{held_pipe[0], POLLIN, 0};
    if (poll(&ready, 1, -1) < 0) continue;
    std::lock_guard lock(held_mutex);
    DrainPipe();
  }
}

// Gives fd 2 back to the real standard error and writes out what was held. Signal-safe apart
// from the lock, which the caller takes when it may.
void ReleaseStandardError() {
  if (!holding.exchange(false)) return;
  dup2(real_stderr, STDERR_FILENO);
  DrainPipe();
  WriteHeld(STDERR_FILENO);
  held_total.store(0);
}

void HoldStandardError() {
  if (!isatty(STDERR_FILENO) || holding) return;
  if (held_pipe[0] < 0) {
    if (pipe(held_pipe) != 0) return;
    fcntl(held_pipe[0], F_SETFL, fcntl(held_pipe[0], F_GETFL) | O_NONBLOCK);
    fcntl(held_pipe[0], F_SETFD, FD_CLOEXEC);
    fcntl(held_pipe[1], F_SETFD, FD_CLOEXEC);
    real_stderr = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    std::thread(EmptyPipeForever).detach();
  }
  if (real_stderr < 0) return;
  std::fflush(stderr);
  dup2(held_pipe[1], STDERR_FILENO);
  holding = true;
}

bool IsFault(int signal_number, const siginfo_t* info) {
  bool fault_signal = signal_number == SIGSEGV || signal_number == SIGBUS ||
                      signal_number == SIGFPE || signal_number == SIGILL;
  // si_code > 0: raised by the processor, not sent with kill or raise.
  return fault_signal && info && info->si_code > 0;
}

void (*volatile first_interrupt)() = nullptr;
volatile sig_atomic_t interrupt_pending = 0;  // a first Ctrl-C the window system has not taken
volatile sig_atomic_t have_first = 0;
timespec first_at{};  // when the last first Ctrl-C came

volatile sig_atomic_t ending_fd = -1;  // told of the Ctrl-C that ends the program
volatile sig_atomic_t ending = 0;      // it was told

void OnSignal(int signal_number, siginfo_t* info, void*) {
  int saved_errno = errno;
  if (signal_number == SIGINT && first_interrupt) {
    if (InterruptEndsProgram(interrupt_pending != 0)) {
      EndByInterrupt();
      errno = saved_errno;
      return;
    }
    // A first Ctrl-C: the cancel command of the window on top.
    interrupt_pending = 1;
    first_interrupt();
    errno = saved_errno;
    return;
  }
  RestoreTerminalNow();
  sigaction(signal_number, &previous_actions[signal_number], nullptr);
  errno = saved_errno;
  // A fault happens again when the handler returns, now under the previous action (a
  // sanitizer's report, or the default core dump). Anything else is raised again; it is
  // blocked in here, so the previous action takes it once this handler returns.
  if (!IsFault(signal_number, info)) raise(signal_number);
}

}  // namespace

void InstallTerminalRestore(int tty, int out) {
  tty_fd = tty;
  out_fd = out;
  have_mode = tcgetattr(tty, &saved_mode) == 0;
  for (int signal_number : kSignals) {
    struct sigaction current;
    sigaction(signal_number, nullptr, &current);
    bool terminating = signal_number == SIGTERM || signal_number == SIGINT ||
                       signal_number == SIGHUP || signal_number == SIGQUIT;
    if (terminating && current.sa_handler == SIG_IGN) continue;
    struct sigaction action = {};
    action.sa_sigaction = OnSignal;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    sigaction(signal_number, &action, &previous_actions[signal_number]);
  }
#ifdef IMBREL_HAS_SANITIZER
  // A sanitizer's report ends the process with _exit, without a signal.
  __sanitizer_set_death_callback(RestoreTerminalNow);
#endif
}

void SetFirstInterrupt(void (*hook)()) { first_interrupt = hook; }

void SetEndingInterrupt(int fd) { ending_fd = fd; }

void EndByInterrupt() {
  if (ending_fd >= 0 && !ending) {
    // The one told ends the process, the terminal given back by the exit handlers, once it
    // has said what the flash was left as.
    ending = 1;
    char byte = 0;
    if (write(ending_fd, &byte, 1) == 1) return;
  }
  RestoreTerminalNow();
  // As the console does: status 130, an exit rather than a death by the signal, so that a
  // calling shell script goes on and reads it.
  _exit(130);
}

void InterruptTaken() { interrupt_pending = 0; }

bool InterruptEndsProgram(bool pending) {
  constexpr long long kSecondWithinNs = 2000000000;
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const long long since = (static_cast<long long>(now.tv_sec) - first_at.tv_sec) * 1000000000 +
                          (now.tv_nsec - first_at.tv_nsec);
  if (pending || (have_first && since < kSecondWithinNs)) return true;
  first_at = now;
  have_first = 1;
  return false;
}

void SetResetSequence(std::string_view bytes) {
  reset_length = std::min(bytes.size(), sizeof reset_sequence);
  std::memcpy(reset_sequence, bytes.data(), reset_length);
}

void SetCursesActive(bool active) {
  std::lock_guard lock(held_mutex);
  if (active) {
    HoldStandardError();
    curses_active = true;
  } else {
    curses_active = false;
    ReleaseStandardError();
  }
}

void RestoreTerminalNow() {
  if (!curses_active.exchange(false)) return;
  WriteAll(out_fd, reset_sequence, reset_length);
  if (have_mode) tcsetattr(tty_fd, TCSANOW, &saved_mode);
  ReleaseStandardError();
}

}  // namespace host::ui::terminal

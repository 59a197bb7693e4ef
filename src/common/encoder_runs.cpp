#include "common/encoder_runs.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace quarnel {

namespace {

#ifndef CLOSE_RANGE_CLOEXEC
constexpr unsigned CLOSE_RANGE_CLOEXEC = 1u << 2;
#endif

constexpr int WAIT_MS = 20;

// Marks every descriptor past stderr close-on-exec; -1 where the kernel cannot.
long CloseRangeOnExec() {
#ifdef SYS_close_range
  return ::syscall(SYS_close_range, STDERR_FILENO + 1, ~0u, CLOSE_RANGE_CLOEXEC);
#else
  return -1;
#endif
}

// A descriptor that becomes readable when `pid` ends (close-on-exec); -1 where there is none.
int OpenPidfd(pid_t pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  return -1;
#endif
}

// The process group (the pid) of every running encoder: 0 free, -1 taken but not started yet.
// Process-wide and fixed because a signal handler kills from it.
std::atomic<pid_t> groups[ENCODER_SLOTS];
static_assert(std::atomic<pid_t>::is_always_lock_free, "the signal handler reads the table");

int TakeSlot() {
  for (int i = 0; i < ENCODER_SLOTS; ++i) {
    pid_t expected = 0;
    if (groups[i].compare_exchange_strong(expected, -1)) return i;
  }
  return -1;
}

// In the child between fork and exec: only async-signal-safe calls, as the parent may have had
// other threads holding locks. Reports exec's errno through `report`, a close-on-exec pipe.
[[noreturn]] void BecomeEncoder(const char* path, char* const argv[], pid_t parent, int report,
                                int fdLimit) {
  ::setpgid(0, 0);
  // Dies with the thread that forked it; a parent already gone would never send it.
  if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) ::_exit(127);
  struct sigaction defaults = {};
  defaults.sa_handler = SIG_DFL;
  sigemptyset(&defaults.sa_mask);
  for (int s = 1; s < NSIG; ++s) ::sigaction(s, &defaults, nullptr);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);

  if (report <= STDERR_FILENO) report = ::fcntl(report, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  int error = 0;
  const int null = ::open("/dev/null", O_RDWR);
  if (null < 0) {
    error = errno;
  } else {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
      if (::dup2(null, fd) < 0) error = errno;
    }
    if (null > STDERR_FILENO) ::close(null);
  }
  if (CloseRangeOnExec() != 0) {
    for (int fd = STDERR_FILENO + 1; fd < fdLimit; ++fd) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  if (error == 0) {
    ::execv(path, argv);
    error = errno;
  }
  const ssize_t ignored = ::write(report, &error, sizeof error);
  (void)ignored;
  ::_exit(127);
}

std::string CannotStart(int error) {
  return std::string("cannot start it: ") + std::strerror(error);
}

struct Running {
  size_t job;
  int slot;
  pid_t pid;
  int pidfd;  // -1 where pidfd_open is missing
};

// Starts one encoder; false with *why when it could not be started.
bool Start(const std::string& encoder, const std::vector<std::string>& args, Running& run,
           std::string* why) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(encoder.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  struct rlimit files;
  const int fdLimit = ::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < (1u << 20)
                          ? static_cast<int>(files.rlim_cur)
                          : 1 << 20;

  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) {
    *why = CannotStart(errno);
    return false;
  }
  // Signals wait until the child has dropped this process's handlers: a Ctrl-C between fork and
  // exec must not run them in the child.
  sigset_t all, old;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &old);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0) BecomeEncoder(encoder.c_str(), argv.data(), parent, report[1], fdLimit);
  const int forkError = errno;
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  ::close(report[1]);
  if (pid < 0) {
    ::close(report[0]);
    *why = CannotStart(forkError);
    return false;
  }
  // Also here, so that the group exists before anyone kills it; EACCES once it has exec'd.
  ::setpgid(pid, pid);
  groups[run.slot].store(pid);
  run.pid = pid;

  int error = 0;
  ssize_t got;
  while ((got = ::read(report[0], &error, sizeof error)) < 0 && errno == EINTR) {
  }
  ::close(report[0]);
  if (got == static_cast<ssize_t>(sizeof error)) {
    int status;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    groups[run.slot].store(-1);
    *why = CannotStart(error);
    return false;
  }
  run.pidfd = OpenPidfd(pid);
  return true;
}

// A run that cannot be waited for (reaped elsewhere) counts as ended, for Reap to report.
bool HasEnded(const Running& run) {
  siginfo_t info = {};
  if (::waitid(P_PID, run.pid, &info, WEXITED | WNOHANG | WNOWAIT) != 0) return errno != EINTR;
  return info.si_pid != 0;
}

EncoderResult Describe(int status) {
  if (WIFEXITED(status)) {
    return {WEXITSTATUS(status) == 0 ? EncoderEnd::Succeeded : EncoderEnd::Failed,
            "exit status " + std::to_string(WEXITSTATUS(status))};
  }
  return {EncoderEnd::Failed, "killed by signal " + std::to_string(WTERMSIG(status))};
}

// Kills what is left of the group (a leader that ended may leave children), takes the group off
// the table and reaps the leader; returns how it ended, a failure when that cannot be learned.
EncoderResult Reap(const Running& run) {
  ::kill(-run.pid, SIGKILL);
  groups[run.slot].store(0);
  int status = 0;
  pid_t got;
  while ((got = ::waitpid(run.pid, &status, 0)) < 0 && errno == EINTR) {
  }
  const int error = errno;
  if (run.pidfd >= 0) ::close(run.pidfd);
  if (got < 0) {
    return {EncoderEnd::Failed,
            std::string("an unknown status: cannot wait for it: ") + std::strerror(error)};
  }
  return Describe(status);
}

// Sleeps until one of the encoders ends or WAIT_MS pass; a signal cuts it short.
void WaitAWhile(const std::vector<Running>& running) {
  std::vector<pollfd> fds;
  for (const Running& r : running) {
    if (r.pidfd < 0) {
      fds.clear();
      break;
    }
    fds.push_back({r.pidfd, POLLIN, 0});
  }
  if (!fds.empty()) {
    ::poll(fds.data(), fds.size(), WAIT_MS);
    return;
  }
  const timespec pause = {0, WAIT_MS / 4 * 1000000L};
  ::nanosleep(&pause, nullptr);
}

}  // namespace

bool RunEncoders(const std::string& encoder, const std::vector<std::vector<std::string>>& jobs,
                 unsigned parallel, const EncoderStopTest& stop, const EncoderFinished& finished) {
  parallel = std::clamp(parallel, 1u, static_cast<unsigned>(ENCODER_SLOTS));
  std::vector<Running> running;
  // Should a callback throw, no encoder is left running behind it.
  struct KillLeft {
    std::vector<Running>& running;
    ~KillLeft() {
      for (const Running& r : running) Reap(r);
    }
  } killLeft{running};
  size_t next = 0;
  while (next < jobs.size() || !running.empty()) {
    if (stop()) {
      for (const Running& r : running) ::kill(-r.pid, SIGKILL);
      while (!running.empty()) {
        const Running stopped = running.front();
        running.erase(running.begin());
        Reap(stopped);
        finished(stopped.job, {EncoderEnd::Stopped, "stopped"});
      }
      return false;
    }
    while (next < jobs.size() && running.size() < parallel) {
      Running run{next, TakeSlot(), 0, -1};
      if (run.slot < 0) break;  // other runs of this process hold every slot: wait for one
      std::string why;
      if (Start(encoder, jobs[next], run, &why)) {
        running.push_back(run);
      } else {
        groups[run.slot].store(0);
        finished(next, {EncoderEnd::Failed, why});
      }
      ++next;
    }
    if (running.empty() && next == jobs.size()) break;
    WaitAWhile(running);
    for (size_t i = 0; i < running.size();) {
      if (!HasEnded(running[i])) {
        ++i;
        continue;
      }
      const Running ended = running[i];
      running.erase(running.begin() + static_cast<std::ptrdiff_t>(i));
      finished(ended.job, Reap(ended));
    }
  }
  return true;
}

EncoderResult RunEncoder(const std::string& encoder, const std::vector<std::string>& args,
                         const EncoderStopTest& stop) {
  EncoderResult result;
  RunEncoders(encoder, {args}, 1, stop,
              [&](size_t, const EncoderResult& ended) { result = ended; });
  return result;
}

void KillRunningEncoders() {
  for (const std::atomic<pid_t>& group : groups) {
    const pid_t pid = group.load();
    if (pid > 0 && ::kill(-pid, SIGKILL) != 0) ::kill(pid, SIGKILL);
  }
}

}  // namespace quarnel

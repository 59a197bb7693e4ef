#include "common/interrupts.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>

#include "common/encoder_runs.h"
#include "common/temporary_files.h"

namespace quarnel {

namespace {

std::atomic<int> interrupts{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler counts in it");

constexpr int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

// Only async-signal-safe calls from here on.
[[noreturn]] void HardExit() {
  // The encoders go first: one still running could write into a folder being emptied.
  KillRunningEncoders();
  UnlinkTemporaryFiles();
  RemoveTemporaryFolders();
  static const char message[] = "\nquarnel: interrupted\n";
  const ssize_t ignored = ::write(STDERR_FILENO, message, sizeof message - 1);
  (void)ignored;
  ::_exit(130);
}

void OnStopSignal(int) {
  if (interrupts.fetch_add(1) > 0) HardExit();
}

}  // namespace

void InstallInterruptHandlers() {
  struct sigaction action = {};
  action.sa_handler = OnStopSignal;
  // One handler at a time: a third signal waits until the hard exit of the second is done.
  sigemptyset(&action.sa_mask);
  for (int s : STOP_SIGNALS) sigaddset(&action.sa_mask, s);
  action.sa_flags = SA_RESTART;
  for (int s : STOP_SIGNALS) ::sigaction(s, &action, nullptr);
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ::sigaction(SIGPIPE, &ignore, nullptr);
}

bool InterruptRequested() {
  return interrupts.load() != 0;
}

void ResetInterruptForTesting() {
  interrupts.store(0);
}

}  // namespace quarnel

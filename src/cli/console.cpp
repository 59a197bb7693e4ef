#include "cli/console.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstring>

#include "cli/command_line.h"
#include "common/interrupts.h"

namespace quarnel::cli {

namespace {

// Read by the stop test, which encoder threads call too.
std::atomic<bool> broken{false};
std::atomic<bool> stdoutClosed{false};
std::atomic<int64_t> lastProbe{INT64_MIN / 2};
bool lost = false;
// The first failed write that was not a closed pipe: said once, when the program ends.
int lostError = 0;
const char* lostStream = nullptr;

void NoteFailure(std::FILE* stream, int error) {
  lost = true;
  if (error == EPIPE) {
    broken = true;
  } else if (lostStream == nullptr) {
    lostStream = stream == stdout ? "standard output" : "standard error";
    lostError = error;
  }
}

// A pipe on stdout whose reader has gone shows POLLERR before anything is written to it: a run
// whose output nobody reads (a JSON document comes only at the end) stops as soon as it would
// with a write. Looked at every 100 ms at most.
void ProbeStdout() {
  using namespace std::chrono;
  const int64_t now = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
  int64_t last = lastProbe.load();
  if (stdoutClosed || now - last < 100 || !lastProbe.compare_exchange_strong(last, now)) return;
  pollfd out = {STDOUT_FILENO, POLLOUT, 0};
  if (::poll(&out, 1, 0) == 1 && (out.revents & POLLERR) != 0) broken = true;
}

std::string FormatList(const char* format, va_list args) {
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(nullptr, 0, format, args);
  std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
  if (length > 0) std::vsnprintf(text.data(), text.size() + 1, format, again);
  va_end(again);
  return text;
}

}  // namespace

void HoldStandardStreams() {
  for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open() takes the lowest free number: this one.
    const int held = ::open("/dev/null", fd == STDIN_FILENO ? O_WRONLY : O_RDONLY);
    if (held != fd && held >= 0) ::close(held);
  }
}

bool Emit(std::FILE* stream, std::string_view text) {
  errno = 0;
  const bool written = std::fwrite(text.data(), 1, text.size(), stream) == text.size();
  if (!written || std::fflush(stream) != 0) {
    NoteFailure(stream, errno);
    return false;
  }
  return true;
}

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatList(format, args);
  va_end(args);
  return text;
}

bool EmitF(std::FILE* stream, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = FormatList(format, args);
  va_end(args);
  return Emit(stream, text);
}

std::string ErrorLine(const std::string& why) {
  const bool sentence = !why.empty() && (why.back() == '.' || why.back() == '?');
  return "ERROR: " + why + (sentence ? "" : ".");
}

void EmitErrorLine(const std::string& why) {
  Emit(stderr, ErrorLine(why) + "\n");
}

bool OutputBroken() {
  return broken;
}

bool OutputLost() {
  return lost;
}

bool StopAsked() {
  if (!broken) ProbeStdout();
  return InterruptRequested() || broken;
}

std::string ErrnoText(int error) {
  return error != 0 ? std::strerror(error) : "the system gave no reason";
}

int CloseOutputs(int status) {
  errno = 0;
  stdoutClosed = true;
  if (std::fclose(stdout) != 0) NoteFailure(stdout, errno);
  if (lostStream != nullptr) {
    EmitErrorLine(std::string("cannot write to ") + lostStream + ": " + ErrnoText(lostError));
  }
  errno = 0;
  if (std::fflush(stderr) != 0) NoteFailure(stderr, errno);
  if (status != EXIT_DONE || !lost) return status;
  return broken ? EXIT_INTERRUPTED : EXIT_FAILED;
}

}  // namespace quarnel::cli

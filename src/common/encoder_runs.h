// Runs of the external MP3 encoder, part of the platform layer: each in a process group of its
// own (Ctrl-C in the terminal reaches this program only), output kept off the terminal, killed
// with this process should it die (even by SIGKILL), and stopped within a moment when the
// caller's stop test says so.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace quarnel {

// How many encoders may run at once in the whole process: the size of the table the signal
// handler kills from.
constexpr int ENCODER_SLOTS = 32;

enum class EncoderEnd {
  Succeeded,  // exit status 0
  Failed,     // another exit status, killed by a signal, or could not be started
  Stopped,    // killed because the stop test asked for it
};

struct EncoderResult {
  EncoderEnd end = EncoderEnd::Failed;
  // "exit status 0", "exit status 3", "killed by signal 9", "stopped", "cannot start it: ..." or
  // "an unknown status: cannot wait for it: ...".
  std::string how;
};

// Called at least every 20 ms while encoders run; true asks them to stop.
using EncoderStopTest = std::function<bool()>;
// Called with a job's index and how it ended, in the calling thread, as each ends.
using EncoderFinished = std::function<void(size_t job, const EncoderResult& result)>;

// Runs `encoder` once per job (each an argument list, without the program name), up to
// `parallel` at a time (at least 1, at most ENCODER_SLOTS) in job order, and calls `finished`
// for each one that ends. Jobs must write only their own files, so that the results do not
// depend on the parallelism. A failed job does not stop the others: a caller that wants that
// makes its stop test say so. On a stop the running encoders are killed with their process
// groups, reported as Stopped, and the jobs not started are not started (nor reported). Returns
// false when a stop ended the runs, true when every job ran to its end.
//
// The encoders are started and waited for in the calling thread; the kernel kills them when that
// thread ends, so call it from a thread that lives until the runs are over.
bool RunEncoders(const std::string& encoder, const std::vector<std::vector<std::string>>& jobs,
                 unsigned parallel, const EncoderStopTest& stop, const EncoderFinished& finished);

// One run of `encoder` with `args`.
EncoderResult RunEncoder(const std::string& encoder, const std::vector<std::string>& args,
                         const EncoderStopTest& stop);

// Kills the process group of every encoder that runs now. Async-signal-safe: for a hard exit from
// a signal handler.
void KillRunningEncoders();

}  // namespace quarnel

// The program's two output streams with every write checked: output that did not arrive is a
// failure, and a reader that went away (a closed pipe: SIGPIPE is ignored, so it shows as EPIPE)
// stops the run as Ctrl-C does.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace quarnel::cli {

// Fills a standard stream the program was started without (a closed fd 0, 1 or 2) with /dev/null
// opened the wrong way round: no file the program opens later takes its number, where log lines
// would be written into it, and writes to it still fail as lost output. Call first of all.
void HoldStandardStreams();

// Writes `text` to `stream` (stdout or stderr) and flushes it, so that lines show as they come
// also through a pipe. False when it did not all arrive; the failure is remembered.
bool Emit(std::FILE* stream, std::string_view text);
bool EmitF(std::FILE* stream, const char* format, ...) __attribute__((format(printf, 2, 3)));
// printf into a string of any length.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// "ERROR: why." on stderr: the one line of a failure. The full stop is added unless `why` has one.
std::string ErrorLine(const std::string& why);
void EmitErrorLine(const std::string& why);

// A write failed with EPIPE: whoever read the output is gone.
bool OutputBroken();
// Some output (a log line, a document, a summary) was not delivered.
bool OutputLost();

// Ctrl-C (SIGTERM, SIGHUP) or a broken output, also a pipe on stdout whose reader has gone before
// anything was written to it: the run stops at the next check.
bool StopAsked();

// The text of an errno for a message; one of 0 never says "Success".
std::string ErrnoText(int error);

// Closes stdout and flushes stderr, checking both; output lost other than to a closed pipe gets
// its "ERROR" line. Returns `status`, or, for a run that otherwise succeeded, 130 after a closed
// pipe and 1 when output was lost.
int CloseOutputs(int status);

}  // namespace quarnel::cli

// Ctrl-C, SIGTERM and SIGHUP for the whole process: the first asks the running operation to stop
// where it next looks; a second of any of them ends the process at once, leaving no temporary
// output and no encoder behind.
#pragma once

namespace quarnel {

// Installs the handlers (with SA_RESTART, so that reads and writes go on rather than failing
// with EINTR) and ignores SIGPIPE, so that a closed stdout shows as EPIPE on the write instead of
// ending the process. The hard exit kills the running encoders, removes every listed temporary
// file and folder, writes "quarnel: interrupted" to stderr and exits with status 130.
void InstallInterruptHandlers();

// True once one of the three signals has arrived.
bool InterruptRequested();

// Forgets the signals received, so that a test can interrupt again.
void ResetInterruptForTesting();

}  // namespace quarnel

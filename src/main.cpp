// The quarnel program: the window when started without arguments, the command line otherwise.

#include "cli/command_line.h"
#include "cli/console.h"
#include "shell/shell.h"

int main(int argc, char** argv) {
  quarnel::cli::HoldStandardStreams();
  if (argc < 2) return quarnel::RunWindow(argc, argv);
  return quarnel::cli::RunCommandLine(argc, argv);
}

// What a run that writes files came to, shared by the commands that write: the front ends derive
// from it the last line of the log, the command line's exit status and its JSON "error".
#pragma once

#include <string>
#include <vector>

namespace quarnel {

struct Outcome {
  std::vector<std::string> written;  // outputs now whole under their final names
  std::vector<std::string> kept;     // existing files at the outputs' names, left as they were
  std::vector<std::string> removed;  // temporary files removed
  std::string error;                 // the failure, as its "ERROR" line put it; empty when none
  std::string stopDetail;  // with `stopped`: how far the run got, e.g. "after 3 of 9 blocks"
  // What a whole run did not do that a player must know, e.g. "the 2 audio tracks were not kept".
  std::vector<std::string> notes;
  bool stopped = false;

  bool Failed() const { return !error.empty(); }
  bool Done() const { return error.empty() && !stopped; }

  // Records a failure; the first one is the one reported.
  void Fail(const std::string& why) {
    if (error.empty()) error = why;
  }
};

// The last line of the log: "Wrote A and B.", "Wrote A and B; the 2 audio tracks were not kept.",
// "ERROR: ...; kept X, removed its temporary files."
// or "Stopped after ...: nothing was written; X was kept."
std::string FinalLine(const Outcome& outcome);

// "A", "A and B", "A, B and C".
std::string NameList(const std::vector<std::string>& names);

// The command line's exit status: 1 failed, 130 stopped, 0 done.
int ExitStatusOf(const Outcome& outcome);

}  // namespace quarnel

// The outputs of a whole batch, settled before its first input is done: an input named twice
// (or by another of its disc's files) is done once, inputs that would write one name are refused
// together, and an input whose output name is its very file is refused, so that no run of the
// batch overwrites what another wrote and none finds its own input in the way.
#pragma once

#include <string>
#include <vector>

namespace quarnel::cli {

// What one input reads and may write, as its command names them without running it.
struct PlannedInput {
  std::string given;
  // False when it could not be resolved: it is run as given and fails on its own.
  bool known = false;
  std::string disc;                // the file that stands for its disc (data track or data file)
  std::vector<std::string> reads;  // every file it reads
  // Its outputs share this name up to an extension that may depend on what the run finds.
  std::string stem;
  std::vector<std::string> writes;  // every name it may write
  std::string shown;                // its output, as a message names it: "o/a.bin.Z or o/a.bin.ZNX"
};

// One input of a batch; with `refusal` it is not run and fails with that reason, whose "ERROR"
// line is out already.
struct BatchInput {
  std::string input;
  std::string refusal;
};

std::vector<BatchInput> AsBatch(const std::vector<std::string>& inputs);

// Leaves out inputs whose disc an earlier one names (one line says so, on stdout, or on stderr in
// JSON mode) and refuses, each with one "ERROR" line, an input that would write over its own file
// and inputs whose outputs would take one name.
std::vector<BatchInput> PlanBatch(const std::vector<PlannedInput>& planned, bool jsonMode);

// Every disc under each folder among `inputs`, found recursively in a stable order: each cue sheet,
// and each raw image (.bin, .img, .iso in any letter case) that no cue sheet there names;
// compressed images, side files and everything else are passed over. Other inputs stay as they
// are. One line per folder says how many discs it holds.
std::vector<std::string> ExpandFolders(const std::vector<std::string>& inputs, bool jsonMode);

}  // namespace quarnel::cli

// A disc's audio kept losslessly beside its compressed image, so that the whole dump comes back
// byte for byte: a FLAC per audio track file of a set, or per audio track of a single image
// (together every byte behind its data track), the cue sheet (copied when the outputs go
// elsewhere) and the list of the dump's files. All of them are staged, and take their final names
// in the image's own commit.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "analysis/disc_analysis.h"
#include "common/output_file.h"
#include "common/reporter.h"
#include "packing/compressed_writer.h"
#include "packing/dat_file.h"
#include "packing/dump_list.h"

namespace quarnel {

class LosslessTracks {
 public:
  // The disc as the analysis opened it, and the data file the image is written to.
  LosslessTracks(const DiscAnalysis& analysis, std::string dataFile);
  ~LosslessTracks();

  // Hashes every file of the dump, encodes the FLACs on every core and writes the list. False
  // with Error() (one sentence naming the file) or Stopped(). `ripped`: media were rewritten, so
  // the blocks do not restore the dump's data track file.
  bool Write(bool ripped, Reporter& reporter);
  // Hands every staged file to the writer's commit.
  void AddTo(CompressedWriter& writer);
  // Removes the temporaries (not after a commit record named them).
  void Discard();

  const std::string& Error() const { return error_; }
  bool Stopped() const { return stopped_; }
  // The final names of the files written, and their bytes.
  std::vector<std::string> Names() const;
  uint64_t Bytes() const { return bytes_; }

 private:
  struct Flac;
  bool CheckNames(const std::vector<std::string>& paths);
  bool PlanFlacs();
  bool Encode(Reporter& reporter);
  bool Stage(OutputFile& file, const std::string& path);
  bool ReadCueText(DumpList& list);
  bool WriteList(bool ripped, const std::vector<HeldFile>& held, const std::string& prefixSha1,
                 DumpList& list);
  bool CopyCueSheet(const DumpList& list);

  const DiscAnalysis& analysis_;
  const std::string dataFile_;
  std::string folder_;  // the data file's, with its slash
  std::vector<std::unique_ptr<Flac>> flacs_;
  OutputFile list_;
  OutputFile cue_;
  uint64_t prefixLength_ = 0;
  uint64_t bytes_ = 0;
  std::string error_;
  bool stopped_ = false;
};

}  // namespace quarnel

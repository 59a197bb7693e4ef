// The record a commit of D leaves beside it while it renames (its layout is described in
// commit_group.h), and the checks a later run applies before it acts on one: the run that writes
// the record and the run that completes it share only this.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "common/commit_group.h"
#include "common/output_file.h"

namespace quarnel::commit {

struct Record {
  std::vector<std::string> hide;
  std::vector<std::pair<std::string, std::string>> moves;  // temporary, final
};

// The record of committing `files` (D first) after removing `hide`.
std::string EncodeRecord(const std::vector<OutputFile*>& files,
                         const std::vector<std::string>& hide);

// "" when `bytes` is a whole record, else why it is damaged.
std::string ParseRecord(const std::string& bytes, Record* record);

// "" when every name of `record` is one D's commit may touch: D, D plus a side suffix, the files
// committed beside D, and their temporaries, all bare names in D's folder. Else why not.
std::string CheckRecord(const Record& record, const std::string& base,
                        const std::vector<std::string>& sideSuffixes);

// Opens and locks the record at `path`: its descriptor, or -1 with `repair` saying why not (NONE
// when there is no record).
int LockRecord(const std::string& path, const std::string& dataFile, CommitRepair& repair);

// Reads the whole record behind `fd`, bounded in size; false when it is larger or cannot be read.
bool ReadRecord(int fd, std::string* bytes);

// Whether anything, a link included, stands at `path`.
bool Exists(const std::string& path);

}  // namespace quarnel::commit

#include "cli/batch_plan.h"

#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <optional>
#include <system_error>

#include "cli/cli_reporter.h"
#include "cli/console.h"

namespace quarnel::cli {

namespace {

struct FileId {
  dev_t dev;
  ino_t ino;
  auto operator<=>(const FileId&) const = default;
};

// The file at `path`; for an output name (`output`) only a regular file counts, as a link there
// is replaced, not written through.
std::optional<FileId> IdOf(const std::string& path, bool output) {
  struct stat st;
  if ((output ? ::lstat(path.c_str(), &st) : ::stat(path.c_str(), &st)) != 0) return std::nullopt;
  if (output && !S_ISREG(st.st_mode)) return std::nullopt;
  return FileId{st.st_dev, st.st_ino};
}

// The same path for every spelling of it: the folder resolved, the name as it is.
std::string Normal(const std::string& path) {
  const std::filesystem::path p(path);
  const std::filesystem::path parent = p.has_parent_path() ? p.parent_path() : ".";
  std::error_code error;
  std::filesystem::path folder = std::filesystem::weakly_canonical(parent, error);
  if (error) folder = std::filesystem::absolute(parent, error).lexically_normal();
  return (folder / p.filename()).string();
}

// "A", "A and B", "A, B and C".
std::string List(const std::vector<std::string>& names) {
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i != 0) out += i + 1 == names.size() ? " and " : ", ";
    out += names[i];
  }
  return out;
}

// The inputs left once every disc is named once.
std::vector<const PlannedInput*> OncePerDisc(const std::vector<PlannedInput>& planned,
                                             bool jsonMode) {
  std::vector<const PlannedInput*> kept;
  std::map<FileId, const PlannedInput*> discs;
  for (const PlannedInput& p : planned) {
    const std::optional<FileId> disc = p.known ? IdOf(p.disc, false) : std::nullopt;
    const auto [earlier, first] = disc ? discs.emplace(*disc, &p) : std::pair{discs.end(), true};
    if (first) {
      kept.push_back(&p);
    } else if (!QuietMode()) {
      const std::string& other = earlier->second->given;
      Emit(jsonMode ? stderr : stdout,
           "- " + p.given +
               (p.given == other ? " is given twice" : " is the same disc as " + other) +
               ": it is done once.\n");
    }
  }
  return kept;
}

// Why `p` would write over its own input, or empty: the core would find that file busy.
std::string OverwritesInput(const PlannedInput& p) {
  for (const std::string& name : p.writes) {
    const std::optional<FileId> output = IdOf(name, true);
    for (const std::string& read : p.reads) {
      if (output && IdOf(read, false) == output) {
        return name + " is the same file as the input " + read + "; nothing was written";
      }
    }
  }
  return {};
}

// Refuses every group of inputs whose outputs would take one name.
void RefuseCollisions(const std::vector<const PlannedInput*>& kept,
                      std::vector<BatchInput>& batch) {
  std::map<std::string, std::vector<size_t>> byName;
  for (size_t i = 0; i < kept.size(); ++i) {
    if (kept[i]->known && batch[i].refusal.empty()) byName[Normal(kept[i]->stem)].push_back(i);
  }
  for (const auto& [name, group] : byName) {
    if (group.size() < 2) continue;
    std::vector<std::string> inputs;
    for (const size_t i : group) inputs.push_back(kept[i]->given);
    const std::string why = List(inputs) + (group.size() == 2 ? " would both" : " would all") +
                            " write " + kept[group[0]]->shown + "; nothing was written for them";
    EmitErrorLine(why);
    for (const size_t i : group) batch[i].refusal = why;
  }
}

}  // namespace

std::vector<BatchInput> AsBatch(const std::vector<std::string>& inputs) {
  std::vector<BatchInput> batch;
  for (const std::string& input : inputs) batch.push_back({input, {}});
  return batch;
}

std::vector<BatchInput> PlanBatch(const std::vector<PlannedInput>& planned, bool jsonMode) {
  const std::vector<const PlannedInput*> kept = OncePerDisc(planned, jsonMode);
  std::vector<BatchInput> batch;
  for (const PlannedInput* p : kept) {
    batch.push_back({p->given, p->known ? OverwritesInput(*p) : std::string()});
    if (!batch.back().refusal.empty()) EmitErrorLine(batch.back().refusal);
  }
  RefuseCollisions(kept, batch);
  return batch;
}

std::string InFolder(const std::string& dir, const std::string& path) {
  if (dir.empty()) return path;
  const size_t slash = path.rfind('/');
  return dir + (dir.back() == '/' ? "" : "/") +
         path.substr(slash == std::string::npos ? 0 : slash + 1);
}

}  // namespace quarnel::cli

#include "cli/batch_plan.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <system_error>

#include "analysis/disc_input.h"
#include "cli/cli_reporter.h"
#include "cli/console.h"
#include "common/image_file.h"
#include "common/image_path.h"
#include "common/outcome.h"

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
    const std::string why = NameList(inputs) + (group.size() == 2 ? " would both" : " would all") +
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

namespace {

bool HasExtension(const std::filesystem::path& path, std::initializer_list<const char*> kinds) {
  std::string ext = path.extension().string();
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return std::any_of(kinds.begin(), kinds.end(), [&](const char* k) { return ext == k; });
}

// The discs under `folder`: its cue sheets, then the raw images none of them names.
std::vector<std::string> DiscsUnder(const std::string& folder) {
  std::vector<std::string> sheets, images;
  std::error_code error;
  for (auto it = std::filesystem::recursive_directory_iterator(
           folder, std::filesystem::directory_options::skip_permission_denied, error);
       !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    if (!it->is_regular_file(error)) continue;
    if (HasExtension(it->path(), {".cue"})) sheets.push_back(it->path().string());
    if (HasExtension(it->path(), {".bin", ".img", ".iso"})) images.push_back(it->path().string());
  }
  std::set<FileId> named;
  for (const std::string& sheet : sheets) {
    DiscInput disc;
    ImageFile file;
    OpenDiscInput(sheet, disc, file);
    for (const std::string& f : disc.files) {
      if (const auto id = IdOf(f, false)) named.insert(*id);
    }
  }
  std::vector<std::string> discs = sheets;
  for (const std::string& image : images) {
    const auto id = IdOf(image, false);
    if (!id || !named.contains(*id)) discs.push_back(image);
  }
  std::sort(discs.begin(), discs.end());
  return discs;
}

}  // namespace

std::vector<std::string> ExpandFolders(const std::vector<std::string>& inputs, bool jsonMode) {
  std::vector<std::string> expanded;
  for (const std::string& input : inputs) {
    std::error_code error;
    if (!std::filesystem::is_directory(input, error)) {
      expanded.push_back(input);
      continue;
    }
    const std::vector<std::string> discs = DiscsUnder(input);
    if (!QuietMode()) {
      Emit(jsonMode ? stderr : stdout, Format("- Found %zu disc%s in %s.\n", discs.size(),
                                              discs.size() == 1 ? "" : "s", input.c_str()));
    }
    expanded.insert(expanded.end(), discs.begin(), discs.end());
  }
  return expanded;
}

}  // namespace quarnel::cli

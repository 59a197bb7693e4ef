#include "common/outcome.h"

namespace quarnel {

std::string NameList(const std::vector<std::string>& names) {
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i != 0) out += i + 1 == names.size() ? " and " : ", ";
    out += names[i];
  }
  return out;
}

namespace {

// What is left on disk: what was written, what was kept, whether temporaries went.
std::string Leftovers(const Outcome& o) {
  std::string out = o.written.empty() ? "nothing was written" : "wrote " + NameList(o.written);
  if (!o.kept.empty()) {
    out += "; " + NameList(o.kept) + (o.kept.size() == 1 ? " was kept" : " were kept");
  }
  if (!o.removed.empty()) out += "; its temporary files were removed";
  return out;
}

}  // namespace

std::string FinalLine(const Outcome& o) {
  if (o.Failed()) return "ERROR: " + o.error + "; " + Leftovers(o) + ".";
  if (o.stopped) {
    return "Stopped" + (o.stopDetail.empty() ? std::string() : " " + o.stopDetail) + ": " +
           Leftovers(o) + ".";
  }
  std::string line = o.written.empty() ? "Nothing was written" : "Wrote " + NameList(o.written);
  for (const std::string& note : o.notes) line += "; " + note;
  return line + ".";
}

int ExitStatusOf(const Outcome& o) {
  return o.Failed() ? 1 : o.stopped ? 130 : 0;
}

}  // namespace quarnel

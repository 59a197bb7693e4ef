#include "shell/panel.h"

#include <cstring>

namespace quarnel {

void AppendPanelText(std::string& panel, const char* line) {
  if (panel.size() > PANEL_TEXT_LIMIT) {
    // The first character is never taken for the end of the first line.
    const size_t lf = panel.find('\n', 1);
    if (lf == std::string::npos) {
      panel.clear();
    } else {
      panel.erase(0, lf + 1);
    }
  }
  const size_t n = std::strlen(line);
  if (n == 0) return;
  panel.append(line, n);
  panel.append("\r\n");
}

}  // namespace quarnel

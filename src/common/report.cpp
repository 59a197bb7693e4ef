#include "common/report.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace quarnel {

void LogF(AppState& state, Window& window, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(state.LogLine, sizeof state.LogLine, format, args);
  va_end(args);
  window.AppendPanelLine(state.LogLine, IDC_INFO_LOG);
}

void ShowWarningF(Window& window, const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  window.ShowWarning(text);
}

void ReadControlText(Window& window, int id, char* buffer, size_t size) {
  if (size == 0) return;
  const std::string text = window.ControlText(id);
  const size_t n = std::min(text.size(), size - 1);
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
}

}  // namespace quarnel

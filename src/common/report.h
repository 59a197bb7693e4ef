// Reporting: one printf-style line through the shared LogLine buffer into the "Informations:"
// panel.
#pragma once

#include "common/app_state.h"
#include "common/window.h"

namespace quarnel {

void LogF(AppState& state, Window& window, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Formats into a 512-byte buffer and shows the "Warning." box.
void ShowWarningF(Window& window, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Reads a control's text into a fixed buffer, cut to its size with the terminating zero.
void ReadControlText(Window& window, int id, char* buffer, size_t size);

}  // namespace quarnel

// The text rules of the window's two multi-line panels.
#pragma once

#include <string>

namespace quarnel {

// A panel whose text is longer than this loses its oldest line on the next append.
constexpr size_t PANEL_TEXT_LIMIT = 25000;

// Appends `line` and CR LF to `panel` (an empty line appends nothing), after dropping the oldest
// line when the panel holds more than PANEL_TEXT_LIMIT characters.
void AppendPanelText(std::string& panel, const char* line);

}  // namespace quarnel

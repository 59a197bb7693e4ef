// The kind of compressed image "Process ISO" writes: the combo box's choice, forced to zlib with
// XA tags whenever an XA stream is to be ripped.
#pragma once

#include "common/app_state.h"
#include "common/window.h"

namespace quarnel {

void ChooseCompressionMode(AppState& state, Window& window);

// True when an XA stream of the media table is marked to be ripped.
bool AnyXaStreamRipped(const AppState& state);

// The combo box entry that matches a path at start-up: ".Z" anywhere selects "Normal Compression",
// else ".bz" anywhere "Maximum Compression", else "Normal Compression".
int InitialComboSelection(const char* path);

}  // namespace quarnel

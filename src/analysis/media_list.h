// The media list: twelve rows of the media table at a time, with their "Rip:" and "10%" boxes.
#pragma once

#include "common/app_state.h"
#include "common/window.h"

namespace quarnel {

// The row text of a record ("[Video Stream] from ..." or "[XA Stream] from ..."); empty for
// MEDIA_NONE.
std::string MediaRowText(const MediaRecord& record);

void RenderMediaPage(AppState& state, Window& window);
void MediaPageUp(AppState& state, Window& window);
void MediaPageDown(AppState& state, Window& window);

// A click on the "Rip:" or "10%" box of row 0 to 11; the box has already toggled itself.
void RipBoxClicked(AppState& state, Window& window, int row);
void TenPercentBoxClicked(AppState& state, Window& window, int row);

enum class MediaSelection { All, Video, Xa, None };
void SelectMedia(AppState& state, Window& window, MediaSelection selection);

}  // namespace quarnel

// The marks of the media table and their rules, the same for every front end: the "Rip:" and
// "10%" box of a medium, the four selection buttons and the rule that rips every XA stream whose
// sound is to become MP3.
#pragma once

#include <cstdint>
#include <string>

#include "analysis/disc_analysis.h"

namespace quarnel {

// The row text of a record ("[Video Stream] from ..." or "[XA Stream] from ..."); empty for
// MEDIA_NONE.
std::string MediaRowText(const MediaRecord& record);

// The "Rip:" box of medium `index` set or cleared. A medium that does not exist cannot be marked.
// Returns the mark as it now stands, which is what the box shows.
bool SetRipMark(DiscAnalysis& analysis, uint32_t index, bool checked);
// The "10%" box: only a video marked "Rip:" keeps its first tenth.
bool SetTenPercentMark(DiscAnalysis& analysis, uint32_t index, bool checked);

// ALL, VID, XAS and NOT.
enum class MediaSelection { All, Video, Xa, None };
void SelectMedia(DiscAnalysis& analysis, MediaSelection selection);

// Marks every XA stream "Rip:" (their sound is to become MP3); returns how many were not marked.
uint32_t MarkAllXaStreams(DiscAnalysis& analysis);

}  // namespace quarnel

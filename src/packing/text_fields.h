// The text fields of the files kept beside a compressed image (the list of the dump's files and the
// FLAC tracks' tags), each read one way wherever it appears.
#pragma once

#include <string_view>

namespace quarnel {

// A name a restore may create beside the others: not empty, at most 255 bytes, neither "." nor
// "..", no path separator (a backslash included) and no control character. Null when fine, else
// why not ("is empty", ...).
const char* BadFileNameReason(std::string_view name);

}  // namespace quarnel

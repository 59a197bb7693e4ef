// The text fields of the files kept beside a compressed image (the list of the dump's files and the
// FLAC tracks' tags), each read one way wherever it appears.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quarnel {

// A name a restore may create beside the others: not empty, at most 255 bytes, neither "." nor
// "..", no path separator (a backslash included) and no control character. Null when fine, else
// why not ("is empty", ...).
const char* BadFileNameReason(std::string_view name);

// A decimal number of 1 to 20 digits that fits 64 bits; false for anything else.
bool ParseDecimal(std::string_view text, uint64_t* value);

// Hex digits of either case into their bytes; false for an odd count or any other character.
bool ParseHex(std::string_view text, std::string* bytes);

// Exactly `length` lowercase hex digits: a digest as the program writes it.
bool IsLowerHex(std::string_view text, size_t length);

}  // namespace quarnel

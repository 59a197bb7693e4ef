// A small streaming JSON writer for the machine-readable output of the command line. Text in
// this program is single bytes, so every byte of 0x80 or more is written as \u00XX: the output
// is plain ASCII and always valid JSON, whatever a file name holds.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quarnel {

// Appends `text` as a quoted JSON string.
void AppendJsonString(std::string& out, std::string_view text);

// Writes compact JSON into a string; commas and colons are placed by the writer. The caller keeps
// the nesting balanced and calls Key before every value inside an object.
class JsonWriter {
 public:
  explicit JsonWriter(std::string& out) : out_(out) {}

  void BeginObject();
  void EndObject();
  void BeginArray();
  void EndArray();
  void Key(std::string_view key);
  void String(std::string_view value);
  void Number(int64_t value);
  void Bool(bool value);

  // Key and value in one call.
  void Field(std::string_view key, std::string_view value) {
    Key(key);
    String(value);
  }
  void Field(std::string_view key, const char* value) {
    Key(key);
    String(value);
  }
  void Field(std::string_view key, int64_t value) {
    Key(key);
    Number(value);
  }
  void Field(std::string_view key, uint32_t value) {
    Key(key);
    Number(value);
  }
  void Field(std::string_view key, bool value) {
    Key(key);
    Bool(value);
  }

 private:
  void BeforeValue();

  std::string& out_;
  std::vector<bool> hasItems_;  // per open object or array: a comma goes before the next item
  bool afterKey_ = false;
};

}  // namespace quarnel

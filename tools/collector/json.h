// A small JSON reader for the reports the collector prints (transaction reports): a whole document
// into a tree, with a nesting limit, refusing anything that is not strict JSON.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace collector {

struct JsonValue {
  enum class Kind { null, boolean, number, string, array, object };
  Kind kind = Kind::null;
  bool boolean = false;
  std::string text;                                        // a string's characters (UTF-8), or a number as written
  std::vector<JsonValue> items;                            // array elements
  std::vector<std::pair<std::string, JsonValue>> members;  // object members, in order
};

// Parses the whole text; false (with *error_at set to the byte offset) when it is not one valid
// JSON value nested at most 64 deep.
bool parse_json(const std::string &text, JsonValue &value, size_t *error_at = nullptr);

}  // namespace collector

// The little JSON the web page's API takes and gives: one object of scalars
// and flat arrays in, text out. Numbers are kept as their text, so that a
// code is judged by the same rules as a SCPI parameter.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarvel {

struct JsonValue {
  enum class Kind { Null, Bool, Number, String, Array } kind = Kind::Null;
  std::string text;  // a number's text or a string's characters
  bool boolean = false;
  std::vector<JsonValue> items;  // an array's scalars
};

using JsonObject = std::vector<std::pair<std::string, JsonValue>>;

// One JSON object whose values are scalars or arrays of scalars (no deeper
// nesting), with no member named twice; nothing with `why` for anything else.
std::optional<JsonObject> ParseJsonObject(std::string_view text, std::string& why);

// `text` as a JSON string, quotes included; control characters escaped.
std::string JsonQuoted(std::string_view text);

}  // namespace tarvel

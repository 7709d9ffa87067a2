// A strict JSON reader for tests that check machine-readable output: any
// deviation from the grammar (RFC 8259) fails the parse.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vorn::test {

struct JsonValue {
  enum class Type { Null, Bool, Number, String, Array, Object } type = Type::Null;
  bool boolean = false;
  double number = 0;
  std::string text;  // UTF-8
  std::vector<JsonValue> items;
  std::map<std::string, JsonValue> members;

  // Member access for tests; a missing member is a null value.
  const JsonValue &operator[](const std::string &name) const;
  const JsonValue &operator[](size_t index) const;
};

// The value of a whole JSON text, or nothing (with the reason in *error)
// when the text is not valid JSON.
std::optional<JsonValue> ParseJson(const std::string &text, std::string *error = nullptr);

}  // namespace vorn::test

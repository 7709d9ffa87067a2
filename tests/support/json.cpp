#include "support/json.h"

#include <cstdlib>
#include <stdexcept>

namespace vorn::test {

namespace {

const JsonValue kNull;

class Parser {
 public:
  explicit Parser(const std::string &text) : s_(text) {}

  JsonValue Document() {
    JsonValue value = Value(0);
    Space();
    if (i_ != s_.size()) Fail("text after the value");
    return value;
  }

 private:
  [[noreturn]] void Fail(const std::string &what) {
    throw std::runtime_error(what + " at offset " + std::to_string(i_));
  }
  void Space() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r'))
      ++i_;
  }
  bool Take(char c) {
    Space();
    if (i_ < s_.size() && s_[i_] == c) return ++i_, true;
    return false;
  }
  void Expect(char c) {
    if (!Take(c)) Fail(std::string("expected '") + c + "'");
  }
  bool Word(const char *word) {
    const std::string w(word);
    if (s_.compare(i_, w.size(), w) != 0) return false;
    i_ += w.size();
    return true;
  }

  JsonValue Value(int depth) {
    if (depth > 64) Fail("nesting too deep");
    Space();
    if (i_ >= s_.size()) Fail("unexpected end");
    JsonValue v;
    const char c = s_[i_];
    if (c == '{') {
      ++i_;
      v.type = JsonValue::Type::Object;
      if (Take('}')) return v;
      do {
        Space();
        if (i_ >= s_.size() || s_[i_] != '"') Fail("expected a member name");
        std::string name = String();
        Expect(':');
        if (!v.members.emplace(name, Value(depth + 1)).second) Fail("duplicate member " + name);
      } while (Take(','));
      Expect('}');
    } else if (c == '[') {
      ++i_;
      v.type = JsonValue::Type::Array;
      if (Take(']')) return v;
      do v.items.push_back(Value(depth + 1));
      while (Take(','));
      Expect(']');
    } else if (c == '"') {
      v.type = JsonValue::Type::String;
      v.text = String();
    } else if (Word("true") || Word("false")) {
      v.type = JsonValue::Type::Bool;
      v.boolean = s_[i_ - 1] == 'e' && s_[i_ - 2] == 'u';
    } else if (Word("null")) {
    } else {
      v.type = JsonValue::Type::Number;
      v.number = Number();
    }
    return v;
  }

  double Number() {
    const size_t start = i_;
    auto digits = [&] {
      const size_t from = i_;
      while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') ++i_;
      return i_ - from;
    };
    if (i_ < s_.size() && s_[i_] == '-') ++i_;
    const size_t intStart = i_;
    const size_t n = digits();
    if (n == 0 || (n > 1 && s_[intStart] == '0')) Fail("bad number");
    if (i_ < s_.size() && s_[i_] == '.') {
      ++i_;
      if (digits() == 0) Fail("bad fraction");
    }
    if (i_ < s_.size() && (s_[i_] == 'e' || s_[i_] == 'E')) {
      ++i_;
      if (i_ < s_.size() && (s_[i_] == '+' || s_[i_] == '-')) ++i_;
      if (digits() == 0) Fail("bad exponent");
    }
    return std::strtod(s_.substr(start, i_ - start).c_str(), nullptr);
  }

  void Utf8(std::string &out, uint32_t c) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }

  std::string String() {
    ++i_;  // the opening quote
    std::string out;
    while (true) {
      if (i_ >= s_.size()) Fail("unterminated string");
      const auto c = static_cast<unsigned char>(s_[i_++]);
      if (c == '"') return out;
      if (c < 0x20) Fail("control character in a string");
      if (c != '\\') {
        out += static_cast<char>(c);
        continue;
      }
      if (i_ >= s_.size()) Fail("unterminated escape");
      const char e = s_[i_++];
      switch (e) {
        case '"': case '\\': case '/': out += e; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          if (i_ + 4 > s_.size()) Fail("short \\u escape");
          uint32_t code = 0;
          for (int k = 0; k < 4; ++k) {
            const char h = s_[i_++];
            code = code * 16 + (h >= '0' && h <= '9'   ? h - '0'
                                : h >= 'a' && h <= 'f' ? h - 'a' + 10
                                : h >= 'A' && h <= 'F' ? h - 'A' + 10
                                                       : (Fail("bad \\u escape"), 0));
          }
          Utf8(out, code);  // the tool never writes surrogate pairs
          break;
        }
        default: Fail("bad escape");
      }
    }
  }

  const std::string &s_;
  size_t i_ = 0;
};

}  // namespace

const JsonValue &JsonValue::operator[](const std::string &name) const {
  auto it = members.find(name);
  return it == members.end() ? kNull : it->second;
}

const JsonValue &JsonValue::operator[](size_t index) const {
  return index < items.size() ? items[index] : kNull;
}

std::optional<JsonValue> ParseJson(const std::string &text, std::string *error) {
  try {
    return Parser(text).Document();
  } catch (const std::exception &e) {
    if (error) *error = e.what();
    return std::nullopt;
  }
}

}  // namespace vorn::test

// The XML reader of the native header: tokenizer, start-tag parser, entity
// decoding, the integer rule and the element tree.
#include "native/krxmls.h"

#include <cstring>
#include <unordered_map>
#include <utility>

#include "platform/user.h"
#include "runtime/exceptions.h"
#include "runtime/streams.h"

namespace vorn {
namespace {

// The longest text LoadFromStream accepts: what a 32-bit process could hold
// in one string. It also keeps every count of elements and attributes within
// a signed 32-bit integer, since each needs at least two bytes of text.
constexpr int64_t kMaxXmlTextBytes = 0x7FFFFFFF;

// Up to this many attributes in one tag, duplicates are found by a linear
// scan; beyond it an index keeps a hostile tag from costing quadratic time.
constexpr size_t kLinearAttributeLimit = 16;

unsigned char Byte(std::string_view text, size_t index) {
  return static_cast<unsigned char>(text[index]);
}

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c; }

// Without the leading and trailing bytes at or below the space character.
std::string Trim(std::string_view text) {
  size_t begin = 0, end = text.size();
  while (begin < end && Byte(text, begin) <= ' ') ++begin;
  while (end > begin && Byte(text, end - 1) <= ' ') --end;
  return std::string(text.substr(begin, end - begin));
}

bool IsElementTagText(std::string_view raw) {
  return !raw.empty() && raw[0] == '<' && (raw.size() < 2 || raw[1] != '?');
}

// Splits a text into tokens one at a time, so that the tree builder holds
// one token at a time rather than the list of all of them.
class TKrXmlTokenizer {
 public:
  TKrXmlTokenizer(std::string_view text, const TKrLeadBytes &leadBytes)
      : text_(text), leadBytes_(leadBytes) {}

  // The raw bytes of the next token; false after the last one.
  bool Next(std::string_view &raw);

 private:
  enum class State { Outside, InTag, InQuote };
  static constexpr size_t kNone = SIZE_MAX;

  std::string_view text_;
  const TKrLeadBytes &leadBytes_;
  size_t position_ = 0;
  // Where the pending text began (none before the first tag, so that text
  // before it is dropped), and where the open tag began.
  size_t textStart_ = kNone;
  size_t tagStart_ = 0;
  State state_ = State::Outside;
  char quote_ = 0;
  bool done_ = false;
};

bool TKrXmlTokenizer::Next(std::string_view &raw) {
  if (done_) return false;
  const size_t n = text_.size();
  size_t i = position_;
  while (i < n) {
    const unsigned char c = Byte(text_, i);
    if (leadBytes_(c)) {  // the character's second byte is never markup
      i += 2;
      continue;
    }
    switch (state_) {
      case State::Outside:
        if (c == '<') {
          const size_t textStart = textStart_;
          textStart_ = kNone;
          tagStart_ = i;
          state_ = State::InTag;
          position_ = i + 1;
          if (textStart != kNone && i > textStart) {
            raw = text_.substr(textStart, i - textStart);
            return true;
          }
        }
        break;
      case State::InTag:
        if (c == '>') {
          raw = text_.substr(tagStart_, i + 1 - tagStart_);
          textStart_ = i + 1;
          state_ = State::Outside;
          position_ = i + 1;
          return true;
        }
        if (c == '"' || c == '\'') {
          quote_ = static_cast<char>(c);
          state_ = State::InQuote;
        }
        break;
      case State::InQuote:
        if (c == static_cast<unsigned char>(quote_)) state_ = State::InTag;
        break;
    }
    ++i;
  }
  // The text after the last tag is a token even when empty; an unclosed tag
  // is dropped.
  done_ = true;
  if (textStart_ == kNone) return false;
  raw = text_.substr(textStart_);
  return true;
}

// The first single-byte ';' at or after a character start. Searches only
// move forward, and the answer is remembered, so that a text full of "&#"
// without a ';' is still scanned once.
class TSemicolonFinder {
 public:
  TSemicolonFinder(std::string_view text, const TKrLeadBytes &leadBytes)
      : text_(text), leadBytes_(leadBytes) {}

  size_t From(size_t start) {
    if (!known_ || start < searchedFrom_ || (found_ != std::string_view::npos && found_ < start)) {
      searchedFrom_ = start;
      found_ = std::string_view::npos;
      for (size_t i = start; i < text_.size(); i += leadBytes_(Byte(text_, i)) ? 2 : 1) {
        if (text_[i] == ';') {
          found_ = i;
          break;
        }
      }
      known_ = true;
    }
    return found_;
  }

 private:
  std::string_view text_;
  const TKrLeadBytes &leadBytes_;
  bool known_ = false;
  size_t searchedFrom_ = 0;
  size_t found_ = std::string_view::npos;
};

// Appends the character at index (one byte, or two for a lead byte) and
// returns the index after it.
size_t CopyCharacter(std::string_view text, size_t index, const TKrLeadBytes &leadBytes,
                     std::string &out) {
  const size_t length = leadBytes(Byte(text, index)) ? 2 : 1;
  out.append(text.substr(index, length));
  return index + length;
}

// First pass: "&#" number ";" for numbers 1 to 65535. Scanning resumes after
// a replacement; a reference that does not qualify is kept and the scan goes
// on at the byte after its '&'.
std::string DecodeNumericReferences(std::string_view text, const TKrLeadBytes &leadBytes) {
  std::string out;
  out.reserve(text.size());
  TSemicolonFinder semicolons(text, leadBytes);
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] == '&' && i + 1 < text.size() && text[i + 1] == '#') {
      const size_t semicolon = semicolons.From(i + 2);
      int32_t number;
      if (semicolon != std::string_view::npos &&
          TryParseXmlInteger(text.substr(i + 2, semicolon - (i + 2)), number) && number >= 1 &&
          number <= 65535) {
        if (number >= 256) out += static_cast<char>(number >> 8);  // lead byte first
        out += static_cast<char>(number & 0xFF);
        i = semicolon + 1;
        continue;
      }
    }
    i = CopyCharacter(text, i, leadBytes, out);
  }
  return out;
}

// Second pass: the four named references. Replacing them one name after the
// other over the whole text gives the same result as this single pass,
// because no two can overlap and only the last ("&amp;") yields a '&'.
std::string DecodeNamedReferences(std::string_view text, const TKrLeadBytes &leadBytes) {
  static constexpr std::pair<std::string_view, char> kNamed[] = {
      {"&gt;", '>'}, {"&lt;", '<'}, {"&quot;", '"'}, {"&amp;", '&'}};
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] == '&') {
      bool replaced = false;
      for (const auto &[entity, byte] : kNamed) {
        if (text.substr(i, entity.size()) == entity) {
          out += byte;
          i += entity.size();
          replaced = true;
          break;
        }
      }
      if (replaced) continue;
    }
    i = CopyCharacter(text, i, leadBytes, out);
  }
  return out;
}

}  // namespace

// --- Free functions ----------------------------------------------------------

bool TryParseXmlInteger(std::string_view text, int32_t &value) {
  // Fails at the first byte that cannot belong to the number, so that the
  // numeric references of a long text stay linear to decode.
  size_t i = 0;
  const size_t n = text.size();
  while (i < n && text[i] == ' ') ++i;
  if (i == n) return false;

  bool hex = false;
  if (text[i] == '$' || text[i] == 'x' || text[i] == 'X') {
    hex = true;
    i += 1;
  } else if (text[i] == '0' && i + 1 < n && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (hex) {
    if (i == n) return false;
    uint32_t result = 0;
    for (; i < n; ++i) {
      const char c = text[i];
      uint32_t digit;
      if (c >= '0' && c <= '9') digit = static_cast<uint32_t>(c - '0');
      else if (c >= 'a' && c <= 'f') digit = static_cast<uint32_t>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') digit = static_cast<uint32_t>(c - 'A' + 10);
      else return false;
      if (result > 0x0FFFFFFFu) return false;  // a ninth significant digit
      result = (result << 4) | digit;
    }
    value = static_cast<int32_t>(result);  // all 32 bits: "$FFFFFFFF" is -1
    return true;
  }

  bool negative = false;
  if (text[i] == '-' || text[i] == '+') {
    negative = text[i] == '-';
    ++i;
  }
  if (i == n) return false;
  const int64_t limit = negative ? int64_t{2147483648} : int64_t{2147483647};
  int64_t result = 0;
  for (; i < n; ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return false;
    result = result * 10 + (c - '0');
    if (result > limit) return false;
  }
  value = static_cast<int32_t>(negative ? -result : result);
  return true;
}

bool SameXmlName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  return true;
}

TKrLeadBytes::TKrLeadBytes() {
  for (int b = 0; b < 256; ++b) lead_[b] = IsDBCSLeadByte(static_cast<BYTE>(b)) != FALSE;
}

std::string DecodeXmlEntities(std::string_view text, const TKrLeadBytes &leadBytes) {
  if (std::memchr(text.data(), '&', text.size()) == nullptr) return std::string(text);
  return DecodeNamedReferences(DecodeNumericReferences(text, leadBytes), leadBytes);
}

// --- TKrXmlTag ---------------------------------------------------------------

TKrXmlTag::TKrXmlTag(std::string raw, const TKrLeadBytes &leadBytes) : raw_(std::move(raw)) {
  const size_t n = raw_.size();
  const bool markup = n >= 1 && raw_[0] == '<';
  if (markup) kind_ = (n >= 2 && raw_[1] == '?') ? Kind::Declaration : Kind::Element;

  // One walk over the characters finds which of the positions that matter
  // are single-byte positions, and where the element name ends: at the first
  // '/', '>' or space from the third byte on.
  bool secondIsCharacter = false, beforeLastIsCharacter = false;
  size_t nameEnd = n;
  for (size_t i = 0; i < n; i += leadBytes(Byte(raw_, i)) ? 2 : 1) {
    if (i == 1) secondIsCharacter = true;
    if (i + 2 == n) beforeLastIsCharacter = true;
    if (markup && nameEnd == n && i >= 2 && (raw_[i] == '/' || raw_[i] == '>' || raw_[i] == ' '))
      nameEnd = i;
  }
  closingOrEmpty_ = (secondIsCharacter && raw_[1] == '/') ||
                    (beforeLastIsCharacter && raw_[n - 2] == '/');
  if (!markup) return;

  const size_t nameStart = (n >= 2 && raw_[1] == '/') ? 2 : 1;
  if (nameEnd > nameStart)
    name_ = Trim(std::string_view(raw_).substr(nameStart, nameEnd - nameStart));
  // Only a space separates the name from attributes; they run up to the
  // byte before the closing '>'.
  if (nameEnd < n && raw_[nameEnd] == ' ') ParseAttributes(nameEnd + 1, n - 1, leadBytes);
}

void TKrXmlTag::ParseAttributes(size_t from, size_t to, const TKrLeadBytes &leadBytes) {
  // The byte that moves the machine into a state is consumed by the move. A
  // name without '=' runs on into the next one; values need quotes, and one
  // left open at the end of the tag stays empty.
  enum class State { SeekName, InName, SeekValue, InValue } state = State::SeekName;
  const std::string_view raw(raw_);
  size_t nameStart = 0, valueStart = 0;
  char quote = 0;
  for (size_t i = from; i < to; i += leadBytes(Byte(raw, i)) ? 2 : 1) {
    const char c = raw[i];
    switch (state) {
      case State::SeekName:
        if (c != ' ') {
          nameStart = i;
          state = State::InName;
        }
        break;
      case State::InName:
        if (c == '=') {
          attributes_.push_back({Trim(raw.substr(nameStart, i - nameStart)), {}});
          state = State::SeekValue;
        }
        break;
      case State::SeekValue:
        if (c == '"' || c == '\'') {
          quote = c;
          valueStart = i + 1;
          state = State::InValue;
        }
        break;
      case State::InValue:
        if (c == quote) {
          attributes_.back().value = std::string(raw.substr(valueStart, i - valueStart));
          state = State::SeekName;
        }
        break;
    }
  }
}

// --- TKrXmlTags --------------------------------------------------------------

TKrXmlTags::TKrXmlTags(std::string_view text) {
  const TKrLeadBytes leadBytes;
  TKrXmlTokenizer tokenizer(text, leadBytes);
  std::string_view raw;
  while (tokenizer.Next(raw)) tags_.emplace_back(std::string(raw), leadBytes);
}

// --- TKrXmlElement -----------------------------------------------------------

TKrXmlElement::~TKrXmlElement() { DestroyChildren(); }

void TKrXmlElement::DestroyChildren() {
  // Leaves are destroyed one at a time, walking down the last children and
  // back up through the parent links: no recursion however deep the tree
  // is, and no memory asked for, so it cannot stop half way (a destructor
  // that ran out of memory here would leave moved-from children behind).
  TKrXmlElement *node = this;
  for (;;) {
    if (!node->children_.empty()) {
      TKrXmlElement *child = node->children_.back().get();
      if (!child) {
        node->children_.pop_back();
        continue;
      }
      child->parent_ = node;
      node = child;
      continue;
    }
    if (node == this) break;
    TKrXmlElement *parent = node->parent_;
    parent->children_.pop_back();  // node, which has no children left
    node = parent;
  }
}

void TKrXmlElement::Clear() {
  DestroyChildren();
  attributes_.clear();
  name_.clear();
  text_.clear();
}

void TKrXmlElement::LoadFromStream(TStream &stream) {
  Clear();
  const int64_t remaining = stream.Remaining();
  if (remaining <= 0) return LoadFromText({});
  if (remaining > kMaxXmlTextBytes) throw EOutOfMemory();
  std::string text(static_cast<size_t>(remaining), '\0');
  stream.ReadBuffer(text.data(), remaining);
  LoadFromText(text);
}

void TKrXmlElement::LoadFromText(std::string_view text) {
  Clear();
  const TKrLeadBytes leadBytes;
  TKrXmlTokenizer tokenizer(text, leadBytes);
  std::string_view raw;

  // The root is the first element tag; declarations and text before it are
  // ignored.
  bool found = false;
  while (!found && tokenizer.Next(raw)) found = IsElementTagText(raw);
  if (!found) return;
  const TKrXmlTag rootTag{std::string(raw), leadBytes};
  name_ = rootTag.Name();
  SetAttributesFromTag(rootTag, leadBytes);
  if (rootTag.IsClosingOrEmpty()) return;

  // The elements whose end has not been seen, innermost last. A token that
  // ends the innermost one closes it; any other element tag opens a child
  // (an empty-element or stray closing tag gives a child that is complete at
  // once); text and declarations add to the innermost element's text. When
  // the root ends, the remaining tokens are ignored; when the tokens end
  // first, every open element ends with them.
  std::vector<TKrXmlElement *> open{this};
  while (!open.empty() && tokenizer.Next(raw)) {
    TKrXmlElement &innermost = *open.back();
    const TKrXmlTag tag{std::string(raw), leadBytes};
    if (tag.IsClosingOrEmpty() && SameXmlName(tag.Name(), innermost.name_)) {
      open.pop_back();
    } else if (tag.GetKind() == TKrXmlTag::Kind::Element) {
      TKrXmlElement &child = innermost.AddChild(tag.Name());
      child.SetAttributesFromTag(tag, leadBytes);
      if (!tag.IsClosingOrEmpty()) open.push_back(&child);
    } else if (innermost.children_.empty()) {
      // Text of an element with children is dropped, so it is not decoded.
      innermost.text_ += DecodeXmlEntities(tag.Raw(), leadBytes);
    }
  }
}

void TKrXmlElement::SetAttributesFromTag(const TKrXmlTag &tag, const TKrLeadBytes &leadBytes) {
  const std::vector<TKrXmlTagValue> &pairs = tag.Attributes();
  if (pairs.size() <= kLinearAttributeLimit) {
    for (const TKrXmlTagValue &pair : pairs)
      SetAttr(pair.name, DecodeXmlEntities(pair.value, leadBytes));
    return;
  }
  // The same as SetAttr for each pair: a later duplicate replaces the value
  // of the first in its place.
  std::unordered_map<std::string, size_t> indexByName;
  indexByName.reserve(attributes_.size() + pairs.size());
  const auto key = [](std::string_view name) {
    std::string folded(name);
    for (char &c : folded) c = AsciiLower(c);
    return folded;
  };
  for (size_t i = 0; i < attributes_.size(); ++i)
    indexByName.try_emplace(key(attributes_[i].name), i);
  for (const TKrXmlTagValue &pair : pairs) {
    std::string value = DecodeXmlEntities(pair.value, leadBytes);
    auto [it, inserted] = indexByName.try_emplace(key(pair.name), attributes_.size());
    if (inserted) attributes_.push_back({pair.name, std::move(value)});
    else attributes_[it->second].value = std::move(value);
  }
}

const TKrXmlValue *TKrXmlElement::FindAttr(std::string_view name) const {
  for (const TKrXmlValue &attribute : attributes_)
    if (SameXmlName(attribute.name, name)) return &attribute;
  return nullptr;
}

int32_t TKrXmlElement::AttrInt(std::string_view name, int32_t defaultValue) const {
  const TKrXmlValue *attribute = FindAttr(name);
  int32_t value;
  if (attribute != nullptr && TryParseXmlInteger(attribute->value, value)) return value;
  return defaultValue;
}

bool TKrXmlElement::AttrBool(std::string_view name, bool defaultValue) const {
  const TKrXmlValue *attribute = FindAttr(name);
  return attribute != nullptr ? attribute->value == "1" : defaultValue;
}

std::string TKrXmlElement::AttrStr(std::string_view name, std::string_view defaultValue) const {
  const TKrXmlValue *attribute = FindAttr(name);
  return std::string(attribute != nullptr ? std::string_view(attribute->value) : defaultValue);
}

const TKrXmlElement *TKrXmlElement::Child(int32_t index) const {
  if (index < 0 || index >= ChildCount()) return nullptr;
  return children_[static_cast<size_t>(index)].get();
}

int32_t TKrXmlElement::IndexOfChild(std::string_view name) const {
  for (size_t i = 0; i < children_.size(); ++i)
    if (children_[i]->NameIs(name)) return static_cast<int32_t>(i);
  return -1;
}

const TKrXmlElement *TKrXmlElement::ChildByName(std::string_view name) const {
  return Child(IndexOfChild(name));
}

std::string TKrXmlElement::ChildText(std::string_view name, std::string_view defaultValue) const {
  const TKrXmlElement *child = ChildByName(name);
  return std::string(child != nullptr ? std::string_view(child->text_) : defaultValue);
}

int32_t TKrXmlElement::SetAttr(std::string_view name, std::string value) {
  for (size_t i = 0; i < attributes_.size(); ++i) {
    if (SameXmlName(attributes_[i].name, name)) {
      attributes_[i].value = std::move(value);
      return static_cast<int32_t>(i);
    }
  }
  attributes_.push_back({std::string(name), std::move(value)});
  return static_cast<int32_t>(attributes_.size() - 1);
}

TKrXmlElement &TKrXmlElement::AddChild(std::string name) {
  // An element with children carries no text.
  text_.clear();
  children_.push_back(std::make_unique<TKrXmlElement>(this));
  children_.back()->name_ = std::move(name);
  return *children_.back();
}

}  // namespace vorn

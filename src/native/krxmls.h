// A compact, forgiving XML reader for the header of native documents: turns
// an 8-bit text into a tree of elements with attributes and text, and answers
// typed attribute lookups with defaults. It never rejects content: markup it
// does not understand becomes elements or text.
//
// Text is handled as bytes in the active ANSI code page, without transcoding.
// Markup bytes count only at single-byte character positions: the second
// byte of a double-byte character (IsDBCSLeadByte) is never markup.
// Name comparisons ignore the case of the ASCII letters A to Z only.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vorn {

class TStream;

// The integer rule of the header: leading spaces, then either an optional
// sign and decimal digits that fit a signed 32-bit integer, or a hexadecimal
// number introduced by `$`, `x`, `X`, `0x` or `0X` (no sign) of at most 32
// bits ("$FFFFFFFF" is -1). The whole text must be consumed. Returns false,
// leaving value untouched, for anything else.
bool TryParseXmlInteger(std::string_view text, int32_t &value);

// True when the names are equal, ignoring the case of A-Z only.
bool SameXmlName(std::string_view a, std::string_view b);

// The lead bytes of the active ANSI code page, taken once per text so that
// the test per byte is a table lookup.
class TKrLeadBytes {
 public:
  TKrLeadBytes();
  bool operator()(unsigned char byte) const { return lead_[byte]; }

 private:
  std::array<bool, 256> lead_;
};

// Decodes the references of an attribute value or a text, in two passes:
// first numeric references (`&#` number `;`, 1 to 65535, as one byte below
// 256 and otherwise as two bytes high byte first), then the named ones
// `&gt;`, `&lt;`, `&quot;` and, last, `&amp;`. A reference that does not
// qualify stays as it is. Linear in the length of the text.
std::string DecodeXmlEntities(std::string_view text, const TKrLeadBytes &leadBytes = {});

// A name and raw (undecoded) value parsed from a start tag.
struct TKrXmlTagValue {
  std::string name;
  std::string value;
};

// One token of a text: a piece of markup from `<` through `>`, or the text
// between two of them.
class TKrXmlTag {
 public:
  enum class Kind {
    Declaration,  // begins with "<?"
    Element,      // begins with '<' not followed by '?'
    Text,         // anything else, also an empty token
  };

  explicit TKrXmlTag(std::string raw, const TKrLeadBytes &leadBytes = {});

  const std::string &Raw() const { return raw_; }
  Kind GetKind() const { return kind_; }
  // The element name of a markup token; empty for text.
  const std::string &Name() const { return name_; }
  // The attributes of a start tag in document order, duplicates kept.
  const std::vector<TKrXmlTagValue> &Attributes() const { return attributes_; }
  // A closing tag ("</Frame>") or an empty-element tag ("<Layer/>"): the
  // second byte or the byte before the last is '/'.
  bool IsClosingOrEmpty() const { return closingOrEmpty_; }

 private:
  void ParseAttributes(size_t from, size_t to, const TKrLeadBytes &leadBytes);

  std::string raw_;
  std::string name_;
  std::vector<TKrXmlTagValue> attributes_;
  Kind kind_ = Kind::Text;
  bool closingOrEmpty_ = false;
};

// The tokens of one text in order. Text before the first '<' is dropped, a
// '>' inside a quoted attribute value does not end its tag, a tag that is
// never closed yields nothing, and the text after the last tag is a final
// token even when it is empty.
class TKrXmlTags {
 public:
  explicit TKrXmlTags(std::string_view text);

  int32_t Count() const { return static_cast<int32_t>(tags_.size()); }
  const TKrXmlTag &operator[](int32_t index) const { return tags_[static_cast<size_t>(index)]; }
  std::vector<TKrXmlTag>::const_iterator begin() const { return tags_.begin(); }
  std::vector<TKrXmlTag>::const_iterator end() const { return tags_.end(); }

 private:
  std::vector<TKrXmlTag> tags_;
};

// One attribute of an element; the value is entity-decoded.
struct TKrXmlValue {
  std::string name;
  std::string value;
};

// One element: a name, attributes with names unique under case-insensitive
// comparison, and either text or children (an element with children has no
// text). An element owns its attributes and children.
//
// Trees of any depth are built and destroyed without recursion, so a
// hostile text of a million nested elements costs memory, not the stack.
class TKrXmlElement {
 public:
  explicit TKrXmlElement(TKrXmlElement *parent = nullptr) : parent_(parent) {}
  ~TKrXmlElement();
  TKrXmlElement(const TKrXmlElement &) = delete;
  TKrXmlElement &operator=(const TKrXmlElement &) = delete;

  // Clears the element, reads the stream from its position to its end and
  // parses that text into this element (the first element of the text).
  // Fails only with the stream's error, or EOutOfMemory for a text longer
  // than a 32-bit process could hold; never on content.
  void LoadFromStream(TStream &stream);
  // The same for a text in memory.
  void LoadFromText(std::string_view text);
  // Destroys all children and attributes and empties name and text.
  void Clear();

  // Typed lookups of the attribute with that name, or the default when there
  // is none. AttrInt also yields the default for a value that the integer
  // rule refuses; AttrBool is true only for the value "1".
  int32_t AttrInt(std::string_view name, int32_t defaultValue) const;
  bool AttrBool(std::string_view name, bool defaultValue) const;
  std::string AttrStr(std::string_view name, std::string_view defaultValue = {}) const;
  // The attribute with that name, or null.
  const TKrXmlValue *FindAttr(std::string_view name) const;

  int32_t ChildCount() const { return static_cast<int32_t>(children_.size()); }
  // The child at index, or null outside 0..ChildCount()-1.
  const TKrXmlElement *Child(int32_t index) const;
  // The index of the first child with that name, or -1.
  int32_t IndexOfChild(std::string_view name) const;
  // The first child with that name, or null.
  const TKrXmlElement *ChildByName(std::string_view name) const;
  // The text of the first child with that name, or the default.
  std::string ChildText(std::string_view name, std::string_view defaultValue = {}) const;
  bool NameIs(std::string_view name) const { return SameXmlName(name_, name); }

  // Replaces the value of the attribute with that name in place, or appends
  // a new attribute. Returns the attribute's index.
  int32_t SetAttr(std::string_view name, std::string value);
  // Appends a new child with that name.
  TKrXmlElement &AddChild(std::string name);

  const std::string &Name() const { return name_; }
  const std::string &Text() const { return text_; }
  const TKrXmlElement *Parent() const { return parent_; }
  const std::vector<TKrXmlValue> &Attributes() const { return attributes_; }

 private:
  void DestroyChildren();
  void SetAttributesFromTag(const TKrXmlTag &tag, const TKrLeadBytes &leadBytes);

  TKrXmlElement *parent_;
  std::string name_;
  std::string text_;
  std::vector<TKrXmlValue> attributes_;
  std::vector<std::unique_ptr<TKrXmlElement>> children_;
};

}  // namespace vorn

// The XML reader of the native header: integer rule, entity decoding,
// tokenizer, start tags, the element tree, double-byte code pages and
// hostile texts.
#include <gtest/gtest.h>

#include <string>

#include "native/krxmls.h"
#include "runtime/exceptions.h"
#include "runtime/streams.h"
#include "support/codepage.h"

namespace vorn {
namespace {

#if !defined(_WIN32)
using test::ScopedCodePage;
#endif

TEST(XmlIntegerTest, AcceptedForms) {
  struct Case {
    const char *text;
    int32_t value;
  } cases[] = {
      {"65", 65},           {"   42", 42},          {"+5", 5},
      {"-17", -17},         {"007", 7},             {"0", 0},
      {"$FF", 255},         {"$ff", 255},           {"x41", 0x41},
      {"X41", 0x41},        {"0x41", 0x41},         {"0X41", 0x41},
      {"  $10", 16},        {"$000000001", 1},      {"$FFFFFFFF", -1},
      {"$80000000", INT32_MIN}, {"2147483647", INT32_MAX}, {"-2147483648", INT32_MIN},
  };
  for (const Case &c : cases) {
    int32_t value = 12345;
    EXPECT_TRUE(TryParseXmlInteger(c.text, value)) << c.text;
    EXPECT_EQ(value, c.value) << c.text;
  }
}

TEST(XmlIntegerTest, RefusedFormsLeaveTheValue) {
  for (const char *text : {"", " ", "42 ", "1.5", "2147483648", "-2147483649", "$100000000",
                           "-$5", "+$5", "$-5", "$", "0x", "x", "+", "-", "\t5", "5x", "0x1G",
                           "$ FF", "- 5", "1e3", "0xx1"}) {
    int32_t value = 12345;
    EXPECT_FALSE(TryParseXmlInteger(text, value)) << '"' << text << '"';
    EXPECT_EQ(value, 12345) << text;
  }
}

TEST(XmlEntityTest, NumericReferences) {
  EXPECT_EQ(DecodeXmlEntities("&#65;&#x42;&#$43;&#  68;"), "ABCD");
  EXPECT_EQ(DecodeXmlEntities("&#300;"), "\x01\x2C") << "high byte first";
  EXPECT_EQ(DecodeXmlEntities("&#256;"), std::string("\x01\0", 2));
  EXPECT_EQ(DecodeXmlEntities("&#255;"), "\xFF");
  EXPECT_EQ(DecodeXmlEntities("&#65535;"), "\xFF\xFF");
  for (const char *unchanged : {"&#0;", "&#70000;", "&#65536;", "&#-1;", "&#$FFFFFFFF;", "&#65",
                                "&#;", "&# 65 ;", "&65;", "& #65;"})
    EXPECT_EQ(DecodeXmlEntities(unchanged), unchanged);
  // A reference that does not qualify is kept and the scan resumes right
  // after its '&', so an inner reference is still replaced.
  EXPECT_EQ(DecodeXmlEntities("&#&#65;;"), "&#A;");
  EXPECT_EQ(DecodeXmlEntities("x&#65;y&#66;z"), "xAyBz");
}

TEST(XmlEntityTest, NamedReferencesRunAfterNumericOnes) {
  EXPECT_EQ(DecodeXmlEntities("&lt;&amp;&gt;"), "<&>");
  EXPECT_EQ(DecodeXmlEntities("&quot;a&quot;"), "\"a\"");
  EXPECT_EQ(DecodeXmlEntities("&#38;lt;"), "<") << "a numeric '&' can start a named one";
  EXPECT_EQ(DecodeXmlEntities("&amp;lt;"), "&lt;") << "'&amp;' is replaced last";
  EXPECT_EQ(DecodeXmlEntities("&amp;amp;"), "&amp;");
  EXPECT_EQ(DecodeXmlEntities("&apos;&LT;&lt&"), "&apos;&LT;&lt&");
  EXPECT_EQ(DecodeXmlEntities("plain text"), "plain text");
}

TEST(XmlTokenizerTest, TokensOfAText) {
  TKrXmlTags tags("dropped<?xml version=\"1.0\"?><a>text<b/></a>tail<unclosed x='>'");
  ASSERT_EQ(tags.Count(), 6);
  EXPECT_EQ(tags[0].Raw(), "<?xml version=\"1.0\"?>");
  EXPECT_EQ(tags[0].GetKind(), TKrXmlTag::Kind::Declaration);
  EXPECT_EQ(tags[1].Raw(), "<a>");
  EXPECT_EQ(tags[1].GetKind(), TKrXmlTag::Kind::Element);
  EXPECT_EQ(tags[2].Raw(), "text");
  EXPECT_EQ(tags[2].GetKind(), TKrXmlTag::Kind::Text);
  EXPECT_EQ(tags[3].Raw(), "<b/>");
  EXPECT_EQ(tags[4].Raw(), "</a>");
  EXPECT_EQ(tags[5].Raw(), "tail") << "the unclosed tag after it yields nothing";

  TKrXmlTags trailing("<a></a>");
  ASSERT_EQ(trailing.Count(), 3);
  EXPECT_EQ(trailing[2].Raw(), "") << "the text after the last tag, even when empty";
  EXPECT_EQ(trailing[2].GetKind(), TKrXmlTag::Kind::Text);
  EXPECT_EQ(TKrXmlTags("no markup").Count(), 0);
}

TEST(XmlTokenizerTest, QuotesKeepAGreaterThanInsideTheTag) {
  TKrXmlTags tags("<Layer Name=\"a>b\" Note='say \"x>y\"' Lock=\"1\"/><Next>");
  ASSERT_EQ(tags.Count(), 3);
  const TKrXmlTag &layer = tags[0];
  EXPECT_EQ(layer.Name(), "Layer");
  EXPECT_TRUE(layer.IsClosingOrEmpty());
  ASSERT_EQ(layer.Attributes().size(), 3u);
  EXPECT_EQ(layer.Attributes()[0].value, "a>b");
  EXPECT_EQ(layer.Attributes()[1].value, "say \"x>y\"");
  EXPECT_EQ(layer.Attributes()[2].name, "Lock");
  EXPECT_EQ(tags[1].Raw(), "<Next>");
}

TEST(XmlStartTagTest, NamesAndClosingForms) {
  struct Case {
    const char *raw;
    const char *name;
    bool closingOrEmpty;
  } cases[] = {
      {"<Frame>", "Frame", false},      {"</Frame>", "Frame", true},
      {"<Layer/>", "Layer", true},      {"<Layer Lock=\"1\"/>", "Layer", true},
      {"< Frame >", "Frame", false},    {"<a\tb>", "a\tb", false},
      {"<?xml version='1.0'?>", "?xml", false}, {"<>", ">", false},
      {"</>", "", true},                {"ab/c", "", true},
  };
  for (const Case &c : cases) {
    TKrXmlTag tag(c.raw);
    EXPECT_EQ(tag.Name(), c.name) << c.raw;
    EXPECT_EQ(tag.IsClosingOrEmpty(), c.closingOrEmpty) << c.raw;
  }
}

TEST(XmlStartTagTest, AttributeStateMachine) {
  // Line breaks between attributes are trimmed away; a name without '='
  // runs on into the next name; unquoted values are not supported; an
  // unclosed value stays empty; only a space ends the element name.
  TKrXmlTag tag("<Frame Name=\"x\"\r\n\tDelay = '5' a b=\"1\" c=3 d=\"4\" Name=\"dup\" e=\"open>");
  ASSERT_EQ(tag.Attributes().size(), 6u);
  const std::pair<const char *, const char *> expected[] = {
      {"Name", "x"}, {"Delay", "5"}, {"a b", "1"}, {"c", "4"}, {"Name", "dup"}, {"e", ""}};
  for (size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(tag.Attributes()[i].name, expected[i].first) << i;
    EXPECT_EQ(tag.Attributes()[i].value, expected[i].second) << i;
  }
  EXPECT_TRUE(TKrXmlTag("<a\nb=\"1\">").Attributes().empty());
  EXPECT_EQ(TKrXmlTag("<a\nb=\"1\">").Name(), "a\nb=\"1\"");
}

TEST(XmlElementTest, DeclarationAndRoot) {
  TKrXmlElement root;
  root.LoadFromText("<?xml version=\"9.9\" encoding=\"Shift_JIS\"?>\r\n"
                    "<Vornix Version=\"200\" Count=\"1\"><Frame/></Vornix><Other/>");
  EXPECT_EQ(root.Name(), "Vornix");
  EXPECT_EQ(root.Parent(), nullptr);
  EXPECT_EQ(root.AttrInt("version", 0), 200);
  ASSERT_EQ(root.ChildCount(), 1) << "tokens after the root's end are ignored";
  EXPECT_EQ(root.Child(0)->Parent(), &root);
  EXPECT_TRUE(root.Child(0)->NameIs("FRAME"));
}

TEST(XmlElementTest, LayerWithAGreaterThanInItsName) {
  TKrXmlElement root;
  root.LoadFromText("<Layer Name=\"a>b\" Lock=\"3\"/>");
  EXPECT_EQ(root.AttrStr("Name"), "a>b");
  EXPECT_EQ(root.AttrInt("Lock", 0), 3);
  EXPECT_EQ(root.ChildCount(), 0);
}

TEST(XmlElementTest, DuplicateAttributesByCase) {
  TKrXmlElement root;
  root.LoadFromText("<Frame Name=\"first\" Delay=\"5\" name=\"second\"/>");
  ASSERT_EQ(root.Attributes().size(), 2u);
  EXPECT_EQ(root.Attributes()[0].name, "Name") << "replaced in place";
  EXPECT_EQ(root.AttrStr("NAME"), "second");

  // Tags with many attributes take another path to the same result.
  std::string xml = "<Many";
  for (int i = 0; i < 40; ++i) xml += " a" + std::to_string(i) + "=\"" + std::to_string(i) + "\"";
  xml += " A7=\"seven\" a39=\"&lt;\" NEW=\"n\"/>";
  root.LoadFromText(xml);
  ASSERT_EQ(root.Attributes().size(), 41u);
  EXPECT_EQ(root.Attributes()[7].name, "a7");
  EXPECT_EQ(root.Attributes()[7].value, "seven");
  EXPECT_EQ(root.AttrStr("A39"), "<");
  EXPECT_EQ(root.Attributes()[40].name, "NEW");
}

TEST(XmlElementTest, TypedLookups) {
  TKrXmlElement root;
  root.LoadFromText("<r lead=\"  12\" trail=\"12 \" empty=\"\" dot=\"1.5\" hex=\"$FF\" "
                    "one=\"1\" true=\"true\" zero=\"0\" spaced=\" 1\" ent=\"&#49;\"/>");
  EXPECT_EQ(root.AttrInt("lead", -1), 12);
  EXPECT_EQ(root.AttrInt("trail", -1), -1);
  EXPECT_EQ(root.AttrInt("empty", -1), -1);
  EXPECT_EQ(root.AttrInt("dot", -1), -1);
  EXPECT_EQ(root.AttrInt("hex", -1), 255);
  EXPECT_EQ(root.AttrInt("missing", -7), -7);
  EXPECT_TRUE(root.AttrBool("one", false));
  EXPECT_TRUE(root.AttrBool("ent", false)) << "values are decoded before the test";
  EXPECT_FALSE(root.AttrBool("true", true));
  EXPECT_FALSE(root.AttrBool("zero", true));
  EXPECT_FALSE(root.AttrBool("spaced", true));
  EXPECT_TRUE(root.AttrBool("missing", true));
  EXPECT_FALSE(root.AttrBool("missing", false));
  EXPECT_EQ(root.AttrStr("empty", "d"), "");
  EXPECT_EQ(root.AttrStr("missing", "d"), "d");
  EXPECT_EQ(root.FindAttr("missing"), nullptr);
}

TEST(XmlElementTest, ChildrenAndText) {
  TKrXmlElement root;
  root.LoadFromText("<Layers Count=\"2\">lost text<RGB>0000FFFF0000</RGB>"
                    "<Layer Name=\"bottom\"/><Layer Name=\"top\"/>"
                    "<Pal>\r\n00FF00\r\n</Pal><Esc>&lt;&#65;&gt;</Esc></Layers>");
  EXPECT_EQ(root.Text(), "") << "an element with children keeps only the children";
  ASSERT_EQ(root.ChildCount(), 5);
  EXPECT_EQ(root.ChildText("rgb", "none"), "0000FFFF0000");
  EXPECT_EQ(root.ChildText("pal"), "\r\n00FF00\r\n");
  EXPECT_EQ(root.ChildText("esc"), "<A>");
  EXPECT_EQ(root.ChildText("missing", "none"), "none");
  EXPECT_EQ(root.IndexOfChild("LAYER"), 1);
  EXPECT_EQ(root.IndexOfChild("Lay"), -1);
  EXPECT_EQ(root.ChildByName("layer"), root.Child(1));
  EXPECT_EQ(root.ChildByName("layer")->AttrStr("Name"), "bottom");
  EXPECT_EQ(root.ChildByName("nothing"), nullptr);
  EXPECT_EQ(root.Child(-1), nullptr);
  EXPECT_EQ(root.Child(5), nullptr);
  EXPECT_EQ(root.Child(4)->AttrStr("Name", "d"), "d");
}

TEST(XmlElementTest, MalformedMarkupDegrades) {
  TKrXmlElement root;
  // A stray closing tag becomes an empty child; the end tag matches without
  // regard to case.
  root.LoadFromText("<a>x</b><c>y</C>z</A>ignored");
  ASSERT_EQ(root.ChildCount(), 2);
  EXPECT_EQ(root.Child(0)->Name(), "b");
  EXPECT_EQ(root.Child(0)->ChildCount(), 0);
  EXPECT_EQ(root.Child(1)->Text(), "y");
  EXPECT_EQ(root.Text(), "");

  // Missing end tags end every open element at the end of the text.
  root.LoadFromText("<a><b><c>deep");
  ASSERT_EQ(root.ChildCount(), 1);
  ASSERT_EQ(root.Child(0)->ChildCount(), 1);
  EXPECT_EQ(root.Child(0)->Child(0)->Text(), "deep");

  // A declaration inside an element contributes its raw text; an
  // empty-element tag with the element's own name ends the element.
  root.LoadFromText("<a>1<?pi x?>2<A/>3</a>");
  EXPECT_EQ(root.Text(), "1<?pi x?>2");
  EXPECT_EQ(root.ChildCount(), 0);

  // A closing tag as the first element gives a complete, empty root.
  root.LoadFromText("text </Frame><Layer/>");
  EXPECT_EQ(root.Name(), "Frame");
  EXPECT_EQ(root.ChildCount(), 0);
}

TEST(XmlElementTest, TextWithoutMarkupLoadsAsAnEmptyElement) {
  TKrXmlElement root;
  root.LoadFromText("<a x=\"1\"><b/></a>");
  for (const char *text : {"plain text, no markup", "", "<?xml version=\"1.0\"?>only"}) {
    root.LoadFromText(text);
    EXPECT_EQ(root.Name(), "") << text;
    EXPECT_EQ(root.ChildCount(), 0);
    EXPECT_TRUE(root.Attributes().empty());
    EXPECT_EQ(root.AttrInt("x", 9), 9);
    EXPECT_EQ(root.ChildText("b", "d"), "d");
  }
}

TEST(XmlElementTest, LoadFromStreamReadsFromThePosition) {
  const std::string bytes = "junk<Root A=\"1\">t</Root>";
  TReadOnlyMemoryStream stream(bytes.data(), bytes.size());
  stream.SetPosition(4);
  TKrXmlElement root;
  root.LoadFromStream(stream);
  EXPECT_EQ(root.Name(), "Root");
  EXPECT_EQ(root.Text(), "t");
  EXPECT_EQ(stream.Position(), static_cast<int64_t>(bytes.size()));
  root.LoadFromStream(stream);
  EXPECT_EQ(root.Name(), "") << "loading clears what was there";
  EXPECT_TRUE(root.Attributes().empty());
}

TEST(XmlElementTest, BuildingByHand) {
  TKrXmlElement root;
  EXPECT_EQ(root.SetAttr("Width", "10"), 0);
  EXPECT_EQ(root.SetAttr("Height", "20"), 1);
  EXPECT_EQ(root.SetAttr("WIDTH", "30"), 0);
  EXPECT_EQ(root.AttrInt("width", 0), 30);
  TKrXmlElement &child = root.AddChild("Frame");
  EXPECT_EQ(child.Parent(), &root);
  EXPECT_EQ(root.Child(0), &child);
  root.Clear();
  EXPECT_EQ(root.ChildCount(), 0);
  EXPECT_TRUE(root.Attributes().empty());
}

TEST(XmlCodePageTest, SecondBytesAreNeverMarkup) {
#if defined(_WIN32)
  GTEST_SKIP() << "the active code page is the system's";
#else
  ScopedCodePage page(932);
  // 0x81 0x3E and 0x81 0x22 are two-byte characters: neither the '>' nor the
  // '"' ends the value, the tag or the name.
  const std::string xml =
      "<Fr\x81>me Name=\"a\x81\"b\x81>c\" Lock=\"1\"><x\x81/>y\x81<z</x\x81/></Fr\x81>me>";
  TKrXmlElement root;
  root.LoadFromText(xml);
  EXPECT_EQ(root.Name(), "Fr\x81>me");
  EXPECT_EQ(root.AttrStr("Name"), "a\x81\"b\x81>c");
  EXPECT_EQ(root.AttrInt("Lock", 0), 1);
  ASSERT_EQ(root.ChildCount(), 1);
  EXPECT_EQ(root.Child(0)->Name(), "x\x81/") << "a second byte '/' does not close the tag";
  EXPECT_EQ(root.Child(0)->Text(), "y\x81<z");

  // References are found only at character starts, counted from the start
  // of the text as each pass sees it.
  EXPECT_EQ(DecodeXmlEntities("\x81&#65;&#65;"), "\x81&#65;A");
  EXPECT_EQ(DecodeXmlEntities("&#129;&lt;&#33088;"), "\x81&lt;\x81\x40");
  EXPECT_EQ(DecodeXmlEntities("\x81"), "\x81") << "a lead byte at the end";

  // The same bytes on a single-byte page split differently.
  SetActiveCodePageForTesting(1252);
  root.LoadFromText(xml);
  EXPECT_EQ(root.Name(), "Fr\x81");
#endif
}

TEST(XmlHostileTest, AMillionNestedElements) {
  constexpr int kDepth = 1000000;
  std::string xml;
  xml.reserve(kDepth * 3 + 8);
  for (int i = 0; i < kDepth; ++i) xml += "<a>";
  xml += "end";
  auto root = std::make_unique<TKrXmlElement>();
  root->LoadFromText(xml);
  const TKrXmlElement *element = root.get();
  int depth = 0;
  while (element->ChildCount() == 1) {
    element = element->Child(0);
    ++depth;
  }
  EXPECT_EQ(depth, kDepth - 1);
  EXPECT_EQ(element->Text(), "end");
  root.reset();  // destroying the tree must not recurse either
}

TEST(XmlHostileTest, LongRunsStayLinear) {
  // Quadratic decoding or attribute merging would take minutes on these.
  std::string refs;
  for (int i = 0; i < 200000; ++i) refs += "&#";
  EXPECT_EQ(DecodeXmlEntities(refs), refs);
  std::string zeros = "&#" + std::string(100000, '0') + "&#" + std::string(100000, '0') + ";";
  EXPECT_EQ(DecodeXmlEntities(zeros), zeros);

  std::string xml = "<a";
  for (int i = 0; i < 100000; ++i) xml += " n" + std::to_string(i % 50000) + "='v'";
  xml += "/>";
  TKrXmlElement root;
  root.LoadFromText(xml);
  EXPECT_EQ(root.Attributes().size(), 50000u);
}

}  // namespace
}  // namespace vorn

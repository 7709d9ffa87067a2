// The user-interface services: message boxes on standard error and the
// lead bytes of the active ANSI code page.
#include <gtest/gtest.h>

#include "platform/user.h"
#include "support/codepage.h"

namespace vorn {
namespace {

using test::ScopedCodePage;

TEST(CodePageTest, DefaultsToASingleBytePage) {
  EXPECT_EQ(GetACP(), 1252u);
  for (int b = 0; b < 256; ++b) EXPECT_FALSE(IsDBCSLeadByte(static_cast<BYTE>(b))) << b;
}

TEST(CodePageTest, LeadBytesOfTheDoubleBytePages) {
  {
    ScopedCodePage page(932);
    EXPECT_EQ(GetACP(), 932u);
    // Lead bytes 0x81-0x9F and 0xE0-0xFC; half-width katakana 0xA1-0xDF are
    // single bytes.
    for (BYTE b : {0x81, 0x9F, 0xE0, 0xFC}) EXPECT_TRUE(IsDBCSLeadByte(b)) << int(b);
    for (BYTE b : {0x00, 0x3E, 0x7F, 0x80, 0xA0, 0xA1, 0xDF, 0xFD, 0xFF})
      EXPECT_FALSE(IsDBCSLeadByte(b)) << int(b);
  }
  for (UINT cp : {936u, 949u, 950u}) {
    ScopedCodePage page(cp);
    for (BYTE b : {0x81, 0xA0, 0xDF, 0xFE}) EXPECT_TRUE(IsDBCSLeadByte(b)) << cp << " " << int(b);
    for (BYTE b : {0x22, 0x3E, 0x80, 0xFF}) EXPECT_FALSE(IsDBCSLeadByte(b)) << cp << " " << int(b);
  }
  EXPECT_EQ(GetACP(), 1252u) << "the scope restores the previous page";
}

TEST(CodePageTest, SingleBytePagesAndUnknownPages) {
  ScopedCodePage page(932);
  EXPECT_TRUE(SetActiveCodePageForTesting(1251));
  EXPECT_EQ(GetACP(), 1251u);
  EXPECT_FALSE(IsDBCSLeadByte(0x81));
  EXPECT_FALSE(SetActiveCodePageForTesting(12345));
  EXPECT_FALSE(SetActiveCodePageForTesting(0));
  EXPECT_EQ(GetACP(), 1251u) << "a refused page leaves the active one";
}

TEST(MessageBoxTest, WritesOneLineAndRecordsWhatItShowed) {
  ClearShownMessageBoxForTesting();
  EXPECT_FALSE(LastShownMessageBoxForTesting());

  testing::internal::CaptureStderr();
  EXPECT_EQ(MessageBoxA(nullptr, "two\nlines", "Vornix", MB_OK | MB_ICONINFORMATION), IDOK);
  EXPECT_EQ(MessageBoxA(nullptr, nullptr, nullptr, MB_OK), IDOK);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Vornix: two lines\nError: \n");

  EXPECT_EQ(ShownMessageBoxCountForTesting(), 2);
  std::optional<ShownMessageBox> last = LastShownMessageBoxForTesting();
  ASSERT_TRUE(last);
  EXPECT_EQ(last->caption, "Error");
  EXPECT_EQ(last->text, "");
  EXPECT_EQ(last->type, MB_OK);

  testing::internal::CaptureStderr();
  MessageBoxA(nullptr, "", "Vornix", MB_ICONINFORMATION);
  testing::internal::GetCapturedStderr();
  last = LastShownMessageBoxForTesting();
  ASSERT_TRUE(last);
  EXPECT_EQ(last->caption, "Vornix");
  EXPECT_EQ(last->type, MB_ICONINFORMATION);

  ClearShownMessageBoxForTesting();
  EXPECT_EQ(ShownMessageBoxCountForTesting(), 0);
  EXPECT_FALSE(LastShownMessageBoxForTesting());
}

}  // namespace
}  // namespace vorn

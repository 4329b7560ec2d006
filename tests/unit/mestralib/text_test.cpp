// UTF-16 and UTF-8 texts: the round trip, the replacement of malformed input,
// and fixed fields read up to their NUL and never past them.
#include <gtest/gtest.h>

#include "mestralib/text.h"

namespace {

TEST(Text, RoundTripsEveryPlane) {
  const std::string utf8 = "Ethernet \xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // é € and a non-BMP character
  const std::u16string utf16 = Utf8ToUtf16(utf8);
  EXPECT_EQ(utf16, u"Ethernet \u00E9\u20AC\U0001F600");
  EXPECT_EQ(Utf16ToUtf8(utf16), utf8);
}

TEST(Text, MalformedInputBecomesReplacementCharacters) {
  EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t{0xD800}) + u"x"), "\xEF\xBF\xBDx");  // lone high surrogate
  EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t{0xDC00})), "\xEF\xBF\xBD");         // lone low surrogate
  EXPECT_EQ(Utf8ToUtf16("a\xC3"), u"a\uFFFD");                                           // cut sequence
  EXPECT_EQ(Utf8ToUtf16("\xFFz"), u"\uFFFDz");
}

TEST(Text, FieldStopsAtItsNulOrItsEnd) {
  const char16_t withNul[8] = u"NPF_a\0b";
  EXPECT_EQ(Utf16FieldToUtf8(withNul, 8), "NPF_a");
  // A field filled to the last character has no NUL: the text ends with it.
  const char16_t full[4] = {u'a', u'b', u'c', u'd'};
  EXPECT_EQ(Utf16FieldToUtf8(full, 4), "abcd");
  EXPECT_EQ(Utf16FieldToUtf8(full, 0), "");
}

}  // namespace

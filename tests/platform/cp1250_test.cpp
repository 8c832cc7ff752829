#include "platform/cp1250.h"

#include <gtest/gtest.h>

#include <set>

namespace veldoran::cp1250 {
namespace {

TEST(Cp1250, EveryByteRoundTrips) {
  std::set<char16_t> seen;
  for (int b = 0; b < 256; ++b) {
    const char16_t ch = ToUnicode(static_cast<unsigned char>(b));
    EXPECT_TRUE(seen.insert(ch).second) << "two bytes decode to U+" << std::hex << int(ch);
    const auto back = FromUnicode(ch);
    ASSERT_TRUE(back.has_value()) << b;
    EXPECT_EQ(*back, b);
  }
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  EXPECT_EQ(Encode(Decode(all)), all);
}

TEST(Cp1250, PolishLetters) {
  const std::u16string polish = u"ĄĆĘŁŃÓŚŹŻąćęłńóśźż";
  const auto bytes = Encode(polish);
  ASSERT_TRUE(bytes.has_value());
  EXPECT_EQ(*bytes, "\xA5\xC6\xCA\xA3\xD1\xD3\x8C\x8F\xAF\xB9\xE6\xEA\xB3\xF1\xF3\x9C\x9F\xBF");
  EXPECT_EQ(Decode(*bytes), polish);
  EXPECT_EQ(*Encode(u"€"), "\x80");
  EXPECT_EQ(*Encode(u"\u02D9"), "\xFF");
}

TEST(Cp1250, CharactersItCannotHoldAreRefusedWithTheirPosition) {
  std::size_t bad = 99;
  EXPECT_FALSE(Encode(u"Zażółć 你", &bad).has_value());
  EXPECT_EQ(bad, 7u);
  EXPECT_FALSE(CanEncode(u'ñ'));       // Spanish, not in this code page
  EXPECT_FALSE(CanEncode(u'\xD83D'));  // half of a surrogate pair (emoji)
  EXPECT_FALSE(CanEncode(u'ÿ'));
  EXPECT_TRUE(CanEncode(u'ó'));
  EXPECT_TRUE(CanEncode(u'\r'));
}

TEST(Cp1250, CaseFoldingCoversPolishLetters) {
  EXPECT_EQ(ToUpper(0xB9), 0xA5);  // ą -> Ą
  EXPECT_EQ(ToUpper(0xB3), 0xA3);  // ł -> Ł
  EXPECT_EQ(ToUpper(0x9F), 0x8F);  // ź -> Ź
  EXPECT_EQ(ToUpper(0xBF), 0xAF);  // ż -> Ż
  EXPECT_EQ(ToUpper(0xBE), 0xBC);  // ľ -> Ľ
  EXPECT_EQ(ToUpper(0xE5), 0xC5);  // ĺ -> Ĺ
  EXPECT_EQ(ToUpper(0xF3), 0xD3);  // ó -> Ó
  EXPECT_EQ(ToUpper('a'), 'A');
  EXPECT_EQ(ToUpper(0xDF), 0xDF);  // ß has no single upper case here
  EXPECT_EQ(ToUpper(0xF7), 0xF7);  // ÷ is not a letter
  EXPECT_EQ(ToUpper(0xA5), 0xA5);
  EXPECT_TRUE(EqualsIgnoreCase("Users_Ime", "USERS_IME"));
  EXPECT_TRUE(EqualsIgnoreCase("\xB9\xE6", "\xA5\xC6"));
  EXPECT_FALSE(EqualsIgnoreCase("kod", "kod "));
  EXPECT_FALSE(EqualsIgnoreCase("a", "b"));
}

}  // namespace
}  // namespace veldoran::cp1250

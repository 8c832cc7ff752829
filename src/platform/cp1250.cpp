#include "platform/cp1250.h"

#include <array>

namespace veldoran::cp1250 {
namespace {

// Characters of the bytes 0x80 to 0xFF; 0x00 to 0x7F are ASCII.
constexpr std::array<char16_t, 128> kHigh = {
    0x20AC, 0x0081, 0x201A, 0x0083, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x0088, 0x2030, 0x0160, 0x2039, 0x015A, 0x0164, 0x017D, 0x0179,  // 88
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0x0098, 0x2122, 0x0161, 0x203A, 0x015B, 0x0165, 0x017E, 0x017A,  // 98
    0x00A0, 0x02C7, 0x02D8, 0x0141, 0x00A4, 0x0104, 0x00A6, 0x00A7,  // A0
    0x00A8, 0x00A9, 0x015E, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x017B,  // A8
    0x00B0, 0x00B1, 0x02DB, 0x0142, 0x00B4, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x00B8, 0x0105, 0x015F, 0x00BB, 0x013D, 0x02DD, 0x013E, 0x017C,  // B8
    0x0154, 0x00C1, 0x00C2, 0x0102, 0x00C4, 0x0139, 0x0106, 0x00C7,  // C0
    0x010C, 0x00C9, 0x0118, 0x00CB, 0x011A, 0x00CD, 0x00CE, 0x010E,  // C8
    0x0110, 0x0143, 0x0147, 0x00D3, 0x00D4, 0x0150, 0x00D6, 0x00D7,  // D0
    0x0158, 0x016E, 0x00DA, 0x0170, 0x00DC, 0x00DD, 0x0162, 0x00DF,  // D8
    0x0155, 0x00E1, 0x00E2, 0x0103, 0x00E4, 0x013A, 0x0107, 0x00E7,  // E0
    0x010D, 0x00E9, 0x0119, 0x00EB, 0x011B, 0x00ED, 0x00EE, 0x010F,  // E8
    0x0111, 0x0144, 0x0148, 0x00F3, 0x00F4, 0x0151, 0x00F6, 0x00F7,  // F0
    0x0159, 0x016F, 0x00FA, 0x0171, 0x00FC, 0x00FD, 0x0163, 0x02D9,  // F8
};

// Simple upper case for the blocks the code page draws its letters from.
char16_t UpperOf(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 0x20);
  if (c >= 0x00E0 && c <= 0x00FE && c != 0x00F7) return static_cast<char16_t>(c - 0x20);
  if (c >= 0x0100 && c <= 0x017F) {
    // Latin Extended-A pairs its letters upper/lower; the two runs that start on an odd
    // code point have the upper case odd, the others even.
    const bool odd_run = (c >= 0x0139 && c <= 0x0148) || (c >= 0x0179 && c <= 0x017E);
    const bool is_lower = odd_run ? (c % 2 == 0) : (c % 2 == 1);
    if (c == 0x0138 || c == 0x0149 || c == 0x017F) return c;  // no upper case pair
    if (is_lower) return static_cast<char16_t>(c - 1);
  }
  return c;
}

struct Tables {
  std::array<unsigned char, 256> upper{};
  Tables() {
    for (int b = 0; b < 256; ++b) {
      const auto u = FromUnicode(UpperOf(ToUnicode(static_cast<unsigned char>(b))));
      upper[b] = u ? *u : static_cast<unsigned char>(b);
    }
  }
};

const Tables& GetTables() {
  static const Tables tables;
  return tables;
}

}  // namespace

char16_t ToUnicode(unsigned char byte) {
  return byte < 0x80 ? static_cast<char16_t>(byte) : kHigh[byte - 0x80];
}

std::optional<unsigned char> FromUnicode(char16_t ch) {
  if (ch < 0x80) return static_cast<unsigned char>(ch);
  for (std::size_t i = 0; i < kHigh.size(); ++i) {
    if (kHigh[i] == ch) return static_cast<unsigned char>(0x80 + i);
  }
  return std::nullopt;
}

std::u16string Decode(std::string_view bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  for (const char b : bytes) out.push_back(ToUnicode(static_cast<unsigned char>(b)));
  return out;
}

std::optional<std::string> Encode(std::u16string_view text, std::size_t* bad_index) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto b = FromUnicode(text[i]);
    if (!b) {
      if (bad_index) *bad_index = i;
      return std::nullopt;
    }
    out.push_back(static_cast<char>(*b));
  }
  return out;
}

unsigned char ToUpper(unsigned char byte) { return GetTables().upper[byte]; }

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (ToUpper(static_cast<unsigned char>(a[i])) != ToUpper(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

}  // namespace veldoran::cp1250

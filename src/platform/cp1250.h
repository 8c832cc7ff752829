// Windows-1250, the ANSI code page of the tool's Polish texts: every byte that crosses the serial
// line, Config.ini or a CSV file is one of these. The table is our own and covers all 256 bytes
// both ways; the five bytes the code page leaves undefined map to the C1 controls of the same
// value, as Windows does, so any byte string survives a decode and encode unchanged.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace veldoran::cp1250 {

// The character a byte stands for.
char16_t ToUnicode(unsigned char byte);

// The byte that holds a character, or nothing when the code page has no such character.
std::optional<unsigned char> FromUnicode(char16_t ch);

inline bool CanEncode(char16_t ch) { return FromUnicode(ch).has_value(); }

std::u16string Decode(std::string_view bytes);

// Encodes the whole text, or returns nothing when a character cannot be held; `bad_index`
// (if given) then receives the position of the first such character.
std::optional<std::string> Encode(std::u16string_view text, std::size_t* bad_index = nullptr);

// Upper case of a byte's letter as the code page holds it ("ą" -> "Ą"); other bytes unchanged.
unsigned char ToUpper(unsigned char byte);

// Equality without regard to case, byte by byte through ToUpper.
bool EqualsIgnoreCase(std::string_view a, std::string_view b);

}  // namespace veldoran::cp1250

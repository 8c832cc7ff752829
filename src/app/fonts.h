// The window's fonts (Tahoma, MS Sans Serif) are Windows fonts. Where the system lacks them:
// - MS Sans Serif: the copy Wine ships (a bitmap font with the Windows metrics and whole Polish
//   letters) is loaded when present;
// - Tahoma: the copy Wine ships is not used. Its outlines hang the ogonek of Ą ą Ę ę off the
//   inside of the stem, so at the window's sizes (11 to 16 pixels) the hook shows apart from
//   the letter, and its bold face holds the regular outlines. A font of near metrics with whole
//   Polish letters and a real bold stands in for it (DejaVu Sans Condensed: widths within a few
//   per cent of Tahoma's).
// Otherwise the toolkit substitutes a similar font.
#pragma once

#include <QString>

class QRawFont;

namespace veldoran::app {

void LoadWindowFonts();

// The Polish letters with diacritics, capital and small.
inline constexpr char16_t kPolishLetters[] = u"ĄĆĘŁŃÓŚŹŻąćęłńóśźż";

// Whether `font` itself (no fallback) has a glyph for every Polish letter.
bool HasPolishLetters(const QRawFont& font);
// The vendor tag of a font's OS/2 table ("Wine" for the fonts Wine ships), or empty.
QString FontVendor(const QRawFont& font);

}  // namespace veldoran::app

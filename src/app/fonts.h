// The window's fonts (Tahoma, MS Sans Serif) are Windows fonts. Where the system lacks them,
// the metric-compatible copies that Wine ships are loaded when present, so texts keep their
// designed widths; otherwise the toolkit substitutes a similar font.
#pragma once

namespace veldoran::app {

void LoadWindowFonts();

}  // namespace veldoran::app

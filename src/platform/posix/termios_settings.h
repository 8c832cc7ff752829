// Between the Win32 line settings and termios: the device control block's speed, frame,
// parity and flow control as terminal attributes, and the modem lines as modem status bits.
#pragma once

#include <termios.h>

#include "platform/win_types.h"

namespace veldoran::win {

// The terminal speed of a baud rate; false for a rate termios has no constant for.
bool SpeedFor(DWORD baud, speed_t* speed);
// Puts `dcb`'s line settings into `tio`, leaving its other settings; false when a setting has no
// termios form (nothing is changed then).
bool DcbToTermios(const DCB& dcb, termios* tio);
// The modem status bits (MS_CTS_ON ...) of the lines TIOCMGET reports.
DWORD ModemBits(int lines);

}  // namespace veldoran::win

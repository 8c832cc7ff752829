#include "platform/posix/termios_settings.h"

#include <sys/ioctl.h>

namespace veldoran::win {

bool SpeedFor(DWORD baud, speed_t* speed) {
  static constexpr struct {
    DWORD baud;
    speed_t speed;
  } kSpeeds[] = {
      {50, B50},           {75, B75},           {110, B110},         {134, B134},
      {150, B150},         {200, B200},         {300, B300},         {600, B600},
      {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
      {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
      {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
      {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
      {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
      {3500000, B3500000}, {4000000, B4000000},
  };
  for (const auto& entry : kSpeeds) {
    if (entry.baud == baud) {
      *speed = entry.speed;
      return true;
    }
  }
  return false;
}

bool DcbToTermios(const DCB& dcb, termios* tio) {
  speed_t speed;
  if (!SpeedFor(dcb.BaudRate, &speed) || dcb.ByteSize < 5 || dcb.ByteSize > 8 ||
      dcb.Parity > SPACEPARITY || dcb.StopBits > TWOSTOPBITS) {
    return false;
  }
  ::cfsetispeed(tio, speed);
  ::cfsetospeed(tio, speed);
  tio->c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  tio->c_cflag |= kSizes[dcb.ByteSize - 5] | CLOCAL | CREAD;
  switch (dcb.Parity) {
    case ODDPARITY:
      tio->c_cflag |= PARENB | PARODD;
      break;
    case EVENPARITY:
      tio->c_cflag |= PARENB;
      break;
    case MARKPARITY:
      tio->c_cflag |= PARENB | CMSPAR | PARODD;
      break;
    case SPACEPARITY:
      tio->c_cflag |= PARENB | CMSPAR;
      break;
    default:
      break;
  }
  if (dcb.StopBits != ONESTOPBIT) tio->c_cflag |= CSTOPB;
  if ((dcb.Flags & dcbflag::fOutxCtsFlow) || dcb.RtsControl() == RTS_CONTROL_HANDSHAKE) {
    tio->c_cflag |= CRTSCTS;
  }
  tio->c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
  if (dcb.Flags & dcbflag::fOutX) tio->c_iflag |= IXON;
  if (dcb.Flags & dcbflag::fInX) tio->c_iflag |= IXOFF;
  if (dcb.Flags & dcbflag::fParity) tio->c_iflag |= INPCK;
  tio->c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
  tio->c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
  return true;
}

DWORD ModemBits(int lines) {
  DWORD bits = 0;
  if (lines & TIOCM_CTS) bits |= MS_CTS_ON;
  if (lines & TIOCM_DSR) bits |= MS_DSR_ON;
  if (lines & TIOCM_RNG) bits |= MS_RING_ON;
  if (lines & TIOCM_CAR) bits |= MS_RLSD_ON;
  return bits;
}

}  // namespace veldoran::win

#include "tools/sim/pty_port.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace veldoran::sim {

bool PtyPort::Open(std::string& error) {
  Close();
  const auto fail = [&](const char* what) {
    error = std::string(what) + ": " + std::strerror(errno);
    Close();
    return false;
  };
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (master_ < 0) return fail("posix_openpt");
  if (::fcntl(master_, F_SETFD, FD_CLOEXEC) != 0) return fail("fcntl");
  const int flags = ::fcntl(master_, F_GETFL);
  if (flags < 0 || ::fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0) return fail("fcntl");
  if (::grantpt(master_) != 0) return fail("grantpt");
  if (::unlockpt(master_) != 0) return fail("unlockpt");
  char name[128];
  if (::ptsname_r(master_, name, sizeof name) != 0) return fail("ptsname_r");
  device_ = name;

  slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave_ < 0) return fail("open slave");
  termios tio{};
  if (::tcgetattr(slave_, &tio) != 0) return fail("tcgetattr");
  ::cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  ::cfsetispeed(&tio, B57600);
  ::cfsetospeed(&tio, B57600);
  if (::tcsetattr(slave_, TCSANOW, &tio) != 0) return fail("tcsetattr");
  return true;
}

void PtyPort::Close() {
  if (slave_ >= 0) ::close(slave_);
  if (master_ >= 0) ::close(master_);
  slave_ = master_ = -1;
}

}  // namespace veldoran::sim

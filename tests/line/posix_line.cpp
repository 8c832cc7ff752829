// Lines on POSIX: a pseudo-terminal of the test process in a private port map.
#include <vector>

#include "line.h"
#include "platform/posix/posix_serial.h"
#include "pty_pair.h"

namespace veldoran::testing {

namespace {

TempPortMap& Map() {
  static TempPortMap map;  // one private map for the whole test program
  return map;
}

}  // namespace

struct Line::Impl {
  PtyPair pty;
  int number = 0;
};

Line::Line() : impl_(std::make_unique<Impl>()) {
  static int next = 0;
  impl_->number = 20 + next++ % 180;
  Map().Link(impl_->number, impl_->pty.SlavePath());
}

Line::~Line() = default;

int Line::Number() const { return impl_->number; }
std::string Line::PortName() const { return "COM" + std::to_string(impl_->number); }

void Line::Write(std::string_view bytes) { impl_->pty.Write(bytes); }

void Line::WriteSome(std::string_view bytes) {
  pollfd p{impl_->pty.Master(), POLLOUT, 0};
  if (::poll(&p, 1, 0) == 1 && (p.revents & POLLOUT)) {
    [[maybe_unused]] const ssize_t n = ::write(impl_->pty.Master(), bytes.data(), bytes.size());
  }
}

std::string Line::Read(std::size_t count, std::chrono::milliseconds timeout) {
  return impl_->pty.Read(count, timeout);
}

LineSettings Line::Settings() {
  termios tio{};
  LineSettings settings;
  if (::tcgetattr(impl_->pty.Slave(), &tio) != 0) return settings;
  static constexpr struct {
    speed_t speed;
    std::uint32_t baud;
  } kSpeeds[] = {{B1200, 1200},   {B2400, 2400},   {B4800, 4800},   {B9600, 9600},
                 {B19200, 19200}, {B38400, 38400}, {B57600, 57600}, {B115200, 115200}};
  for (const auto& entry : kSpeeds) {
    if (::cfgetospeed(&tio) == entry.speed) settings.baud = entry.baud;
  }
  settings.two_stop_bits = tio.c_cflag & CSTOPB;
  settings.rts_cts = tio.c_cflag & CRTSCTS;
  settings.xon_xoff_out = tio.c_iflag & IXON;
  settings.xon_xoff_in = tio.c_iflag & IXOFF;
  return settings;
}

void Line::HangUp() { impl_->pty.CloseAll(); }

std::shared_ptr<win::SerialApi> LineSerialApi() {
  static const auto api = std::make_shared<win::PosixSerialApi>();
  return api;
}

bool OnWine() { return false; }
bool OnWindows() { return false; }

}  // namespace veldoran::testing

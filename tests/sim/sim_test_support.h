// Helpers for the simulator tests: a private port-map folder, and the other end of the line
// opened as the tool would open its port (plain termios, raw, non-blocking).
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace veldoran::sim::testing {

// A fresh folder used as XDG_CONFIG_HOME, so the port map lives in it; removed at the end.
class TempConfigHome {
 public:
  TempConfigHome() {
    std::string pattern = (std::filesystem::temp_directory_path() / "veldoran-sim-XXXXXX");
    path_ = ::mkdtemp(pattern.data());
    ::setenv("XDG_CONFIG_HOME", path_.c_str(), 1);
  }
  ~TempConfigHome() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path PortLink(int number) const {
    return path_ / "veldoran" / "ports" / ("COM" + std::to_string(number));
  }

 private:
  std::filesystem::path path_;
};

// The tool's side of the line; -1 when the device cannot be opened.
inline int OpenToolSide(const std::string& device) {
  const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  termios tio{};
  ::tcgetattr(fd, &tio);
  ::cfmakeraw(&tio);
  ::cfsetspeed(&tio, B57600);
  ::tcsetattr(fd, TCSANOW, &tio);
  return fd;
}

// Whatever can be read now without waiting.
inline std::string ReadAvailable(int fd) {
  std::string out;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    out.append(buffer, static_cast<std::size_t>(n));
  }
  return out;
}

inline bool WriteAllTo(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace veldoran::sim::testing

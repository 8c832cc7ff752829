// Test helpers for the POSIX serial backend: a pseudo-terminal whose slave side stands for a
// serial port (registered in a private port map as COM<n>) and whose master side is the device
// at the other end of the line.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

namespace veldoran::testing {

// A private port map for the test process: $XDG_CONFIG_HOME points at a fresh directory.
class TempPortMap {
 public:
  TempPortMap() {
    char dir[] = "/tmp/veldoran-ports-XXXXXX";
    if (!::mkdtemp(dir)) throw std::runtime_error("mkdtemp failed");
    root_ = dir;
    ::setenv("XDG_CONFIG_HOME", root_.c_str(), 1);
    std::filesystem::create_directories(root_ / "veldoran" / "ports");
  }
  ~TempPortMap() {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  void Link(int number, const std::string& device) const {
    const auto link = root_ / "veldoran" / "ports" / ("COM" + std::to_string(number));
    std::error_code ec;
    std::filesystem::remove(link, ec);
    std::filesystem::create_symlink(device, link);
  }

 private:
  std::filesystem::path root_;
};

class PtyPair {
 public:
  PtyPair() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
      throw std::runtime_error("no pseudo-terminal");
    }
    slave_path_ = ::ptsname(master_);
    // Held open so the line survives the port's closes (a master whose slave side nobody
    // holds reads EIO), and raw so nothing is echoed before the port is opened.
    slave_ = ::open(slave_path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio{};
    ::tcgetattr(slave_, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(slave_, TCSANOW, &tio);
    ::tcgetattr(master_, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(master_, TCSANOW, &tio);
  }
  ~PtyPair() { CloseAll(); }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  const std::string& SlavePath() const { return slave_path_; }
  int Master() const { return master_; }
  int Slave() const { return slave_; }

  void Write(std::string_view bytes) const {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
      if (n < 0) throw std::runtime_error("write to the pseudo-terminal failed");
      done += static_cast<std::size_t>(n);
    }
  }

  // Reads from the master until `count` bytes came or `timeout` passed.
  std::string Read(std::size_t count,
                   std::chrono::milliseconds timeout = std::chrono::seconds(20)) const {
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (out.size() < count) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0) break;
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      char buffer[4096];
      const ssize_t n = ::read(master_, buffer, sizeof buffer);
      if (n <= 0) break;
      out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
  }

  // The adapter is unplugged: both ends go.
  void CloseAll() {
    if (slave_ >= 0) ::close(slave_);
    if (master_ >= 0) ::close(master_);
    slave_ = master_ = -1;
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slave_path_;
};

}  // namespace veldoran::testing

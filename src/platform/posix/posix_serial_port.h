// An open port of the termios backend: its descriptors, the input queue the backend keeps as a
// Windows driver does, and the line state its event waits compare against. Shared by the
// backend's calls; everything below `mutex` is guarded by it.
#pragma once

#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/posix/posix_serial.h"
#include "platform/posix/termios_settings.h"

namespace veldoran::win {

// The input queue's size until SetupComm asks for another.
inline constexpr std::size_t kDefaultInQueue = 4096;

inline const char* const kHangUpText = "The device was disconnected (the other side hung up)";

struct PosixSerialApi::Port : KernelObjects::Object {
  int fd = -1;
  int epoll_fd = -1;
  int wake_read = -1;
  int wake_write = -1;
  std::string path;
  bool has_modem_lines = false;
  bool has_counters = false;

  std::mutex mutex;  // guards everything below
  bool closed = false;
  bool broken = false;
  bool waiting = false;
  DWORD mask = 0;
  std::uint64_t releases = 0;   // SetCommMask and CloseHandle release a wait
  std::uint64_t aborts_rx = 0;  // PURGE_RXABORT
  std::uint64_t aborts_tx = 0;  // PURGE_TXABORT
  // The driver's input queue, as a Windows serial driver keeps one: input is taken from the
  // device into it as it arrives (the terminal's own buffer holds only a few kilobytes), up to
  // the size SetupComm asked for. Reads take from it first.
  std::string in_queue;
  std::size_t in_queue_start = 0;  // bytes at the front already read
  std::size_t in_queue_limit = kDefaultInQueue;
  bool tx_draining = false;  // written since the last EV_TXEMPTY
  DWORD modem_seen = 0;
  serial_icounter_struct counts_seen{};      // for EV_ERR / EV_BREAK
  serial_icounter_struct counts_reported{};  // for ClearCommError
  COMMTIMEOUTS timeouts{};
  DCB dcb{};

  ~Port() override {
    for (int f : {fd, epoll_fd, wake_read, wake_write}) {
      if (f >= 0) ::close(f);
    }
  }

  void Wake() const {
    const char byte = 0;
    [[maybe_unused]] const ssize_t n = ::write(wake_write, &byte, 1);
  }

  void OnClose() override {
    {
      std::lock_guard lock(mutex);
      closed = true;
      ++releases;
    }
    // The descriptor lives on until the last call using it returns, but the port is free for
    // the next open at once.
    ::flock(fd, LOCK_UN);
    ::ioctl(fd, TIOCNXCL);
    Wake();
  }

  // Fails the calling thread's operation for a closed or broken port; caller holds mutex.
  BOOL Unusable() const {
    if (closed) return Fail(ERROR_INVALID_HANDLE);
    return Fail(ERROR_BAD_COMMAND, kHangUpText);
  }
  bool Usable() const { return !closed && !broken; }

  // Bytes in the kernel's buffer, not yet taken into the input queue.
  DWORD DeviceQueue() {
    int n = 0;
    if (::ioctl(fd, FIONREAD, &n) != 0) {
      if (errno == EIO) broken = true;
      return 0;
    }
    return static_cast<DWORD>(std::max(n, 0));
  }
  std::size_t Queued() const { return in_queue.size() - in_queue_start; }
  DWORD InQueue() { return static_cast<DWORD>(Queued()) + DeviceQueue(); }

  // Takes what the device has into the input queue, as far as it has room; returns how many
  // bytes came. Notices a hang-up. Caller holds mutex.
  std::size_t Pull() {
    if (in_queue_start > 0 && in_queue_start * 2 >= in_queue.size()) {
      in_queue.erase(0, in_queue_start);
      in_queue_start = 0;
    }
    std::size_t pulled = 0;
    while (Queued() < in_queue_limit) {
      char chunk[4096];
      const std::size_t room = std::min(sizeof chunk, in_queue_limit - Queued());
      const ssize_t n = ::read(fd, chunk, room);
      if (n > 0) {
        in_queue.append(chunk, static_cast<std::size_t>(n));
        pulled += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) broken = true;
      break;
    }
    return pulled;
  }

  // Moves up to `count` queued bytes to `out`; returns how many. Caller holds mutex.
  std::size_t Take(char* out, std::size_t count) {
    const std::size_t n = std::min(count, Queued());
    std::memcpy(out, in_queue.data() + in_queue_start, n);
    in_queue_start += n;
    if (in_queue_start == in_queue.size()) {
      in_queue.clear();
      in_queue_start = 0;
    }
    return n;
  }

  DWORD OutQueue() const {
    int n = 0;
    return ::ioctl(fd, TIOCOUTQ, &n) == 0 ? static_cast<DWORD>(std::max(n, 0)) : 0;
  }
  DWORD ModemStatus() const {
    int lines = 0;
    if (!has_modem_lines || ::ioctl(fd, TIOCMGET, &lines) != 0) return 0;
    return ModemBits(lines);
  }
  serial_icounter_struct Counts() const {
    serial_icounter_struct counts{};
    if (has_counters) ::ioctl(fd, TIOCGICOUNT, &counts);
    return counts;
  }
  void SetModemLine(int line, bool on) const {
    // Without modem lines (pseudo-terminals) this does nothing, as the caller expects.
    ::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line);
  }

  // Events in the mask that the line state shows now, apart from new input; caller holds mutex.
  DWORD LineEvents() {
    DWORD events = 0;
    if ((mask & EV_TXEMPTY) && tx_draining && OutQueue() == 0) {
      tx_draining = false;
      events |= EV_TXEMPTY;
    }
    if (mask & (EV_CTS | EV_DSR | EV_RLSD | EV_RING)) {
      const DWORD modem = ModemStatus();
      const DWORD changed = modem ^ modem_seen;
      if (changed & MS_CTS_ON) events |= EV_CTS;
      if (changed & MS_DSR_ON) events |= EV_DSR;
      if (changed & MS_RLSD_ON) events |= EV_RLSD;
      if (changed & modem & MS_RING_ON) events |= EV_RING;
      modem_seen = modem;
    }
    if (has_counters && (mask & (EV_ERR | EV_BREAK))) {
      const serial_icounter_struct now = Counts();
      if (now.frame != counts_seen.frame || now.overrun != counts_seen.overrun ||
          now.parity != counts_seen.parity || now.buf_overrun != counts_seen.buf_overrun) {
        events |= EV_ERR;
      }
      if (now.brk != counts_seen.brk) events |= EV_BREAK;
      counts_seen = now;
    }
    return events & mask;
  }

  // Whether a wait must look at the line from time to time rather than sleep until woken.
  bool NeedsLineChecks() const {
    return ((mask & EV_TXEMPTY) && tx_draining) ||
           (has_modem_lines && (mask & (EV_CTS | EV_DSR | EV_RLSD | EV_RING)));
  }
};

}  // namespace veldoran::win

#include "platform/posix/posix_serial.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/serial.h>
#include <poll.h>
#include <pwd.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/posix/port_map.h"
#include "platform/posix/posix_serial_port.h"
#include "platform/posix/termios_settings.h"

namespace veldoran::win {

namespace {

using Clock = std::chrono::steady_clock;

std::string ErrnoText(int error) { return std::strerror(error); }

// The longest a blocked read or write sleeps before looking again whether its handle was closed
// or its operation purged.
constexpr int kSliceMs = 100;

// Modem lines and drain state are looked at this often while the mask asks for them.
constexpr int kLineCheckMs = 10;

// The text for a device the user may not open: the system's text and who may open it. The
// group is named only when membership would help, that is when the group may read and write it.
std::string PermissionText(const std::string& path, int error) {
  std::string text = ErrnoText(error);
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return text + " (" + path + ")";
  char buffer[4096];
  constexpr mode_t kGroupReadWrite = S_IRGRP | S_IWGRP;
  if ((st.st_mode & kGroupReadWrite) == kGroupReadWrite) {
    struct group grp {};
    struct group* found = nullptr;
    if (::getgrgid_r(st.st_gid, &grp, buffer, sizeof buffer, &found) == 0 && found) {
      return text + " (" + path + " is open to the group " + found->gr_name +
             "; the user must be a member of it)";
    }
  }
  constexpr mode_t kOwnerReadWrite = S_IRUSR | S_IWUSR;
  if (st.st_uid != 0 && (st.st_mode & kOwnerReadWrite) == kOwnerReadWrite) {
    struct passwd pwd {};
    struct passwd* found = nullptr;
    const std::string owner =
        ::getpwuid_r(st.st_uid, &pwd, buffer, sizeof buffer, &found) == 0 && found
            ? std::string(found->pw_name)
            : std::to_string(st.st_uid);
    return text + " (" + path + " may be opened only by its owner " + owner + " or root)";
  }
  return text + " (" + path + " may be opened only by root)";
}

}  // namespace

PosixSerialApi::PosixSerialApi() = default;
PosixSerialApi::~PosixSerialApi() = default;

std::shared_ptr<PosixSerialApi::Port> PosixSerialApi::OpenPort(HANDLE file) {
  return Lookup<Port>(file);
}

HANDLE PosixSerialApi::CreateFileA(const char* name, DWORD, DWORD, DWORD, DWORD) {
  std::string_view requested = name ? name : "";
  if (requested.size() > 4 && requested.substr(0, 2) == "\\\\" &&
      (requested[2] == '?' || requested[2] == '.') && requested[3] == '\\') {
    requested.remove_prefix(4);
  }
  std::string path;
  if (!requested.empty() && requested.front() == '/') {
    path = std::string(requested);
  } else if (const auto resolved = portmap::Resolve(requested)) {
    path = resolved->string();
  } else {
    Fail(ERROR_FILE_NOT_FOUND, ErrnoText(ENOENT));
    return InvalidHandle();
  }

  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    switch (error) {
      case ENOENT:
      case ENXIO:
      case ENODEV:
        Fail(ERROR_FILE_NOT_FOUND, ErrnoText(error));
        break;
      case EACCES:
      case EPERM:
        Fail(ERROR_ACCESS_DENIED, PermissionText(path, error));
        break;
      case EBUSY:
        Fail(ERROR_ACCESS_DENIED, ErrnoText(error));
        break;
      default:
        Fail(ERROR_GEN_FAILURE, ErrnoText(error));
    }
    return InvalidHandle();
  }
  auto port = std::make_shared<Port>();
  port->fd = fd;
  port->path = path;
  if (!::isatty(fd)) {
    Fail(ERROR_INVALID_NAME, path + " is not a serial device");
    return InvalidHandle();
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    Fail(ERROR_ACCESS_DENIED, ErrnoText(EBUSY));
    return InvalidHandle();
  }
  ::ioctl(fd, TIOCEXCL);

  termios tio{};
  if (::tcgetattr(fd, &tio) == 0) {
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    // With VMIN 0 a read of an empty terminal returns 0 even without blocking; with 1 it
    // fails with EAGAIN, so 0 means what it should: the other side is gone.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    ::tcsetattr(fd, TCSANOW, &tio);
  }
  // A Windows port starts with an empty input queue: what the device sent while the port was
  // closed (a pseudo-terminal keeps it) is not read as if it had just arrived.
  ::tcflush(fd, TCIFLUSH);
  int lines = 0;
  port->has_modem_lines = ::ioctl(fd, TIOCMGET, &lines) == 0;
  port->modem_seen = port->has_modem_lines ? ModemBits(lines) : 0;
  serial_icounter_struct counts{};
  port->has_counters = ::ioctl(fd, TIOCGICOUNT, &counts) == 0;
  port->counts_seen = port->counts_reported = counts;

  int pipe_fds[2];
  port->epoll_fd = ::epoll_create1(EPOLL_CLOEXEC);
  if (port->epoll_fd < 0 || ::pipe2(pipe_fds, O_NONBLOCK | O_CLOEXEC) != 0) {
    Fail(ERROR_NOT_ENOUGH_MEMORY, ErrnoText(errno));
    return InvalidHandle();
  }
  port->wake_read = pipe_fds[0];
  port->wake_write = pipe_fds[1];
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLET;  // edge: each arrival of input, not its presence
  ev.data.fd = fd;
  epoll_event wake{};
  wake.events = EPOLLIN;
  wake.data.fd = port->wake_read;
  if (::epoll_ctl(port->epoll_fd, EPOLL_CTL_ADD, fd, &ev) != 0 ||
      ::epoll_ctl(port->epoll_fd, EPOLL_CTL_ADD, port->wake_read, &wake) != 0) {
    Fail(ERROR_GEN_FAILURE, ErrnoText(errno));
    return InvalidHandle();
  }
  port->dcb = DefaultCommConfig().dcb;
  return Insert(std::move(port));
}

BOOL PosixSerialApi::WaitCommEvent(HANDLE file, DWORD* event_mask, OVERLAPPED* overlapped) {
  const auto port = OpenPort(file);
  if (!port) return FALSE;
  if (!event_mask) return Fail(ERROR_INVALID_PARAMETER);
  std::unique_lock lock(port->mutex);
  if (!port->Usable()) return port->Unusable();
  if (port->mask == 0 || port->waiting) return Fail(ERROR_INVALID_PARAMETER);
  port->waiting = true;
  const std::uint64_t releases = port->releases;
  DWORD events = 0;
  bool failed = false;
  while (true) {
    // A closed handle's wait ends without touching the device again: the device may be open
    // once more by now, and its input belongs to that open.
    if (port->closed) break;
    events = port->LineEvents();
    // New input is what the device had beyond what was already taken: an edge, so input left
    // unread does not fire again.
    if (port->Pull() > 0) events |= EV_RXCHAR & port->mask;
    if (events || port->releases != releases || port->broken) break;
    const int timeout = port->NeedsLineChecks() ? kLineCheckMs : -1;
    lock.unlock();
    epoll_event ready[2];
    const int n = ::epoll_wait(port->epoll_fd, ready, 2, timeout);
    lock.lock();
    for (int i = 0; i < n; ++i) {
      if (ready[i].data.fd == port->wake_read) {
        char drain[64];
        while (::read(port->wake_read, drain, sizeof drain) > 0) {
        }
      } else if (ready[i].events & (EPOLLHUP | EPOLLERR)) {
        port->broken = true;
      }
    }
  }
  port->waiting = false;
  if (port->closed) {
    failed = true;
    Fail(ERROR_INVALID_HANDLE);
  } else if (port->broken) {
    failed = true;
    port->Unusable();
  }
  lock.unlock();
  if (failed) return FALSE;
  *event_mask = events;
  if (overlapped) Complete(overlapped, ERROR_SUCCESS, 0);
  return TRUE;
}

BOOL PosixSerialApi::SetCommMask(HANDLE file, DWORD mask) {
  const auto port = OpenPort(file);
  if (!port) return FALSE;
  {
    std::lock_guard lock(port->mutex);
    if (!port->Usable()) return port->Unusable();
    port->mask = mask;
    ++port->releases;
    port->modem_seen = port->ModemStatus();
    port->counts_seen = port->Counts();
  }
  port->Wake();
  return TRUE;
}

BOOL PosixSerialApi::ClearCommError(HANDLE file, DWORD* errors, COMSTAT* status) {
  const auto port = OpenPort(file);
  if (!port) return FALSE;
  std::lock_guard lock(port->mutex);
  if (!port->Usable()) return port->Unusable();
  if (errors) {
    DWORD bits = 0;
    if (port->has_counters) {
      const serial_icounter_struct now = port->Counts();
      const serial_icounter_struct& was = port->counts_reported;
      if (now.frame != was.frame) bits |= CE_FRAME;
      if (now.overrun != was.overrun) bits |= CE_OVERRUN;
      if (now.parity != was.parity) bits |= CE_RXPARITY;
      if (now.brk != was.brk) bits |= CE_BREAK;
      if (now.buf_overrun != was.buf_overrun) bits |= CE_RXOVER;
      port->counts_reported = now;
    }
    *errors = bits;
  }
  if (status) {
    *status = COMSTAT{};
    status->cbInQue = port->InQueue();
    status->cbOutQue = port->OutQueue();
    if (port->broken) return port->Unusable();
  }
  return TRUE;
}

BOOL PosixSerialApi::ReadFile(HANDLE file, void* buffer, DWORD to_read, DWORD* read,
                              OVERLAPPED* overlapped) {
  const auto port = OpenPort(file);
  if (!port) return FALSE;
  std::unique_lock lock(port->mutex);
  if (!port->Usable()) return port->Unusable();
  const COMMTIMEOUTS t = port->timeouts;
  const std::uint64_t aborts = port->aborts_rx;
  lock.unlock();

  // Windows time-out rules: MAXDWORD interval with no totals returns what is there; all zero
  // waits for every byte; otherwise the total is multiplier * count + constant.
  const bool immediate = t.ReadIntervalTimeout == 0xFFFFFFFFu &&
                         t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0;
  const std::uint64_t total_ms =
      std::uint64_t{t.ReadTotalTimeoutMultiplier} * to_read + t.ReadTotalTimeoutConstant;
  const auto deadline = Clock::now() + std::chrono::milliseconds(total_ms);
  auto* out = static_cast<char*>(buffer);
  DWORD done = 0;
  DWORD error = ERROR_SUCCESS;
  bool was_full = false;
  while (done < to_read) {
    ssize_t n = 0;
    {
      // The input queue first, then the device, in one step so nothing overtakes.
      std::lock_guard guard(port->mutex);
      was_full = was_full || port->Queued() >= port->in_queue_limit;
      done += static_cast<DWORD>(port->Take(out + done, to_read - done));
      if (done < to_read) n = ::read(port->fd, out + done, to_read - done);
    }
    if (n > 0) {
      done += static_cast<DWORD>(n);
      continue;
    }
    if (done == to_read) break;
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
      std::lock_guard guard(port->mutex);
      port->broken = true;
      error = ERROR_BAD_COMMAND;
      break;
    }
    if (immediate) break;
    int wait_ms = kSliceMs;
    if (total_ms != 0) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) break;
      wait_ms = static_cast<int>(std::min<long long>(left, kSliceMs));
    }
    pollfd p{port->fd, POLLIN, 0};
    ::poll(&p, 1, wait_ms);
    std::lock_guard guard(port->mutex);
    if (port->closed || port->aborts_rx != aborts) {
      error = ERROR_OPERATION_ABORTED;
      break;
    }
  }
  // A full queue left input in the device unannounced: let the event wait take it now.
  if (was_full) port->Wake();
  if (error != ERROR_SUCCESS && done == 0) {
    return Fail(error, error == ERROR_BAD_COMMAND ? kHangUpText : std::string());
  }
  if (read) *read = done;
  if (overlapped) Complete(overlapped, ERROR_SUCCESS, done);
  return TRUE;
}

BOOL PosixSerialApi::WriteFile(HANDLE file, const void* buffer, DWORD to_write, DWORD* written,
                               OVERLAPPED* overlapped) {
  const auto port = OpenPort(file);
  if (!port) return FALSE;
  std::unique_lock lock(port->mutex);
  if (!port->Usable()) return port->Unusable();
  const COMMTIMEOUTS t = port->timeouts;
  const std::uint64_t aborts = port->aborts_tx;
  lock.unlock();

  const std::uint64_t total_ms =
      std::uint64_t{t.WriteTotalTimeoutMultiplier} * to_write + t.WriteTotalTimeoutConstant;
  const auto deadline = Clock::now() + std::chrono::milliseconds(total_ms);
  const auto* in = static_cast<const char*>(buffer);
  DWORD done = 0;
  DWORD error = ERROR_SUCCESS;
  while (done < to_write) {
    const ssize_t n = ::write(port->fd, in + done, to_write - done);
    if (n > 0) {
      done += static_cast<DWORD>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      error = ERROR_BAD_COMMAND;
      break;
    }
    // The line does not take more now (flow control, or nobody reads the other side).
    int wait_ms = kSliceMs;
    if (total_ms != 0) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) break;  // the write time-out ends the write early, as on Windows
      wait_ms = static_cast<int>(std::min<long long>(left, kSliceMs));
    }
    pollfd p{port->fd, POLLOUT, 0};
    ::poll(&p, 1, wait_ms);
    std::lock_guard guard(port->mutex);
    if (port->closed || port->aborts_tx != aborts) {
      error = ERROR_OPERATION_ABORTED;
      break;
    }
  }
  lock.lock();
  if (error == ERROR_BAD_COMMAND) {
    port->broken = true;
    return port->Unusable();
  }
  if (error != ERROR_SUCCESS) return Fail(error);
  const bool wake = done > 0 && (port->mask & EV_TXEMPTY);
  if (done > 0) port->tx_draining = true;
  lock.unlock();
  if (wake) port->Wake();
  if (written) *written = done;
  if (overlapped) Complete(overlapped, ERROR_SUCCESS, done);
  return TRUE;
}

BOOL PosixSerialApi::CancelIo(HANDLE file) {
  // Every call completes before it returns, so the calling thread has nothing in flight.
  return OpenPort(file) ? TRUE : FALSE;
}

BOOL PosixSerialApi::GetDefaultCommConfigA(const char*, COMMCONFIG* config, DWORD* size) {
  return FillDefaultCommConfig(config, size);
}

BOOL PosixSerialApi::SetupComm(HANDLE file, DWORD in_queue, DWORD) {
  // The input queue is ours; the kernel sizes its own output buffer.
  const auto port = OpenPort(file);
  if (!port) return FALSE;
  std::lock_guard lock(port->mutex);
  if (!port->Usable()) return port->Unusable();
  port->in_queue_limit = std::max<std::size_t>(in_queue, kDefaultInQueue);
  return TRUE;
}

BOOL PosixSerialApi::SetCommState(HANDLE file, const DCB* dcb) {
  const auto port = OpenPort(file);
  if (!port) return FALSE;
  std::lock_guard lock(port->mutex);
  if (!port->Usable()) return port->Unusable();
  if (!dcb) return Fail(ERROR_INVALID_PARAMETER);

  termios tio{};
  if (::tcgetattr(port->fd, &tio) != 0) return Fail(ERROR_GEN_FAILURE, ErrnoText(errno));
  if (!DcbToTermios(*dcb, &tio)) return Fail(ERROR_INVALID_PARAMETER);
  if (::tcsetattr(port->fd, TCSANOW, &tio) != 0) return Fail(ERROR_GEN_FAILURE, ErrnoText(errno));

  const DWORD rts = dcb->RtsControl();
  const DWORD dtr = dcb->DtrControl();
  port->SetModemLine(TIOCM_DTR, dtr != DTR_CONTROL_DISABLE);
  if (rts == RTS_CONTROL_ENABLE || rts == RTS_CONTROL_DISABLE) {
    port->SetModemLine(TIOCM_RTS, rts == RTS_CONTROL_ENABLE);
  }
  if (port->has_modem_lines) {
    // RTS_CONTROL_TOGGLE: let a driver with RS-485 support switch the direction itself.
    serial_rs485 rs485{};
    if (::ioctl(port->fd, TIOCGRS485, &rs485) == 0) {
      const bool toggle = rts == RTS_CONTROL_TOGGLE;
      if (toggle != ((rs485.flags & SER_RS485_ENABLED) != 0)) {
        rs485.flags = toggle ? (SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND) : 0;
        ::ioctl(port->fd, TIOCSRS485, &rs485);
      }
    }
  }
  port->dcb = *dcb;
  return TRUE;
}

BOOL PosixSerialApi::SetCommTimeouts(HANDLE file, const COMMTIMEOUTS* timeouts) {
  const auto port = OpenPort(file);
  if (!port) return FALSE;
  std::lock_guard lock(port->mutex);
  if (!port->Usable()) return port->Unusable();
  if (!timeouts) return Fail(ERROR_INVALID_PARAMETER);
  port->timeouts = *timeouts;
  return TRUE;
}

BOOL PosixSerialApi::GetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts) {
  const auto port = OpenPort(file);
  if (!port) return FALSE;
  std::lock_guard lock(port->mutex);
  if (!port->Usable()) return port->Unusable();
  if (!timeouts) return Fail(ERROR_INVALID_PARAMETER);
  *timeouts = port->timeouts;
  return TRUE;
}

BOOL PosixSerialApi::PurgeComm(HANDLE file, DWORD flags) {
  const auto port = OpenPort(file);
  if (!port) return FALSE;
  {
    std::lock_guard lock(port->mutex);
    if (!port->Usable()) return port->Unusable();
    if (flags & PURGE_RXCLEAR) {
      ::tcflush(port->fd, TCIFLUSH);
      port->in_queue.clear();
      port->in_queue_start = 0;
    }
    if (flags & PURGE_TXCLEAR) ::tcflush(port->fd, TCOFLUSH);
    if (flags & PURGE_RXABORT) ++port->aborts_rx;
    if (flags & PURGE_TXABORT) ++port->aborts_tx;
  }
  port->Wake();
  return TRUE;
}

BOOL PosixSerialApi::EscapeCommFunction(HANDLE file, DWORD function) {
  const auto port = OpenPort(file);
  if (!port) return FALSE;
  std::lock_guard lock(port->mutex);
  if (!port->Usable()) return port->Unusable();
  switch (function) {
    case SETRTS:
      port->SetModemLine(TIOCM_RTS, true);
      break;
    case CLRRTS:
      port->SetModemLine(TIOCM_RTS, false);
      break;
    case SETDTR:
      port->SetModemLine(TIOCM_DTR, true);
      break;
    case CLRDTR:
      port->SetModemLine(TIOCM_DTR, false);
      break;
    case SETXOFF:
      ::tcflow(port->fd, TCOOFF);
      break;
    case SETXON:
      ::tcflow(port->fd, TCOON);
      break;
    case SETBREAK:
      ::ioctl(port->fd, TIOCSBRK);
      break;
    case CLRBREAK:
      ::ioctl(port->fd, TIOCCBRK);
      break;
    default:
      return Fail(ERROR_INVALID_PARAMETER);
  }
  return TRUE;
}

BOOL PosixSerialApi::GetCommModemStatus(HANDLE file, DWORD* modem_status) {
  const auto port = OpenPort(file);
  if (!port) return FALSE;
  std::lock_guard lock(port->mutex);
  if (!port->Usable()) return port->Unusable();
  if (!modem_status) return Fail(ERROR_INVALID_PARAMETER);
  *modem_status = port->ModemStatus();
  return TRUE;
}

std::shared_ptr<SerialApi> SystemSerialApi() {
  static const std::shared_ptr<SerialApi> api = std::make_shared<PosixSerialApi>();
  return api;
}

}  // namespace veldoran::win

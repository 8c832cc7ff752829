// The termios backend against real pseudo-terminals: what only POSIX has (the port map, other
// processes and users, signals, the termios mapping). serial_line_test.cpp has the tests both
// backends share.
#include "platform/posix/posix_serial.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <future>
#include <thread>

#include "pty_pair.h"

namespace veldoran::win {
namespace {

using veldoran::testing::PtyPair;
using veldoran::testing::TempPortMap;
using namespace std::chrono_literals;

HANDLE Open(SerialApi& api, const std::string& name) {
  return api.CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED);
}

// Runs the probe program and returns its one line of output.
std::string Probe(const std::string& args) {
  const std::string command = std::string(VELDORAN_OPEN_PROBE) + " " + args + " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return "popen failed";
  std::array<char, 512> line{};
  std::string out;
  while (std::fgets(line.data(), line.size(), pipe)) out += line.data();
  ::pclose(pipe);
  if (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

// Where in the kernel a thread of this process waits ("0" where the kernel does not tell).
std::string WaitChannel(pid_t thread) {
  std::ifstream in("/proc/self/task/" + std::to_string(thread) + "/wchan");
  std::string channel;
  in >> channel;
  return channel;
}

// A signal handler that holds the thread it interrupts for as long as `hold_thread` is set.
std::atomic<bool> hold_thread{false};
std::atomic<bool> thread_held{false};
void HoldThread(int) {
  thread_held = true;
  while (hold_thread) {
    const timespec pause{0, 1000000};
    ::nanosleep(&pause, nullptr);
  }
}

class PosixSerialTest : public ::testing::Test {
 protected:
  void SetUp() override {
    map.Link(5, pty.SlavePath());
    handle = Open(api, "\\\\?\\COM5");
    ASSERT_NE(handle, InvalidHandle()) << api.SysErrorMessage(api.GetLastError());
    ASSERT_TRUE(api.SetCommMask(handle, EV_RXCHAR));
  }
  void TearDown() override {
    if (handle != InvalidHandle()) api.CloseHandle(handle);
  }

  // Waits for one event on a helper thread, so a wait that never ends fails the test
  // instead of hanging it.
  std::future<std::pair<BOOL, DWORD>> StartWait() {
    return std::async(std::launch::async, [this] {
      DWORD word = 0;
      const BOOL ok = api.WaitCommEvent(handle, &word, nullptr);
      return std::make_pair(ok, ok ? word : api.GetLastError());
    });
  }

  TempPortMap map;
  PtyPair pty;
  PosixSerialApi api;
  HANDLE handle = InvalidHandle();
};

TEST_F(PosixSerialTest, ComNameResolvesThroughThePortMapAndMissingPortsFail) {
  const HANDLE missing = Open(api, "\\\\?\\COM250");
  EXPECT_EQ(missing, InvalidHandle());
  EXPECT_EQ(api.GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(api.SysErrorMessage(ERROR_FILE_NOT_FOUND), "No such file or directory");

  map.Link(6, "/dev/veldoran-no-such-device");
  EXPECT_EQ(Open(api, "COM6"), InvalidHandle());
  EXPECT_EQ(api.GetLastError(), ERROR_FILE_NOT_FOUND);

  EXPECT_EQ(Open(api, "/etc/hostname"), InvalidHandle());  // not a terminal
  EXPECT_EQ(api.GetLastError(), ERROR_INVALID_NAME);
}

TEST_F(PosixSerialTest, SecondOpenIsDeniedUntilTheFirstIsClosed) {
  EXPECT_EQ(Open(api, "COM5"), InvalidHandle());
  EXPECT_EQ(api.GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(api.SysErrorMessage(ERROR_ACCESS_DENIED), "Device or resource busy");
  EXPECT_EQ(Probe(pty.SlavePath()), "5 Device or resource busy");  // another process too

  ASSERT_TRUE(api.CloseHandle(handle));
  handle = Open(api, "COM5");
  EXPECT_NE(handle, InvalidHandle());
  EXPECT_EQ(Probe(pty.SlavePath()), "5 Device or resource busy");
}

// The hint names the group only when the group may read and write the device; otherwise it
// says who may open it.
TEST_F(PosixSerialTest, PermissionDeniedSaysWhoMayOpenTheDevice) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  api.CloseHandle(handle);
  handle = InvalidHandle();
  struct Case {
    uid_t owner;
    mode_t mode;
    const char* hint;
  };
  const std::string path = pty.SlavePath();
  const Case cases[] = {
      {0, 0660, "is open to the group dialout; the user must be a member of it)"},
      {0, 0600, "may be opened only by root)"},
      {0, 0640, "may be opened only by root)"},
      {1, 0600, "may be opened only by its owner daemon or root)"},  // uid 1: daemon on Debian
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.hint);
    ASSERT_EQ(::chown(path.c_str(), c.owner, 20), 0);  // group dialout (gid 20 on Debian)
    ASSERT_EQ(::chmod(path.c_str(), c.mode), 0);
    const std::string out = Probe("--as-nobody " + path);
    EXPECT_EQ(out.rfind("5 Permission denied (" + path + " ", 0), 0u) << out;
    EXPECT_NE(out.find(c.hint), std::string::npos) << out;
  }
}

TEST(DcbToTermios, EverySettingTheComponentWrites) {
  DCB dcb = DefaultCommConfig().dcb;
  dcb.BaudRate = 57600;
  dcb.ByteSize = 7;
  dcb.Parity = EVENPARITY;
  dcb.StopBits = TWOSTOPBITS;
  dcb.Flags = dcbflag::fBinary | dcbflag::fOutX | dcbflag::fInX | dcbflag::fParity;
  termios tio{};
  ASSERT_TRUE(DcbToTermios(dcb, &tio));
  EXPECT_EQ(::cfgetospeed(&tio), speed_t{B57600});
  EXPECT_EQ(::cfgetispeed(&tio), speed_t{B57600});
  EXPECT_EQ(tio.c_cflag & CSIZE, tcflag_t{CS7});
  EXPECT_EQ(tio.c_cflag & (PARENB | PARODD | CMSPAR), tcflag_t{PARENB});
  EXPECT_TRUE(tio.c_iflag & INPCK);
  EXPECT_TRUE(tio.c_cflag & CSTOPB);
  EXPECT_FALSE(tio.c_cflag & CRTSCTS);
  EXPECT_EQ(tio.c_iflag & (IXON | IXOFF), tcflag_t{IXON | IXOFF});
  EXPECT_EQ(tio.c_cc[VSTART], 0x11);
  EXPECT_EQ(tio.c_cc[VSTOP], 0x13);

  dcb.ByteSize = 5;
  dcb.Parity = MARKPARITY;
  dcb.Flags = dcbflag::fBinary | dcbflag::fOutxCtsFlow |
              (RTS_CONTROL_HANDSHAKE << dcbflag::fRtsControlShift);
  ASSERT_TRUE(DcbToTermios(dcb, &tio));
  EXPECT_EQ(tio.c_cflag & CSIZE, tcflag_t{CS5});
  EXPECT_EQ(tio.c_cflag & (PARENB | PARODD | CMSPAR), tcflag_t{PARENB | PARODD | CMSPAR});
  EXPECT_TRUE(tio.c_cflag & CRTSCTS);
  EXPECT_FALSE(tio.c_iflag & (IXON | IXOFF | INPCK));

  dcb.Parity = SPACEPARITY;
  dcb.StopBits = ONESTOPBIT;
  ASSERT_TRUE(DcbToTermios(dcb, &tio));
  EXPECT_EQ(tio.c_cflag & (PARENB | PARODD | CMSPAR), tcflag_t{PARENB | CMSPAR});
  EXPECT_FALSE(tio.c_cflag & CSTOPB);

  dcb.BaudRate = 12345;  // no such rate
  EXPECT_FALSE(DcbToTermios(dcb, &tio));
  dcb.BaudRate = 9600;
  dcb.ByteSize = 4;
  EXPECT_FALSE(DcbToTermios(dcb, &tio));
}

// More than the input queue holds: the rest waits in the device and is taken and announced
// once reading makes room, even to a wait that began before the read; all in order. (Each
// event reads only a piece, so the device stays full and only the freed room can wake the wait.)
TEST_F(PosixSerialTest, InputBeyondTheQueueFollowsOnceThereIsRoom) {
  ASSERT_TRUE(api.SetupComm(handle, 4096, 4096));
  std::string data(30000, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i % 251);
  std::thread writer([&] { pty.Write(data); });
  std::string received;
  auto wait = StartWait();
  while (received.size() < data.size()) {
    ASSERT_EQ(wait.wait_for(20s), std::future_status::ready) << received.size();
    ASSERT_EQ(wait.get(), std::make_pair(TRUE, EV_RXCHAR));
    wait = StartWait();  // pending while a piece of the full queue is read
    DWORD errors = 0;
    COMSTAT status{};
    ASSERT_TRUE(api.ClearCommError(handle, &errors, &status));
    char piece[1000];
    DWORD read = 0;
    ASSERT_TRUE(
        api.ReadFile(handle, piece, std::min<DWORD>(status.cbInQue, sizeof piece), &read, nullptr));
    received.append(piece, read);
    // Once everything still to come is queued, nothing new arrives to announce it: read it all.
    ASSERT_TRUE(api.ClearCommError(handle, &errors, &status));
    if (status.cbInQue == data.size() - received.size()) {
      std::string rest(status.cbInQue, '\0');
      ASSERT_TRUE(api.ReadFile(handle, rest.data(), status.cbInQue, &read, nullptr));
      received.append(rest, 0, read);
    }
  }
  writer.join();
  EXPECT_EQ(received, data);
  while (wait.wait_for(10ms) != std::future_status::ready) api.SetCommMask(handle, EV_RXCHAR);
}

// A wait that was running when its handle was closed must not take input from the device once
// it runs again: by then the device may be open again, and that input is the new port's (a
// read of it would wait for bytes that are gone). The waiting thread is held in a signal
// handler, interrupted in its wait, until the device is open again and has input.
TEST_F(PosixSerialTest, WaitOnAClosedHandleLeavesLaterInputToTheNextOpen) {
  struct sigaction hold {};
  struct sigaction old {};
  hold.sa_handler = HoldThread;
  sigemptyset(&hold.sa_mask);
  ASSERT_EQ(::sigaction(SIGUSR1, &hold, &old), 0);
  std::atomic<pid_t> waiter_id{0};
  std::pair<BOOL, DWORD> result{TRUE, 0};
  std::thread waiter([&] {
    waiter_id = ::gettid();
    DWORD word = 0;
    const BOOL ok = api.WaitCommEvent(handle, &word, nullptr);
    result = {ok, ok ? word : api.GetLastError()};
  });
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  std::string channel;
  while (std::chrono::steady_clock::now() < deadline) {
    channel = waiter_id ? WaitChannel(waiter_id) : "";
    if (channel.find("epoll") != std::string::npos) break;
    std::this_thread::sleep_for(1ms);
  }
  if (channel.find("epoll") == std::string::npos) {
    api.CloseHandle(handle);
    handle = InvalidHandle();
    waiter.join();
    ::sigaction(SIGUSR1, &old, nullptr);
    if (channel.empty() || channel == "0") GTEST_SKIP() << "the kernel does not show waits";
    FAIL() << "the wait never blocked; it is at " << channel;
  }
  hold_thread = true;
  ASSERT_EQ(::pthread_kill(waiter.native_handle(), SIGUSR1), 0);
  while (!thread_held && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_TRUE(thread_held);

  ASSERT_TRUE(api.CloseHandle(handle));
  handle = Open(api, "COM5");
  EXPECT_NE(handle, InvalidHandle());
  pty.Write("new");
  DWORD errors = 0;
  COMSTAT status{};
  while (status.cbInQue < 3 && std::chrono::steady_clock::now() < deadline) {
    api.ClearCommError(handle, &errors, &status);
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(status.cbInQue, 3u);
  hold_thread = false;
  waiter.join();
  ::sigaction(SIGUSR1, &old, nullptr);

  EXPECT_EQ(result, std::make_pair(FALSE, ERROR_INVALID_HANDLE));
  ASSERT_TRUE(api.ClearCommError(handle, &errors, &status));
  ASSERT_EQ(status.cbInQue, 3u);
  char buffer[8] = {};
  DWORD read = 0;
  ASSERT_TRUE(api.ReadFile(handle, buffer, 3, &read, nullptr));
  EXPECT_EQ(std::string(buffer, read), "new");
}

}  // namespace
}  // namespace veldoran::win

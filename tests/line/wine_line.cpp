// Lines under Wine: each one is a connection to the line helper (tests/wine/line_helper.c),
// which holds the pseudo-terminal on the Linux side; VELDORAN_LINE_PORT names its TCP port.

#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "line.h"

// After our headers, whose Win32 names <windows.h> would turn into macros.
// clang-format off
#include <winsock2.h>
#include <windows.h>
// clang-format on

namespace veldoran::testing {

namespace {

void SendAll(SOCKET s, const char* data, std::size_t size) {
  while (size > 0) {
    const int n = ::send(s, data, static_cast<int>(size), 0);
    if (n <= 0) throw std::runtime_error("the line helper went away");
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

void ReceiveAll(SOCKET s, char* data, std::size_t size) {
  while (size > 0) {
    const int n = ::recv(s, data, static_cast<int>(size), 0);
    if (n <= 0) throw std::runtime_error("the line helper went away");
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

std::string ReceiveReply(SOCKET s) {
  std::uint32_t size = 0;
  ReceiveAll(s, reinterpret_cast<char*>(&size), 4);
  std::string reply(size, '\0');
  ReceiveAll(s, reply.data(), size);
  return reply;
}

}  // namespace

struct Line::Impl {
  SOCKET socket = INVALID_SOCKET;
  int number = 0;

  std::string Request(char op, std::string_view payload = {}) {
    std::string message(1, op);
    const std::uint32_t size = static_cast<std::uint32_t>(payload.size());
    message.append(reinterpret_cast<const char*>(&size), 4);
    message.append(payload);
    SendAll(socket, message.data(), message.size());
    return ReceiveReply(socket);
  }
};

Line::Line() : impl_(std::make_unique<Impl>()) {
  static const bool started = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  const char* port = std::getenv("VELDORAN_LINE_PORT");
  if (!started || !port) throw std::runtime_error("no line helper (run through tests/wine)");
  impl_->socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = ::htons(static_cast<u_short>(std::atoi(port)));
  address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
  if (impl_->socket == INVALID_SOCKET ||
      ::connect(impl_->socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    throw std::runtime_error("cannot reach the line helper");
  }
  const BOOL no_delay = TRUE;
  ::setsockopt(impl_->socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&no_delay),
               sizeof no_delay);
  const std::string greeting = ReceiveReply(impl_->socket);
  std::uint32_t number = 0;
  if (greeting.size() == 4) std::memcpy(&number, greeting.data(), 4);
  impl_->number = static_cast<int>(number);
}

Line::~Line() {
  if (impl_->socket != INVALID_SOCKET) ::closesocket(impl_->socket);
}

int Line::Number() const { return impl_->number; }
std::string Line::PortName() const { return "COM" + std::to_string(impl_->number); }

void Line::Write(std::string_view bytes) { impl_->Request('W', bytes); }

void Line::WriteSome(std::string_view bytes) { impl_->Request('w', bytes); }

std::string Line::Read(std::size_t count, std::chrono::milliseconds timeout) {
  const std::uint32_t args[2] = {static_cast<std::uint32_t>(count),
                                 static_cast<std::uint32_t>(timeout.count())};
  return impl_->Request('R', std::string_view(reinterpret_cast<const char*>(args), sizeof args));
}

LineSettings Line::Settings() {
  const std::string reply = impl_->Request('S');
  std::uint32_t values[2] = {0, 0};
  if (reply.size() == sizeof values) std::memcpy(values, reply.data(), sizeof values);
  LineSettings settings;
  settings.baud = values[0];
  settings.two_stop_bits = values[1] & 1;
  settings.rts_cts = values[1] & 2;
  settings.xon_xoff_out = values[1] & 4;
  settings.xon_xoff_in = values[1] & 8;
  return settings;
}

void Line::HangUp() { impl_->Request('H'); }

std::shared_ptr<win::SerialApi> LineSerialApi() { return win::SystemSerialApi(); }

bool OnWine() {
  const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
  return ntdll && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

bool OnWindows() { return true; }

}  // namespace veldoran::testing

// Opens a serial port in a process of its own, as another program would, and prints the
// result: "ok" or "<Win32 error code> <system text>". With --as-nobody it first gives up root.
#include <grp.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/posix/posix_serial.h"

int main(int argc, char** argv) {
  using namespace veldoran::win;
  if (argc < 2) return 2;
  const char* name = argv[argc - 1];
  if (argc > 2 && std::strcmp(argv[1], "--as-nobody") == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) return 3;
  }
  PosixSerialApi api;
  const HANDLE handle =
      api.CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, FILE_FLAG_OVERLAPPED);
  if (handle == InvalidHandle()) {
    const DWORD error = api.GetLastError();
    std::printf("%u %s\n", error, api.SysErrorMessage(error).c_str());
    return 1;
  }
  std::printf("ok\n");
  api.CloseHandle(handle);
  return 0;
}

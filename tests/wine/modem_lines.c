/* Preloaded into Wine for the tests (LD_PRELOAD): a pseudo-terminal has no modem lines, and
 * Wine's serial driver gives up on a port whose modem status cannot be read (its event wait
 * ends "cancelled"). This answers the modem-line ioctls on a terminal that refuses them: the
 * output lines (DTR, RTS) keep what was set, the input lines (CTS, DSR, RI, CD) read as off,
 * as on a real port with nothing attached. Any other call goes to the C library unchanged. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#define MAX_FD 4096
static int lines[MAX_FD];

int ioctl(int fd, unsigned long request, ...) {
  static int (*real_ioctl)(int, unsigned long, ...);
  if (!real_ioctl) real_ioctl = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  const int result = real_ioctl(fd, request, arg);
  const int modem =
      request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC;
  if (result == 0 || !modem || fd < 0 || fd >= MAX_FD || !arg) return result;
  if ((errno != EINVAL && errno != ENOTTY) || !isatty(fd)) return result;
  int* value = arg;
  const int outputs = TIOCM_DTR | TIOCM_RTS;
  if (request == TIOCMGET) *value = lines[fd] & outputs;
  if (request == TIOCMSET) lines[fd] = *value & outputs;
  if (request == TIOCMBIS) lines[fd] |= *value & outputs;
  if (request == TIOCMBIC) lines[fd] &= ~*value;
  errno = 0;
  return 0;
}

/* The far end of the serial lines the Windows tests use under Wine (a Linux program).
 *
 *   line_helper <dosdevices folder> <port file>
 *
 * Listens on a TCP port of 127.0.0.1 (written to <port file> once it listens). Each connection
 * is one line: a fresh pseudo-terminal, its slave side linked into the Wine prefix as
 * dosdevices/com<n> (a number of its own, from 20 up), its master side the device at the far
 * end, driven by the test over the connection. Requests are one byte of operation, a 32-bit
 * length and that many bytes; every request gets one reply, a 32-bit length and the bytes:
 *   greeting (on connect)  reply: the COM number (32 bits)
 *   'W' bytes              write them to the line (blocks while the line is full)
 *   'w' bytes              write what the line takes now, without waiting
 *   'R' count, ms          read up to count bytes, waiting up to ms for them
 *   'S'                    the line settings the port gave the terminal: baud, flags
 *                          (1 two stop bits, 2 RTS/CTS, 4 XON/XOFF out, 8 XON/XOFF in)
 *   'H'                    hang up: the device is gone (both sides of the terminal closed)
 * Closing the connection hangs up too and removes the link. Numbers are little-endian. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

static int master_fd = -1, slave_fd = -1;

static int read_all(int fd, void* buffer, size_t size) {
  char* p = buffer;
  while (size > 0) {
    const ssize_t n = read(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    p += n;
    size -= (size_t)n;
  }
  return 0;
}

static int write_all(int fd, const void* buffer, size_t size) {
  const char* p = buffer;
  while (size > 0) {
    const ssize_t n = write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    p += n;
    size -= (size_t)n;
  }
  return 0;
}

static int reply(int client, const void* bytes, uint32_t size) {
  if (write_all(client, &size, 4) != 0) return -1;
  return size ? write_all(client, bytes, size) : 0;
}

static long long now_ms(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (long long)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

static void hang_up(void) {
  if (slave_fd >= 0) close(slave_fd);
  if (master_fd >= 0) close(master_fd);
  slave_fd = master_fd = -1;
}

static uint32_t baud_of(speed_t speed) {
  static const struct {
    speed_t speed;
    uint32_t baud;
  } table[] = {{B1200, 1200},   {B2400, 2400},     {B4800, 4800},
               {B9600, 9600},   {B19200, 19200},   {B38400, 38400},
               {B57600, 57600}, {B115200, 115200}, {B230400, 230400}};
  for (size_t i = 0; i < sizeof table / sizeof table[0]; ++i) {
    if (table[i].speed == speed) return table[i].baud;
  }
  return 0;
}

static int serve(int client) {
  for (;;) {
    unsigned char op;
    uint32_t size;
    if (read_all(client, &op, 1) != 0 || read_all(client, &size, 4) != 0) return 0;
    char* payload = malloc(size ? size : 1);
    if (!payload || (size && read_all(client, payload, size) != 0)) return 1;
    int failed = 0;
    if (op == 'W') {
      if (master_fd >= 0) write_all(master_fd, payload, size);
      failed = reply(client, NULL, 0);
    } else if (op == 'w') {
      struct pollfd p = {master_fd, POLLOUT, 0};
      if (master_fd >= 0 && poll(&p, 1, 0) == 1 && (p.revents & POLLOUT)) {
        const int flags = fcntl(master_fd, F_GETFL);
        fcntl(master_fd, F_SETFL, flags | O_NONBLOCK);
        if (write(master_fd, payload, size) < 0) { /* the line is full: nothing taken */
        }
        fcntl(master_fd, F_SETFL, flags);
      }
      failed = reply(client, NULL, 0);
    } else if (op == 'R' && size == 8) {
      uint32_t count, timeout;
      memcpy(&count, payload, 4);
      memcpy(&timeout, payload + 4, 4);
      char* out = malloc(count ? count : 1);
      uint32_t got = 0;
      const long long deadline = now_ms() + timeout;
      while (out && got < count && master_fd >= 0) {
        const long long left = deadline - now_ms();
        struct pollfd p = {master_fd, POLLIN, 0};
        if (poll(&p, 1, left > 0 ? (int)left : 0) <= 0) {
          if (left <= 0) break;
          continue;
        }
        const ssize_t n = read(master_fd, out + got, count - got);
        if (n <= 0) break;
        got += (uint32_t)n;
      }
      failed = reply(client, out, got);
      free(out);
    } else if (op == 'S') {
      struct termios tio;
      uint32_t settings[2] = {0, 0};
      if (slave_fd >= 0 && tcgetattr(slave_fd, &tio) == 0) {
        settings[0] = baud_of(cfgetospeed(&tio));
        settings[1] = ((tio.c_cflag & CSTOPB) ? 1u : 0u) | ((tio.c_cflag & CRTSCTS) ? 2u : 0u) |
                      ((tio.c_iflag & IXON) ? 4u : 0u) | ((tio.c_iflag & IXOFF) ? 8u : 0u);
      }
      failed = reply(client, settings, sizeof settings);
    } else if (op == 'H') {
      hang_up();
      failed = reply(client, NULL, 0);
    } else {
      failed = 1;
    }
    free(payload);
    if (failed) return 1;
  }
}

static int open_line(char* slave_path, size_t size) {
  master_fd = posix_openpt(O_RDWR | O_NOCTTY);
  if (master_fd < 0 || grantpt(master_fd) != 0 || unlockpt(master_fd) != 0) return -1;
  if (ptsname_r(master_fd, slave_path, size) != 0) return -1;
  /* Held open so the line survives the port's closes; raw on both sides so nothing is echoed
   * or changed before the port sets the line up. */
  slave_fd = open(slave_path, O_RDWR | O_NOCTTY);
  if (slave_fd < 0) return -1;
  struct termios tio;
  tcgetattr(slave_fd, &tio);
  cfmakeraw(&tio);
  tcsetattr(slave_fd, TCSANOW, &tio);
  tcgetattr(master_fd, &tio);
  cfmakeraw(&tio);
  tcsetattr(master_fd, TCSANOW, &tio);
  return 0;
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: line_helper <dosdevices folder> <port file>\n");
    return 2;
  }
  signal(SIGCHLD, SIG_IGN); /* the lines' processes end on their own */
  signal(SIGPIPE, SIG_IGN);
  const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in address;
  memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (server < 0 || bind(server, (struct sockaddr*)&address, sizeof address) != 0 ||
      listen(server, 16) != 0 || getsockname(server, (struct sockaddr*)&address, &length) != 0) {
    perror("line_helper: listen");
    return 1;
  }
  char temp[4096];
  snprintf(temp, sizeof temp, "%s.tmp", argv[2]);
  FILE* port_file = fopen(temp, "w");
  if (!port_file || fprintf(port_file, "%u\n", ntohs(address.sin_port)) < 0 ||
      fclose(port_file) != 0 || rename(temp, argv[2]) != 0) {
    perror("line_helper: port file");
    return 1;
  }
  uint32_t next = 0;
  for (;;) {
    const int client = accept4(server, NULL, NULL, SOCK_CLOEXEC);
    if (client < 0) {
      if (errno == EINTR) continue;
      perror("line_helper: accept");
      return 1;
    }
    const uint32_t number = 20 + next++ % 180;
    if (fork() != 0) {
      close(client);
      continue;
    }
    close(server);
    char slave_path[256];
    char link[4096];
    snprintf(link, sizeof link, "%s/com%u", argv[1], number);
    int status = 1;
    if (open_line(slave_path, sizeof slave_path) == 0) {
      unlink(link);
      if (symlink(slave_path, link) == 0 && reply(client, &number, 4) == 0) {
        status = serve(client);
      }
      unlink(link);
    }
    hang_up();
    close(client);
    return status;
  }
}

/* The raw ceiling of the program's reading design: poll + read(511) from the
 * line into nothing, no hand-off, no screen. Usage: drain511 DEVICE */
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <termios.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: drain511 DEVICE\n");
    return 2;
  }
  int fd = open(argv[1], O_RDWR | O_NOCTTY | O_NONBLOCK);
  struct termios t;
  if (fd < 0 || tcgetattr(fd, &t) != 0) {
    perror(argv[1]);
    return 1;
  }
  cfmakeraw(&t);
  tcsetattr(fd, TCSANOW, &t);
  char buffer[511];
  for (;;) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, -1) < 0) return 1;
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) break; /* hung up */
  }
  return 0;
}

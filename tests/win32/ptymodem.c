/* Test-only: preloaded into the Wine process that drives a COM port mapped to
 * a pseudo-terminal. A pty slave has no modem lines and refuses TIOCMGET,
 * TIOCMBIS and TIOCMBIC; Wine's WaitCommEvent polls TIOCMGET and, refused,
 * ends every wait at once (a busy loop), and EscapeCommFunction fails. Here,
 * after the real call failed, a pty slave answers as a line whose DTR and RTS
 * are what was last set and whose CTS, DSR and carrier are up. Every other
 * descriptor and request reaches the real ioctl untouched.
 *
 *   cc -shared -fPIC -O2 -o ptymodem.so ptymodem.c -ldl
 *   LD_PRELOAD=.../ptymodem.so wine program.exe
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

typedef int (*ioctl_fn)(int, unsigned long, ...);

/* Unix98 pty slaves: majors 136-143. */
static int is_pty_slave(int fd) {
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode)) return 0;
  return major(info.st_rdev) >= 136 && major(info.st_rdev) <= 143;
}

static int raised = TIOCM_DTR | TIOCM_RTS; /* one line per process is all a test uses */

int ioctl(int fd, unsigned long request, ...) {
  static ioctl_fn real;
  va_list args;
  va_start(args, request);
  void* argument = va_arg(args, void*);
  va_end(args);
  if (!real) *(void**)&real = dlsym(RTLD_NEXT, "ioctl"); /* the POSIX way past -Wpedantic */

  const int result = real(fd, request, argument);
  if (result == 0 || (request != TIOCMGET && request != TIOCMBIS && request != TIOCMBIC && request != TIOCMSET))
    return result;
  const int saved = errno;
  if (argument == 0 || !is_pty_slave(fd)) {
    errno = saved;
    return result;
  }
  int* bits = (int*)argument;
  const int settable = TIOCM_DTR | TIOCM_RTS;
  switch (request) {
    case TIOCMGET: *bits = raised | TIOCM_CTS | TIOCM_DSR | TIOCM_CAR; break;
    case TIOCMBIS: raised |= *bits & settable; break;
    case TIOCMBIC: raised &= ~(*bits & settable); break;
    default: raised = *bits & settable; break;
  }
  return 0;
}

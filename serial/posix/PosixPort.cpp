// The port engine's POSIX half: the line behind a file descriptor, opened
// exclusively, read by a thread that waits in poll() on the line and on an
// eventfd that portClose() signals.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>
#include <thread>

#include "serial/PortEngine.h"
#include "serial/posix/LineSettings.h"

namespace tevra {

namespace {

// The handles of the open line. Set by portOpen() before the reader starts,
// closed by portClose() only after it was joined.
struct PosixLine {
  int lineFd = -1;
  int closeWakeFd = -1;  // eventfd: portClose() wakes the reader's poll with it
  std::thread reader;
};

PosixLine g_line;

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

void setModemLines(int fd, unsigned long request) {
  // A line without modem control (a pseudo-terminal) answers ENOTTY: no matter.
  for (int line : {TIOCM_DTR, TIOCM_RTS}) {
    int bits = line;
    (void)::ioctl(fd, request, &bits);
  }
}

// Releases the device; the caller has made sure no thread uses it any more.
void releaseLine(int& fd) {
  // Dropping what is still queued for output keeps close() from waiting on a line
  // held by XOFF (the kernel would wait up to 30 s).
  (void)::tcflush(fd, TCOFLUSH);
  (void)::ioctl(fd, TIOCNXCL);  // on a pseudo-terminal the flag outlives the close
  closeFd(fd);
}

int failOpen(PortRecord& port, const std::string& devicePath, const std::string& why) {
  if (g_line.lineFd >= 0) releaseLine(g_line.lineFd);
  closeFd(g_line.closeWakeFd);
  failOpenWith(port, devicePath, why);
  return 0;
}

}  // namespace

int portOpen(const std::string& devicePath, PortReceiver* receiver) {
  PortRecord& port = g_port;
  PosixLine& device = g_line;
  portTerm();
  port.failureReason.clear();

  device.lineFd = ::open(devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (device.lineFd < 0) return failOpen(port, devicePath, std::strerror(errno));
  termios probe{};
  if (::tcgetattr(device.lineFd, &probe) != 0) {
    closeFd(device.lineFd);  // not a terminal: nothing to undo
    return failOpen(port, devicePath, "Not a serial line");
  }
  // Another program holding the line: flock is what terminal programs honour,
  // TIOCEXCL keeps out plain opens by anyone but root.
  if (::flock(device.lineFd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno == EWOULDBLOCK ? EBUSY : errno;
    return failOpen(port, devicePath, std::strerror(error));
  }
  (void)::ioctl(device.lineFd, TIOCEXCL);

  switch (applyLineSettings(device.lineFd, port.line)) {
    case LineOutcome::kApplied:
      break;
    case LineOutcome::kRefused:
      return failOpen(port, devicePath, std::strerror(errno));
    case LineOutcome::kNotKept:
      return failOpen(port, devicePath,
                      "line settings not supported (" + describeLine(port.line) + ")");
  }

  device.closeWakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (device.closeWakeFd < 0) return failOpen(port, devicePath, std::strerror(errno));

  beginHandOff(port, receiver);
  port.connected.store(true);
  try {
    device.reader = std::thread(ReaderThread, &port);
  } catch (const std::system_error& error) {
    port.connected.store(false);
    return failOpen(port, devicePath, error.code().message());
  }
  port.openBaud = port.line.baud;
  setModemLines(device.lineFd, TIOCMBIS);
  return 1;
}

void portClose() {
  PortRecord& port = g_port;
  PosixLine& device = g_line;
  port.connected.store(false);
  stopHandOff(port);
  if (device.closeWakeFd >= 0) {
    const std::uint64_t one = 1;
    (void)!::write(device.closeWakeFd, &one, sizeof one);
  }
  if (device.reader.joinable()) device.reader.join();
  endHandOff(port);
  if (device.lineFd >= 0) {
    setModemLines(device.lineFd, TIOCMBIC);
    releaseLine(device.lineFd);
  }
  closeFd(device.closeWakeFd);
}

int portRead(std::uint8_t* buffer, std::size_t max) {
  for (;;) {
    const ssize_t got = ::read(g_line.lineFd, buffer, max);
    if (got > 0) return static_cast<int>(got);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
    return -1;  // 0 is end of file: the line hung up; EIO likewise
  }
}

int portWrite(const std::uint8_t* bytes, std::size_t count) {
  if (!g_port.connected.load()) return 0;
  const int fd = g_line.lineFd;
  using Clock = std::chrono::steady_clock;
  const auto deadline =
      Clock::now() + std::chrono::milliseconds(portWriteTimeoutMs(g_port.openBaud, count));
  std::size_t written = 0;
  while (written < count) {
    const ssize_t sent = ::write(fd, bytes + written, count - written);
    if (sent > 0) {
      written += static_cast<std::size_t>(sent);
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return 0;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return 0;
    pollfd room{fd, POLLOUT, 0};
    const int ready = ::poll(&room, 1, static_cast<int>(std::min<long long>(left, 60000)));
    if (ready < 0 && errno != EINTR) return 0;
    if (ready > 0 && (room.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return 0;
  }
  return 1;
}

int ReaderThread(PortRecord* record) {
  PortRecord& port = *record;
  enum { kCloseWake, kLine };
  pollfd watched[2] = {{g_line.closeWakeFd, POLLIN, 0}, {g_line.lineFd, POLLIN, 0}};
  while (port.connected.load()) {
    const int ready = ::poll(watched, 2, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      queueError(port);
      return 0;
    }
    if (watched[kCloseWake].revents != 0) break;
    const short lineEvents = watched[kLine].revents;
    if (lineEvents == 0) continue;
    const DrainResult result = drainLine(port);
    if (result == DrainResult::kClosing) break;
    // A hung-up line reports POLLHUP for ever: one report, then only the close wakes us.
    const bool hungUp = (lineEvents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
    if (result == DrainResult::kFailed || hungUp) {
      queueError(port);
      watched[kLine].fd = -1;
    }
  }
  return 1;
}

}  // namespace tevra

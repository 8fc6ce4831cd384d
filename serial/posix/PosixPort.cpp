// The port engine's POSIX half: the line behind a file descriptor, opened
// exclusively, read by a thread that waits in poll() on the line and on an
// eventfd that portClose() signals. After a hang-up the reader closes the
// descriptor and reopens the same path when the device comes back.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <thread>
#include <vector>

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

// Opens `devicePath` as the line: exclusive, with `line` applied and read back.
// The descriptor, or -1 with `why` set and nothing left open.
int openLine(const std::string& devicePath, const LineParameters& line, std::string& why) {
  int fd = ::open(devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    why = std::strerror(errno);
    return -1;
  }
  termios probe{};
  if (::tcgetattr(fd, &probe) != 0) {
    closeFd(fd);  // not a terminal: nothing to undo
    why = "Not a serial line";
    return -1;
  }
  // Another program holding the line: flock is what terminal programs honour,
  // TIOCEXCL keeps out plain opens by anyone but root.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    why = std::strerror(errno == EWOULDBLOCK ? EBUSY : errno);
    closeFd(fd);
    return -1;
  }
  (void)::ioctl(fd, TIOCEXCL);

  switch (applyLineSettings(fd, line)) {
    case LineOutcome::kApplied:
      return fd;
    case LineOutcome::kRefused:
      why = std::strerror(errno);
      break;
    case LineOutcome::kNotKept:
      why = "line settings not supported (" + describeLine(line) + ")";
      break;
  }
  releaseLine(fd);
  return -1;
}

int failOpen(PortRecord& port, const std::string& devicePath, const std::string& why) {
  if (g_line.lineFd >= 0) releaseLine(g_line.lineFd);
  closeFd(g_line.closeWakeFd);
  failOpenWith(port, devicePath, why);
  return 0;
}

// How often a reader waiting for its device tries again without a notice from
// the system: a device freed by another program, or a folder that is not there.
constexpr int kDeviceRetryMs = 500;

// The reader's part in following a hang-up on POSIX: inotify on the device's
// folder (and, for a symbolic link, on its target's folder) wakes the wait when
// a node or link appears there; a tick covers the rest.
class PosixReconnector : public LineReconnector {
 public:
  explicit PosixReconnector(PortRecord& port) : port_(port) {}

  // portOpen(), before the reader starts: looks at the path while it is surely
  // there (after a hang-up it may be gone at once).
  void lookAt(const std::string& devicePath) {
    const std::filesystem::path path(devicePath);
    folders_.assign({path.has_parent_path() ? path.parent_path() : "."});
    mayComeBack_ = true;
    struct stat named {};
    if (::lstat(path.c_str(), &named) != 0) return;
    if (S_ISLNK(named.st_mode)) {
      std::error_code error;
      const std::filesystem::path target = std::filesystem::read_symlink(path, error);
      if (!error) folders_.push_back((path.parent_path() / target).parent_path());
    }
    mayComeBack_ = !(S_ISCHR(named.st_mode) && isPseudoTerminalSlave(named.st_rdev));
  }
  ~PosixReconnector() override { stopWatching(); }

  bool letGo() override {
    releaseLine(g_line.lineFd);
    // Should inotify be unavailable, the tick alone finds the device.
    if (mayComeBack_) notices_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    return mayComeBack_;
  }

  Wake waitForDevice() override {
    // Watched again each time: a folder may have gone and come back (udev
    // removes an empty /dev/serial/by-id). Watching one already watched is a no-op.
    if (notices_ >= 0) {
      for (const auto& folder : folders_) {
        (void)::inotify_add_watch(notices_, folder.c_str(), IN_CREATE | IN_MOVED_TO | IN_ATTRIB);
      }
    }
    enum { kCloseWake, kNotices };
    pollfd watched[2] = {{g_line.closeWakeFd, POLLIN, 0}, {notices_, POLLIN, 0}};
    const int ready = ::poll(watched, 2, mayComeBack_ ? kDeviceRetryMs : -1);
    if (ready < 0 && errno != EINTR) return Wake::kStop;
    if (ready > 0 && watched[kCloseWake].revents != 0) return Wake::kStop;
    if (ready > 0 && watched[kNotices].revents != 0) {
      alignas(inotify_event) char events[4096];
      while (::read(notices_, events, sizeof events) > 0) {
      }
    }
    return Wake::kRetry;
  }

  bool reopen() override {
    std::string ignoredWhy;  // a failed reopen is quiet: the reader waits on
    int fd = openLine(port_.openedPath, port_.openedLine, ignoredWhy);
    if (fd < 0) return false;
    // The node of a device that is going away may still open, already hung up.
    pollfd line{fd, POLLIN, 0};
    if (::poll(&line, 1, 0) > 0 && (line.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
      releaseLine(fd);
      return false;
    }
    setModemLines(fd, TIOCMBIS);
    g_line.lineFd = fd;
    return true;
  }

  void stopWatching() override { closeFd(notices_); }

 private:
  // Unix98 pseudo-terminal slaves: majors 136 to 143.
  static bool isPseudoTerminalSlave(dev_t device) {
    return major(device) >= 136 && major(device) <= 143;
  }

  PortRecord& port_;
  std::vector<std::filesystem::path> folders_;
  bool mayComeBack_ = true;
  int notices_ = -1;  // inotify
};

// Set up by portOpen() before the reader starts, then the reader's alone.
PosixReconnector g_reconnector(g_port);

}  // namespace

int portOpen(const std::string& devicePath, PortReceiver* receiver) {
  PortRecord& port = g_port;
  PosixLine& device = g_line;
  portTerm();
  port.failureReason.clear();

  std::string why;
  device.lineFd = openLine(devicePath, port.line, why);
  if (device.lineFd < 0) return failOpen(port, devicePath, why);

  device.closeWakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (device.closeWakeFd < 0) return failOpen(port, devicePath, std::strerror(errno));

  port.openedPath = devicePath;
  port.openedLine = port.line;
  g_reconnector.lookAt(devicePath);
  lineUp(port);
  beginHandOff(port, receiver);
  port.connected.store(true);
  try {
    device.reader = std::thread(ReaderThread, &port);
  } catch (const std::system_error& error) {
    port.connected.store(false);
    lineDown(port);
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
  lineDown(port);
  if (device.lineFd >= 0) {  // not while the reader waited for its device to come back
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
  const LineUse use(g_port);  // the reader may let the line go and reopen it
  if (!use) return 0;
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
  while (port.connected.load()) {
    // The line's descriptor changes when it is reopened after a hang-up.
    pollfd watched[2] = {{g_line.closeWakeFd, POLLIN, 0}, {g_line.lineFd, POLLIN, 0}};
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
    // A hung-up line reports POLLHUP for ever: let it go and wait for it to return.
    const bool hungUp = (lineEvents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
    if ((result == DrainResult::kFailed || hungUp) && !followHangUp(port, g_reconnector)) break;
  }
  return 1;
}

}  // namespace tevra

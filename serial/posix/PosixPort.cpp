// The port engine's POSIX half: the line behind a file descriptor, opened
// exclusively, read by a thread that waits in poll() on the line and on an
// eventfd that portClose() signals, and written by a thread of its own that
// waits on a second eventfd and, while the line is full, on the line's POLLOUT.
//
// Why a writer thread rather than the reader's poll watching POLLOUT too: the
// reader may wait for room in the receive queue and, under a flood, reads
// until the line is empty before it polls again, so writes would wait on the
// window and on the far end's traffic. The writer starts with the first write,
// so a port that only listens costs no thread, and idle it blocks in poll()
// without a time-out: no wake-ups.
//
// After a hang-up the reader closes the descriptor and reopens the same path
// when the device comes back.
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
#include <array>
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
  bool exclusiveSet = false;  // this open set TIOCEXCL: only then does it clear it

  // The writer, started by the first write after an open, joined by portClose().
  int writerWakeFd = -1;  // eventfd: a write was queued, or portClose() drains
  std::thread writer;
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

void signalWake(int fd) {
  if (fd < 0) return;
  const std::uint64_t one = 1;
  (void)!::write(fd, &one, sizeof one);
}

void consumeWake(int fd) {
  std::uint64_t count = 0;
  (void)!::read(fd, &count, sizeof count);
}

// Releases a line descriptor; the caller has made sure no thread uses it any
// more. `discardOutput`: bytes are left in the driver's output, which close()
// would wait up to 30 s for on a line held by XOFF. `exclusiveSet`: this open
// set TIOCEXCL (on a pseudo-terminal the flag outlives the close).
void releaseFd(int& fd, bool exclusiveSet, bool discardOutput) {
  if (discardOutput) (void)::tcflush(fd, TCOFLUSH);
  if (exclusiveSet) (void)::ioctl(fd, TIOCNXCL);
  closeFd(fd);
}

void releaseLine(PosixLine& device, bool discardOutput) {
  releaseFd(device.lineFd, device.exclusiveSet, discardOutput);
  device.exclusiveSet = false;
}

// Opens `devicePath` as the line: exclusive, with `line` applied and read back.
// The descriptor, or -1 with `why` set and nothing left open. A failure undoes
// what this open acquired, and only that: a line whose lock or exclusive flag
// belongs to another program is closed untouched (no flush, no TIOCNXCL).
// `exclusiveSet` tells whether this open set TIOCEXCL.
int openLine(const std::string& devicePath, const LineParameters& line, std::string& why,
             bool& exclusiveSet) {
  exclusiveSet = false;
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
  // Root opens past a flag someone else set (another program's, or one a killed
  // holder left on a pseudo-terminal): not ours, so never ours to clear.
  int alreadyExclusive = 0;
  (void)::ioctl(fd, TIOCGEXCL, &alreadyExclusive);
  exclusiveSet = alreadyExclusive == 0 && ::ioctl(fd, TIOCEXCL) == 0;

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
  releaseFd(fd, exclusiveSet, false);
  exclusiveSet = false;
  return -1;
}

int failOpen(PortRecord& port, const std::string& devicePath, const std::string& why) {
  if (g_line.lineFd >= 0) releaseLine(g_line, false);
  closeFd(g_line.closeWakeFd);
  failOpenWith(port, devicePath, why);
  return 0;
}

// Bytes the driver holds for output, 0 when it cannot tell.
std::size_t driverOutputPending(int fd) {
  int pending = 0;
  if (::ioctl(fd, TIOCOUTQ, &pending) != 0 || pending < 0) return 0;
  return static_cast<std::size_t>(pending);
}

// Waits, in short steps, until the driver has sent its output or `closeBy` passed.
bool waitForDriverOutput(int fd, std::chrono::steady_clock::time_point closeBy) {
  using namespace std::chrono_literals;
  while (driverOutputPending(fd) > 0) {
    if (std::chrono::steady_clock::now() >= closeBy) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// Writer: writes `count` bytes in order until all went, `deadline` or the close's
// deadline passed, or the line failed.
void writeWithin(PortRecord& port, const PosixLine& device, const std::uint8_t* bytes,
                 std::size_t count, std::chrono::steady_clock::time_point deadline) {
  using Clock = std::chrono::steady_clock;
  const LineUse use(port);  // the reader may let the line go and reopen it
  if (!use) return;         // the line is down: the write is dropped
  std::size_t written = 0;
  while (written < count) {
    const ssize_t sent = ::write(device.lineFd, bytes + written, count - written);
    if (sent > 0) {
      written += static_cast<std::size_t>(sent);
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return;
    Clock::time_point closeBy;
    if (outputCloseBy(port, closeBy)) deadline = std::min(deadline, closeBy);
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return;
    enum { kWake, kLine };
    pollfd watched[2] = {{device.writerWakeFd, POLLIN, 0}, {device.lineFd, POLLOUT, 0}};
    const int ready = ::poll(watched, 2, static_cast<int>(std::min<long long>(left, 60000)));
    if (ready < 0 && errno != EINTR) return;
    if (ready <= 0) continue;
    if (watched[kWake].revents != 0) consumeWake(device.writerWakeFd);  // the close may have begun
    if ((watched[kLine].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return;
  }
}

// The writer's body: queued writes, oldest first, until the close has drained them.
void WriterThread(PortRecord* record, const PosixLine* line) {
  PortRecord& port = *record;
  const PosixLine& device = *line;
  std::array<std::uint8_t, kPortOutputBytes> bytes;
  for (;;) {
    const PendingWrite next = peekWrite(port, bytes.data());
    if (next.count == 0) {
      if (next.closing) return;
      pollfd wake{device.writerWakeFd, POLLIN, 0};
      if (::poll(&wake, 1, -1) < 0 && errno != EINTR) return;  // cannot wait: the close drops the rest
      consumeWake(device.writerWakeFd);
      continue;
    }
    writeWithin(port, device, bytes.data(), next.count,
                std::chrono::steady_clock::now() + std::chrono::milliseconds(next.timeoutMs));
    finishWrite(port);
  }
}

// portClose(): lets the writer send what is queued, within the close's deadline,
// and ends it. True when nothing was left behind.
bool drainOutput(PortRecord& port, PosixLine& device) {
  const auto closeBy = beginOutputDrain(port, driverOutputPending(device.lineFd));
  signalWake(device.writerWakeFd);
  if (device.writer.joinable()) device.writer.join();
  closeFd(device.writerWakeFd);
  const bool queueSent = endOutput(port) == 0;
  return waitForDriverOutput(device.lineFd, closeBy) && queueSent;
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
    releaseLine(g_line, false);  // a dead line sends nothing more
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
    bool exclusiveSet = false;
    int fd = openLine(port_.openedPath, port_.openedLine, ignoredWhy, exclusiveSet);
    if (fd < 0) return false;
    // The node of a device that is going away may still open, already hung up.
    pollfd line{fd, POLLIN, 0};
    if (::poll(&line, 1, 0) > 0 && (line.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
      releaseFd(fd, exclusiveSet, false);
      return false;
    }
    setModemLines(fd, TIOCMBIS);
    g_line.lineFd = fd;
    g_line.exclusiveSet = exclusiveSet;
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
  device.lineFd = openLine(devicePath, port.line, why, device.exclusiveSet);
  if (device.lineFd < 0) return failOpen(port, devicePath, why);

  device.closeWakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (device.closeWakeFd < 0) return failOpen(port, devicePath, std::strerror(errno));

  port.openedPath = devicePath;
  port.openedLine = port.line;
  g_reconnector.lookAt(devicePath);
  lineUp(port);
  beginHandOff(port, receiver);
  beginOutput(port);
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
  signalWake(device.closeWakeFd);
  if (device.reader.joinable()) device.reader.join();
  endHandOff(port);
  // The writer sends what is queued first, within the close's deadline; it is
  // joined even while the reader waited for its device to come back.
  const bool allSent = drainOutput(port, device);
  lineDown(port);
  if (device.lineFd >= 0) {
    setModemLines(device.lineFd, TIOCMBIC);
    releaseLine(device, !allSent);
  }
  closeFd(device.closeWakeFd);
}

bool wakeWriter(PortRecord& port) {
  PosixLine& device = g_line;
  if (!device.writer.joinable()) {
    device.writerWakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (device.writerWakeFd < 0) return false;
    try {
      device.writer = std::thread(WriterThread, &port, &device);
    } catch (const std::system_error&) {
      closeFd(device.writerWakeFd);
      return false;
    }
  }
  signalWake(device.writerWakeFd);
  return true;
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

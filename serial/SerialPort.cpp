#include "serial/SerialPort.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "serial/LineSettings.h"

namespace tevra {

struct PortRecord {
  struct ReceivedBlock {
    std::size_t count = 0;
    std::array<std::uint8_t, kPortBlockBytes> bytes{};
  };

  // Set by the UI thread before the reader starts, closed only after it ended.
  int lineFd = -1;
  int closeWakeFd = -1;  // eventfd: portClose() wakes the reader's poll with it
  std::atomic<int> connected{0};
  std::thread reader;

  std::uint8_t portNumber = 0;
  std::uint8_t dataBits = 0;
  std::uint8_t parity = 0;
  std::uint8_t stopBits = 0;
  std::uint32_t baud = 0;
  std::uint32_t openBaud = 0;  // the rate the open line runs at, for write time-outs
  std::string failureReason;

  // The hand-off to the UI thread; everything below is guarded by queueMutex, but
  // for the bytes of the free slot the reader is filling (waitForFreeSlot()).
  std::mutex queueMutex;
  std::condition_variable roomFreed;
  PortReceiver* receiver = nullptr;
  std::array<ReceivedBlock, kPortQueueBlocks> blocks;
  std::size_t head = 0;    // oldest queued block
  std::size_t queued = 0;  // blocks waiting for portDeliver()
  bool errorQueued = false;
  bool wakePending = false;  // the UI thread was woken and has not yet drained
  bool stopping = false;     // portClose() began: the reader must leave
  std::uint64_t generation = 0;  // one per open and per close: stale deliveries stop
};

PortRecord g_port;

namespace {

// Forgets whatever the previous port left queued. Caller holds queueMutex.
void resetQueue(PortRecord& port) {
  port.head = 0;
  port.queued = 0;
  port.errorQueued = false;
  port.wakePending = false;
  ++port.generation;
}

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
  port.failureReason = devicePath + ": " + why;
  if (port.lineFd >= 0) releaseLine(port.lineFd);
  closeFd(port.closeWakeFd);
  return 0;
}

// Reader thread: the next free slot of the queue, after waiting for room if
// the UI thread has fallen behind. Null once the port is closing.
PortRecord::ReceivedBlock* waitForFreeSlot(PortRecord& port) {
  std::unique_lock lock(port.queueMutex);
  port.roomFreed.wait(lock, [&] { return port.queued < kPortQueueBlocks || port.stopping; });
  if (port.stopping) return nullptr;
  return &port.blocks[(port.head + port.queued) % kPortQueueBlocks];
}

// Reader thread: wakes the UI thread unless a wake is already on its way.
// Caller holds queueMutex; the receiver to call after unlocking, or null.
PortReceiver* claimWake(PortRecord& port) {
  if (port.wakePending) return nullptr;
  port.wakePending = true;
  return port.receiver;
}

// Under a flood the reader fills a few blocks before it wakes the UI thread:
// one wake per block would cost a thread switch per 511 bytes.
constexpr std::size_t kBlocksPerWake = kPortQueueBlocks / 2;

// Reader thread: publishes the slot filled since waitForFreeSlot().
void commitSlot(PortRecord& port, std::size_t count) {
  PortReceiver* toWake = nullptr;
  {
    std::lock_guard lock(port.queueMutex);
    if (port.stopping) return;
    port.blocks[(port.head + port.queued) % kPortQueueBlocks].count = count;
    ++port.queued;
    if (port.queued >= kBlocksPerWake) toWake = claimWake(port);
  }
  if (toWake) toWake->portWake();
}

// Reader thread: nothing more is waiting on the line; the blocks read go now.
void wakeForQueued(PortRecord& port) {
  PortReceiver* toWake = nullptr;
  {
    std::lock_guard lock(port.queueMutex);
    if (port.stopping || port.queued == 0) return;
    toWake = claimWake(port);
  }
  if (toWake) toWake->portWake();
}

// Reader thread: the line failed; the UI thread hears it once, after the blocks before it.
void queueError(PortRecord& port) {
  PortReceiver* toWake = nullptr;
  {
    std::lock_guard lock(port.queueMutex);
    if (port.stopping) return;
    port.errorQueued = true;
    toWake = claimWake(port);
  }
  if (toWake) toWake->portWake();
}

enum class DrainResult { kEmpty, kFailed, kClosing };

// Reader thread: reads blocks until nothing more is waiting.
DrainResult drainLine(PortRecord& port) {
  for (;;) {
    PortRecord::ReceivedBlock* slot = waitForFreeSlot(port);
    if (slot == nullptr) return DrainResult::kClosing;
    const int got = portRead(slot->bytes.data(), kPortBlockBytes);
    if (got < 0) return DrainResult::kFailed;
    if (got == 0) {
      wakeForQueued(port);
      return DrainResult::kEmpty;
    }
    commitSlot(port, static_cast<std::size_t>(got));
  }
}

}  // namespace

void portInit() {
  portTerm();
  g_port.portNumber = 0;
  g_port.dataBits = 0;
  g_port.parity = 0;
  g_port.stopBits = 0;
  g_port.baud = 0;
  g_port.failureReason.clear();
}

void portTerm() {
  if (g_port.connected.load() != 0 || g_port.reader.joinable() || g_port.lineFd >= 0) {
    portClose();
  }
}

int portIsOpen() { return g_port.connected.load(); }

void portSetLine(std::uint8_t portNumber, std::uint32_t baud, std::uint8_t dataBits,
                 std::uint8_t parity, std::uint8_t stopBits) {
  g_port.portNumber = portNumber;
  g_port.baud = baud;
  g_port.dataBits = dataBits;
  g_port.parity = parity;
  g_port.stopBits = stopBits;
}

int portOpen(const std::string& devicePath, PortReceiver* receiver) {
  PortRecord& port = g_port;
  portTerm();
  port.failureReason.clear();

  port.lineFd = ::open(devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (port.lineFd < 0) return failOpen(port, devicePath, std::strerror(errno));
  termios probe{};
  if (::tcgetattr(port.lineFd, &probe) != 0) {
    closeFd(port.lineFd);  // not a terminal: nothing to undo
    return failOpen(port, devicePath, "Not a serial line");
  }
  // Another program holding the line: flock is what terminal programs honour,
  // TIOCEXCL keeps out plain opens by anyone but root.
  if (::flock(port.lineFd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno == EWOULDBLOCK ? EBUSY : errno;
    return failOpen(port, devicePath, std::strerror(error));
  }
  (void)::ioctl(port.lineFd, TIOCEXCL);

  const LineRequest request{port.baud, port.dataBits, port.parity, port.stopBits};
  switch (applyLineSettings(port.lineFd, request)) {
    case LineOutcome::kApplied:
      break;
    case LineOutcome::kRefused:
      return failOpen(port, devicePath, std::strerror(errno));
    case LineOutcome::kNotKept:
      return failOpen(port, devicePath,
                      "line settings not supported (" + describeLine(request) + ")");
  }

  port.closeWakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (port.closeWakeFd < 0) return failOpen(port, devicePath, std::strerror(errno));

  {
    std::lock_guard lock(port.queueMutex);
    resetQueue(port);
    port.stopping = false;
    port.receiver = receiver;
  }
  port.connected.store(1);
  try {
    port.reader = std::thread(ReaderThread, &port);
  } catch (const std::system_error& error) {
    port.connected.store(0);
    return failOpen(port, devicePath, error.code().message());
  }
  port.openBaud = port.baud;
  setModemLines(port.lineFd, TIOCMBIS);
  return 1;
}

void portClose() {
  PortRecord& port = g_port;
  port.connected.store(0);
  {
    std::lock_guard lock(port.queueMutex);
    port.stopping = true;
  }
  port.roomFreed.notify_all();
  if (port.closeWakeFd >= 0) {
    const std::uint64_t one = 1;
    (void)!::write(port.closeWakeFd, &one, sizeof one);
  }
  if (port.reader.joinable()) port.reader.join();
  {
    std::lock_guard lock(port.queueMutex);
    resetQueue(port);
    port.receiver = nullptr;
  }
  if (port.lineFd >= 0) {
    setModemLines(port.lineFd, TIOCMBIC);
    releaseLine(port.lineFd);
  }
  closeFd(port.closeWakeFd);
}

int portRead(std::uint8_t* buffer, std::size_t max) {
  for (;;) {
    const ssize_t got = ::read(g_port.lineFd, buffer, max);
    if (got > 0) return static_cast<int>(got);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
    return -1;  // 0 is end of file: the line hung up; EIO likewise
  }
}

long portWriteTimeoutMs(std::uint32_t baud, std::size_t count) {
  const long perByte = baud == 0 ? 1 : std::max<long>(1, 19200 / static_cast<long>(baud));
  return perByte * static_cast<long>(count);
}

int portWrite(const std::uint8_t* bytes, std::size_t count) {
  if (g_port.connected.load() == 0) return 0;
  using Clock = std::chrono::steady_clock;
  const auto deadline =
      Clock::now() + std::chrono::milliseconds(portWriteTimeoutMs(g_port.openBaud, count));
  std::size_t written = 0;
  while (written < count) {
    const ssize_t sent = ::write(g_port.lineFd, bytes + written, count - written);
    if (sent > 0) {
      written += static_cast<std::size_t>(sent);
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return 0;
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return 0;
    pollfd room{g_port.lineFd, POLLOUT, 0};
    const int ready = ::poll(&room, 1, static_cast<int>(std::min<long long>(left, 60000)));
    if (ready < 0 && errno != EINTR) return 0;
    if (ready > 0 && (room.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return 0;
  }
  return 1;
}

std::string portFailureReason() { return g_port.failureReason; }

int portDeliver(PortSink& sink) {
  PortRecord& port = g_port;
  std::array<std::uint8_t, kPortBlockBytes> bytes;
  int delivered = 0;
  std::unique_lock lock(port.queueMutex);
  const std::uint64_t generation = port.generation;
  std::size_t budget = port.queued;  // later arrivals wait for the next wake
  for (;;) {
    if (port.generation != generation) return delivered;  // closed during a sink call
    if (budget > 0 && port.queued > 0) {
      const PortRecord::ReceivedBlock& block = port.blocks[port.head];
      const std::size_t count = block.count;
      std::memcpy(bytes.data(), block.bytes.data(), count);
      port.head = (port.head + 1) % kPortQueueBlocks;
      const bool wasFull = port.queued-- == kPortQueueBlocks;
      --budget;
      lock.unlock();
      if (wasFull) port.roomFreed.notify_one();
      sink.onPortData(static_cast<int>(count), bytes.data());
      ++delivered;
      lock.lock();
    } else if (port.queued == 0 && port.errorQueued) {
      port.errorQueued = false;
      lock.unlock();
      sink.onPortError();
      lock.lock();
    } else {
      break;
    }
  }
  PortReceiver* toWake = nullptr;
  if (port.queued > 0 || port.errorQueued) {
    port.wakePending = true;  // this wake stands for what is left
    toWake = port.receiver;
  } else {
    port.wakePending = false;
  }
  lock.unlock();
  if (toWake) toWake->portWake();
  return delivered;
}

int ReaderThread(PortRecord* record) {
  PortRecord& port = *record;
  enum { kCloseWake, kLine };
  pollfd watched[2] = {{port.closeWakeFd, POLLIN, 0}, {port.lineFd, POLLIN, 0}};
  while (port.connected.load() != 0) {
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

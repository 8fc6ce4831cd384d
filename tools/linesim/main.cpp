// tevra-linesim: a serial device on a pseudo-terminal, for trying the
// terminal without hardware and for measuring it. See usage() below.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <sys/syscall.h>
#include <sys/stat.h>

#include "Payload.h"
#include "PortMapFile.h"
#include "app/SettingsFile.h"
#include "app/UserPaths.h"
#include "core/SettingsStore.h"
#include "core/TerminalSettings.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kRescanEvery{25};
using namespace tevra::linesim;

volatile sig_atomic_t g_stopSignal = 0;
void onStopSignal(int signal) { g_stopSignal = signal; }

void usage(FILE* to) {
  std::fprintf(to,
      "usage: tevra-linesim [options]\n"
      "A serial device on a pseudo-terminal. Maps the COM name to the line in the\n"
      "terminal's per-user settings while it runs, and puts the old mapping back.\n"
      "Without --flood it behaves like a device: a banner when the terminal opens\n"
      "the line, then an answer to every line received (ended by CR or LF; Backspace\n"
      "takes back a character). The terminal's local echo shows what is typed.\n"
      "  --port COMn          COM name to map (default: the port chosen in the settings,\n"
      "                       COM2 when none is)\n"
      "  --only-if-unconfigured  do nothing (exit 0) when that port has a device: a\n"
      "                       Ports value, or an existing default device other than ttyS*\n"
      "  --stop-with PID      end when process PID ends\n"
      "  --flood N[K|M|G]     send N bytes once the terminal holds the line, then end\n"
      "  --payload text|random  flood bytes: 80-byte numbered lines, or random (default text)\n"
      "  --seed S             seed of the random payload (default 1)\n"
      "  --baud B             pace everything sent to B/10 bytes a second (default: as\n"
      "                       fast as the terminal takes them)\n"
      "  --hangup-after N     after N bytes sent (and read), close the line: device unplugged\n"
      "  --sent-file F        write every byte sent to F\n"
      "  --settle-ms MS       wait after the terminal opens the line (default 300)\n"
      "  --stay               after a flood, keep the line up until a signal\n"
      "  --echo               echo every byte received instead (CR as CR LF), as a\n"
      "                       device in echo mode does: turn the terminal's local echo off\n"
      "Prints the byte counts at the end and on SIGINT/SIGTERM/SIGHUP.\n");
}

struct Options {
  std::string port;  // empty: the port chosen in the settings
  bool onlyIfUnconfigured = false;
  pid_t stopWith = 0;
  std::optional<std::uint64_t> flood;
  Payload::Kind payload = Payload::Kind::text;
  std::uint64_t seed = 1;
  std::uint32_t baud = 0;
  std::optional<std::uint64_t> hangupAfter;
  std::string sentFile;
  int settleMs = 300;
  bool stay = false;
  bool echo = false;
};

std::optional<std::uint64_t> parseSize(const std::string& text) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long number = std::strtoull(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str() || text[0] == '-') return std::nullopt;
  const std::string suffix = end;
  std::uint64_t scale = 1;
  if (suffix == "K" || suffix == "k") scale = 1ull << 10;
  else if (suffix == "M") scale = 1ull << 20;
  else if (suffix == "G") scale = 1ull << 30;
  else if (!suffix.empty()) return std::nullopt;
  return number * scale;
}

bool parseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (name == "--stay" || name == "--only-if-unconfigured" || name == "--echo") {
      (name == "--stay" ? options.stay : name == "--echo" ? options.echo : options.onlyIfUnconfigured) = true;
      continue;
    }
    if (name == "-h" || name == "--help") {
      usage(stdout);
      std::exit(0);
    }
    if (i + 1 >= argc) return false;
    const std::string value = argv[++i];
    const auto size = parseSize(value);
    if (name == "--port") {
      const auto number = parseSize(value.substr(std::min<std::size_t>(3, value.size())));
      if (value.rfind("COM", 0) != 0 || !number || *number < 1 || *number > 12) return false;
      options.port = value;
    } else if (name == "--payload") {
      if (!parsePayloadKind(value, options.payload)) return false;
    } else if (name == "--sent-file") {
      options.sentFile = value;
    } else if (!size) {
      return false;
    } else if (name == "--flood") {
      options.flood = *size;
    } else if (name == "--seed") {
      options.seed = *size;
    } else if (name == "--baud" && *size > 0 && *size <= 4000000) {
      options.baud = static_cast<std::uint32_t>(*size);
    } else if (name == "--stop-with" && *size > 0 && *size < 1u << 30) {
      options.stopWith = static_cast<pid_t>(*size);
    } else if (name == "--hangup-after") {
      options.hangupAfter = *size;
    } else if (name == "--settle-ms" && *size <= 60000) {
      options.settleMs = static_cast<int>(*size);
    } else {
      return false;
    }
  }
  return true;
}

void say(const char* format, auto... values) {
  std::printf("tevra-linesim: ");
  std::printf(format, values...);
  std::printf("\n");
  std::fflush(stdout);
}

int queuedForReader(int slave) {
  int count = 0;
  return ioctl(slave, FIONREAD, &count) == 0 ? count : 0;
}

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Bytes a line of `baud` may carry since the last call; a small burst at most.
class Pacer {
 public:
  explicit Pacer(std::uint32_t baud) : bytesPerSecond_(baud / 10.0) {}
  bool paced() const { return bytesPerSecond_ > 0; }
  std::size_t allowance() {
    if (!paced()) return SIZE_MAX;
    const auto now = Clock::now();
    const double burst = std::max(16.0, bytesPerSecond_ / 50.0);
    tokens_ = std::min(burst, tokens_ + std::chrono::duration<double>(now - last_).count() *
                                           bytesPerSecond_);
    last_ = now;
    return static_cast<std::size_t>(tokens_);
  }
  void spend(std::size_t bytes) { tokens_ -= static_cast<double>(bytes); }
  int millisecondsToNextByte() const {
    return std::max(1, static_cast<int>(1000.0 / bytesPerSecond_ + 0.5));
  }

 private:
  double bytesPerSecond_;
  double tokens_ = 0;
  Clock::time_point last_ = Clock::now();
};

class Simulator {
 public:
  Simulator(const Options& options, int master, int slave, int watch, std::string slavePath,
            int sentFile, int stopWith)
      : options_(options),
        stopWith_(stopWith),
        master_(master),
        slave_(slave),
        watch_(watch),
        slavePath_(std::move(slavePath)),
        sentFile_(sentFile),
        payload_(options.payload, options.seed),
        pacer_(options.baud) {}

  void run(const sigset_t& waitMask);
  void printCounts() const {
    say("sent %llu bytes, received %llu bytes", static_cast<unsigned long long>(sent_),
        static_cast<unsigned long long>(received_));
  }
  bool hungUp() const { return hungUp_; }

 private:
  bool floodMode() const { return options_.flood.has_value(); }
  void onWatchEvents();
  void rescan();
  void readLine();
  void takeTyped(std::uint8_t byte);
  void answer(const std::string& text);
  void pump();
  void fillOutput();
  void writeLine();
  bool drained();
  void hangUp();

  const Options& options_;
  int stopWith_;  // a pidfd: readable when that process has ended, or -1
  int master_;
  int slave_;
  int watch_;
  std::string slavePath_;
  int sentFile_;
  Payload payload_;
  Pacer pacer_;

  bool held_ = false;  // another process has the slave open
  bool closeSeen_ = false;  // a close of the slave since it was last seen held
  Clock::time_point rescanUntil_;
  Clock::time_point lastScan_;
  std::optional<Clock::time_point> activeFrom_;  // the terminal holds the line from then on
  bool bannerDue_ = false;
  std::string typedLine_;  // what the terminal typed since its last line end
  bool lastWasCr_ = false;
  std::vector<std::uint8_t> output_;
  std::size_t outputHead_ = 0;
  std::uint64_t sent_ = 0;
  std::uint64_t received_ = 0;
  std::uint64_t floodQueued_ = 0;
  std::optional<Clock::time_point> floodStart_;
  bool floodDone_ = false;
  bool hungUp_ = false;
};

// Whether a process other than this one has the slave open.
bool heldByOthers(const std::string& slavePath) {
  DIR* processes = opendir("/proc");
  if (processes == nullptr) return false;
  const std::string self = std::to_string(getpid());
  bool held = false;
  while (const dirent* process = readdir(processes)) {
    if (!std::isdigit(static_cast<unsigned char>(process->d_name[0])) || self == process->d_name) continue;
    const std::string fdFolder = std::string("/proc/") + process->d_name + "/fd";
    DIR* fds = opendir(fdFolder.c_str());
    if (fds == nullptr) continue;
    while (const dirent* fd = readdir(fds)) {
      char target[256];
      const std::string link = fdFolder + "/" + fd->d_name;
      const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
      if (n > 0 && slavePath.compare(0, std::string::npos, target, static_cast<std::size_t>(n)) == 0) {
        held = true;
        break;
      }
    }
    closedir(fds);
    if (held) break;
  }
  closedir(processes);
  return held;
}

void Simulator::onWatchEvents() {
  alignas(inotify_event) char buffer[4096];
  bool reopened = false;
  for (;;) {
    const ssize_t n = read(watch_, buffer, sizeof buffer);
    if (n <= 0) break;
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      if (event->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) closeSeen_ = true;
      if ((event->mask & IN_OPEN) && closeSeen_) reopened = true;
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  // A terminal that closes and at once reopens the line may never be seen
  // without it in /proc: the close followed by an open says it did.
  if (reopened && held_) {
    held_ = false;
    say("%s closed", slavePath_.c_str());
  }
  // An opener's descriptor appears in /proc just after the event: look again
  // for a while. (Counting events does not work: inotify merges repeats.)
  rescanUntil_ = Clock::now() + std::chrono::milliseconds(400);
  rescan();
}

void Simulator::rescan() {
  lastScan_ = Clock::now();
  const bool held = heldByOthers(slavePath_);
  if (!held) closeSeen_ = false;
  if (held && !held_) {
    say("%s opened", slavePath_.c_str());
    activeFrom_ = Clock::now() + std::chrono::milliseconds(options_.settleMs);
    bannerDue_ = !floodMode();
    typedLine_.clear();
    lastWasCr_ = false;
    closeSeen_ = false;
  } else if (!held && held_) {
    say("%s closed", slavePath_.c_str());
    activeFrom_.reset();
  }
  held_ = held;
}

void Simulator::readLine() {
  std::uint8_t buffer[65536];
  for (;;) {
    const ssize_t n = read(master_, buffer, sizeof buffer);
    if (n <= 0) return;
    received_ += static_cast<std::uint64_t>(n);
    if (floodMode()) continue;
    for (ssize_t i = 0; i < n; ++i) {
      if (!options_.echo) {
        takeTyped(buffer[i]);
        continue;
      }
      output_.push_back(buffer[i]);  // a device in echo mode, CR as CR LF
      if (buffer[i] == '\r') output_.push_back('\n');
    }
  }
}

// A device that answers lines: CR, LF or CR LF ends one, Backspace or DEL
// takes back a character. Control characters show as ^X in the answer.
void Simulator::takeTyped(std::uint8_t byte) {
  constexpr std::size_t kLongestLine = 200;
  const bool pairedLf = byte == '\n' && lastWasCr_;
  lastWasCr_ = byte == '\r';
  if (pairedLf) return;
  if (byte == '\r' || byte == '\n') {
    if (typedLine_.empty()) {
      answer("Type a line and press Enter: the device answers it.");
    } else {
      const std::size_t count = typedLine_.size();
      answer("Received \"" + typedLine_ + "\" (" + std::to_string(count) + (count == 1 ? " character)." : " characters)."));
    }
    typedLine_.clear();
  } else if (byte == '\b' || byte == 0x7F) {
    if (!typedLine_.empty()) typedLine_.pop_back();
  } else if (typedLine_.size() < kLongestLine) {
    if (byte < 0x20) {
      typedLine_ += '^';
      typedLine_ += static_cast<char>(byte + '@');
    } else {
      typedLine_ += static_cast<char>(byte);
    }
  }
}

// An answer on a line of its own: the terminal's echoed CR left the cursor on
// the typed line.
void Simulator::answer(const std::string& text) {
  const std::string line = "\r\n" + text + "\r\n";
  output_.insert(output_.end(), line.begin(), line.end());
}

void Simulator::fillOutput() {
  if (outputHead_ == output_.size()) {
    output_.clear();
    outputHead_ = 0;
  }
  if (bannerDue_) {
    bannerDue_ = false;
    // Short lines: the terminal shows 70 columns at its first size.
    const std::string where = "Tevra line simulator on " + options_.port + " (" + slavePath_ + ")";
    const std::string banner = options_.echo ? where + ": what you type comes back.\r\n"
                                             : where + ".\r\nIt answers each line: type one and press Enter.\r\n";
    output_.insert(output_.end(), banner.begin(), banner.end());
  }
  if (floodMode() && output_.empty() && floodQueued_ < *options_.flood) {
    const std::size_t piece =
        static_cast<std::size_t>(std::min<std::uint64_t>(65536, *options_.flood - floodQueued_));
    output_.resize(piece);
    payload_.next(output_.data(), piece);
    floodQueued_ += piece;
    if (!floodStart_) {
      floodStart_ = Clock::now();
      say("flood started");
    }
  }
}

// Writes until the line is full, the pacing or hang-up limit is reached, or
// nothing is left to send.
void Simulator::pump() {
  for (;;) {
    fillOutput();
    const std::uint64_t before = sent_;
    writeLine();
    if (outputHead_ < output_.size() || sent_ == before) return;
  }
}

void Simulator::writeLine() {
  while (outputHead_ < output_.size()) {
    std::size_t count = std::min(output_.size() - outputHead_, pacer_.allowance());
    if (options_.hangupAfter) count = std::min<std::uint64_t>(count, *options_.hangupAfter - sent_);
    if (count == 0) return;
    const ssize_t n = write(master_, output_.data() + outputHead_, count);
    if (n <= 0) return;  // the line is full: wait for POLLOUT
    if (sentFile_ >= 0 && write(sentFile_, output_.data() + outputHead_, static_cast<std::size_t>(n)) != n) {
      say("cannot write the sent file: %s", std::strerror(errno));
      sentFile_ = -1;
    }
    outputHead_ += static_cast<std::size_t>(n);
    sent_ += static_cast<std::uint64_t>(n);
    pacer_.spend(static_cast<std::size_t>(n));
  }
}

// True once the terminal has read everything. Bytes written to the master
// reach the slave's queue from a kernel worker, so the queue may look empty
// while the worker, late on a loaded machine, still holds them: poll() on the
// slave first waits for the worker's pending run.
bool Simulator::drained() {
  pollfd slave{slave_, POLLIN, 0};
  return poll(&slave, 1, 0) == 0 && queuedForReader(slave_) == 0;
}

void Simulator::hangUp() {
  // Let the terminal read what was sent, then pull the plug. The limit only
  // spares a terminal that stopped reading: a loaded one may read slowly.
  const auto giveUp = Clock::now() + std::chrono::seconds(20);
  while (!drained() && Clock::now() < giveUp) usleep(2000);
  close(master_);
  close(slave_);
  master_ = slave_ = -1;
  hungUp_ = true;
  say("hung up after %llu bytes", static_cast<unsigned long long>(sent_));
}

void Simulator::run(const sigset_t& waitMask) {
  for (;;) {
    const bool active = activeFrom_ && Clock::now() >= *activeFrom_;
    if (active) pump();
    const bool pending = outputHead_ < output_.size();
    if (options_.hangupAfter && sent_ >= *options_.hangupAfter && (active || sent_ > 0)) {
      return hangUp();
    }
    const bool floodSent = floodMode() && floodQueued_ == *options_.flood && !pending;
    if (active && floodSent && !floodDone_) {
      if (drained()) {
        floodDone_ = true;
        const double seconds = floodStart_ ? secondsSince(*floodStart_) : 0.0;
        say("flood of %llu bytes drained in %.3f s (%.2f MB/s)",
            static_cast<unsigned long long>(*options_.flood), seconds,
            seconds > 0 ? static_cast<double>(*options_.flood) / seconds / 1e6 : 0.0);
        if (!options_.stay) return;
      }
    }

    const auto now = Clock::now();
    if (now < rescanUntil_ && now - lastScan_ >= kRescanEvery) rescan();

    int timeoutMs = -1;
    if (activeFrom_ && !active) {
      timeoutMs = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                       *activeFrom_ - Clock::now()).count()) + 1;
    } else if (active && floodSent && !floodDone_) {
      timeoutMs = 2;
    } else if (active && pending && pacer_.paced()) {
      timeoutMs = pacer_.millisecondsToNextByte();
    }
    if (now < rescanUntil_) {
      const int rescanMs = static_cast<int>(kRescanEvery.count());
      timeoutMs = timeoutMs < 0 ? rescanMs : std::min(timeoutMs, rescanMs);
    }
    pollfd fds[3] = {{master_, POLLIN, 0}, {watch_, POLLIN, 0}, {stopWith_, POLLIN, 0}};
    if (active && pending && !pacer_.paced()) fds[0].events |= POLLOUT;
    timespec timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000000L};
    const int ready = ppoll(fds, stopWith_ >= 0 ? 3 : 2, timeoutMs < 0 ? nullptr : &timeout, &waitMask);
    if (g_stopSignal != 0) return;
    if (ready < 0) {
      if (errno == EINTR) continue;
      say("poll failed: %s", std::strerror(errno));
      return;
    }
    if (stopWith_ >= 0 && fds[2].revents != 0) {
      say("process %d ended", static_cast<int>(options_.stopWith));
      return;
    }
    if (fds[1].revents & POLLIN) onWatchEvents();
    if (fds[0].revents & POLLIN) readLine();
  }
}

// The device the terminal would open for `port` (filled in with the chosen
// port when empty), unless there is none to open: no Ports value, and the
// default device is missing, or a ttyS* (here the system console), or a
// value left behind by a simulator that was killed.
std::optional<std::string> configuredDevice(const std::string& settingsPath, std::string& port) {
  tevra::MemorySettingsStore store;
  std::string text;
  tevra::readSettingsFile(settingsPath, text);
  IniLines::parse(text).copyTo(store);
  int portNumber = 0;
  if (port.empty()) {
    tevra::TerminalSettings settings;
    settings.load(store);
    port = tevra::kPortNames[settings.port];
    portNumber = settings.port + 1;
  } else {
    portNumber = std::atoi(port.c_str() + 3);
  }
  const std::string device = tevra::portDevicePath(store, portNumber);
  struct stat info {};
  const bool exists = stat(device.c_str(), &info) == 0;
  const bool mapped = !store.readText("Ports", port, "").empty();
  if (mapped && (exists || device.rfind("/dev/pts/", 0) != 0)) return device;
  if (!mapped && exists && device.rfind("/dev/ttyS", 0) != 0) return device;
  return std::nullopt;
}

bool makeRaw(int fd) {
  termios attributes{};
  if (tcgetattr(fd, &attributes) != 0) return false;
  cfmakeraw(&attributes);
  attributes.c_cflag |= CLOCAL | CREAD;
  attributes.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  cfsetspeed(&attributes, B115200);
  return tcsetattr(fd, TCSANOW, &attributes) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parseOptions(argc, argv, options)) {
    usage(stderr);
    return 2;
  }

  // Signals only interrupt the wait (ppoll), so a stop is never lost between checks.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stopSignals, signal);
  sigset_t waitMask;
  sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
  sigdelset(&waitMask, SIGINT);
  sigdelset(&waitMask, SIGTERM);
  sigdelset(&waitMask, SIGHUP);
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  const std::string settingsPath = tevra::settingsFilePath().string();
  if (settingsPath.empty()) {
    std::fprintf(stderr, "tevra-linesim: no HOME: cannot find the settings file\n");
    return 1;
  }
  if (options.port.empty() || options.onlyIfUnconfigured) {
    const auto device = configuredDevice(settingsPath, options.port);
    if (options.onlyIfUnconfigured && device) {
      say("%s uses %s: no simulated line", options.port.c_str(), device->c_str());
      return 0;
    }
  }
  int stopWith = -1;
  if (options.stopWith > 0) {
    stopWith = static_cast<int>(syscall(SYS_pidfd_open, options.stopWith, 0));
    if (stopWith < 0) {
      std::fprintf(stderr, "tevra-linesim: process %d: %s\n", static_cast<int>(options.stopWith),
                   std::strerror(errno));
      return 1;
    }
  }

  int master = -1;
  int slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
    std::fprintf(stderr, "tevra-linesim: openpty: %s\n", std::strerror(errno));
    return 1;
  }
  const std::string slavePath = ttyname(slave);
  // The simulator keeps its own slave descriptor: the line never looks hung
  // up to the terminal, whenever it opens or reopens it.
  fcntl(master, F_SETFD, FD_CLOEXEC);
  fcntl(slave, F_SETFD, FD_CLOEXEC);
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  if (!makeRaw(slave)) {
    std::fprintf(stderr, "tevra-linesim: %s: %s\n", slavePath.c_str(), std::strerror(errno));
    return 1;
  }
  // Opens and closes of the slave by anyone else: the terminal arriving and leaving.
  const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (watch < 0 ||
      inotify_add_watch(watch, slavePath.c_str(), IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
    std::fprintf(stderr, "tevra-linesim: watching %s: %s\n", slavePath.c_str(), std::strerror(errno));
    return 1;
  }
  int sentFile = -1;
  if (!options.sentFile.empty()) {
    sentFile = open(options.sentFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (sentFile < 0) {
      std::fprintf(stderr, "tevra-linesim: %s: %s\n", options.sentFile.c_str(), std::strerror(errno));
      return 1;
    }
  }

  PortMapping mapping(settingsPath, options.port, slavePath);
  if (!mapping.apply()) {
    std::fprintf(stderr, "tevra-linesim: %s: %s\n", settingsPath.c_str(), std::strerror(errno));
    return 1;
  }
  say("%s -> %s (in %s)", options.port.c_str(), slavePath.c_str(), settingsPath.c_str());

  Simulator simulator(options, master, slave, watch, slavePath, sentFile, stopWith);
  simulator.run(waitMask);
  if (g_stopSignal != 0) say("stopped by signal %d", static_cast<int>(g_stopSignal));
  simulator.printCounts();
  mapping.restore();
  if (sentFile >= 0) close(sentFile);
  if (!simulator.hungUp()) {
    close(master);
    close(slave);
  }
  return 0;
}

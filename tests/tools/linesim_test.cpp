// The line simulator driven as a child process: the test plays the terminal
// on the slave side of the simulator's pseudo-terminal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "PortMapFile.h"
#include "tests/support/TempFolder.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
constexpr auto kPatience = std::chrono::seconds(30);  // catches hangs only

std::optional<std::string> fileText(const fs::path& path) {
  return tevra::linesim::readFile(path.string());
}

void writeText(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
  for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

class LineSimulatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_.emplace("linesim-test");
    home_ = folder_->path();
    fs::create_directories(home_ / "run");
  }

  void TearDown() override {
    if (line_ >= 0) close(line_);
    if (child_ > 0) {
      kill(child_, SIGKILL);
      waitpid(child_, nullptr, 0);
    }
    if (output_ >= 0) close(output_);
    folder_.reset();
  }

  fs::path settingsFile() const {
    return home_ / "config" / "Tevra Laboratory" / "Orbel Software" / "Terminal.conf";
  }

  // Starts the simulator with HOME and XDG folders in the test's own folder;
  // returns the slave path it announces.
  std::string start(const std::vector<std::string>& options) {
    int pipeFds[2];
    EXPECT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);

    std::vector<std::string> environment;
    for (char** variable = environ; *variable != nullptr; ++variable) {
      const std::string text = *variable;
      if (text.rfind("HOME=", 0) != 0 && text.rfind("XDG_", 0) != 0) environment.push_back(text);
    }
    environment.push_back("HOME=" + home_.string());
    environment.push_back("XDG_CONFIG_HOME=" + (home_ / "config").string());
    environment.push_back("XDG_RUNTIME_DIR=" + (home_ / "run").string());
    std::vector<std::string> arguments{TEVRA_LINESIM_PATH};
    arguments.insert(arguments.end(), options.begin(), options.end());
    std::vector<char*> argv;
    std::vector<char*> envp;
    for (auto& argument : arguments) argv.push_back(argument.data());
    for (auto& variable : environment) envp.push_back(variable.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);

    EXPECT_EQ(posix_spawn(&child_, argv[0], &actions, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    output_ = pipeFds[0];

    const std::string first = readOutputLine();
    const auto arrow = first.find("-> ");
    if (arrow == std::string::npos) return {};
    return first.substr(arrow + 3, first.find(' ', arrow + 3) - arrow - 3);
  }

  // One line of the simulator's output ("" at its end or after the patience).
  std::string readOutputLine() {
    const auto giveUp = Clock::now() + kPatience;
    for (;;) {
      const auto newline = outputText_.find('\n', outputRead_);
      if (newline != std::string::npos) {
        std::string line = outputText_.substr(outputRead_, newline - outputRead_);
        outputRead_ = newline + 1;
        return line;
      }
      if (!readOutput(giveUp)) return {};
    }
  }

  bool readOutput(Clock::time_point giveUp) {
    pollfd fd{output_, POLLIN, 0};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(giveUp - Clock::now());
    if (left.count() <= 0 || poll(&fd, 1, static_cast<int>(left.count())) <= 0) return false;
    char buffer[4096];
    const ssize_t n = read(output_, buffer, sizeof buffer);
    if (n <= 0) return false;
    outputText_.append(buffer, static_cast<std::size_t>(n));
    return true;
  }

  // Waits for the simulator to end; returns its exit status (-1: it did not end).
  int waitForExit() {
    const auto giveUp = Clock::now() + kPatience;
    while (readOutput(giveUp)) {
    }
    for (;;) {
      int status = 0;
      if (waitpid(child_, &status, WNOHANG) == child_) {
        child_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      if (Clock::now() > giveUp) return -1;
      usleep(10000);
    }
  }

  int stop(int signal) {
    kill(child_, signal);
    return waitForExit();
  }

  // Opens the line as the terminal does.
  void openLine(const std::string& path) {
    line_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(line_, 0) << path << ": " << std::strerror(errno);
    termios attributes{};
    ASSERT_EQ(tcgetattr(line_, &attributes), 0);
    cfmakeraw(&attributes);
    ASSERT_EQ(tcsetattr(line_, TCSANOW, &attributes), 0);
  }

  void closeLine() {
    close(line_);
    line_ = -1;
  }

  // Reads until `count` bytes came, the line ends, or the patience runs out.
  std::string readLine(std::size_t count, bool* ended = nullptr,
                       std::chrono::milliseconds patience = kPatience) {
    std::string got;
    const auto giveUp = Clock::now() + patience;
    while (got.size() < count && Clock::now() < giveUp) {
      pollfd fd{line_, POLLIN, 0};
      if (poll(&fd, 1, 100) <= 0) continue;
      char buffer[65536];
      const ssize_t n = read(line_, buffer, std::min(sizeof buffer, count - got.size()));
      if (n > 0) {
        got.append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EAGAIN) {
        if (ended != nullptr) *ended = true;
        break;
      }
    }
    return got;
  }

  std::string readLineUntil(const std::string& end) {
    std::string got;
    while (got.find(end) == std::string::npos) {
      const std::string piece = readLine(1);
      if (piece.empty()) break;
      got += piece;
    }
    return got;
  }

  const std::string& output() const { return outputText_; }

  std::optional<tevra::testing::TempFolder> folder_;
  fs::path home_;
  pid_t child_ = -1;
  int output_ = -1;
  int line_ = -1;
  std::string outputText_;
  std::size_t outputRead_ = 0;
};

struct MappingCase {
  const char* name;
  std::vector<std::string> options;
  std::optional<std::string> before;  // settings file before the start (nullopt: none)
  std::string during;                 // with "{dev}" for the slave path
  int stopSignal;
};

const MappingCase kMappingCases[] = {
    {"NoFile", {}, std::nullopt, "[Ports]\nCOM2={dev}\n", SIGTERM},
    {"OtherSectionsOnly", {}, "[General]\nBaudRate=9\n# note\n\n[Terminal]\nTermEcho=0\n",
     "[General]\nBaudRate=9\n# note\n\n[Terminal]\nTermEcho=0\n[Ports]\nCOM2={dev}\n", SIGINT},
    {"OtherPortsMapped", {}, "[Ports]\nCOM1=/dev/pts/99\nCOM3=/x\n\n[Layout]\nLayoutLeft=5\n",
     "[Ports]\nCOM1=/dev/pts/99\nCOM3=/x\nCOM2={dev}\n\n[Layout]\nLayoutLeft=5\n", SIGHUP},
    {"PreviousValueKept", {}, "[General]\nPort=1\n[Ports]\nCOM2=/dev/ttyUSB0\n; keep\n",
     "[General]\nPort=1\n[Ports]\nCOM2={dev}\n; keep\n", SIGTERM},
    {"OtherPortName", {"--port", "COM5"}, "[Ports]\nCOM2=/dev/ttyUSB0\n",
     "[Ports]\nCOM2=/dev/ttyUSB0\nCOM5={dev}\n", SIGINT},
};

void PrintTo(const MappingCase& c, std::ostream* out) { *out << c.name; }

class MappingTest : public LineSimulatorTest,
                    public ::testing::WithParamInterface<MappingCase> {};

// While it runs the COM name points at the line, in a file only the user can
// read; once it is stopped the file is back to what it was, byte for byte.
TEST_P(MappingTest, MapsThePortWhileRunningAndRestoresTheFile) {
  const MappingCase& c = GetParam();
  if (c.before) writeText(settingsFile(), *c.before);

  const std::string device = start(c.options);
  ASSERT_EQ(device.rfind("/dev/pts/", 0), 0u) << output();
  EXPECT_EQ(fileText(settingsFile()), replaceAll(c.during, "{dev}", device));
  struct stat info {};
  ASSERT_EQ(stat(settingsFile().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  EXPECT_EQ(stop(c.stopSignal), 0);
  EXPECT_EQ(fileText(settingsFile()), c.before);
  EXPECT_NE(output().find("stopped by signal"), std::string::npos) << output();
  EXPECT_NE(output().find("sent 0 bytes, received 0 bytes"), std::string::npos) << output();
}

INSTANTIATE_TEST_SUITE_P(Cases, MappingTest, ::testing::ValuesIn(kMappingCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A value changed by someone else while the simulator ran is left alone.
TEST_F(LineSimulatorTest, LeavesAMappingChangedMeanwhile) {
  writeText(settingsFile(), "[Ports]\nCOM2=/dev/ttyUSB0\n");
  ASSERT_FALSE(start({}).empty()) << output();
  writeText(settingsFile(), "[Ports]\nCOM2=/dev/ttyACM1\n[General]\nPort=1\n");
  EXPECT_EQ(stop(SIGTERM), 0);
  EXPECT_EQ(fileText(settingsFile()), "[Ports]\nCOM2=/dev/ttyACM1\n[General]\nPort=1\n");
}

// In echo mode: a banner whenever the terminal opens the line, then an echo
// of everything received with CR turned into CR LF.
TEST_F(LineSimulatorTest, GreetsEachOpenAndEchoesWithCrAsCrLf) {
  const std::string device = start({"--echo"});
  std::string banner;
  for (const std::string& typed : {std::string("ab\rc\n"), std::string("\r\r")}) {
    openLine(device);
    banner = readLineUntil("\r\n");
    EXPECT_NE(banner.find("COM2"), std::string::npos) << banner;
    ASSERT_EQ(write(line_, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
    const std::string expected = replaceAll(typed, "\r", "\r\n");
    EXPECT_EQ(readLine(expected.size()), expected);
    closeLine();
  }
  EXPECT_EQ(stop(SIGTERM), 0);
  const std::string counts = "sent " + std::to_string(2 * banner.size() + 6 + 4) +
                             " bytes, received 7 bytes";
  EXPECT_NE(output().find(counts), std::string::npos) << output();
}

// By default like a device a newcomer understands at once: its banner says
// what to do, typed characters do not come back (the terminal's local echo
// shows them), and every line gets an answer on a line of its own.
TEST_F(LineSimulatorTest, GreetsEachOpenAndAnswersEachLine) {
  const std::string device = start({});
  struct Exchange {
    std::string typed;
    std::string answers;
  };
  const Exchange exchanges[] = {
      {"hello\r", "\r\nReceived \"hello\" (5 characters).\r\n"},
      {"ab\bc\x7f\x01" "d\r\n", "\r\nReceived \"a^Ad\" (4 characters).\r\n"},  // CR LF ends one line
      {"\n", "\r\nType a line and press Enter: the device answers it.\r\n"},
      {"half", ""},  // nothing until the line ends
      {" done\n", "\r\nReceived \"half done\" (9 characters).\r\n"},
  };
  openLine(device);
  const std::string banner = readLineUntil("Enter.\r\n");
  EXPECT_NE(banner.find("COM2"), std::string::npos) << banner;
  EXPECT_NE(banner.find("answers each line"), std::string::npos) << banner;
  for (const Exchange& exchange : exchanges) {
    SCOPED_TRACE(exchange.typed);
    ASSERT_EQ(write(line_, exchange.typed.data(), exchange.typed.size()),
              static_cast<ssize_t>(exchange.typed.size()));
    if (exchange.answers.empty()) {
      usleep(200000);
      EXPECT_EQ(readLine(1, nullptr, std::chrono::milliseconds(300)), "");
    } else {
      EXPECT_EQ(readLine(exchange.answers.size()), exchange.answers);
    }
  }
  // A reopened line starts afresh: the half line typed before is forgotten.
  ASSERT_EQ(write(line_, "lost", 4), 4);
  usleep(200000);  // read by the simulator before the line closes
  closeLine();
  openLine(device);
  readLineUntil("Enter.\r\n");
  ASSERT_EQ(write(line_, "x\r", 2), 2);
  const std::string expected = "\r\nReceived \"x\" (1 character).\r\n";
  EXPECT_EQ(readLine(expected.size()), expected);
  EXPECT_EQ(stop(SIGTERM), 0);
}

struct FloodCase {
  const char* name;
  std::vector<std::string> options;
  std::size_t bytes;
  bool numberedLines;
};

const FloodCase kFloodCases[] = {
    {"Text", {"--flood", "1M"}, 1 << 20, true},
    {"RandomSeeded", {"--flood", "300000", "--payload", "random", "--seed", "7"}, 300000, false},
    {"TextPaced", {"--flood", "3000", "--baud", "115200"}, 3000, true},
};

void PrintTo(const FloodCase& c, std::ostream* out) { *out << c.name; }

class FloodTest : public LineSimulatorTest, public ::testing::WithParamInterface<FloodCase> {};

// Nothing is sent before the terminal opens the line; then every byte arrives,
// the sent file holds the same bytes, and the counts say so.
TEST_P(FloodTest, DeliversEveryByteOnceTheLineIsOpen) {
  const FloodCase& c = GetParam();
  const fs::path sentFile = home_ / "sent.bin";
  std::vector<std::string> options = c.options;
  options.insert(options.end(), {"--sent-file", sentFile.string(), "--settle-ms", "50"});
  const std::string device = start(options);
  ASSERT_FALSE(device.empty()) << output();
  usleep(200000);
  EXPECT_EQ(fs::file_size(sentFile), 0u);

  openLine(device);
  const std::string got = readLine(c.bytes);
  ASSERT_EQ(got.size(), c.bytes);
  EXPECT_EQ(waitForExit(), 0);
  EXPECT_EQ(fileText(sentFile), got);
  EXPECT_NE(output().find("sent " + std::to_string(c.bytes) + " bytes, received 0 bytes"),
            std::string::npos)
      << output();
  EXPECT_NE(output().find("drained"), std::string::npos) << output();
  EXPECT_FALSE(fs::exists(settingsFile()));

  if (!c.numberedLines) {
    EXPECT_NE(got.find_first_of("\x80\xff\x11\x13"), std::string::npos);
    return;
  }
  for (std::size_t line = 0; line * 80 < got.size(); ++line) {  // numbered 80-byte lines
    const std::string text = got.substr(line * 80, 80);
    char number[16];
    std::snprintf(number, sizeof number, "%08zu ", line);
    ASSERT_EQ(text.substr(0, 9), number);
    const std::size_t firstControl = text.find_first_of(std::string("\r\n\0", 3));
    ASSERT_EQ(firstControl, text.size() == 80 ? 79u : std::string::npos) << "line " << line;
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, FloodTest, ::testing::ValuesIn(kFloodCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The device is unplugged after N bytes: the terminal reads exactly those,
// then the line ends (end of file or EIO), and the simulator leaves.
TEST_F(LineSimulatorTest, HangsUpAfterTheGivenCount) {
  const fs::path sentFile = home_ / "sent.bin";
  const std::string device = start({"--flood", "1M", "--hangup-after", "5000", "--sent-file",
                                    sentFile.string(), "--settle-ms", "50"});
  openLine(device);
  bool ended = false;
  const std::string got = readLine(1 << 20, &ended);
  EXPECT_TRUE(ended);
  EXPECT_EQ(got.size(), 5000u);
  EXPECT_EQ(waitForExit(), 0);
  EXPECT_EQ(fileText(sentFile), got);
  EXPECT_NE(output().find("hung up after 5000 bytes"), std::string::npos) << output();
  EXPECT_FALSE(fs::exists(settingsFile()));
}

struct ChoiceCase {
  const char* name;
  const char* settings;      // the settings file before the start
  const char* simulatedPort; // the port given a simulated line, or nullptr for none
};

const ChoiceCase kChoiceCases[] = {
    {"NoSettingsUsesCom2", "", "COM2"},
    {"ChosenPortOnTheConsole", "[General]\nPort=0\n", "COM1"},
    {"ChosenPortWithoutItsDefaultDevice", "[General]\nPort=11\n", "COM12"},
    {"OutOfRangeChoiceFallsBackToCom2", "[General]\nPort=40\n", "COM2"},
    {"MappedToAnExistingDevice", "[Ports]\nCOM2=/dev/null\n", nullptr},
    {"MappingLeftByAKilledSimulator", "[Ports]\nCOM2=/dev/pts/999999\n", "COM2"},
};

void PrintTo(const ChoiceCase& c, std::ostream* out) { *out << c.name; }

class PortChoiceTest : public LineSimulatorTest,
                       public ::testing::WithParamInterface<ChoiceCase> {};

// With --only-if-unconfigured the simulator takes the port the program would
// open, and steps aside when that port has a device.
TEST_P(PortChoiceTest, SimulatesOnlyAPortWithoutDevice) {
  const ChoiceCase& c = GetParam();
  writeText(settingsFile(), c.settings);
  const std::string device = start({"--only-if-unconfigured"});
  if (c.simulatedPort == nullptr) {
    EXPECT_EQ(waitForExit(), 0);
    EXPECT_NE(output().find("no simulated line"), std::string::npos) << output();
    EXPECT_EQ(fileText(settingsFile()), c.settings);
    return;
  }
  ASSERT_FALSE(device.empty()) << output();
  const auto during = fileText(settingsFile()).value_or("");
  EXPECT_NE(during.find(std::string(c.simulatedPort) + "=" + device + "\n"), std::string::npos)
      << during;
  EXPECT_EQ(stop(SIGTERM), 0);
  EXPECT_EQ(fileText(settingsFile()), c.settings);
}

INSTANTIATE_TEST_SUITE_P(Cases, PortChoiceTest, ::testing::ValuesIn(kChoiceCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The start script ties the simulator to the program's process: when that
// ends, so does the simulator, and the settings are put back.
TEST_F(LineSimulatorTest, EndsWithTheProcessItStopsWith) {
  pid_t sleeper = -1;
  std::vector<std::string> sleepArguments{"/bin/sleep", "60"};
  char* argv[] = {sleepArguments[0].data(), sleepArguments[1].data(), nullptr};
  ASSERT_EQ(posix_spawn(&sleeper, argv[0], nullptr, nullptr, argv, environ), 0);
  ASSERT_FALSE(start({"--stop-with", std::to_string(sleeper)}).empty()) << output();
  ASSERT_TRUE(fs::exists(settingsFile()));

  kill(sleeper, SIGKILL);
  waitpid(sleeper, nullptr, 0);
  EXPECT_EQ(waitForExit(), 0);
  EXPECT_NE(output().find("process " + std::to_string(sleeper) + " ended"), std::string::npos)
      << output();
  EXPECT_FALSE(fs::exists(settingsFile()));
}

TEST_F(LineSimulatorTest, RejectsBadOptionsWithoutTouchingTheSettings) {
  const std::vector<std::vector<std::string>> badOptions = {
      {"--flood", "lots"}, {"--payload", "binary"}, {"--port", "LPT1"}, {"--port", "COM13"},
      {"--flood"},         {"--verbose"},           {"--baud", "0"},     {"--stop-with", "-3"}};
  for (const auto& options : badOptions) {
    start(options);
    EXPECT_EQ(waitForExit(), 2) << options[0];
    close(output_);
    output_ = -1;
  }
  EXPECT_FALSE(fs::exists(settingsFile()));
}

}  // namespace

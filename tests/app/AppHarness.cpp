#include "AppHarness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "res/Menus.h"

namespace tevra::apptest {
namespace {

namespace fs = std::filesystem;

std::vector<char*> cStrings(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& text : strings) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

std::vector<std::string> environmentStrings(const std::map<std::string, std::string>& environment) {
  std::vector<std::string> strings;
  for (const auto& [name, value] : environment) strings.push_back(name + "=" + value);
  return strings;
}

// fork + execvpe; the child's output goes to `outputFd` (or /dev/null when -1).
pid_t spawn(const std::vector<std::string>& argv, const std::map<std::string, std::string>& environment,
            const fs::path& workingDir, int outputFd, int keepFd = -1) {
  std::vector<std::string> args = argv;
  std::vector<std::string> envStrings = environmentStrings(environment);
  std::vector<char*> argp = cStrings(args);
  std::vector<char*> envp = cStrings(envStrings);
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // a test killed by its time-out leaves nothing behind
    const int devNull = open("/dev/null", O_RDWR);
    dup2(devNull, STDIN_FILENO);
    dup2(outputFd >= 0 ? outputFd : devNull, STDOUT_FILENO);
    dup2(outputFd >= 0 ? outputFd : devNull, STDERR_FILENO);
    for (int fd = 3; fd < 1024; ++fd) {
      if (fd != keepFd) close(fd);
    }
    if (!workingDir.empty() && chdir(workingDir.c_str()) != 0) _exit(126);
    execvpe(argp[0], argp.data(), envp.data());
    _exit(127);
  }
  return pid;
}

std::string currentTestName() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  if (!info) return "suite";
  std::string name = std::string(info->test_suite_name()) + "." + info->name();
  for (char& c : name) {
    if (c == '/') c = '_';
  }
  return name;
}

std::map<std::string, std::string> parseReport(const std::string& text) {
  std::map<std::string, std::string> values;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    const auto equals = line.find('=');
    if (equals != std::string::npos) values[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return values;
}

}  // namespace

std::string fileText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void PrintTo(Desktop desktop, std::ostream* out) {
  *out << (desktop == Desktop::windowManager ? "windowManager" : "bare");
}

std::string desktopName(const ::testing::TestParamInfo<Desktop>& info) {
  std::ostringstream name;
  PrintTo(info.param, &name);
  return name.str();
}

void PrintTo(const Geometry& geometry, std::ostream* out) {
  *out << geometry.width << "x" << geometry.height << " at " << geometry.x << "," << geometry.y;
}

// Process

Process::Process(const std::vector<std::string>& argv, const std::map<std::string, std::string>& environment,
                 const fs::path& workingDir, const fs::path& logFile) {
  const int log = open(logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  pid_ = spawn(argv, environment, workingDir, log);
  if (log >= 0) close(log);
}

Process::~Process() {
  if (running()) {
    kill(pid_, SIGKILL);
    waitExit(5s);
  }
}

bool Process::running() {
  if (status_) return false;
  int status = 0;
  const pid_t result = waitpid(pid_, &status, WNOHANG);
  if (result == pid_) {
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    return false;
  }
  return result == 0;
}

std::optional<int> Process::waitExit(std::chrono::milliseconds patience) {
  waitUntil([this] { return !running(); }, patience);
  return status_;
}

void Process::signal(int number) {
  if (running()) kill(pid_, number);
}

// XServer

XServer::XServer() {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) throw std::runtime_error("pipe failed");
  // -noreset: without it the server resets whenever its last client leaves,
  // and a program connecting just then fails to start.
  pid_ = spawn({"Xvfb", "-displayfd", std::to_string(pipeFds[1]), "-screen", "0", "1024x768x24", "-nolisten",
                "tcp", "-noreset"},
               {{"PATH", std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin"}}, {}, -1, pipeFds[1]);
  close(pipeFds[1]);
  std::string number;
  pollfd readable{pipeFds[0], POLLIN, 0};
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (number.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    if (poll(&readable, 1, 100) <= 0) continue;
    char buffer[16];
    const ssize_t got = read(pipeFds[0], buffer, sizeof buffer);
    if (got <= 0) break;
    number.append(buffer, static_cast<std::size_t>(got));
  }
  close(pipeFds[0]);
  if (number.find('\n') == std::string::npos) throw std::runtime_error("Xvfb did not start");
  display_ = ":" + number.substr(0, number.find('\n'));
}

XServer::~XServer() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
}

std::string runOutput(const std::vector<std::string>& argv, const std::map<std::string, std::string>& environment) {
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  const pid_t pid = spawn(argv, environment, {}, pipeFds[1]);
  close(pipeFds[1]);
  std::string output;
  char buffer[4096];
  ssize_t got;
  while ((got = read(pipeFds[0], buffer, sizeof buffer)) > 0) output.append(buffer, static_cast<std::size_t>(got));
  close(pipeFds[0]);
  waitpid(pid, nullptr, 0);
  return output;
}

std::string readPixels(const fs::path& picture, const Geometry& region) {
  // ImageMagick writes the region as a binary PPM: "P6\n<width> <height>\n255\n" and RGB triples.
  const std::string crop = std::to_string(region.width) + "x" + std::to_string(region.height) + "+" +
                           std::to_string(region.x) + "+" + std::to_string(region.y);
  const std::string ppm = runOutput({"convert", picture.string(), "-crop", crop, "+repage", "-depth", "8", "ppm:-"},
                                    {{"PATH", std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin"}});
  std::istringstream header(ppm);
  std::string magic;
  int width = 0, height = 0, maximum = 0;
  header >> magic >> width >> height >> maximum;
  const auto start = static_cast<std::size_t>(header.tellg()) + 1;
  if (magic != "P6" || maximum != 255 || ppm.size() < start + std::size_t(width) * height * 3) return {};
  return ppm.substr(start);
}

long countPixels(const fs::path& picture, const Geometry& region,
                 const std::function<bool(int red, int green, int blue)>& matches) {
  const std::string pixels = readPixels(picture, region);
  if (pixels.empty()) return -1;
  long count = 0;
  for (std::size_t at = 0; at + 2 < pixels.size(); at += 3) {
    const auto channel = [&](std::size_t offset) { return static_cast<unsigned char>(pixels[at + offset]); };
    if (matches(channel(0), channel(1), channel(2))) ++count;
  }
  return count;
}

// TerminalRun

fs::path artifactFolder() {
  fs::path folder = TEVRA_APP_ARTIFACTS;
  fs::create_directories(folder);
  return folder;
}

TerminalRun::TerminalRun(Desktop desktop) : desktop_(desktop) {
  for (const char* sub : {"home", "config", "runtime", "bin"}) {
    fs::create_directory(folder() / sub);
    fs::permissions(folder() / sub, fs::perms::owner_all);
  }
  // The desktop's opener, as the program's link would call it: records its arguments.
  const fs::path opener = folder() / "bin" / "xdg-open";
  std::ofstream(opener) << "#!/bin/sh\nprintf '%s\\n' \"$@\" >> \"" << (folder() / "opened.txt").string() << "\"\n";
  fs::permissions(opener, fs::perms::owner_all);

  if (desktop_ == Desktop::windowManager) {
    // Openbox with its packaged configuration, in the private home.
    auto env = environment();
    windowManager_ = std::make_unique<Process>(std::vector<std::string>{"openbox", "--sm-disable"}, env, folder(),
                                               folder() / "openbox.log");
    // Managing once it has named itself on the root window.
    const bool managing = waitUntil([&] {
      return x({"xprop", "-root", "_NET_SUPPORTING_WM_CHECK"}).find("window id") != std::string::npos;
    });
    if (!managing) throw std::runtime_error("openbox did not start: " + fileText(folder() / "openbox.log"));
  }
}

TerminalRun::~TerminalRun() {
  processes_.clear();
  windowManager_.reset();
  const std::string criticals = criticalLines();
  if (!criticals.empty()) ADD_FAILURE() << "the program reported critical assertions:\n" << criticals;
}

fs::path TerminalRun::storeFile() const {
  return folder() / "config" / "Tevra Laboratory" / "Orbel Software" / "Terminal.conf";
}

void TerminalRun::writeStore(const std::string& text) {
  fs::create_directories(storeFile().parent_path());
  std::ofstream(storeFile(), std::ios::trunc) << text;
}

std::string TerminalRun::readStore() const { return fileText(storeFile()); }

std::optional<std::string> TerminalRun::storeValue(const std::string& section, const std::string& name) const {
  std::istringstream lines(readStore());
  std::string line;
  std::string current;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.front() == '[') {
      current = line.substr(1, line.find(']') - 1);
    } else if (current == section && line.rfind(name + "=", 0) == 0) {
      return line.substr(name.size() + 1);
    }
  }
  return std::nullopt;
}

std::map<std::string, std::string> TerminalRun::environment() const {
  const char* path = std::getenv("PATH");
  std::string asan = "detect_leaks=0";  // GTK and wx keep memory to the end; not ours to report
  if (const char* inherited = std::getenv("ASAN_OPTIONS")) asan = std::string(inherited) + ":" + asan;
  std::map<std::string, std::string> env = {
      {"PATH", (folder() / "bin").string() + ":" + (path ? path : "/usr/bin:/bin")},
      {"DISPLAY", xserver_.display()},
      {"HOME", (folder() / "home").string()},
      {"XDG_CONFIG_HOME", (folder() / "config").string()},
      {"XDG_RUNTIME_DIR", (folder() / "runtime").string()},
      {"XDG_DATA_HOME", (folder() / "home" / "data").string()},
      {"XDG_CACHE_HOME", (folder() / "home" / "cache").string()},
      {"GSETTINGS_BACKEND", "memory"},
      {"NO_AT_BRIDGE", "1"},
      {"LANG", "C.UTF-8"},
      {"TEVRA_STATS_FILE", (folder() / "report.txt").string()},
      {"ASAN_OPTIONS", asan},
  };
  if (const char* ubsan = std::getenv("UBSAN_OPTIONS")) env["UBSAN_OPTIONS"] = ubsan;
  for (const auto& [name, value] : extraEnvironment) env[name] = value;
  return env;
}

Process& TerminalRun::start() {
  processes_.push_back(
      std::make_unique<Process>(std::vector<std::string>{TEVRA_TERMINAL_PATH}, environment(), folder(),
                                folder() / "app.log"));
  return *processes_.back();
}

std::string TerminalRun::appLog() const { return fileText(folder() / "app.log"); }

std::string TerminalRun::criticalLines() const {
  std::istringstream lines(appLog());
  std::string found;
  std::string line;
  while (std::getline(lines, line)) {
    if (line.find("-CRITICAL **") != std::string::npos) found += line + "\n";
  }
  return found;
}

std::string TerminalRun::x(const std::vector<std::string>& argv) const {
  return runOutput(argv, {{"PATH", std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin"},
                          {"DISPLAY", xserver_.display()}});
}

std::vector<unsigned long> TerminalRun::visibleWindows(const std::string& titleRegex) const {
  std::vector<unsigned long> windows;
  std::istringstream ids(x({"xdotool", "search", "--onlyvisible", "--name", titleRegex}));
  unsigned long id;
  while (ids >> id) windows.push_back(id);
  std::sort(windows.begin(), windows.end());
  return windows;
}

Geometry TerminalRun::clientGeometry(unsigned long window) const {
  // xwininfo, not xdotool: xdotool adds a manager's frame offset to a framed window's place.
  std::istringstream lines(x({"xwininfo", "-id", std::to_string(window)}));
  std::map<std::string, int> values;
  std::string line;
  while (std::getline(lines, line)) {
    const auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    const auto start = line.find_first_not_of(' ');
    try {
      values[line.substr(start, colon - start)] = std::stoi(line.substr(colon + 1));
    } catch (const std::exception&) {
    }
  }
  auto number = [&](const char* name) { return values.count(name) ? values.at(name) : -1; };
  return Geometry{number("Absolute upper-left X"), number("Absolute upper-left Y"), number("Width"),
                  number("Height")};
}

std::array<int, 4> TerminalRun::frameExtents(unsigned long window) const {
  // "_NET_FRAME_EXTENTS(CARDINAL) = 1, 1, 20, 5", or "not found" without a manager.
  const std::string text = x({"xprop", "-id", std::to_string(window), "_NET_FRAME_EXTENTS"});
  std::array<int, 4> extents{0, 0, 0, 0};
  const auto equals = text.find('=');
  if (equals == std::string::npos) return extents;
  std::istringstream numbers(text.substr(equals + 1));
  char comma;
  numbers >> extents[0] >> comma >> extents[1] >> comma >> extents[2] >> comma >> extents[3];
  return extents;
}

Geometry TerminalRun::geometry(unsigned long window) const {
  const Geometry client = clientGeometry(window);
  const auto [left, right, top, bottom] = frameExtents(window);
  return Geometry{client.x - left, client.y - top, client.width + left + right, client.height + top + bottom};
}

void TerminalRun::place(unsigned long window, const Geometry& place) const {
  // A manager takes the position asked for as its frame's, the size as the window's own.
  const auto [left, right, top, bottom] = frameExtents(window);
  const std::string id = std::to_string(window);
  x({"xdotool", "windowmove", id, std::to_string(place.x), std::to_string(place.y)});
  x({"xdotool", "windowsize", id, std::to_string(place.width - left - right),
     std::to_string(place.height - top - bottom)});
}

std::optional<unsigned long> TerminalRun::mainWindow() const {
  const auto windows = visibleWindows("^Terminal$");
  if (windows.empty()) return std::nullopt;
  return windows.front();
}

std::optional<unsigned long> TerminalRun::waitForDialog(const std::string& title) const {
  // One snapshot: the main window is the first "Terminal" window, so a box
  // titled "Terminal" too is the one after it.
  const bool sharesMainTitle = title == "Terminal";
  std::optional<unsigned long> found;
  waitUntil([&] {
    const auto windows = visibleWindows("^" + title + "$");
    if (windows.size() > (sharesMainTitle ? 1u : 0u)) found = windows.back();
    return found.has_value();
  });
  return found;
}

bool TerminalRun::waitGone(unsigned long window, std::chrono::milliseconds patience) const {
  return waitUntil(
      [&] {
        const auto windows = visibleWindows(".*");
        return std::find(windows.begin(), windows.end(), window) == windows.end();
      },
      patience);
}

bool TerminalRun::dismiss(unsigned long window, const std::string& key) const {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  do {
    focus(window);
    keys({key});
    if (waitGone(window, 5s)) return true;
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

void TerminalRun::focus(unsigned long window) const {
  // A manager gives the focus to the window it activates; without one, X gives it directly.
  if (desktop_ == Desktop::windowManager) x({"xdotool", "windowactivate", std::to_string(window)});
  x({"xdotool", "windowfocus", std::to_string(window)});
  std::this_thread::sleep_for(200ms);
}

void TerminalRun::keys(const std::vector<std::string>& names) const {
  for (const std::string& name : names) {
    x({"xdotool", "key", name});
    std::this_thread::sleep_for(250ms);  // menus open and move at the toolkit's pace
  }
}

void TerminalRun::chooseCommand(int command) const {
  if (const auto main = mainWindow()) focus(*main);
  std::vector<std::string> names = {"F10"};
  for (std::size_t menu = 0; menu < std::size(res::kMainMenu); ++menu) {
    std::vector<std::string> path = names;
    path.insert(path.end(), menu, "Right");
    for (const res::MenuItemDef& item : res::kMainMenu[menu].items) {
      if (item.command == 0) continue;  // the keyboard skips separators
      path.push_back("Down");
      if (item.command == command) {
        path.push_back("Return");
        keys(path);
        return;
      }
    }
  }
  ADD_FAILURE() << "no menu item for command " << command;
}

std::optional<int> TerminalRun::closeByMenu() {
  chooseCommand(res::kCmdClose);
  return app().waitExit();
}

void TerminalRun::screenshot(const std::string& name) const {
  const fs::path file = artifactFolder() / (currentTestName() + "-" + name + ".png");
  x({"import", "-window", "root", file.string()});
}

fs::path TerminalRun::windowShot(unsigned long window, const std::string& name) const {
  const fs::path file = artifactFolder() / (currentTestName() + "-" + name + ".png");
  x({"import", "-window", std::to_string(window), file.string()});
  return file;
}

std::string TerminalRun::describeWindows() const {
  std::ostringstream text;
  for (unsigned long window : visibleWindows(".*")) {
    const Geometry place = geometry(window);
    std::string title = x({"xdotool", "getwindowname", std::to_string(window)});
    if (!title.empty() && title.back() == '\n') title.pop_back();
    text << window << " \"" << title << "\" at " << place.x << "," << place.y << " " << place.width << "x"
         << place.height << "\n";
  }
  text << "focus: " << x({"xdotool", "getwindowfocus"});
  return text.str();
}

std::map<std::string, std::string> TerminalRun::report() {
  const fs::path file = folder() / "report.txt";
  std::error_code ignored;
  fs::remove(file, ignored);
  app().signal(SIGUSR1);
  if (!waitUntil([&] { return fs::exists(file); })) return {};
  return parseReport(fileText(file));
}

std::map<std::string, std::string> TerminalRun::finalReport() const {
  return parseReport(fileText(folder() / "report.txt"));
}

}  // namespace tevra::apptest

#pragma once

// Drives the real tevra-terminal as a user would: a private X server, a
// private home, a pseudo-terminal as the serial line, xdotool for the
// keyboard and mouse, and the program's run report (TEVRA_STATS_FILE, also
// written on SIGUSR1) for what X cannot show (check marks, scroll bars).

#include <sys/types.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "tests/support/PtyLine.h"
#include "tests/support/TempFolder.h"
#include "tests/support/Wait.h"
#include <gtest/gtest.h>

namespace tevra::apptest {

using namespace std::chrono_literals;
using testing::kPatience;
using testing::PtyLine;
using testing::waitUntil;

// A child process with its own environment; killed (by its pid) if still running at the end.
class Process {
 public:
  Process(const std::vector<std::string>& argv, const std::map<std::string, std::string>& environment,
          const std::filesystem::path& workingDir, const std::filesystem::path& logFile);
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }
  bool running();
  // The exit code once it ended by itself within `patience`; -signal if killed by one.
  std::optional<int> waitExit(std::chrono::milliseconds patience = kPatience);
  void signal(int number);

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
};

// Xvfb on a display number it picks itself (-displayfd), so parallel tests never collide.
class XServer {
 public:
  XServer();
  ~XServer();
  const std::string& display() const { return display_; }

 private:
  pid_t pid_ = -1;
  std::string display_;
};

// What the program's display runs besides it: nothing, as Xvfb alone, or a
// window manager (openbox), as a user's desktop does. A manager frames and
// places windows and takes some keys (Alt+F4) for itself.
enum class Desktop { bare, windowManager };
void PrintTo(Desktop desktop, std::ostream* out);
// For value-parameterised tests over both desktops: "bare", "windowManager".
std::string desktopName(const ::testing::TestParamInfo<Desktop>& info);

// A file's whole content, bytes as they are; empty when it cannot be read.
std::string fileText(const std::filesystem::path& path);

// Runs a helper program to its end; its standard output.
std::string runOutput(const std::vector<std::string>& argv, const std::map<std::string, std::string>& environment);

struct Geometry {
  int x = 0, y = 0, width = 0, height = 0;
  bool operator==(const Geometry&) const = default;
};
void PrintTo(const Geometry& geometry, std::ostream* out);

// A private user (HOME, XDG_CONFIG_HOME, XDG_RUNTIME_DIR in a temporary
// folder), an X server and the program, started and driven.
class TerminalRun {
 public:
  explicit TerminalRun(Desktop desktop = Desktop::bare);
  // Fails the test when the program reported a GTK or GLib critical assertion.
  ~TerminalRun();

  Desktop desktop() const { return desktop_; }

  const std::filesystem::path& folder() const { return folder_.path(); }
  std::filesystem::path storeFile() const;
  void writeStore(const std::string& text);
  std::string readStore() const;
  // A store value as text, from the [section] of the INI file.
  std::optional<std::string> storeValue(const std::string& section, const std::string& name) const;

  std::map<std::string, std::string> environment() const;
  // Added to environment() for the copies started from now on (e.g. TEVRA_HEARTBEAT_MS).
  std::map<std::string, std::string> extraEnvironment;
  // Starts one more copy of the program.
  Process& start();
  Process& app() { return *processes_.back(); }
  std::string appLog() const;
  // The lines of the program's stderr that report a critical assertion ("-CRITICAL **").
  std::string criticalLines() const;

  // xdotool and friends on this run's display.
  std::string x(const std::vector<std::string>& argv) const;
  std::vector<unsigned long> visibleWindows(const std::string& titleRegex) const;
  // A top-level window's rectangle on the screen, its manager's frame
  // included: what the program stores and restores.
  Geometry geometry(unsigned long window) const;
  // The window's own area on the screen, inside any frame.
  Geometry clientGeometry(unsigned long window) const;
  // Moves and sizes a top-level window so that geometry() becomes `place`.
  void place(unsigned long window, const Geometry& place) const;
  // The main window: the first visible window titled "Terminal".
  std::optional<unsigned long> mainWindow() const;
  // Waits for a visible window titled exactly `title` other than the main window
  // (the first window titled "Terminal").
  std::optional<unsigned long> waitForDialog(const std::string& title) const;
  bool waitGone(unsigned long window, std::chrono::milliseconds patience = kPatience) const;
  // Focuses `window` and presses `key` until the window goes: a window just
  // mapped may not take the keyboard yet. False if it stays.
  bool dismiss(unsigned long window, const std::string& key) const;
  void focus(unsigned long window) const;
  // Keys in xdotool's names, one after the other with a pause the toolkit can follow.
  void keys(const std::vector<std::string>& names) const;
  // Chooses the menu item of `command` (res/ResourceIds.h) by keyboard, as
  // a user would: F10, Right to its menu, Down to its item, Return.
  void chooseCommand(int command) const;
  // Chooses "Close" and waits for the program to end: its exit code.
  std::optional<int> closeByMenu();
  void screenshot(const std::string& name) const;
  // One window's picture, as a PNG file in the screenshots' folder; its path.
  std::filesystem::path windowShot(unsigned long window, const std::string& name) const;
  // The visible windows, their titles and places, and the focus: for failure messages.
  std::string describeWindows() const;

  // A fresh run report (the program writes it on SIGUSR1).
  std::map<std::string, std::string> report();
  // The report written when the program closed its window.
  std::map<std::string, std::string> finalReport() const;

 private:
  // The frame a window manager put round `window`: left, right, top, bottom.
  std::array<int, 4> frameExtents(unsigned long window) const;

  Desktop desktop_;
  testing::TempFolder folder_{"tevra-app"};
  XServer xserver_;
  std::unique_ptr<Process> windowManager_;  // ends before the X server
  std::vector<std::unique_ptr<Process>> processes_;
};

// The RGB triples of `region` of a picture file, row by row; empty when it cannot be read.
std::string readPixels(const std::filesystem::path& picture, const Geometry& region);
// The pixels of `region` of a picture file that satisfy `matches` (red, green, blue 0-255).
long countPixels(const std::filesystem::path& picture, const Geometry& region,
                 const std::function<bool(int red, int green, int blue)>& matches);

// The screenshots' folder, under the build tree.
std::filesystem::path artifactFolder();

}  // namespace tevra::apptest

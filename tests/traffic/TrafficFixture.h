#pragma once

// Fakes of the window and the line for the traffic tests, and a private
// temporary folder that also stands in for HOME and the XDG folders.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "core/ScreenBuffer.h"
#include "core/SerialLink.h"
#include "core/SettingsStore.h"
#include "core/TerminalSession.h"
#include "core/TerminalSettings.h"
#include "core/TerminalUi.h"
#include "tests/support/Environment.h"
#include "tests/support/TempFolder.h"

namespace tevra::traffic {

class FakeUi : public TerminalUi {
 public:
  void showError(const std::string& text) override {
    errors.push_back(text);
    if (whileErrorShown) whileErrorShown();  // what a modal loop may dispatch meanwhile
  }
  std::optional<std::string> chooseSaveFile(const std::string& initialPath,
                                            const std::string& defaultExtension,
                                            const std::string& filter) override {
    saveChooserCalls.push_back({initialPath, defaultExtension, filter});
    return saveAnswer;
  }
  std::optional<std::string> chooseOpenFile(const std::string& initialPath,
                                            const std::string& filter) override {
    openChooserCalls.push_back({initialPath, filter});
    return openAnswer;
  }
  int startTimer(int id, int milliseconds) override {
    timerStarts.emplace_back(id, milliseconds);
    runningTimer = timerFails ? 0 : id;
    return runningTimer;
  }
  void killTimer(int id) override {
    timerKills.push_back(id);
    if (id == runningTimer) runningTimer = 0;
  }
  void optionsChanged() override { ++optionsChangedCount; }

  struct SaveChooserCall {
    std::string initialPath, defaultExtension, filter;
  };
  struct OpenChooserCall {
    std::string initialPath, filter;
  };

  std::vector<std::string> errors;
  std::function<void()> whileErrorShown;
  std::optional<std::string> saveAnswer;
  std::optional<std::string> openAnswer;
  std::vector<SaveChooserCall> saveChooserCalls;
  std::vector<OpenChooserCall> openChooserCalls;
  std::vector<std::pair<int, int>> timerStarts;
  std::vector<int> timerKills;
  int runningTimer = 0;
  bool timerFails = false;
  int optionsChangedCount = 0;
};

// A line that records every write as one string.
class FakeLink : public SerialLink {
 public:
  bool open(const LineParameters& line, const std::string& devicePath) override {
    openedWith = line;
    openedPath = devicePath;
    lineOpen = opens;
    return opens;
  }
  void close() override {
    ++closeCount;
    lineOpen = false;
  }
  bool isOpen() const override { return lineOpen; }
  bool write(const std::uint8_t* bytes, std::size_t count) override {
    writes.emplace_back(reinterpret_cast<const char*>(bytes), count);
    return true;
  }
  std::string failureReason() const override { return reason; }

  std::string allWritten() const {
    std::string all;
    for (const auto& write : writes) all += write;
    return all;
  }

  bool lineOpen = true;
  bool opens = true;
  std::string reason;
  std::optional<LineParameters> openedWith;
  std::string openedPath;
  int closeCount = 0;
  std::vector<std::string> writes;
};

// A fresh folder per test; HOME and the XDG folders point into it while the test runs.
class TempHome : public testing::TempFolder {
 public:
  TempHome() : testing::TempFolder("tevra-traffic") {
    environment_.set("HOME", path().string());
    environment_.set("XDG_CONFIG_HOME", (path() / "config").string());
    environment_.set("XDG_RUNTIME_DIR", path().string());
  }

 private:
  testing::ScopedEnvironment environment_;
};

inline std::string readWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void writeWholeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

inline const std::uint8_t* asBytes(const std::string& text) {
  return reinterpret_cast<const std::uint8_t*>(text.data());
}

// Row `row` of the screen without its trailing blanks.
inline std::string screenRow(const ScreenBuffer& screen, int row) {
  std::string text(reinterpret_cast<const char*>(screen.rowData(row)), kColumns);
  return text.substr(0, text.find_last_not_of(' ') + 1);
}

// What the top rows of the screen show (the rest blank) and where the cursor is.
struct ScreenShows {
  std::vector<std::string> rows;
  int cursorRow = 0;
  int cursorColumn = 0;
};

inline void expectScreen(const ScreenBuffer& screen, const ScreenShows& shows) {
  for (int row = 0; row <= static_cast<int>(shows.rows.size()); ++row) {
    const std::string expected = row < static_cast<int>(shows.rows.size()) ? shows.rows[row] : "";
    EXPECT_EQ(screenRow(screen, row), expected) << "row " << row;
  }
  EXPECT_EQ(screen.row(), shows.cursorRow);
  EXPECT_EQ(screen.column(), shows.cursorColumn);
}

inline bool screenIsBlank(const ScreenBuffer& screen) {
  for (int row = 0; row < kRows; ++row) {
    if (!screenRow(screen, row).empty()) return false;
  }
  return screen.row() == 0 && screen.column() == 0;
}

// A session over the fake line and window, capturing into the temporary folder.
class SessionFixture : public ::testing::Test {
 protected:
  SessionFixture() {
    settings.captureFile = folder.file("capture.txt");
    settings.termCapture = 1;
  }

  void type(const std::string& keys) {
    for (unsigned char key : keys) session.onChar(key);
  }
  void receive(const std::string& bytes) {
    session.onPortData(static_cast<int>(bytes.size()), asBytes(bytes));
  }
  std::string captured() const { return readWholeFile(settings.captureFile); }

  TempHome folder;
  TerminalSettings settings;
  ScreenBuffer screen{settings.termInCR};
  FakeLink link;
  MemorySettingsStore store;
  FakeUi ui;
  TerminalSession session{settings, screen, link, store, ui};
};

}  // namespace tevra::traffic

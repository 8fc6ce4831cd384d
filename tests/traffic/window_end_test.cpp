// The window's end as the core runs it: the caret goes, the sending stops,
// then the settings and the restored rectangle are saved, in that order.

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "core/FileSender.h"
#include "core/Viewport.h"
#include "tests/core/RecordingWindow.h"
#include "tests/traffic/TrafficFixture.h"

namespace tevra {
namespace {

// Every step of the end lands in one log: the window's caret calls, the
// sender's timer being killed, each value written to the store.
class LoggingStore : public MemorySettingsStore {
 public:
  explicit LoggingStore(Calls& log) : log_(log) {}
  void writeText(const std::string& section, const std::string& name, const std::string& value) override {
    log_.push_back("save " + section + "/" + name + "=" + value);
    MemorySettingsStore::writeText(section, name, value);
  }

 private:
  Calls& log_;
};

class LoggingUi : public traffic::FakeUi {
 public:
  explicit LoggingUi(Calls& log) : log_(log) {}
  void killTimer(int id) override {
    log_.push_back("killTimer " + std::to_string(id));
    FakeUi::killTimer(id);
  }

 private:
  Calls& log_;
};

struct EndCase {
  bool caretShown;
  bool sending;
  Calls firstSteps;  // before the values are saved
};

void PrintTo(const EndCase& c, std::ostream* out) {
  *out << (c.caretShown ? "caret shown" : "no caret") << ", " << (c.sending ? "sending" : "idle");
}

class WindowEndTest : public ::testing::TestWithParam<EndCase> {
 protected:
  traffic::TempFolder folder;
  RecordingWindow window;
  Calls& log = window.calls;
  TerminalSettings settings;
  ScreenBuffer screen{settings.termInCR};
  traffic::FakeLink link;
  LoggingStore store{log};
  LoggingUi ui{log};
  TerminalSession session{settings, screen, link, store, ui};
  FileSender sender{settings, screen, link, ui};
  Viewport view{screen, window, [this] { return link.isOpen(); }};
};

TEST_P(WindowEndTest, CaretThenSendingThenSave) {
  const EndCase& c = GetParam();
  settings.termEcho = 0;
  settings.captureFile = folder.file("traffic.cap");
  if (c.caretShown) view.createCaret();
  if (c.sending) {
    const std::string path = folder.file("send.txt");
    traffic::writeWholeFile(path, "one\ntwo\n");
    ui.openAnswer = path;
    sender.start();
    ASSERT_TRUE(sender.sending());
  }
  log.clear();
  const WindowRect restored{31, 42, 731, 542};

  session.onDestroy(view, sender, restored);

  MemorySettingsStore expectedStore;
  settings.save(expectedStore, restored);
  Calls expected = c.firstSteps;
  for (const std::string& write : expectedStore.writeLog()) expected.push_back("save " + write);
  EXPECT_EQ(log, expected);
  EXPECT_FALSE(view.caretShown());
  EXPECT_FALSE(sender.sending());
  EXPECT_EQ(ui.runningTimer, 0);
  EXPECT_EQ(store.readInt("Layout", "LayoutLeft", 0), 31);
  EXPECT_EQ(store.readInt("Layout", "LayoutBottom", 0), 542);
  EXPECT_EQ(store.readText("Terminal", "SendFile", ""), settings.sendFile);
  EXPECT_TRUE(ui.errors.empty());
}

INSTANTIATE_TEST_SUITE_P(States, WindowEndTest,
                         ::testing::Values(EndCase{true, true, {"hideCaret", "destroyCaret", "killTimer 1"}},
                                           EndCase{true, false, {"hideCaret", "destroyCaret"}},
                                           EndCase{false, true, {"killTimer 1"}},
                                           EndCase{false, false, {}}));

}  // namespace
}  // namespace tevra

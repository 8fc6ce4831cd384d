// Hostile input through every door: every byte value off the line, every
// kind of key, and a text file made of the awkward cases.

#include <fstream>

#include "ReliabilityRun.h"

namespace tevra::apptest {
namespace {

namespace fs = std::filesystem;

using BadInputTest = ReliabilityFixture;

TEST_F(BadInputTest, EveryByteValueOffTheLineIsCapturedButTheFlowControlPair) {
  const fs::path capture = run_.folder() / "bytes.cap";
  startCapturingTo(capture);
  // XON and XOFF are the line's own (the driver's IXON consumes them); the
  // last byte written is an XON, so the line is left running.
  std::string sent;
  std::string expected;
  for (int round = 0; round < 4; ++round) {
    for (int value = 0; value < 256; ++value) {
      sent += static_cast<char>(value);
      if (value != kXon && value != kXoff) expected += static_cast<char>(value);
    }
  }
  sent += static_cast<char>(kXon);
  line().write(sent);
  ASSERT_TRUE(waitReceived(static_cast<long>(expected.size()))) << reportNumber("bytes_received");
  EXPECT_EQ(fileText(capture), expected);

  // Still whole: the menu answers and a key goes out.
  run_.chooseCommand(res::kCmdEcho);
  EXPECT_TRUE(waitUntil([&] { return run_.report()["checked_40012"] == "0"; }));
  run_.focus(main_);
  run_.keys({"x"});
  EXPECT_EQ(line().readUntil("x"), "x");
}

struct Key {
  std::string name;  // xdotool's
  std::string bytes;
};

class KeySweepTest : public ReliabilityFixture {
 protected:
  // Types all `keys` in one go, each followed by a period that marks where its
  // bytes end, and checks what the line receives.
  void sweep(const std::vector<Key>& keys) {
    std::vector<std::string> argv = {"xdotool", "key", "--delay", "60"};
    std::string expected;
    for (const Key& key : keys) {
      argv.push_back(key.name);
      argv.push_back("period");
      expected += key.bytes + ".";
    }
    run_.focus(main_);
    run_.x(argv);
    const std::string received = line().readUntil(expected, 20s);
    EXPECT_EQ(received, expected);
    EXPECT_EQ(line().drain(), "");
    std::size_t offset = 0;
    for (const Key& key : keys) {
      const std::string want = key.bytes + ".";
      if (received.compare(offset, want.size(), want) != 0) {
        ADD_FAILURE() << "first wrong key: " << key.name;
        break;
      }
      offset += want.size();
    }
  }
};

TEST_F(KeySweepTest, EveryKindOfKeySendsExactlyItsCharacterOrNothing) {
  startWith();
  std::vector<Key> keys = {
      {"a", "a"},         {"shift+b", "B"},    {"Return", "\r"},     {"KP_Enter", "\r"},
      {"BackSpace", "\b"}, {"Tab", "\t"},      {"Escape", "\x1b"},   {"space", " "},
      {"KP_5", "5"},      {"KP_Add", "+"},     {"shift+1", "!"},     {"asciitilde", "~"},
      {"EuroSign", "\x80"}, {"eacute", "\xe9"}, {"udiaeresis", "\xfc"}, {"yen", "\xa5"},
  };
  for (char letter = 'a'; letter <= 'z'; ++letter) {
    keys.push_back(
        {std::string("ctrl+") + letter, std::string(1, static_cast<char>(letter - 'a' + 1))});
  }
  // F10 opens the menu bar, so it is left out here. The keypad's own
  // movement keys are left out too: xdotool may leave Num Lock on.
  for (int number = 1; number <= 12; ++number) {
    if (number != 10) keys.push_back({"F" + std::to_string(number), ""});
  }
  for (const char* silent : {"Left",       "Right",       "Up",      "Down",    "Home",
                             "End",        "Prior",       "Next",    "Insert",  "Delete",
                             "shift+Left", "ctrl+Right",  "ctrl+F5", "Shift_L", "Shift_R",
                             "Control_L",  "Control_R",   "Alt_L",   "Super_L", "Caps_Lock",
                             "Caps_Lock",  "Scroll_Lock", "Pause",   "Print",   "Menu"}) {
    keys.push_back({silent, ""});
  }
  sweep(keys);
}

// As on the desktop the program comes from, Ctrl with these types the other
// control characters, so a terminal user can type ESC as Ctrl+[ and NUL as Ctrl+@.
TEST_F(KeySweepTest, CtrlWithPunctuationTypesTheRemainingControlCharacters) {
  startWith();
  sweep({{"ctrl+at", std::string(1, '\0')},
         {"ctrl+bracketleft", "\x1b"},
         {"ctrl+backslash", "\x1c"},
         {"ctrl+bracketright", "\x1d"},
         {"ctrl+asciicircum", "\x1e"},
         {"ctrl+underscore", "\x1f"}});
}

TEST_F(BadInputTest, AnAwkwardTextFileGoesOutByTheSenderRules) {
  startWith();
  const std::string longLine(1024 * 1024, 'L');
  const std::string text = std::string("first\r\n") + std::string("nul\0dropped\n", 12) +
                           "lone\rcr\rline\n" + longLine + "\n" + "after long\n" + "last\x1a" +
                           "never sent\n";
  const fs::path file = run_.folder() / "awkward.txt";
  std::ofstream(file, std::ios::binary) << text;

  // A line ends at CR LF or LF, a lone CR stays, a NUL ends the line's text,
  // at most 198 bytes of a line go out, 0x1A ends the file.
  const std::string expected =
      "first\r\n"
      "nul\r\n"
      "lone\rcr\rline\r\n" +
      longLine.substr(0, 198) + "\r\n" + "after long\r\n" + "last\r\n";
  ASSERT_TRUE(chooseFile(res::kCmdSendFile, file)) << run_.appLog();
  EXPECT_EQ(line().readUntil(expected), expected);
  EXPECT_TRUE(waitUntil([&] { return run_.report()["checked_40023"] == "0"; }))
      << "the sending did not end";
  EXPECT_EQ(line().drain(1s), "");
  EXPECT_EQ(boxes(), 0);
}

}  // namespace
}  // namespace tevra::apptest

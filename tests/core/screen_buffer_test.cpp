#include "core/ScreenBuffer.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace tevra {
namespace {

// Records every notification as a short word, e.g. "cell 0 3", "cursor".
class RecordingObserver : public ScreenObserver {
 public:
  void cellWritten(int row, int column) override {
    record("cell " + std::to_string(row) + " " + std::to_string(column));
  }
  void cursorMoved() override { record("cursor"); }
  void screenChanged() override { record("screen"); }
  void lineAdvanced(int row) override { record("line " + std::to_string(row)); }

  std::vector<std::string> events;
  std::function<void(const std::string&)> onEvent;

 private:
  void record(const std::string& event) {
    events.push_back(event);
    if (onEvent) onEvent(event);
  }
};

std::string blankLine() { return std::string(kColumns, ' '); }

class ScreenBufferTest : public ::testing::Test {
 protected:
  ScreenBufferTest() { screen.setObserver(&observer); }

  void put(const std::string& bytes) {
    screen.put(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  }
  std::string row(int index) const {
    const auto* data = screen.rowData(index);
    return std::string(reinterpret_cast<const char*>(data), kColumns);
  }
  // The row without its trailing blanks.
  std::string text(int index) const {
    std::string line = row(index);
    line.erase(line.find_last_not_of(' ') + 1);
    return line;
  }
  void expectBlankFrom(int firstRow) const {
    for (int index = firstRow; index < kRows; ++index) EXPECT_EQ(row(index), blankLine()) << "row " << index;
  }

  int termInCR = 0;
  ScreenBuffer screen{termInCR};
  RecordingObserver observer;
};

TEST_F(ScreenBufferTest, StartsBlankWithTheCursorHome) {
  EXPECT_EQ(screen.row(), 0);
  EXPECT_EQ(screen.column(), 0);
  expectBlankFrom(0);
}

struct StreamCase {
  const char* name;
  std::string bytes;
  int termInCR;
  std::vector<std::string> rows;  // the first rows, trailing blanks left out; the rest blank
  int row;
  int column;
};

std::string repeated(char byte, int count) { return std::string(static_cast<std::size_t>(count), byte); }

const std::string kFullLine = repeated('x', kColumns);

class ScreenBufferStreamTest : public ScreenBufferTest, public ::testing::WithParamInterface<StreamCase> {};

TEST_P(ScreenBufferStreamTest, LeavesTheExpectedRowsAndCursor) {
  const StreamCase& c = GetParam();
  termInCR = c.termInCR;
  put(c.bytes);
  for (std::size_t index = 0; index < c.rows.size(); ++index) {
    EXPECT_EQ(text(static_cast<int>(index)), c.rows[index]) << "row " << index;
  }
  expectBlankFrom(static_cast<int>(c.rows.size()));
  EXPECT_EQ(screen.row(), c.row);
  EXPECT_EQ(screen.column(), c.column);
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, ScreenBufferStreamTest,
    ::testing::Values(
        // A full row wraps at once, with exactly one line feed whatever TermInCR says.
        StreamCase{"FullRowInCROff", kFullLine, 0, {kFullLine}, 1, 0},
        StreamCase{"FullRowInCROn", kFullLine, 1, {kFullLine}, 1, 0},
        StreamCase{"NextByteAfterWrapInCROff", kFullLine + "y", 0, {kFullLine, "y"}, 1, 1},
        StreamCase{"NextByteAfterWrapInCROn", kFullLine + "y", 1, {kFullLine, "y"}, 1, 1},
        StreamCase{"CarriageReturnOverwritesInCROff", "AB\rC", 0, {"CB"}, 0, 1},
        StreamCase{"CarriageReturnStartsLineInCROn", "AB\rC", 1, {"AB", "C"}, 1, 1},
        StreamCase{"CarriageReturnLineFeedInCROff", "A\r\nB", 0, {"A", "B"}, 1, 1},
        StreamCase{"CarriageReturnLineFeedInCROnLeavesEmptyRow", "A\r\nB", 1, {"A", "", "B"}, 2, 1},
        StreamCase{"LineFeedKeepsColumnInCROff", "AB\nC", 0, {"AB", "  C"}, 1, 3},
        StreamCase{"LineFeedKeepsColumnInCROn", "AB\nC", 1, {"AB", "  C"}, 1, 3},
        StreamCase{"BackspaceBlanksPreviousCell", "AB\b", 0, {"A"}, 0, 1},
        StreamCase{"BackspaceThenOverwrite", "AB\b\bC", 0, {"C"}, 0, 1},
        StreamCase{"BackspaceAtColumnZeroDoesNothing", "\b", 0, {}, 0, 0},
        StreamCase{"BackspaceNeverReturnsToPreviousRow", "A\n\r\bB", 0, {"A", "B"}, 1, 1},
        StreamCase{"BackspaceAfterWrapStaysInNewRow", kFullLine + "\b", 0, {kFullLine}, 1, 0},
        StreamCase{"TabTakesOneBlankCell", "A\tB", 0, {"A B"}, 0, 3},
        StreamCase{"EscapeSequenceIsNotInterpreted", "\x1b[2J", 0, {" [2J"}, 0, 4},
        StreamCase{"HighByteStoredUnchanged", "\xe9\x7f\xff", 0, {"\xe9\x7f\xff"}, 0, 3},
        StreamCase{"ControlByteInLastColumnWraps", repeated('x', kColumns - 1) + "\a", 0,
                   {repeated('x', kColumns - 1)}, 1, 0}),
    [](const ::testing::TestParamInfo<StreamCase>& info) { return std::string(info.param.name); });

struct NotificationCase {
  const char* name;
  std::string before;  // bytes put first, their notifications not checked
  int termInCR;
  std::string byte;
  std::vector<std::string> events;
};

class ScreenBufferNotificationTest : public ScreenBufferTest,
                                     public ::testing::WithParamInterface<NotificationCase> {};

TEST_P(ScreenBufferNotificationTest, NotifiesInOrder) {
  const NotificationCase& c = GetParam();
  termInCR = c.termInCR;
  put(c.before);
  observer.events.clear();
  put(c.byte);
  EXPECT_EQ(observer.events, c.events);
}

const std::string k124LineFeeds = repeated('\n', kRows - 1);

INSTANTIATE_TEST_SUITE_P(
    EachByte, ScreenBufferNotificationTest,
    ::testing::Values(
        NotificationCase{"Printable", "AB", 0, "C", {"cell 0 2", "cursor"}},
        NotificationCase{"ControlByte", "", 0, "\a", {"cell 0 0", "cursor"}},
        NotificationCase{"LastColumnInCROff", repeated('x', kColumns - 1), 0, "y",
                         {"cursor", "line 1", "screen", "cursor"}},
        NotificationCase{"LastColumnInCROn", repeated('x', kColumns - 1), 1, "y",
                         {"cursor", "line 1", "screen", "cursor"}},
        NotificationCase{"LastColumnOfBottomRow", k124LineFeeds + repeated('x', kColumns - 1), 0, "y",
                         {"cursor", "screen", "cursor"}},
        NotificationCase{"LineFeed", "A", 0, "\n", {"line 1", "screen", "cursor"}},
        NotificationCase{"LineFeedThatShifts", k124LineFeeds, 0, "\n", {"screen", "cursor"}},
        NotificationCase{"CarriageReturnInCROff", "A", 0, "\r", {"cursor"}},
        NotificationCase{"CarriageReturnInCROn", "A", 1, "\r", {"cursor", "line 1", "screen", "cursor"}},
        NotificationCase{"Backspace", "AB", 0, "\b", {"cursor", "screen"}},
        NotificationCase{"BackspaceAtColumnZero", "", 0, "\b", {}}),
    [](const ::testing::TestParamInfo<NotificationCase>& info) { return std::string(info.param.name); });

TEST_F(ScreenBufferTest, EveryByteValueIsStoredOrBlanked) {
  for (int value = 0; value < 256; ++value) {
    if (value == 0x08 || value == 0x0A || value == 0x0D) continue;
    screen.clear();
    const std::uint8_t byte = static_cast<std::uint8_t>(value);
    screen.put(&byte, 1);
    const std::uint8_t expected = value < 0x20 ? ' ' : byte;
    EXPECT_EQ(screen.rowData(0)[0], expected) << "byte " << value;
    EXPECT_EQ(screen.column(), 1) << "byte " << value;
    EXPECT_EQ(screen.row(), 0) << "byte " << value;
  }
}

TEST_F(ScreenBufferTest, TermInCRIsReadAtEachByte) {
  // The option flips while one put call runs, between two carriage returns:
  // the first overwrites the row, the second starts a new one.
  observer.onEvent = [this](const std::string& event) {
    if (event == "cell 0 2") termInCR = 1;
  };
  put("AB\rXYZ\r");
  EXPECT_EQ(text(0), "XYZ");
  EXPECT_EQ(screen.row(), 1);
  EXPECT_EQ(screen.column(), 0);

  observer.onEvent = nullptr;
  termInCR = 0;
  put("D\rE");
  EXPECT_EQ(screen.row(), 1);
  EXPECT_EQ(text(1), "E");
}

TEST_F(ScreenBufferTest, LineFeedsBeyondTheBottomShiftTheGrid) {
  // Each line numbered; lines well past 125 keep shifting one row at a time.
  termInCR = 1;
  const int lines = 3 * kRows + 7;
  std::vector<std::string> advanced;
  for (int line = 0; line < lines; ++line) put("L" + std::to_string(line) + "\r");
  for (const auto& event : observer.events) {
    if (event.rfind("line ", 0) == 0) advanced.push_back(event);
  }
  ASSERT_EQ(advanced.size(), static_cast<std::size_t>(kRows - 1));
  EXPECT_EQ(advanced.back(), "line 124");

  EXPECT_EQ(screen.row(), kRows - 1);
  EXPECT_EQ(screen.column(), 0);
  const int oldestShown = lines - (kRows - 1);
  for (int index = 0; index < kRows - 1; ++index) {
    EXPECT_EQ(text(index), "L" + std::to_string(oldestShown + index)) << "row " << index;
  }
  EXPECT_EQ(row(kRows - 1), blankLine());
}

TEST_F(ScreenBufferTest, ShiftBlanksTheReusedBottomRow) {
  // The row that scrolls off the top held text; it must come back blank.
  put(kFullLine);
  put(repeated('\n', kRows - 1));
  EXPECT_EQ(text(0), "");
  EXPECT_EQ(row(kRows - 1), blankLine());
  put("Z");
  EXPECT_EQ(text(kRows - 1), "Z");
}

TEST_F(ScreenBufferTest, ClearBlanksEverythingAndRestartsAtTheTop) {
  put("first\r\n");
  put(repeated('\n', kRows + 3));
  put("last");
  observer.events.clear();

  screen.clear();
  EXPECT_EQ(observer.events, (std::vector<std::string>{"screen", "cursor"}));
  EXPECT_EQ(screen.row(), 0);
  EXPECT_EQ(screen.column(), 0);
  expectBlankFrom(0);

  observer.events.clear();
  put("A\nB");
  EXPECT_EQ(observer.events,
            (std::vector<std::string>{"cell 0 0", "cursor", "line 1", "screen", "cursor", "cell 1 1", "cursor"}));
  EXPECT_EQ(text(0), "A");
  EXPECT_EQ(text(1), " B");
}

TEST_F(ScreenBufferTest, WorksWithoutAnObserver) {
  screen.setObserver(nullptr);
  termInCR = 1;
  put(repeated('x', kColumns + 2) + "\b\r" + repeated('\n', kRows));
  EXPECT_EQ(screen.row(), kRows - 1);
  EXPECT_EQ(text(0), "");  // everything shifted out
  put("ok");
  EXPECT_EQ(text(kRows - 1), "ok");
}

}  // namespace
}  // namespace tevra

#include "core/Viewport.h"

#include <gtest/gtest.h>

#include <climits>
#include <ostream>

#include <string>
#include <vector>

#include "core/ScreenBuffer.h"
#include "tests/core/RecordingWindow.h"

namespace tevra {
namespace {

// A real buffer driving the view, the view driving a recording window.
class ViewportTest : public ::testing::Test {
 protected:
  ViewportTest() { screen.setObserver(&view); }

  void put(const std::string& bytes) {
    screen.put(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  }
  void lineFeeds(int count) { put(std::string(static_cast<std::size_t>(count), '\n')); }
  // Sets the two positions as a released thumb does.
  void scrollTo(int vpos, int hpos) {
    view.onVScroll(ScrollCode::ThumbPosition, vpos);
    view.onHScroll(ScrollCode::ThumbPosition, hpos);
    ASSERT_EQ(view.vpos(), vpos);
    ASSERT_EQ(view.hpos(), hpos);
  }
  Calls takeCalls() {
    Calls taken;
    taken.swap(window.calls);
    return taken;
  }

  int termInCR = 0;
  bool portOpen = true;
  ScreenBuffer screen{termInCR};
  RecordingWindow window;
  Viewport view{screen, window, [this] { return portOpen; }};
};

TEST_F(ViewportTest, StartsAtZeroWithoutCaret) {
  EXPECT_EQ(view.clientWidth(), 0);
  EXPECT_EQ(view.clientHeight(), 0);
  EXPECT_EQ(view.hmax(), 0);
  EXPECT_EQ(view.vmax(), 0);
  EXPECT_EQ(view.hpos(), 0);
  EXPECT_EQ(view.vpos(), 0);
  EXPECT_FALSE(view.caretShown());
}

struct SizeCase {
  const char* name;
  int cursorRow;
  int cx;
  int cy;
  int vmax;  // vpos equals it after a resize
  int hmax;
};

class ViewportSizeTest : public ViewportTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(ViewportSizeTest, PutsTheCursorRowAtTheBottomEdge) {
  const SizeCase& c = GetParam();
  lineFeeds(c.cursorRow);
  put("abc");
  view.onSize(600, 100);
  view.onHScroll(ScrollCode::Bottom, 0);  // a resize brings the view back to the left edge
  takeCalls();

  view.onSize(c.cx, c.cy);
  EXPECT_EQ(view.clientWidth(), c.cx);
  EXPECT_EQ(view.clientHeight(), c.cy);
  EXPECT_EQ(view.vmax(), c.vmax);
  EXPECT_EQ(view.vpos(), c.vmax);
  EXPECT_EQ(view.hmax(), c.hmax);
  EXPECT_EQ(view.hpos(), 0);
  const int rowOnScreen = screen.row() * kCellHeight - c.vmax;
  EXPECT_EQ(takeCalls(), (Calls{"pos V " + std::to_string(c.vmax) + " redraw",
                                "range V 0 " + std::to_string(c.vmax) + " noredraw", "pos H 0 redraw",
                                "range H 0 " + std::to_string(c.hmax) + " noredraw",
                                RecordingWindow::caretAt(3 * kCellWidth, rowOnScreen)}));
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, ViewportSizeTest,
    ::testing::Values(SizeCase{"ShortContent", 0, 600, 300, 1, 40},
                      SizeCase{"WiderThanCanvas", 0, 700, 300, 1, 1},
                      SizeCase{"ExactlyCanvasWide", 0, 640, 300, 1, 1},
                      SizeCase{"RowsBelowTheEdge", 30, 600, 300, 31 * 16 - 300, 40},
                      SizeCase{"ContentFillsExactly", 9, 600, 160, 1, 40},
                      SizeCase{"FullGrid", 124, 600, 400, 2000 - 400, 40},
                      SizeCase{"Minimised", 2, 0, 0, 48, 640}),
    [](const ::testing::TestParamInfo<SizeCase>& info) { return std::string(info.param.name); });

struct ScrollCase {
  const char* name;
  ScrollBar bar;
  ScrollCode code;
  int thumbPos;
  int startPos;
  int endPos;  // equal to startPos with no calls at all for the ignored codes
  bool ignored = false;
};

// 61 rows in a 600 x 300 client: vmax = 61 * 16 - 300 = 676, hmax = 40.
constexpr int kScrollVmax = 676;
constexpr int kScrollHmax = 40;

class ViewportScrollTest : public ViewportTest, public ::testing::WithParamInterface<ScrollCase> {};

TEST_P(ViewportScrollTest, MovesWithinTheRangeAndOnlyOnRelease) {
  const ScrollCase& c = GetParam();
  lineFeeds(60);
  view.onSize(600, 300);
  ASSERT_EQ(view.vmax(), kScrollVmax);
  ASSERT_EQ(view.hmax(), kScrollHmax);
  const bool vertical = c.bar == ScrollBar::Vertical;
  scrollTo(vertical ? c.startPos : 100, vertical ? 8 : c.startPos);
  const int otherPos = vertical ? view.hpos() : view.vpos();
  takeCalls();

  if (vertical) {
    view.onVScroll(c.code, c.thumbPos);
  } else {
    view.onHScroll(c.code, c.thumbPos);
  }

  EXPECT_EQ(vertical ? view.vpos() : view.hpos(), c.endPos);
  EXPECT_EQ(vertical ? view.hpos() : view.vpos(), otherPos);
  if (c.ignored) {
    EXPECT_EQ(takeCalls(), Calls{});
    return;
  }
  const int moved = c.endPos - c.startPos;
  const std::string scroll = vertical ? "scroll 0 " + std::to_string(-moved) : "scroll " + std::to_string(-moved) + " 0";
  EXPECT_EQ(takeCalls(),
            (Calls{scroll, "pos " + barName(c.bar) + " " + std::to_string(c.endPos) + " redraw",
                   RecordingWindow::caretAt(-view.hpos(), 60 * kCellHeight - view.vpos())}));
}

INSTANTIATE_TEST_SUITE_P(
    Codes, ViewportScrollTest,
    ::testing::Values(
        ScrollCase{"VLineUp", ScrollBar::Vertical, ScrollCode::LineUp, 0, 200, 184},
        ScrollCase{"VLineUpAtTop", ScrollBar::Vertical, ScrollCode::LineUp, 0, 10, 0},
        ScrollCase{"VLineDown", ScrollBar::Vertical, ScrollCode::LineDown, 0, 200, 216},
        ScrollCase{"VLineDownAtEnd", ScrollBar::Vertical, ScrollCode::LineDown, 0, kScrollVmax, kScrollVmax},
        ScrollCase{"VPageUp", ScrollBar::Vertical, ScrollCode::PageUp, 0, 400, 100},
        ScrollCase{"VPageUpPastTop", ScrollBar::Vertical, ScrollCode::PageUp, 0, 200, 0},
        ScrollCase{"VPageDown", ScrollBar::Vertical, ScrollCode::PageDown, 0, 200, 500},
        ScrollCase{"VPageDownPastEnd", ScrollBar::Vertical, ScrollCode::PageDown, 0, 500, kScrollVmax},
        ScrollCase{"VThumbPosition", ScrollBar::Vertical, ScrollCode::ThumbPosition, 333, 200, 333},
        ScrollCase{"VThumbPositionPastEnd", ScrollBar::Vertical, ScrollCode::ThumbPosition, 5000, 200, kScrollVmax},
        ScrollCase{"VThumbPositionNegative", ScrollBar::Vertical, ScrollCode::ThumbPosition, -5, 200, 0},
        ScrollCase{"VThumbPositionIntMin", ScrollBar::Vertical, ScrollCode::ThumbPosition, INT_MIN, 200, 0},
        ScrollCase{"VThumbPositionIntMax", ScrollBar::Vertical, ScrollCode::ThumbPosition, INT_MAX, 200, kScrollVmax},
        ScrollCase{"VTop", ScrollBar::Vertical, ScrollCode::Top, 0, 200, 0},
        ScrollCase{"VBottom", ScrollBar::Vertical, ScrollCode::Bottom, 0, 200, kScrollVmax},
        ScrollCase{"VThumbTrackIgnored", ScrollBar::Vertical, ScrollCode::ThumbTrack, 333, 200, 200, true},
        ScrollCase{"VEndScrollIgnored", ScrollBar::Vertical, ScrollCode::EndScroll, 0, 200, 200, true},
        ScrollCase{"HLineUp", ScrollBar::Horizontal, ScrollCode::LineUp, 0, 16, 8},
        ScrollCase{"HLineUpAtLeft", ScrollBar::Horizontal, ScrollCode::LineUp, 0, 0, 0},
        ScrollCase{"HLineDown", ScrollBar::Horizontal, ScrollCode::LineDown, 0, 16, 24},
        ScrollCase{"HLineDownPastEnd", ScrollBar::Horizontal, ScrollCode::LineDown, 0, 36, kScrollHmax},
        ScrollCase{"HPageUp", ScrollBar::Horizontal, ScrollCode::PageUp, 0, 30, 0},
        ScrollCase{"HPageDown", ScrollBar::Horizontal, ScrollCode::PageDown, 0, 0, kScrollHmax},
        ScrollCase{"HThumbPosition", ScrollBar::Horizontal, ScrollCode::ThumbPosition, 30, 16, 30},
        ScrollCase{"HTop", ScrollBar::Horizontal, ScrollCode::Top, 0, 16, 0},
        ScrollCase{"HBottom", ScrollBar::Horizontal, ScrollCode::Bottom, 0, 16, kScrollHmax},
        ScrollCase{"HThumbTrackIgnored", ScrollBar::Horizontal, ScrollCode::ThumbTrack, 30, 16, 16, true}),
    [](const ::testing::TestParamInfo<ScrollCase>& info) { return std::string(info.param.name); });

TEST_F(ViewportTest, FollowsTheCursorOneRowAtATime) {
  // A 160-pixel client holds rows 0-9 exactly; the view starts at the top.
  view.onSize(640, 160);
  view.onVScroll(ScrollCode::Top, 0);
  ASSERT_EQ(view.vpos(), 0);

  struct Step {
    int row;
    int vmax;
    int vpos;
  };
  const Step steps[] = {{1, 1, 0},   {5, 1, 0},    {8, 1, 0},    {9, 1, 16},
                        {10, 16, 32}, {11, 32, 48}, {12, 48, 64}};
  for (const Step& step : steps) {
    while (screen.row() < step.row) lineFeeds(1);
    EXPECT_EQ(view.vmax(), step.vmax) << "row " << step.row;
    EXPECT_EQ(view.vpos(), step.vpos) << "row " << step.row;
  }

  // One row past the range: the next line down moves back up to vmax.
  takeCalls();
  view.onVScroll(ScrollCode::LineDown, 0);
  EXPECT_EQ(view.vpos(), 48);
  EXPECT_EQ(takeCalls(), (Calls{"scroll 0 16", "pos V 48 redraw", RecordingWindow::caretAt(0, 12 * 16 - 48)}));
}

TEST_F(ViewportTest, ViewAtTheBottomKeepsFollowingNewLines) {
  // After a resize the cursor row ends at the bottom edge; each new row starts
  // exactly there and the view follows it, staying at vmax.
  lineFeeds(20);
  view.onSize(640, 160);
  ASSERT_EQ(view.vpos(), 21 * 16 - 160);
  for (int row = 21; row <= 24; ++row) {
    lineFeeds(1);
    EXPECT_EQ(view.vmax(), (row + 1) * 16 - 160) << "row " << row;
    EXPECT_EQ(view.vpos(), view.vmax()) << "row " << row;
  }
}

TEST_F(ViewportTest, LineFeedAtTheBottomEdgeScrollsThenRepaints) {
  view.onSize(640, 160);
  view.onVScroll(ScrollCode::Top, 0);
  lineFeeds(4);
  takeCalls();
  lineFeeds(1);  // row 5: well inside the client
  EXPECT_EQ(takeCalls(), (Calls{"range V 0 1 redraw", "invalidateAll erase", RecordingWindow::caretAt(0, 80)}));

  lineFeeds(3);
  takeCalls();
  lineFeeds(1);  // row 9 ends exactly at the bottom edge
  EXPECT_EQ(takeCalls(), (Calls{"range V 0 1 redraw", "scroll 0 -16", "pos V 16 redraw", "invalidateAll erase",
                                RecordingWindow::caretAt(0, 9 * 16 - 16)}));
}

TEST_F(ViewportTest, ViewScrolledUpStaysWhereItIs) {
  view.onSize(640, 160);
  lineFeeds(30);
  view.onVScroll(ScrollCode::Top, 0);
  takeCalls();
  lineFeeds(1);
  EXPECT_EQ(view.vpos(), 0);
  EXPECT_EQ(view.vmax(), 32 * 16 - 160);
  EXPECT_EQ(takeCalls(),
            (Calls{"range V 0 352 redraw", "invalidateAll erase", RecordingWindow::caretAt(0, 31 * 16)}));
}

TEST_F(ViewportTest, FullGridNoLongerMovesTheView) {
  view.onSize(600, 400);
  lineFeeds(kRows - 1);
  const int vpos = view.vpos();
  EXPECT_EQ(view.vmax(), kRows * kCellHeight - 400);
  takeCalls();

  lineFeeds(50);
  put(std::string(kColumns, 'w'));
  EXPECT_EQ(view.vmax(), kRows * kCellHeight - 400);
  EXPECT_EQ(view.vpos(), vpos);
  for (const std::string& call : takeCalls()) {
    EXPECT_TRUE(call.rfind("invalidate", 0) == 0 || call.rfind("caret", 0) == 0) << call;
  }
}

TEST_F(ViewportTest, WrittenCellsAreRedrawnInPlaceAndTheCaretFollows) {
  view.onSize(600, 300);  // vpos 1
  view.onHScroll(ScrollCode::ThumbPosition, 16);
  put("AB");
  takeCalls();

  put("C");
  EXPECT_EQ(takeCalls(), (Calls{"invalidate 0 -1 8 15 noerase", RecordingWindow::caretAt(8, -1)}));
  put("\b");
  EXPECT_EQ(takeCalls(), (Calls{RecordingWindow::caretAt(0, -1), "invalidateAll erase"}));
  put("\r");
  EXPECT_EQ(takeCalls(), (Calls{RecordingWindow::caretAt(-16, -1)}));
}

TEST_F(ViewportTest, WrapInTheLastColumnRepaintsTheWholeScreen) {
  view.onSize(700, 300);
  put(std::string(kColumns - 1, 'x'));
  takeCalls();
  put("y");
  EXPECT_EQ(takeCalls(), (Calls{RecordingWindow::caretAt(0, -1), "range V 0 1 redraw", "invalidateAll erase",
                                RecordingWindow::caretAt(0, 15)}));
}

TEST_F(ViewportTest, ClearResetsTheScrollStateBeforeTheRepaint) {
  lineFeeds(60);
  put("abc");
  view.onSize(600, 300);
  view.onHScroll(ScrollCode::Bottom, 0);
  takeCalls();

  clearScreen(view, screen);
  EXPECT_EQ(view.vpos(), 0);
  EXPECT_EQ(view.hpos(), 0);
  EXPECT_EQ(view.vmax(), 1);
  EXPECT_EQ(view.hmax(), 40);
  EXPECT_EQ(takeCalls(), (Calls{"range V 0 1 redraw", "pos V 0 redraw", "pos H 0 redraw", "invalidateAll erase",
                                RecordingWindow::caretAt(0, 0)}));
}

enum class BeforeClear { Blank, Following, ScrolledUpAndRight, FullGridScrolled, PortClosed };

void PrintTo(BeforeClear state, std::ostream* out) {
  const char* names[] = {"a blank screen", "the view following the cursor", "scrolled up and right by the user",
                         "a full grid that has scrolled", "the port closed, no caret"};
  *out << names[static_cast<int>(state)];
}

class ClearScreenTest : public ViewportTest, public ::testing::WithParamInterface<BeforeClear> {
 protected:
  void enter(BeforeClear state) {
    switch (state) {
      case BeforeClear::Blank:
        break;
      case BeforeClear::Following:
        lineFeeds(60);
        put("abc");
        break;
      case BeforeClear::ScrolledUpAndRight:
        lineFeeds(60);
        view.onVScroll(ScrollCode::Top, 0);
        view.onHScroll(ScrollCode::Bottom, 0);
        break;
      case BeforeClear::FullGridScrolled:
        for (int i = 0; i < 300; ++i) put("line " + std::to_string(i) + "\r\n");
        break;
      case BeforeClear::PortClosed:
        portOpen = false;
        view.destroyCaret();
        put("text");
        break;
    }
  }
};

// Whatever the state, the clear ends blank and homed with the view at the
// start, and the window hears of the reset before the repaint.
TEST_P(ClearScreenTest, EndsBlankAtTheStartWithTheResetBeforeTheRepaint) {
  view.onSize(600, 300);
  view.createCaret();
  enter(GetParam());
  takeCalls();

  clearScreen(view, screen);

  EXPECT_EQ(takeCalls(), (Calls{"range V 0 1 redraw", "pos V 0 redraw", "pos H 0 redraw", "invalidateAll erase",
                                RecordingWindow::caretAt(0, 0)}));
  EXPECT_EQ(view.vpos(), 0);
  EXPECT_EQ(view.hpos(), 0);
  EXPECT_EQ(view.vmax(), 1);
  EXPECT_EQ(view.caretShown(), GetParam() != BeforeClear::PortClosed) << "the clear leaves the caret alone";
  EXPECT_EQ(screen.row(), 0);
  EXPECT_EQ(screen.column(), 0);
  for (int row = 0; row < kRows; ++row) {
    ASSERT_EQ(std::string(reinterpret_cast<const char*>(screen.rowData(row)), kColumns), std::string(kColumns, ' '))
        << "row " << row;
  }
}

INSTANTIATE_TEST_SUITE_P(States, ClearScreenTest,
                         ::testing::Values(BeforeClear::Blank, BeforeClear::Following, BeforeClear::ScrolledUpAndRight,
                                           BeforeClear::FullGridScrolled, BeforeClear::PortClosed));

TEST_F(ViewportTest, CaretExistsOnlyWhileCreatedWithThePortOpen) {
  lineFeeds(2);
  put("ab");
  view.onSize(600, 300);  // vpos 1
  takeCalls();

  struct Step {
    const char* action;
    bool portOpen;
    bool create;
    Calls calls;
    bool shownAfter;
  };
  const Step steps[] = {
      {"create, port closed", false, true, {}, false},
      {"destroy, none exists", false, false, {}, false},
      {"create, port open", true, true, {"createCaret 8 16", "caret 16 31", "showCaret"}, true},
      {"create again", true, true, {}, true},
      {"create, port closed since", false, true, {}, true},
      {"destroy", false, false, {"hideCaret", "destroyCaret"}, false},
      {"destroy again", false, false, {}, false},
  };
  for (const Step& step : steps) {
    portOpen = step.portOpen;
    if (step.create) {
      view.createCaret();
    } else {
      view.destroyCaret();
    }
    EXPECT_EQ(takeCalls(), step.calls) << step.action;
    EXPECT_EQ(view.caretShown(), step.shownAfter) << step.action;
  }
}

TEST_F(ViewportTest, CaretPositionIsTheCursorCellMinusTheScroll) {
  lineFeeds(40);
  put("abcde");
  view.onSize(600, 300);
  scrollTo(100, 24);
  const Point at = view.caretPos();
  EXPECT_EQ(at.x, 5 * 8 - 24);
  EXPECT_EQ(at.y, 40 * 16 - 100);
}

TEST_F(ViewportTest, PageDownWithAHugeClientStopsAtTheEnd) {
  view.onSize(0, INT_MAX);
  view.onVScroll(ScrollCode::Top, 0);
  view.onVScroll(ScrollCode::PageDown, 0);
  EXPECT_EQ(view.vpos(), view.vmax());
}

struct VisibleCase {
  const char* name;
  int cursorRow;
  int clientHeight;
  int vpos;
  int hpos;
  Rect clientRect;
  CellRange expected;
};

class ViewportVisibleCellsTest : public ViewportTest, public ::testing::WithParamInterface<VisibleCase> {};

TEST_P(ViewportVisibleCellsTest, CoversTheClientUpToTheCursorRow) {
  const VisibleCase& c = GetParam();
  lineFeeds(c.cursorRow);
  view.onSize(600, c.clientHeight);
  scrollTo(c.vpos, c.hpos);
  const CellRange range = view.visibleCells(c.clientRect);
  EXPECT_EQ(range.firstRow, c.expected.firstRow);
  EXPECT_EQ(range.lastRow, c.expected.lastRow);
  EXPECT_EQ(range.firstCol, c.expected.firstCol);
  EXPECT_EQ(range.lastCol, c.expected.lastCol);
}

INSTANTIATE_TEST_SUITE_P(
    Repaints, ViewportVisibleCellsTest,
    ::testing::Values(
        VisibleCase{"ScrolledTo40StartsAtRow2", 60, 300, 40, 0, {0, 0, 600, 300}, {2, 21, 0, 75}},
        VisibleCase{"ScrolledToBottomRight", 60, 300, 676, 40, {0, 0, 600, 300}, {42, 60, 5, 79}},
        VisibleCase{"StopsAtTheCursorRow", 10, 300, 0, 0, {0, 0, 600, 300}, {0, 10, 0, 75}},
        VisibleCase{"RectBelowTheCursorRowDrawsIt", 60, 3000, 0, 0, {0, 2000, 600, 3000}, {60, 60, 0, 75}},
        VisibleCase{"NegativeEdgesClampToZero", 60, 300, 0, 0, {-20, -40, 100, 100}, {0, 6, 0, 12}},
        VisibleCase{"RightEdgeBeyondCanvas", 60, 300, 16, 40, {0, 0, 2000, 300}, {1, 19, 5, 79}},
        VisibleCase{"EdgesAtTheEndsOfInt", 60, 300, 40, 16, {INT_MIN, INT_MAX, INT_MAX, INT_MAX}, {60, 60, 0, 79}}),
    [](const ::testing::TestParamInfo<VisibleCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tevra

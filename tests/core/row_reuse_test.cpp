// Which rows a repaint keeps from the picture it drew last time.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/RowReuse.h"

namespace tevra {
namespace {

RowReuse::RowText rowOf(const std::string& text) {
  RowReuse::RowText row;
  row.fill(' ');
  std::copy(text.begin(), text.end(), row.begin());
  return row;
}

// Rows "line N" for N in [first, first + count), then `blanks` blank rows.
std::vector<RowReuse::RowText> lines(int first, int count, int blanks = 0) {
  std::vector<RowReuse::RowText> rows;
  for (int n = first; n < first + count; ++n) rows.push_back(rowOf("line " + std::to_string(n)));
  for (int i = 0; i < blanks; ++i) rows.push_back(rowOf(""));
  return rows;
}

std::vector<bool> drawOnly(std::size_t count, std::vector<std::size_t> slots) {
  std::vector<bool> draw(count, false);
  for (std::size_t slot : slots) draw[slot] = true;
  return draw;
}

TEST(RowReuseTest, FirstPictureAndForgottenOneDrawEveryRow) {
  RowReuse reuse;
  RowReuse::Plan plan = reuse.plan(lines(0, 5));
  EXPECT_EQ(plan.moveUp, 0);
  EXPECT_EQ(plan.draw, std::vector<bool>(5, true));

  reuse.forget();
  plan = reuse.plan(lines(0, 5));
  EXPECT_EQ(plan.draw, std::vector<bool>(5, true));

  // A window of another height: the old picture is the wrong size.
  plan = reuse.plan(lines(0, 6));
  EXPECT_EQ(plan.draw, std::vector<bool>(6, true));
}

TEST(RowReuseTest, KeepsWhatMovedAndDrawsOnlyWhatIsNew) {
  struct Case {
    const char* what;
    std::vector<RowReuse::RowText> before;
    std::vector<RowReuse::RowText> after;
    int moveUp;
    std::vector<bool> draw;
  };
  std::vector<RowReuse::RowText> oneChanged = lines(0, 6);
  oneChanged[4] = rowOf("line 4 and more");
  const std::vector<Case> cases = {
      {"nothing changed", lines(0, 6), lines(0, 6), 0, drawOnly(6, {})},
      {"one row written", lines(0, 6), oneChanged, 0, drawOnly(6, {4})},
      {"three lines scrolled in at the bottom", lines(0, 6), lines(3, 6), 3, drawOnly(6, {3, 4, 5})},
      {"the view scrolled back two rows", lines(10, 6), lines(8, 6), -2, drawOnly(6, {0, 1})},
      {"a new line below the text, blanks under it", lines(0, 3, 3), lines(0, 4, 2), 0, drawOnly(6, {3})},
      {"everything new", lines(0, 6), lines(20, 6), 0, drawOnly(6, {0, 1, 2, 3, 4, 5})},
  };
  for (const Case& c : cases) {
    RowReuse reuse;
    reuse.plan(c.before);
    const RowReuse::Plan plan = reuse.plan(c.after);
    EXPECT_EQ(plan.moveUp, c.moveUp) << c.what;
    EXPECT_EQ(plan.draw, c.draw) << c.what;
  }
}

// Each plan starts from the picture the last one left, not from the first.
TEST(RowReuseTest, FollowsAStreamFrameAfterFrame) {
  RowReuse reuse;
  reuse.plan(lines(0, 8));
  for (int first = 2; first <= 20; first += 2) {
    const RowReuse::Plan plan = reuse.plan(lines(first, 8));
    EXPECT_EQ(plan.moveUp, 2) << "frame from line " << first;
    EXPECT_EQ(plan.draw, drawOnly(8, {6, 7})) << "frame from line " << first;
  }
}

}  // namespace
}  // namespace tevra

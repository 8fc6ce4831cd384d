// Drives a ScreenBuffer and its Viewport with an operation stream decoded
// from the fuzz input: bytes, the TermInCR option, client sizes, scroll
// requests, clears, caret life and repaint ranges. A window double checks
// every call the view makes; after every operation the invariants of grid and
// view are checked, and the grid is compared with a plain reference model.
#include <algorithm>
#include <array>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "FuzzCheck.h"
#include "core/ScreenBuffer.h"
#include "core/Viewport.h"

namespace tevra {
namespace {

// The ranges when the client area is empty: the whole grid, the whole canvas.
constexpr int kMaxVmax = kRows * kCellHeight;
constexpr int kMaxHmax = kCanvasWidth;
constexpr int kFollowSlack = kCellHeight;  // following the cursor may pass vmax by one row

// Reads the fuzz input front to back; an exhausted input reads as zeros.
class InputReader {
 public:
  InputReader(const std::uint8_t* data, std::size_t size) : next_(data), end_(data + size) {}

  bool done() const { return next_ == end_; }

  std::uint8_t byte() { return done() ? 0 : *next_++; }

  std::int32_t int32() {
    std::uint32_t value = 0;
    for (int shift = 0; shift < 32; shift += 8) value |= std::uint32_t{byte()} << shift;
    return static_cast<std::int32_t>(value);
  }

  // Up to `count` bytes, as many as are left.
  std::pair<const std::uint8_t*, std::size_t> bytes(std::size_t count) {
    count = std::min(count, static_cast<std::size_t>(end_ - next_));
    const std::uint8_t* start = next_;
    next_ += count;
    return {start, count};
  }

  // Values around the view's boundaries: a cell, a row, the canvas width,
  // the grid height.
  int boundaryValue() {
    static constexpr int kBoundaries[] = {0,   1,   7,   8,   9,   15,  16,   17,   159,  160,
                                          161, 300, 600, 639, 640, 641, 1984, 1999, 2000, 2001};
    return kBoundaries[byte() % std::size(kBoundaries)];
  }

  // A client-area extent: small, at a boundary, or huge (never negative).
  int extent() {
    switch (byte() % 4) {
      case 0:
        return byte() | (byte() << 8);
      case 1:
        return boundaryValue();
      case 2:
        return INT_MAX - byte();
      default:
        return int32() & INT_MAX;
    }
  }

  // Any int: small of either sign, at a boundary, at the ends of int, or raw.
  int anyInt() {
    switch (byte() % 5) {
      case 0:
        return static_cast<std::int16_t>(byte() | (byte() << 8));
      case 1:
        return boundaryValue();
      case 2:
        return -boundaryValue();
      case 3:
        return (byte() & 1) ? INT_MAX - byte() : INT_MIN + byte();
      default:
        return int32();
    }
  }

 private:
  const std::uint8_t* next_;
  const std::uint8_t* const end_;
};

// The window the view draws on: checks each call against the view's own
// state at that moment and keeps what the window would show.
class CheckingWindow : public ViewWindow {
 public:
  CheckingWindow(const ScreenBuffer& screen, const bool& portOpen)
      : screen_(screen), portOpen_(portOpen) {}
  void watch(const Viewport& view) { view_ = &view; }

  void setScrollRange(ScrollBar bar, int min, int max, bool) override {
    FUZZ_CHECK(min == 0);
    FUZZ_CHECK(max >= 1);
    FUZZ_CHECK(max <= (bar == ScrollBar::Vertical ? kMaxVmax : kMaxHmax));
    FUZZ_CHECK(max == viewMax(bar));
    rangeMax[index(bar)] = max;
  }

  void setScrollPos(ScrollBar bar, int pos, bool redraw) override {
    FUZZ_CHECK(redraw);
    FUZZ_CHECK(pos == viewPos(bar));
    FUZZ_CHECK(pos >= 0);
    FUZZ_CHECK(pos <= viewMax(bar) + (bar == ScrollBar::Vertical ? kFollowSlack : 0));
    position[index(bar)] = pos;
  }

  void scrollContents(int dx, int dy) override {
    FUZZ_CHECK(dx == 0 || dy == 0);
    scrolledX += dx;
    scrolledY += dy;
  }

  // Only ever the cell just written, left of the cursor in the cursor row.
  void invalidateRect(const Rect& rect, bool erase) override {
    FUZZ_CHECK(!erase);
    FUZZ_CHECK(rect.right - rect.left == kCellWidth);
    FUZZ_CHECK(rect.bottom - rect.top == kCellHeight);
    const int column = (rect.left + view_->hpos()) / kCellWidth;
    const int row = (rect.top + view_->vpos()) / kCellHeight;
    FUZZ_CHECK(column * kCellWidth == rect.left + view_->hpos());
    FUZZ_CHECK(row * kCellHeight == rect.top + view_->vpos());
    FUZZ_CHECK(row == screen_.row());
    FUZZ_CHECK(column == screen_.column() - 1);
    invalidatedCells.push_back({row, column});
  }

  void invalidateAll(bool erase) override {
    FUZZ_CHECK(erase);
    invalidatedAll = true;
  }

  void createCaret(int width, int height) override {
    FUZZ_CHECK(width == kCellWidth && height == kCellHeight);
    FUZZ_CHECK(!caretExists);
    FUZZ_CHECK(portOpen_);
    caretExists = true;
  }

  void setCaretPos(int x, int y) override {
    const Point at = view_->caretPos();
    FUZZ_CHECK(x == at.x && y == at.y);
    caret = at;
    caretStale = false;
  }

  void showCaret() override {
    FUZZ_CHECK(caretExists && !caretVisible);
    caretVisible = true;
  }

  void hideCaret() override {
    FUZZ_CHECK(caretExists && caretVisible);
    caretVisible = false;
  }

  void destroyCaret() override {
    FUZZ_CHECK(caretExists);
    caretExists = false;
  }

  // What one operation did to the window.
  void startOperation() {
    scrolledX = scrolledY = 0;
    invalidatedAll = false;
    invalidatedCells.clear();
  }

  static int index(ScrollBar bar) { return bar == ScrollBar::Vertical ? 1 : 0; }

  std::array<int, 2> rangeMax{};
  std::array<int, 2> position{};
  bool caretExists = false;
  bool caretVisible = false;
  Point caret;
  // Until the next caret move: the view reset without the buffer's clear.
  bool caretStale = false;
  long long scrolledX = 0;
  long long scrolledY = 0;
  bool invalidatedAll = false;
  std::vector<std::pair<int, int>> invalidatedCells;

 private:
  int viewMax(ScrollBar bar) const {
    return bar == ScrollBar::Vertical ? view_->vmax() : view_->hmax();
  }
  int viewPos(ScrollBar bar) const {
    return bar == ScrollBar::Vertical ? view_->vpos() : view_->hpos();
  }

  const ScreenBuffer& screen_;
  const bool& portOpen_;
  const Viewport* view_ = nullptr;
};

// Passes the buffer's notifications on to the view through virtual calls: the
// buffer takes a faster path when its observer is exactly a Viewport, and both
// paths must show the same.
class ForwardingObserver : public ScreenObserver {
 public:
  explicit ForwardingObserver(Viewport& view) : view_(view) {}
  void cellWritten(int row, int column) override { view_.cellWritten(row, column); }
  void cursorMoved() override { view_.cursorMoved(); }
  void screenChanged() override { view_.screenChanged(); }
  void lineAdvanced(int row) override { view_.lineAdvanced(row); }

 private:
  Viewport& view_;
};

using Grid = std::array<std::uint8_t, kRows * kColumns>;

// The byte rules written the plain way, row by row with no ring, to hold
// the buffer's fast paths against.
class ReferenceScreen {
 public:
  ReferenceScreen() { grid_.fill(' '); }

  void put(const std::uint8_t* bytes, std::size_t length, int termInCR) {
    for (std::size_t i = 0; i < length; ++i) put(bytes[i], termInCR);
  }

  void clear() { *this = ReferenceScreen(); }

  const Grid& grid() const { return grid_; }
  int row() const { return row_; }
  int column() const { return column_; }

 private:
  void put(std::uint8_t byte, int termInCR) {
    if (byte == '\b') {
      if (column_ > 0) cell(row_, --column_) = ' ';
    } else if (byte == '\n') {
      lineFeed();
    } else if (byte == '\r') {
      column_ = 0;
      if (termInCR != 0) lineFeed();
    } else {
      cell(row_, column_) = byte < 0x20 ? ' ' : byte;
      if (++column_ == kColumns) {
        column_ = 0;
        lineFeed();
      }
    }
  }

  void lineFeed() {
    if (++row_ == kRows) {
      std::memmove(&cell(0, 0), &cell(1, 0), (kRows - 1) * kColumns);
      row_ = kRows - 1;
    }
    std::memset(&cell(row_, 0), ' ', kColumns);
  }

  std::uint8_t& cell(int row, int column) {
    return grid_[static_cast<std::size_t>(row * kColumns + column)];
  }

  Grid grid_;
  int row_ = 0;
  int column_ = 0;
};

Grid snapshot(const ScreenBuffer& screen) {
  Grid grid;
  for (int row = 0; row < kRows; ++row) {
    std::memcpy(grid.data() + row * kColumns, screen.rowData(row), kColumns);
  }
  return grid;
}

// One input byte picks the operation (modulo Count); its arguments follow.
// The seed inputs spell operations as 0..Count-1: new ones go at the end.
enum class Op : std::uint8_t {
  PutBytes,
  PutRun,
  SetTermInCR,
  Size,
  VScroll,
  HScroll,
  Clear,
  ResetView,
  TogglePort,
  CreateCaret,
  DestroyCaret,
  VisibleCells,
  VisibleClient,
  SwitchObserver,
  Count
};

class Session {
 public:
  Session() : window_(screen_, portOpen_), view_(screen_, window_, [this] { return portOpen_; }) {
    window_.watch(view_);
    screen_.setObserver(&view_);
  }

  void run(InputReader& input) {
    while (!input.done()) {
      const auto op = static_cast<Op>(input.byte() % static_cast<std::uint8_t>(Op::Count));
      const int hposBefore = view_.hpos();
      const int vposBefore = view_.vpos();
      const Grid before = isPut(op) ? snapshot(screen_) : Grid{};
      window_.startOperation();
      perform(op, input);
      checkInvariants();
      if (isPut(op)) checkRedrawn(before);
      if (isPut(op) || op == Op::Clear) checkAgainstReference();
      if (op == Op::Size || op == Op::Clear || op == Op::ResetView) {
        FUZZ_CHECK(window_.scrolledX == 0 && window_.scrolledY == 0);
      } else {
        // The contents moved by exactly as much as the view did.
        FUZZ_CHECK(window_.scrolledX == hposBefore - view_.hpos());
        FUZZ_CHECK(window_.scrolledY == vposBefore - view_.vpos());
      }
      if (op == Op::Clear) FUZZ_CHECK(window_.invalidatedAll);
    }
  }

 private:
  static bool isPut(Op op) { return op == Op::PutBytes || op == Op::PutRun; }

  void perform(Op op, InputReader& input) {
    switch (op) {
      case Op::PutBytes: {
        const auto [bytes, count] = input.bytes(input.byte());
        screen_.put(bytes, count);
        reference_.put(bytes, count, termInCR_);
        break;
      }
      case Op::PutRun: {
        // Long runs of one byte reach the bottom of the grid and the wrap fast.
        const std::size_t count = std::size_t{input.byte()} * 4 + 1;
        const std::vector<std::uint8_t> run(count, input.byte());
        screen_.put(run.data(), run.size());
        reference_.put(run.data(), run.size(), termInCR_);
        break;
      }
      case Op::SetTermInCR:
        termInCR_ = input.byte() % 3 == 0 ? 0 : input.byte();
        break;
      case Op::Size: {
        const int width = input.extent();
        view_.onSize(width, input.extent());
        hmaxSet_ = vmaxSet_ = true;
        break;
      }
      case Op::VScroll:
      case Op::HScroll: {
        // One past the last code stands for any code the view does not know.
        const auto code =
            static_cast<ScrollCode>(input.byte() % (static_cast<int>(ScrollCode::EndScroll) + 2));
        const int thumbPos = input.anyInt();
        if (op == Op::VScroll) {
          view_.onVScroll(code, thumbPos);
        } else {
          view_.onHScroll(code, thumbPos);
        }
        break;
      }
      case Op::Clear:
        view_.resetForClear();
        screen_.clear();
        reference_.clear();
        vmaxSet_ = true;
        break;
      case Op::ResetView:
        view_.resetForClear();
        vmaxSet_ = true;
        window_.caretStale = true;
        break;
      case Op::TogglePort:
        portOpen_ = !portOpen_;
        break;
      case Op::CreateCaret: {
        const bool wasShown = view_.caretShown();
        view_.createCaret();
        FUZZ_CHECK(view_.caretShown() == (wasShown || portOpen_));
        break;
      }
      case Op::DestroyCaret:
        view_.destroyCaret();
        FUZZ_CHECK(!view_.caretShown());
        break;
      case Op::VisibleCells: {
        Rect rect;
        rect.left = input.anyInt();
        rect.top = input.anyInt();
        rect.right = input.anyInt();
        rect.bottom = input.anyInt();
        checkRange(view_.visibleCells(rect));
        break;
      }
      case Op::VisibleClient: {
        const CellRange range =
            view_.visibleCells({0, 0, view_.clientWidth(), view_.clientHeight()});
        checkRange(range);
        // The repaint of the whole client area starts at the top visible row.
        FUZZ_CHECK(range.firstRow == std::min(view_.vpos() / kCellHeight, screen_.row()));
        FUZZ_CHECK(range.firstCol == std::min(view_.hpos() / kCellWidth, kColumns - 1));
        break;
      }
      case Op::SwitchObserver:
        viewDirectly_ = !viewDirectly_;
        screen_.setObserver(viewDirectly_ ? static_cast<ScreenObserver*>(&view_) : &forwarding_);
        break;
      case Op::Count:
        break;
    }
  }

  void checkRange(const CellRange& range) const {
    FUZZ_CHECK(range.firstRow >= 0 && range.firstRow <= screen_.row());
    FUZZ_CHECK(range.lastRow <= screen_.row());
    FUZZ_CHECK(range.firstCol >= 0 && range.firstCol < kColumns);
    FUZZ_CHECK(range.lastCol < kColumns);
  }

  void checkAgainstReference() const {
    FUZZ_CHECK(screen_.row() == reference_.row() && screen_.column() == reference_.column());
    FUZZ_CHECK(snapshot(screen_) == reference_.grid());
  }

  void checkInvariants() const {
    FUZZ_CHECK(screen_.column() >= 0 && screen_.column() < kColumns);
    FUZZ_CHECK(screen_.row() >= 0 && screen_.row() < kRows);
    static const std::array<std::uint8_t, kColumns> kBlankRow = [] {
      std::array<std::uint8_t, kColumns> row;
      row.fill(' ');
      return row;
    }();
    for (int row = screen_.row() + 1; row < kRows; ++row) {
      FUZZ_CHECK(std::memcmp(screen_.rowData(row), kBlankRow.data(), kColumns) == 0);
    }

    FUZZ_CHECK(view_.hpos() >= 0 && view_.hpos() <= view_.hmax());
    FUZZ_CHECK(view_.vpos() >= 0 && view_.vpos() <= view_.vmax() + kFollowSlack);
    if (hmaxSet_) FUZZ_CHECK(view_.hmax() >= 1);
    if (vmaxSet_) FUZZ_CHECK(view_.vmax() >= 1);

    // The window shows what the view believes.
    const int h = CheckingWindow::index(ScrollBar::Horizontal);
    const int v = CheckingWindow::index(ScrollBar::Vertical);
    FUZZ_CHECK(window_.rangeMax[h] == view_.hmax() && window_.rangeMax[v] == view_.vmax());
    FUZZ_CHECK(window_.position[h] == view_.hpos() && window_.position[v] == view_.vpos());
    FUZZ_CHECK(window_.caretExists == view_.caretShown());
    FUZZ_CHECK(window_.caretVisible == view_.caretShown());
    if (!window_.caretStale) {
      const Point at = view_.caretPos();
      FUZZ_CHECK(window_.caret.x == at.x && window_.caret.y == at.y);
    }
  }

  // Every cell a put changed was redrawn: by its own rectangle or by the
  // whole client area.
  void checkRedrawn(const Grid& before) const {
    if (window_.invalidatedAll) return;
    const auto& redrawn = window_.invalidatedCells;
    for (int row = 0; row < kRows; ++row) {
      const std::uint8_t* old = before.data() + row * kColumns;
      const std::uint8_t* now = screen_.rowData(row);
      if (std::memcmp(old, now, kColumns) == 0) continue;
      for (int column = 0; column < kColumns; ++column) {
        if (old[column] == now[column]) continue;
        FUZZ_CHECK(std::find(redrawn.begin(), redrawn.end(), std::pair{row, column}) !=
                   redrawn.end());
      }
    }
  }

  int termInCR_ = 0;
  ReferenceScreen reference_;
  bool portOpen_ = false;
  bool hmaxSet_ = false;
  bool vmaxSet_ = false;
  ScreenBuffer screen_{termInCR_};
  CheckingWindow window_;
  Viewport view_;
  ForwardingObserver forwarding_{view_};
  bool viewDirectly_ = true;
};

}  // namespace
}  // namespace tevra

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  tevra::InputReader input(data, size);
  tevra::Session session;
  session.run(input);
  return 0;
}

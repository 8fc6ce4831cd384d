#include "core/Viewport.h"

#include <algorithm>
#include <utility>

namespace tevra {

namespace {

// A scroll-bar request as a change of position, or nothing for the codes
// that do not move the view (the view moves only when the thumb is released).
// Wide arithmetic: a thumb position or page may lie anywhere in int's range.
bool requestedChange(ScrollCode code, int thumbPos, int line, int page, int pos, int max,
                     long long& change) {
  switch (code) {
    case ScrollCode::LineUp: change = -line; return true;
    case ScrollCode::LineDown: change = line; return true;
    case ScrollCode::PageUp: change = -page; return true;
    case ScrollCode::PageDown: change = page; return true;
    case ScrollCode::ThumbPosition: change = static_cast<long long>(thumbPos) - pos; return true;
    case ScrollCode::Top: change = -pos; return true;
    case ScrollCode::Bottom: change = max - pos; return true;
    case ScrollCode::ThumbTrack:
    case ScrollCode::EndScroll: return false;
  }
  return false;
}

// The change limited so that pos + change stays within 0..max.
int clampedChange(long long change, int pos, int max) {
  if (pos + change > max) change = max - pos;
  if (pos + change < 0) change = -pos;
  return static_cast<int>(change);
}

// The cell index of a pixel edge seen from a scroll position, truncated toward zero.
int cellAt(int pos, int edge, int cellSize) {
  return static_cast<int>((static_cast<long long>(pos) + edge) / cellSize);
}

// A scroll range's upper end: never below 1.
int rangeEnd(int extent, int clientSize) { return std::max(extent - clientSize, 1); }

}  // namespace

Viewport::Viewport(const ScreenBuffer& screen, ViewWindow& window, std::function<bool()> portIsOpen)
    : screen_(screen), window_(window), portIsOpen_(std::move(portIsOpen)) {}

void Viewport::onSize(int cx, int cy) {
  clientHeight_ = cy;
  vmax_ = rangeEnd((screen_.row() + 1) * kCellHeight, cy);
  vpos_ = vmax_;
  window_.setScrollPos(ScrollBar::Vertical, vpos_, true);
  window_.setScrollRange(ScrollBar::Vertical, 0, vmax_, false);

  clientWidth_ = cx;
  hmax_ = rangeEnd(kCanvasWidth, cx);
  hpos_ = 0;
  window_.setScrollPos(ScrollBar::Horizontal, 0, true);
  window_.setScrollRange(ScrollBar::Horizontal, 0, hmax_, false);

  moveCaret();
}

void Viewport::onVScroll(ScrollCode code, int thumbPos) { scroll(ScrollBar::Vertical, code, thumbPos); }

void Viewport::onHScroll(ScrollCode code, int thumbPos) { scroll(ScrollBar::Horizontal, code, thumbPos); }

void Viewport::scroll(ScrollBar bar, ScrollCode code, int thumbPos) {
  const bool vertical = bar == ScrollBar::Vertical;
  int& pos = vertical ? vpos_ : hpos_;
  const int max = vertical ? vmax_ : hmax_;
  const int line = vertical ? kCellHeight : kCellWidth;
  const int page = vertical ? clientHeight_ : clientWidth_;
  long long requested = 0;
  if (!requestedChange(code, thumbPos, line, page, pos, max, requested)) return;
  const int change = clampedChange(requested, pos, max);
  pos += change;
  if (vertical) {
    window_.scrollContents(0, -change);
  } else {
    window_.scrollContents(-change, 0);
  }
  window_.setScrollPos(bar, pos, true);
  moveCaret();
}

void Viewport::onLineAdvanced(int row) {
  vmax_ = rangeEnd((row + 1) * kCellHeight, clientHeight_);
  window_.setScrollRange(ScrollBar::Vertical, 0, vmax_, true);
  // Follow only when the new row touches or crosses the bottom edge: a view
  // scrolled up by the user, or one far above the cursor, stays put.
  const int rowTop = row * kCellHeight - vpos_;
  if (rowTop <= clientHeight_ && clientHeight_ <= rowTop + kCellHeight) {
    vpos_ += kCellHeight;
    window_.scrollContents(0, -kCellHeight);
    window_.setScrollPos(ScrollBar::Vertical, vpos_, true);
  }
}

void Viewport::resetForClear() {
  vpos_ = 0;
  hpos_ = 0;
  vmax_ = 1;
  window_.setScrollRange(ScrollBar::Vertical, 0, 1, true);
  window_.setScrollPos(ScrollBar::Vertical, 0, true);
  window_.setScrollPos(ScrollBar::Horizontal, 0, true);
}

void Viewport::createCaret() {
  if (caretShown_ || !portIsOpen_()) return;
  window_.createCaret(kCellWidth, kCellHeight);
  moveCaret();
  window_.showCaret();
  caretShown_ = true;
}

void Viewport::destroyCaret() {
  if (!caretShown_) return;
  window_.hideCaret();
  window_.destroyCaret();
  caretShown_ = false;
}

CellRange Viewport::visibleCells(const Rect& clientRect) const {
  const int cursorRow = screen_.row();
  CellRange range;
  range.firstRow = std::min(std::max(cellAt(vpos_, clientRect.top, kCellHeight), 0), cursorRow);
  range.lastRow = std::min(cellAt(vpos_, clientRect.bottom, kCellHeight), cursorRow);
  range.firstCol = std::clamp(cellAt(hpos_, clientRect.left, kCellWidth), 0, kColumns - 1);
  range.lastCol = std::min(cellAt(hpos_, clientRect.right, kCellWidth), kColumns - 1);
  return range;
}

void Viewport::screenChanged() { window_.invalidateAll(true); }

void Viewport::lineAdvanced(int row) { onLineAdvanced(row); }

void clearScreen(Viewport& view, ScreenBuffer& screen) {
  view.resetForClear();
  screen.clear();
}

}  // namespace tevra

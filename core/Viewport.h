#pragma once

#include <functional>

#include "core/ScreenBuffer.h"

namespace tevra {

enum class ScrollBar { Horizontal, Vertical };

// Scroll-bar request codes; the toolkit maps its events onto these.
enum class ScrollCode { LineUp, LineDown, PageUp, PageDown, ThumbPosition, ThumbTrack, Top, Bottom, EndScroll };

struct Rect {
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;
};

struct Point {
  int x = 0;
  int y = 0;
};

// The window operations the view drives; the shell implements them.
class ViewWindow {
 public:
  virtual ~ViewWindow() = default;
  virtual void setScrollRange(ScrollBar bar, int min, int max, bool redraw) = 0;
  virtual void setScrollPos(ScrollBar bar, int pos, bool redraw) = 0;
  virtual void scrollContents(int dx, int dy) = 0;
  virtual void invalidateRect(const Rect& rect, bool erase) = 0;
  virtual void invalidateAll(bool erase) = 0;
  virtual void createCaret(int width, int height) = 0;
  virtual void setCaretPos(int x, int y) = 0;
  virtual void showCaret() = 0;
  virtual void hideCaret() = 0;
  virtual void destroyCaret() = 0;
};

// What a repaint draws: rows firstRow..lastRow (none when lastRow < firstRow),
// columns firstCol..lastCol of each, row r at x = firstCol*8 - hpos, y = r*16 - vpos.
struct CellRange {
  int firstRow = 0;
  int lastRow = -1;
  int firstCol = 0;
  int lastCol = -1;
};

// Maps the grid onto the client area, in pixels: scroll ranges and positions,
// following the cursor, the repaint range and the caret.
class Viewport : public ScreenObserver {
 public:
  Viewport(const ScreenBuffer& screen, ViewWindow& window, std::function<bool()> portIsOpen);

  void onSize(int cx, int cy);
  void onVScroll(ScrollCode code, int thumbPos);
  void onHScroll(ScrollCode code, int thumbPos);
  void onLineAdvanced(int row);
  // Before ScreenBuffer::clear(), whose repaint then shows the reset view.
  void resetForClear();
  Point caretPos() const {
    return {screen_.column() * kCellWidth - hpos_, screen_.row() * kCellHeight - vpos_};
  }
  void createCaret();
  void destroyCaret();
  CellRange visibleCells(const Rect& clientRect) const;

  // ScreenObserver: the buffer's redraw requests.
  // Defined here so the buffer's per-byte path can inline them.
  void cellWritten(int row, int column) override {
    const int left = column * kCellWidth - hpos_;
    const int top = row * kCellHeight - vpos_;
    window_.invalidateRect({left, top, left + kCellWidth, top + kCellHeight}, false);
  }
  // The buffer reports a cursor move after every written cell, so the caret
  // follows written cells through here.
  void cursorMoved() override { moveCaret(); }
  void screenChanged() override;
  void lineAdvanced(int row) override;

  int clientWidth() const { return clientWidth_; }
  int clientHeight() const { return clientHeight_; }
  int hmax() const { return hmax_; }
  int vmax() const { return vmax_; }
  int hpos() const { return hpos_; }
  int vpos() const { return vpos_; }
  bool caretShown() const { return caretShown_; }

 private:
  void scroll(ScrollBar bar, ScrollCode code, int thumbPos);
  // Always done, even without a caret: the platform ignores it then.
  void moveCaret() {
    const Point at = caretPos();
    window_.setCaretPos(at.x, at.y);
  }

  const ScreenBuffer& screen_;
  ViewWindow& window_;
  std::function<bool()> portIsOpen_;
  int clientWidth_ = 0;
  int clientHeight_ = 0;
  int hmax_ = 0;
  int vmax_ = 0;
  int hpos_ = 0;
  // Never negative; may lie up to one row above vmax_ after following the cursor.
  int vpos_ = 0;
  bool caretShown_ = false;
};

// The "Clear screen" command on `view` and the `screen` it shows: the view's
// reset first, so the repaint the clear asks for shows the reset view.
void clearScreen(Viewport& view, ScreenBuffer& screen);

}  // namespace tevra

#pragma once

#include <array>
#include <chrono>
#include <functional>
#include <optional>

#include <wx/timer.h>
#include <wx/window.h>

#include "app/RunReport.h"
#include "app/ScreenImage.h"
#include "core/RowReuse.h"
#include "core/ScreenBuffer.h"
#include "core/Viewport.h"

namespace tevra::app {

// The main window's client area: paints the grid, owns the two scroll bars
// and the caret, and passes typed characters on. As the view's ViewWindow it
// only records what changed and hands the result to the toolkit at most once
// per frame interval: the first change after a quiet spell at once (an echo
// shows as soon as it arrives), later ones when the interval since the last
// refresh is over, so a flood of received bytes costs a few repaints, not
// thousands of invalidations. A repaint keeps the window's picture for the
// next one (ScreenImage) and draws only the rows whose text is new there.
class TerminalCanvas : public wxWindow, public ViewWindow {
 public:
  // The least time between two refreshes: about one frame.
  static constexpr int kFrameIntervalMs = 20;
  // The same after a repaint that had to draw a whole window of rows: text
  // that scrolls a window by per frame is read by nobody, and 30 frames a
  // second show it as well as 50 at less cost.
  static constexpr int kFullRedrawIntervalMs = 33;

  TerminalCanvas(wxWindow* parent, const ScreenBuffer& screen, RunCounters& counters);

  // Called once, before the window is shown.
  void attach(Viewport& viewport, std::function<void(int code)> typed);
  // Called when the owner's core goes: events after that change nothing.
  void detach();
  // Applies pending scroll-bar changes and invalidation now.
  void flush();
  // How long until a refresh may go out: 0 when none went out within the
  // last frame interval.
  int msUntilNextFrame() const;

  // ViewWindow
  void setScrollRange(ScrollBar bar, int min, int max, bool redraw) override;
  void setScrollPos(ScrollBar bar, int pos, bool redraw) override;
  void scrollContents(int dx, int dy) override;
  void invalidateRect(const Rect& rect, bool erase) override;
  void invalidateAll(bool erase) override;
  void createCaret(int width, int height) override;
  void setCaretPos(int x, int y) override;
  void showCaret() override;
  void hideCaret() override;
  void destroyCaret() override;

  bool caretVisible() const { return caretExists_ && caretVisible_; }

 private:
  struct PendingBar {
    int pos = 0;
    int max = 0;
    bool changed = false;
  };

  class FrameTimer : public wxTimer {
   public:
    explicit FrameTimer(TerminalCanvas& canvas) : canvas_(canvas) {}
    void Notify() override { canvas_.flush(); }

   private:
    TerminalCanvas& canvas_;
  };

  void addDirty(const Rect& rect);
  void addDirty(const wxRect& rect);
  void markAllDirty();
  void scheduleFlush();
  wxRect caretRect() const;
  void paintCaret(wxDC& dc);
  static void drawText(wxDC& dc, const wxString& text, int x, int y);
  // True when the rows it had to draw would fill the window.
  bool updateImage(wxSize client, int firstRow, int rowCount, const wxColour& text, const wxColour& background);

  void onPaint(wxPaintEvent& event);
  void onEraseBackground(wxEraseEvent& event);
  void onSize(wxSizeEvent& event);
  void onScroll(wxScrollWinEvent& event);
  void onMouseWheel(wxMouseEvent& event);
  void onChar(wxKeyEvent& event);
  void onSetFocus(wxFocusEvent& event);
  void onKillFocus(wxFocusEvent& event);

  const ScreenBuffer& screen_;
  RunCounters& counters_;
  Viewport* viewport_ = nullptr;
  std::function<void(int)> typed_;

  wxFont font_;
  std::array<wxUniChar, 256> glyphs_;
  bool glyphsReady_ = false;

  // What the window shows, kept between repaints, and the rows drawn in it.
  ScreenImage image_;
  RowReuse reuse_;
  int imageHpos_ = 0;
  wxColour imageText_;
  wxColour imageBackground_;

  PendingBar bars_[2];  // horizontal, vertical
  Rect dirty_;  // empty while left == right
  bool allDirty_ = false;
  std::optional<wxRect> caretRefreshed_;  // the caret as last handed to the toolkit
  FrameTimer frameTimer_{*this};
  bool flushScheduled_ = false;
  std::chrono::steady_clock::time_point lastRefresh_{};
  int frameIntervalMs_ = kFrameIntervalMs;

  bool caretExists_ = false;
  bool caretVisible_ = false;
  wxSize caretSize_{kCellWidth, kCellHeight};
  wxPoint caretPos_;

  int wheelRemainder_[2] = {0, 0};  // horizontal, vertical

  wxDECLARE_EVENT_TABLE();
};

}  // namespace tevra::app

#include "app/TerminalCanvas.h"

#include <algorithm>

#include <wx/dcclient.h>
#include <wx/settings.h>

#include "app/CellFont.h"
#include "core/Keyboard.h"

namespace tevra::app {
namespace {

int orientationOf(ScrollBar bar) { return bar == ScrollBar::Horizontal ? wxHORIZONTAL : wxVERTICAL; }
int indexOf(ScrollBar bar) { return bar == ScrollBar::Horizontal ? 0 : 1; }

// The key as the core's keyboard mapping wants it. GTK reports Ctrl+[ as '['
// and Delete as the character 127.
KeyPress keyPressOf(const wxKeyEvent& event) {
  KeyPress key;
  const wxChar character = event.GetUnicodeKey();
  if (character != WXK_NONE) key.character = static_cast<char32_t>(character);
  key.control = event.RawControlDown();
  key.alt = event.AltDown();
  key.editingKey = event.GetKeyCode() == WXK_DELETE || event.GetKeyCode() == WXK_NUMPAD_DELETE;
  return key;
}

}  // namespace

wxBEGIN_EVENT_TABLE(TerminalCanvas, wxWindow)
  EVT_PAINT(TerminalCanvas::onPaint)
  EVT_ERASE_BACKGROUND(TerminalCanvas::onEraseBackground)
  EVT_SIZE(TerminalCanvas::onSize)
  EVT_SCROLLWIN(TerminalCanvas::onScroll)
  EVT_MOUSEWHEEL(TerminalCanvas::onMouseWheel)
  EVT_CHAR(TerminalCanvas::onChar)
  EVT_SET_FOCUS(TerminalCanvas::onSetFocus)
  EVT_KILL_FOCUS(TerminalCanvas::onKillFocus)
wxEND_EVENT_TABLE()

TerminalCanvas::TerminalCanvas(wxWindow* parent, const ScreenBuffer& screen, RunCounters& counters)
    : wxWindow(parent, wxID_ANY, wxDefaultPosition, wxDefaultSize,
               wxVSCROLL | wxHSCROLL | wxALWAYS_SHOW_SB | wxWANTS_CHARS | wxFULL_REPAINT_ON_RESIZE),
      screen_(screen),
      counters_(counters),
      font_(chooseCellFont()) {
  SetBackgroundStyle(wxBG_STYLE_PAINT);
  SetCursor(*wxSTANDARD_CURSOR);
}

void TerminalCanvas::attach(Viewport& viewport, std::function<void(int)> typed) {
  viewport_ = &viewport;
  typed_ = std::move(typed);
}

void TerminalCanvas::detach() {
  frameTimer_.Stop();
  viewport_ = nullptr;
  typed_ = nullptr;
}

void TerminalCanvas::flush() {
  frameTimer_.Stop();
  for (ScrollBar bar : {ScrollBar::Horizontal, ScrollBar::Vertical}) {
    PendingBar& pending = bars_[indexOf(bar)];
    if (!pending.changed) continue;
    pending.changed = false;
    const int orientation = orientationOf(bar);
    // Like the classic scroll bar, a position beyond the range shows the thumb at its end.
    const int pos = std::clamp(pending.pos, 0, std::max(pending.max, 0));
    if (GetScrollPos(orientation) != pos || GetScrollRange(orientation) != pending.max + 1 ||
        GetScrollThumb(orientation) != 1) {
      SetScrollbar(orientation, pos, 1, pending.max + 1);
    }
  }
  if (allDirty_) {
    Refresh(false);
    ++counters_.refreshes;
  } else if (!dirty_.IsEmpty()) {
    RefreshRect(dirty_, false);
    ++counters_.refreshes;
  }
  allDirty_ = false;
  dirty_ = wxRect();
}

void TerminalCanvas::setScrollRange(ScrollBar bar, int /*min*/, int max, bool /*redraw*/) {
  PendingBar& pending = bars_[indexOf(bar)];
  pending.max = max;
  pending.changed = true;
  scheduleFlush();
}

void TerminalCanvas::setScrollPos(ScrollBar bar, int pos, bool /*redraw*/) {
  PendingBar& pending = bars_[indexOf(bar)];
  pending.pos = pos;
  pending.changed = true;
  scheduleFlush();
}

// Every paint draws from the grid, so moving pixels would gain nothing.
void TerminalCanvas::scrollContents(int /*dx*/, int /*dy*/) { markAllDirty(); }

void TerminalCanvas::invalidateRect(const Rect& rect, bool /*erase*/) {
  markDirty(wxRect(wxPoint(rect.left, rect.top), wxPoint(rect.right - 1, rect.bottom - 1)));
}

void TerminalCanvas::invalidateAll(bool /*erase*/) { markAllDirty(); }

void TerminalCanvas::createCaret(int width, int height) {
  caretExists_ = true;
  caretVisible_ = false;
  caretSize_ = wxSize(width, height);
}

void TerminalCanvas::setCaretPos(int x, int y) {
  if (caretPos_ == wxPoint(x, y)) return;
  if (caretVisible()) markDirty(caretRect());
  caretPos_ = wxPoint(x, y);
  if (caretVisible()) markDirty(caretRect());
}

void TerminalCanvas::showCaret() {
  if (!caretExists_ || caretVisible_) return;
  caretVisible_ = true;
  markDirty(caretRect());
}

void TerminalCanvas::hideCaret() {
  if (!caretVisible()) return;
  caretVisible_ = false;
  markDirty(caretRect());
}

void TerminalCanvas::destroyCaret() {
  hideCaret();
  caretExists_ = false;
}

void TerminalCanvas::markDirty(const wxRect& rect) {
  if (allDirty_) return;
  dirty_ = dirty_.IsEmpty() ? rect : dirty_.Union(rect);
  scheduleFlush();
}

void TerminalCanvas::markAllDirty() {
  allDirty_ = true;
  scheduleFlush();
}

void TerminalCanvas::scheduleFlush() {
  if (!frameTimer_.IsRunning()) frameTimer_.StartOnce(kFrameIntervalMs);
}

wxRect TerminalCanvas::caretRect() const { return wxRect(caretPos_, caretSize_); }

void TerminalCanvas::onPaint(wxPaintEvent& /*event*/) {
  wxPaintDC dc(this);
  ++counters_.paints;
  const wxColour text = wxSystemSettings::GetColour(wxSYS_COLOUR_WINDOWTEXT);
  const wxColour background = wxSystemSettings::GetColour(wxSYS_COLOUR_WINDOW);
  dc.SetBackground(wxBrush(background));
  dc.Clear();
  if (!viewport_) return;

  dc.SetFont(font_);
  if (!glyphsReady_) {
    glyphs_ = buildGlyphTable(dc);
    glyphsReady_ = true;
  }
  dc.SetTextForeground(text);
  dc.SetTextBackground(background);
  dc.SetBackgroundMode(wxBRUSHSTYLE_SOLID);

  const wxSize client = GetClientSize();
  const CellRange cells = viewport_->visibleCells(Rect{0, 0, client.x, client.y});
  const int count = cells.lastCol - cells.firstCol + 1;
  if (count > 0) {
    wxString line;
    for (int row = cells.firstRow; row <= cells.lastRow; ++row) {
      const std::uint8_t* bytes = screen_.rowData(row);
      line.clear();
      for (int column = cells.firstCol; column <= cells.lastCol; ++column) line += glyphs_[bytes[column]];
      const int x = cells.firstCol * kCellWidth - viewport_->hpos();
      const int y = row * kCellHeight - viewport_->vpos();
      wxDCClipper clip(dc, wxRect(x, y, kCellWidth * count, kCellHeight));
      dc.DrawText(line, x, y);
    }
  }
  if (caretVisible()) paintCaret(dc);
}

// The caret is the cell under it drawn in inverted colours.
void TerminalCanvas::paintCaret(wxDC& dc) {
  const wxRect cell = caretRect();
  const int row = (cell.y + viewport_->vpos()) / kCellHeight;
  const int column = (cell.x + viewport_->hpos()) / kCellWidth;
  wxUniChar glyph = ' ';
  if (row >= 0 && row <= screen_.row() && row < kRows && column >= 0 && column < kColumns) {
    glyph = glyphs_[screen_.rowData(row)[column]];
  }
  const wxColour text = dc.GetTextForeground();
  const wxColour background = dc.GetTextBackground();
  wxDCClipper clip(dc, cell);
  dc.SetTextForeground(background);
  dc.SetTextBackground(text);
  dc.SetBrush(wxBrush(text));
  dc.SetPen(*wxTRANSPARENT_PEN);
  dc.DrawRectangle(cell);
  dc.DrawText(wxString(glyph), cell.x, cell.y);
}

void TerminalCanvas::onEraseBackground(wxEraseEvent& /*event*/) {}

void TerminalCanvas::onSize(wxSizeEvent& event) {
  event.Skip();
  if (!viewport_) return;
  const wxSize client = GetClientSize();
  viewport_->onSize(client.x, client.y);
  markAllDirty();
}

// GTK moves the thumb itself and its idea of the request is a guess: the
// thumb's place is the request, whatever the event's type says.
void TerminalCanvas::onScroll(wxScrollWinEvent& event) {
  if (!viewport_) return;
  const int orientation = event.GetOrientation();
  const int pos = GetScrollPos(orientation);
  if (orientation == wxVERTICAL) {
    viewport_->onVScroll(ScrollCode::ThumbPosition, pos);
  } else {
    viewport_->onHScroll(ScrollCode::ThumbPosition, pos);
  }
}

void TerminalCanvas::onMouseWheel(wxMouseEvent& event) {
  if (!viewport_ || event.GetWheelDelta() <= 0) return;
  const bool horizontal = event.GetWheelAxis() == wxMOUSE_WHEEL_HORIZONTAL;
  int& remainder = wheelRemainder_[horizontal ? 0 : 1];
  remainder += event.GetWheelRotation() * std::max(event.GetLinesPerAction(), 1);
  const int lines = remainder / event.GetWheelDelta();
  remainder -= lines * event.GetWheelDelta();
  // Rotation away from the user (positive) shows earlier rows; to the right, later columns.
  for (int i = 0; i < std::abs(lines); ++i) {
    if (horizontal) {
      viewport_->onHScroll(lines > 0 ? ScrollCode::LineDown : ScrollCode::LineUp, 0);
    } else {
      viewport_->onVScroll(lines > 0 ? ScrollCode::LineUp : ScrollCode::LineDown, 0);
    }
  }
}

void TerminalCanvas::onChar(wxKeyEvent& event) {
  const auto byte = lineByteOf(keyPressOf(event));
  if (!byte) {
    event.Skip();  // F10, arrows and the like keep their toolkit meaning
    return;
  }
  if (typed_) typed_(*byte);
}

void TerminalCanvas::onSetFocus(wxFocusEvent& event) {
  event.Skip();
  if (viewport_) viewport_->createCaret();
}

void TerminalCanvas::onKillFocus(wxFocusEvent& event) {
  event.Skip();
  if (viewport_) viewport_->destroyCaret();
}

}  // namespace tevra::app

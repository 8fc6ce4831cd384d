#include "app/TerminalCanvas.h"

#include <algorithm>
#include <memory>
#include <vector>

#include <wx/dcclient.h>
#include <wx/graphics.h>
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
  // Every paint's DC starts from the window's font and colours: without
  // them set, each one asks the toolkit's style machinery for its defaults.
  SetOwnFont(font_);
  SetOwnForegroundColour(wxSystemSettings::GetColour(wxSYS_COLOUR_WINDOWTEXT));
  SetOwnBackgroundColour(wxSystemSettings::GetColour(wxSYS_COLOUR_WINDOW));
}

void TerminalCanvas::attach(Viewport& viewport, std::function<void(int)> typed) {
  viewport_ = &viewport;
  typed_ = std::move(typed);
}

void TerminalCanvas::detach() {
  frameTimer_.Stop();
  flushScheduled_ = false;
  viewport_ = nullptr;
  typed_ = nullptr;
}

void TerminalCanvas::flush() {
  frameTimer_.Stop();
  flushScheduled_ = false;
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
  // The caret's cells: where it was last handed over and where it is now.
  const std::optional<wxRect> caret = caretVisible() ? std::optional(caretRect()) : std::nullopt;
  if (caret != caretRefreshed_) {
    if (caretRefreshed_) addDirty(*caretRefreshed_);
    if (caret) addDirty(*caret);
    caretRefreshed_ = caret;
  }
  if (allDirty_ || dirty_.left < dirty_.right) {
    if (allDirty_) {
      Refresh(false);
    } else {
      RefreshRect(wxRect(dirty_.left, dirty_.top, dirty_.right - dirty_.left, dirty_.bottom - dirty_.top), false);
    }
    ++counters_.refreshes;
    lastRefresh_ = std::chrono::steady_clock::now();
  }
  allDirty_ = false;
  dirty_ = Rect{};
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

// The toolkit would repaint the whole window anyway: the next paint finds
// for itself which rows moved and copies them (RowReuse).
void TerminalCanvas::scrollContents(int /*dx*/, int /*dy*/) { markAllDirty(); }

void TerminalCanvas::invalidateRect(const Rect& rect, bool /*erase*/) {
  if (!allDirty_) addDirty(rect);
  scheduleFlush();
}

void TerminalCanvas::invalidateAll(bool /*erase*/) { markAllDirty(); }

// The caret's cells are marked when the next refresh goes out: a flood moves
// it once per byte, and only where it ends up matters.
void TerminalCanvas::createCaret(int width, int height) {
  caretExists_ = true;
  caretVisible_ = false;
  caretSize_ = wxSize(width, height);
}

void TerminalCanvas::setCaretPos(int x, int y) {
  if (caretPos_.x == x && caretPos_.y == y) return;
  caretPos_ = wxPoint(x, y);
  if (caretVisible()) scheduleFlush();
}

void TerminalCanvas::showCaret() {
  if (!caretExists_ || caretVisible_) return;
  caretVisible_ = true;
  scheduleFlush();
}

void TerminalCanvas::hideCaret() {
  if (!caretVisible()) return;
  caretVisible_ = false;
  scheduleFlush();
}

void TerminalCanvas::destroyCaret() {
  hideCaret();
  caretExists_ = false;
}

void TerminalCanvas::addDirty(const Rect& rect) {
  if (dirty_.left >= dirty_.right) {
    dirty_ = rect;
    return;
  }
  dirty_.left = std::min(dirty_.left, rect.left);
  dirty_.top = std::min(dirty_.top, rect.top);
  dirty_.right = std::max(dirty_.right, rect.right);
  dirty_.bottom = std::max(dirty_.bottom, rect.bottom);
}

void TerminalCanvas::addDirty(const wxRect& rect) {
  addDirty(Rect{rect.x, rect.y, rect.x + rect.width, rect.y + rect.height});
}

void TerminalCanvas::markAllDirty() {
  allDirty_ = true;
  scheduleFlush();
}

// The flush runs from the timer even when it is due now: the rest of the
// changes of the same block or keystroke go with it.
void TerminalCanvas::scheduleFlush() {
  if (flushScheduled_) return;
  flushScheduled_ = true;
  frameTimer_.StartOnce(msUntilNextFrame());
}

int TerminalCanvas::msUntilNextFrame() const {
  using namespace std::chrono;
  const auto since = duration_cast<milliseconds>(steady_clock::now() - lastRefresh_).count();
  return static_cast<int>(std::clamp<long long>(frameIntervalMs_ - since, 0, frameIntervalMs_));
}

wxRect TerminalCanvas::caretRect() const { return wxRect(caretPos_, caretSize_); }

// The picture kept in image_ is brought up to date, whatever part of the
// window is damaged, and copied onto it; the caret goes on top. The picture
// holds whole rows, from the one the window's top edge cuts: one row more
// than the window's height can cut.
void TerminalCanvas::onPaint(wxPaintEvent& /*event*/) {
  wxPaintDC dc(this);
  ++counters_.paints;
  wxGraphicsContext* context = dc.GetGraphicsContext();
  auto* paint = context ? static_cast<cairo_t*>(context->GetNativeContext()) : nullptr;
  const wxSize client = GetClientSize();
  if (!paint || client.x <= 0 || client.y <= 0) return;  // GTK 3 always paints through cairo

  const wxColour text = wxSystemSettings::GetColour(wxSYS_COLOUR_WINDOWTEXT);
  const wxColour background = wxSystemSettings::GetColour(wxSYS_COLOUR_WINDOW);
  dc.SetFont(font_);
  if (!glyphsReady_) {
    glyphs_ = buildGlyphTable(dc);
    glyphsReady_ = true;
  }
  dc.SetTextForeground(text);
  dc.SetTextBackground(background);

  const int rows = (client.y + kCellHeight - 1) / kCellHeight + 1;
  const int hpos = viewport_ ? viewport_->hpos() : 0;
  if (image_.resize(paint, wxSize(client.x, rows * kCellHeight)) || hpos != imageHpos_ || text != imageText_ ||
      background != imageBackground_) {
    reuse_.forget();
    imageHpos_ = hpos;
    imageText_ = text;
    imageBackground_ = background;
  }
  const int vpos = viewport_ ? viewport_->vpos() : 0;
  const bool redrewAll = updateImage(client, vpos / kCellHeight, rows, text, background);
  frameIntervalMs_ = redrewAll ? kFullRedrawIntervalMs : kFrameIntervalMs;
  image_.showOn(paint, -(vpos % kCellHeight));
  if (viewport_ && caretVisible()) paintCaret(dc);
}

// Draws the rows the picture does not show yet: each row's band is cleared to
// the background, then its text up to the last non-blank cell is drawn,
// clipped to the band so that a glyph's overhang never reaches a neighbour
// (a band's pixels then depend on its own text alone, which reuse needs).
bool TerminalCanvas::updateImage(wxSize client, int firstRow, int rowCount, const wxColour& text,
                                 const wxColour& background) {
  const CellRange cells = viewport_ ? viewport_->visibleCells(Rect{0, 0, client.x, client.y}) : CellRange{};
  std::vector<RowReuse::RowText> rows(static_cast<std::size_t>(rowCount));
  for (int i = 0; i < rowCount; ++i) {
    const int row = firstRow + i;
    RowReuse::RowText& line = rows[static_cast<std::size_t>(i)];
    if (row >= cells.firstRow && row <= cells.lastRow) {
      std::copy_n(screen_.rowData(row), kColumns, line.begin());
    } else {
      line.fill(' ');  // rows past the cursor show nothing
    }
  }
  const RowReuse::Plan plan = reuse_.plan(rows);
  image_.moveUp(plan.moveUp * kCellHeight);
  if (std::none_of(plan.draw.begin(), plan.draw.end(), [](bool draw) { return draw; })) return false;

  cairo_t* cr = cairo_create(image_.surface());
  std::unique_ptr<wxGraphicsContext> context(wxGraphicsRenderer::GetCairoRenderer()->CreateContextFromNativeContext(cr));
  cairo_destroy(cr);  // the context holds its own reference
  context->SetFont(font_, text);
  context->SetBrush(wxBrush(background));
  context->SetPen(*wxTRANSPARENT_PEN);
  const int x = cells.firstCol * kCellWidth - imageHpos_;
  wxString line;
  for (int i = 0; i < rowCount; ++i) {
    if (!plan.draw[static_cast<std::size_t>(i)]) continue;
    const int y = i * kCellHeight;
    context->DrawRectangle(0, y, client.x, kCellHeight);
    const std::uint8_t* bytes = rows[static_cast<std::size_t>(i)].data();
    int last = cells.lastCol;
    while (last >= cells.firstCol && bytes[last] == ' ') --last;
    if (last < cells.firstCol) continue;
    line.clear();
    for (int column = cells.firstCol; column <= last; ++column) line += glyphs_[bytes[column]];
    context->Clip(x, y, kCellWidth * (last - cells.firstCol + 1), kCellHeight);
    context->DrawText(line, x, y);
    context->ResetClip();
  }
  const auto drawn = std::count(plan.draw.begin(), plan.draw.end(), true);
  return drawn >= client.y / kCellHeight;
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
  drawText(dc, wxString(glyph), cell.x, cell.y);
}

// The toolkit's DC measures every string it draws, for a bounding box
// nothing here reads: its graphics context, where there is one, draws
// without measuring (it has the DC's font and colour already).
void TerminalCanvas::drawText(wxDC& dc, const wxString& text, int x, int y) {
  if (wxGraphicsContext* context = dc.GetGraphicsContext()) {
    context->DrawText(text, x, y);
  } else {
    dc.DrawText(text, x, y);
  }
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
  // Alt with any key types nothing: it belongs to the menus (Alt and a menu
  // title's first letter opens that menu) and to the window (Alt+F4).
  if (event.AltDown()) {
    event.Skip();
    return;
  }
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

#include "core/ScreenBuffer.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <typeinfo>

#include "core/Viewport.h"

namespace tevra {

namespace {

constexpr std::uint8_t kBackspace = 0x08;
constexpr std::uint8_t kLineFeed = 0x0A;
constexpr std::uint8_t kCarriageReturn = 0x0D;
constexpr std::uint8_t kBlank = 0x20;
constexpr std::uint32_t kInterpretedMask = (1u << kBackspace) | (1u << kLineFeed) | (1u << kCarriageReturn);

// Marks the three interpreted bytes in kCellFor; no written cell holds it.
constexpr std::uint8_t kInterpreted = 0;

// What a written cell holds for each byte: the byte itself, or a blank for a
// control byte. One load per byte decides both the cell and the branch.
constexpr std::array<std::uint8_t, 256> kCellFor = [] {
  std::array<std::uint8_t, 256> table{};
  for (std::size_t byte = 0; byte < table.size(); ++byte) {
    const bool interpreted = byte < 0x20 && ((kInterpretedMask >> byte) & 1u) != 0;
    table[byte] = interpreted ? kInterpreted : byte < 0x20 ? kBlank : static_cast<std::uint8_t>(byte);
  }
  return table;
}();

// Notification policies: putBytes is instantiated for a Viewport (direct
// calls), any other observer (virtual calls) and none (no calls at all).
struct ToObserver {
  ScreenObserver* observer;
  void cellWritten(int row, int column) const { observer->cellWritten(row, column); }
  void cursorMoved() const { observer->cursorMoved(); }
  void screenChanged() const { observer->screenChanged(); }
  void lineAdvanced(int row) const { observer->lineAdvanced(row); }
};

struct ToView {
  Viewport* view;
  void cellWritten(int row, int column) const { view->Viewport::cellWritten(row, column); }
  void cursorMoved() const { view->Viewport::cursorMoved(); }
  void screenChanged() const { view->Viewport::screenChanged(); }
  void lineAdvanced(int row) const { view->Viewport::lineAdvanced(row); }
};

struct ToNobody {
  void cellWritten(int, int) const {}
  void cursorMoved() const {}
  void screenChanged() const {}
  void lineAdvanced(int) const {}
};

}  // namespace

ScreenBuffer::ScreenBuffer(const int& termInCR) : termInCR_(termInCR) { cells_.fill(kBlank); }

void ScreenBuffer::setObserver(ScreenObserver* observer) {
  observer_ = observer;
  // Only the exact type: a class derived from Viewport may override the calls.
  view_ = observer != nullptr && typeid(*observer) == typeid(Viewport) ? static_cast<Viewport*>(observer) : nullptr;
}

void ScreenBuffer::put(const std::uint8_t* bytes, std::size_t length) {
  if (view_ != nullptr) {
    putBytes(bytes, length, ToView{view_});
  } else if (observer_ != nullptr) {
    putBytes(bytes, length, ToObserver{observer_});
  } else {
    putBytes(bytes, length, ToNobody{});
  }
}

void ScreenBuffer::clear() {
  cells_.fill(kBlank);
  topRow_ = 0;
  row_ = 0;
  column_ = 0;
  if (observer_ != nullptr) {
    observer_->screenChanged();
    observer_->cursorMoved();
  }
}

template <class Notify>
void ScreenBuffer::putBytes(const std::uint8_t* bytes, std::size_t length, Notify notify) {
  const std::uint8_t* next = bytes;
  const std::uint8_t* const end = bytes + length;
  while (next != end) {
    const std::uint8_t byte = *next;
    if (kCellFor[byte] == kInterpreted) {
      ++next;
      if (byte == kBackspace) {
        if (column_ > 0) {
          --column_;
          cursorLine()[column_] = kBlank;
          notify.cursorMoved();
          notify.screenChanged();
        }
      } else if (byte == kLineFeed) {
        lineFeed(notify);
      } else {
        column_ = 0;
        notify.cursorMoved();
        if (termInCR_ != 0) lineFeed(notify);
      }
      continue;
    }

    // A run of ordinary bytes, at most up to the end of the cursor row. The
    // column lives in a register and is only stored for the observer: a
    // store-then-reload of column_ per byte would be the bottleneck. Few
    // values stay live across the calls so none is spilled to the stack.
    std::uint8_t* const line = cursorLine();
    int column = column_;
    const std::uint8_t* const runEnd = next + std::min<std::ptrdiff_t>(end - next, kColumns - column);
    for (; next != runEnd; ++next) {
      const std::uint8_t cell = kCellFor[*next];
      if (cell == kInterpreted) break;
      line[column] = cell;
      column_ = ++column;
      if (column < kColumns) {
        notify.cellWritten(row_, column - 1);
        notify.cursorMoved();
      }
    }
    if (column == kColumns) {
      // The wrap is a carriage return plus, when TermInCR does not already
      // add one, a line feed: exactly one line feed whatever the option says.
      column_ = 0;
      notify.cursorMoved();
      lineFeed(notify);
    }
  }
}

template <class Notify>
void ScreenBuffer::lineFeed(Notify notify) {
  ++row_;
  const bool shifted = row_ == kRows;
  if (shifted) {
    topRow_ = topRow_ + 1 == kRows ? 0 : topRow_ + 1;
    row_ = kRows - 1;
  }
  std::memset(cursorLine(), kBlank, kColumns);
  if (!shifted) notify.lineAdvanced(row_);
  notify.screenChanged();
  notify.cursorMoved();
}

}  // namespace tevra

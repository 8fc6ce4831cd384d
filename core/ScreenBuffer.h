#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace tevra {

class Viewport;

constexpr int kColumns = 80;
constexpr int kRows = 125;
constexpr int kCellWidth = 8;
constexpr int kCellHeight = 16;
constexpr int kCanvasWidth = kColumns * kCellWidth;

// What the buffer tells its view while `put` runs, synchronously and in the
// order the buffer defines for each byte.
class ScreenObserver {
 public:
  virtual ~ScreenObserver() = default;
  virtual void cellWritten(int row, int column) = 0;
  virtual void cursorMoved() = 0;
  virtual void screenChanged() = 0;
  // After a line feed that did not shift the grid; `row` is the new cursor row.
  virtual void lineAdvanced(int row) = 0;
};

// The 80 x 125 character grid and its cursor. Interprets only backspace,
// line feed and carriage return; every other control byte takes one blank cell.
//
// Per byte the observer hears, in this order:
//   backspace (column > 0):  cursorMoved, screenChanged
//   line feed:               [lineAdvanced(row) unless the grid shifted], screenChanged, cursorMoved
//   carriage return:         cursorMoved, then the line feed's when TermInCR is on
//   other byte, not last col: cellWritten(row, column), cursorMoved
//   other byte, last column: cursorMoved, then the line feed's (the wrap)
// clear(): screenChanged, cursorMoved. The owner resets the view's scroll
// state (Viewport::resetForClear) before calling clear().
class ScreenBuffer {
 public:
  // `termInCR` is read live at every carriage return and every wrap.
  explicit ScreenBuffer(const int& termInCR);
  ScreenBuffer(const ScreenBuffer&) = delete;
  ScreenBuffer& operator=(const ScreenBuffer&) = delete;

  // nullptr detaches. Not to be changed from inside a notification.
  void setObserver(ScreenObserver* observer);

  void put(const std::uint8_t* bytes, std::size_t length);
  void clear();

  int row() const { return row_; }
  int column() const { return column_; }
  // The kColumns bytes of visible row `row` (0 = top), for painting.
  const std::uint8_t* rowData(int row) const { return cells_.data() + storageRow(row) * kColumns; }

 private:
  template <class Notify>
  void putBytes(const std::uint8_t* bytes, std::size_t length, Notify notify);
  template <class Notify>
  void lineFeed(Notify notify);

  // Rows are a ring: visible row 0 lives in storage row topRow_, so the shift
  // at the bottom moves one index instead of the whole grid.
  int storageRow(int visibleRow) const {
    const int stored = topRow_ + visibleRow;
    return stored >= kRows ? stored - kRows : stored;
  }
  std::uint8_t* cursorLine() { return cells_.data() + storageRow(row_) * kColumns; }

  std::array<std::uint8_t, kRows * kColumns> cells_;
  int topRow_ = 0;
  int row_ = 0;
  int column_ = 0;
  const int& termInCR_;
  ScreenObserver* observer_ = nullptr;
  // The observer again when it is exactly a Viewport, so the per-byte
  // notifications are direct, inlinable calls instead of virtual ones.
  Viewport* view_ = nullptr;
};

}  // namespace tevra

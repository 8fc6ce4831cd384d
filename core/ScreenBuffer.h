#pragma once

#include <cstddef>
#include <cstdint>

namespace tevra {

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
class ScreenBuffer {
 public:
  // `termInCR` is read live at every carriage return and every wrap.
  explicit ScreenBuffer(const int& termInCR);

  void setObserver(ScreenObserver* observer);

  void put(const std::uint8_t* bytes, std::size_t length);
  void clear();

  int row() const;
  int column() const;
  // The kColumns bytes of visible row `row` (0 = top), for painting.
  const std::uint8_t* rowData(int row) const;
};

}  // namespace tevra

#pragma once

#include <cstdint>
#include <string>

#include "core/LineParameters.h"
#include "core/SettingsStore.h"

namespace tevra {

// The five line values as positions in the Settings dialog's lists.
struct LineIndices {
  int port = 1;
  int baud = 4;
  int dataBits = 3;
  int parity = 0;
  int stopBits = 0;

  bool operator==(const LineIndices&) const = default;
};

// A window rectangle in screen coordinates (right and bottom exclusive).
struct WindowRect {
  int left = 20;
  int top = 20;
  int right = 600;
  int bottom = 360;

  bool operator==(const WindowRect&) const = default;
};

// The one record of user choices. The five line values are list positions
// of the Settings dialog (its LineIndices), turned into line values only by
// lineParameters().
// Loading is forgiving: a missing or non-numeric value, or a list position
// outside its list, yields the field's default; an on/off option stored as
// any nonzero number is on (1).
class TerminalSettings : public LineIndices {
 public:
  int termOutCR = 0;
  int termInCR = 0;
  int termEcho = 1;
  int termCapture = 0;
  std::string captureFile = "capture.txt";
  std::string sendFile;

  // Reads the eleven General and Terminal values.
  void load(SettingsStore& store);
  // Writes all fifteen values: General, Terminal, then the Layout rectangle.
  void save(SettingsStore& store, const WindowRect& restoredRect) const;
  // Reads the four Layout values.
  static WindowRect loadLayout(SettingsStore& store);
  // The line values behind the list positions; a position outside its list
  // counts as the default one.
  LineParameters lineParameters() const;

  bool operator==(const TerminalSettings&) const = default;
};

// The list texts of the Settings dialog, in index order.
extern const char* const kPortNames[12];
extern const char* const kBaudNames[10];
extern const char* const kDataBitsNames[4];
extern const char* const kParityNames[5];
extern const char* const kStopBitsNames[2];

}  // namespace tevra

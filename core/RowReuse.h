#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "core/ScreenBuffer.h"

namespace tevra {

// A repaint that keeps the picture it drew last time: rows whose text is the
// same as before are moved to their new place in one copy, and only the rest
// are drawn again. Scrolling text moves every row up and adds one or two, so a
// frame draws a few rows instead of the whole window.
//
// The picture is a stack of whole rows, one per slot: slot i shows grid row
// firstRow + i. A row's pixels depend on its text alone (the caller keeps the
// font, colours and horizontal position fixed, and forgets the picture when
// one of them changes).
class RowReuse {
 public:
  using RowText = std::array<std::uint8_t, kColumns>;

  struct Plan {
    // Move the old picture up by this many slots (down when negative) first.
    int moveUp = 0;
    // Per slot: draw its row (true) or keep what the move put there.
    std::vector<bool> draw;
  };

  // Nothing of the old picture is kept: the next plan draws every row.
  void forget() { rows_.clear(); }

  // The rows to show, one per slot. Returns what to do, and takes `rows` as
  // the picture that doing it leaves. A picture of another height keeps nothing.
  Plan plan(const std::vector<RowText>& rows);

 private:
  std::vector<RowText> rows_;  // empty: nothing drawn
};

}  // namespace tevra

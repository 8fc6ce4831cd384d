#include "core/RowReuse.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

namespace tevra {

RowReuse::Plan RowReuse::plan(const std::vector<RowText>& rows) {
  const int count = static_cast<int>(rows.size());
  Plan best;
  best.draw.assign(rows.size(), true);
  int bestKept = 0;
  if (rows_.size() == rows.size()) {
    // Slot i takes what old slot i + moveUp showed. Nearer moves first, so a
    // tie keeps the smaller copy.
    for (int distance = 0; distance < count && count - distance > bestKept; ++distance) {
      for (int side = 0; side < (distance == 0 ? 1 : 2); ++side) {
        const int moveUp = side == 0 ? distance : -distance;
        std::vector<bool> draw(rows.size(), true);
        int kept = 0;
        for (int i = std::max(0, -moveUp); i < std::min(count, count - moveUp); ++i) {
          if (rows_[static_cast<std::size_t>(i + moveUp)] != rows[static_cast<std::size_t>(i)]) continue;
          draw[static_cast<std::size_t>(i)] = false;
          ++kept;
        }
        if (kept > bestKept) {
          bestKept = kept;
          best.moveUp = moveUp;
          best.draw = std::move(draw);
        }
      }
    }
  }
  rows_ = rows;
  return best;
}

}  // namespace tevra

#pragma once

// A fake of the window the view drives, for the core and traffic tests.

#include <string>
#include <vector>

#include "core/Viewport.h"

namespace tevra {

using Calls = std::vector<std::string>;

inline std::string barName(ScrollBar bar) { return bar == ScrollBar::Vertical ? "V" : "H"; }
inline std::string redrawName(bool redraw) { return redraw ? "redraw" : "noredraw"; }
inline std::string eraseName(bool erase) { return erase ? "erase" : "noerase"; }

// Records every window operation as one line, in order.
class RecordingWindow : public ViewWindow {
 public:
  void setScrollRange(ScrollBar bar, int min, int max, bool redraw) override {
    calls.push_back("range " + barName(bar) + " " + std::to_string(min) + " " + std::to_string(max) + " " +
                    redrawName(redraw));
  }
  void setScrollPos(ScrollBar bar, int pos, bool redraw) override {
    calls.push_back("pos " + barName(bar) + " " + std::to_string(pos) + " " + redrawName(redraw));
  }
  void scrollContents(int dx, int dy) override {
    calls.push_back("scroll " + std::to_string(dx) + " " + std::to_string(dy));
  }
  void invalidateRect(const Rect& rect, bool erase) override {
    calls.push_back("invalidate " + std::to_string(rect.left) + " " + std::to_string(rect.top) + " " +
                    std::to_string(rect.right) + " " + std::to_string(rect.bottom) + " " + eraseName(erase));
  }
  void invalidateAll(bool erase) override { calls.push_back("invalidateAll " + eraseName(erase)); }
  void createCaret(int width, int height) override {
    calls.push_back("createCaret " + std::to_string(width) + " " + std::to_string(height));
  }
  void setCaretPos(int x, int y) override { calls.push_back(caretAt(x, y)); }
  void showCaret() override { calls.push_back("showCaret"); }
  void hideCaret() override { calls.push_back("hideCaret"); }
  void destroyCaret() override { calls.push_back("destroyCaret"); }

  static std::string caretAt(int x, int y) { return "caret " + std::to_string(x) + " " + std::to_string(y); }

  Calls calls;
};

}  // namespace tevra

#pragma once

#include <cairo.h>

#include <wx/gdicmn.h>

namespace tevra::app {

// The picture of the client area, kept between repaints in a surface like the
// window's own (on X11 a pixmap in the display server), so moving rows costs a
// copy there instead of laying their text out again. Two surfaces take turns:
// a move copies the shown one into the other.
class ScreenImage {
 public:
  ScreenImage() = default;
  ScreenImage(const ScreenImage&) = delete;
  ScreenImage& operator=(const ScreenImage&) = delete;
  ~ScreenImage();

  // Makes the picture `size` big, in surfaces like `paint`'s target; false
  // when it was already, so what it shows still stands.
  bool resize(cairo_t* paint, wxSize size);
  // Moves the picture up by `pixels` (down when negative); what moves in from
  // outside is undefined until drawn.
  void moveUp(int pixels);
  // The shown surface, to draw rows into.
  cairo_surface_t* surface() const { return shown_; }
  // Copies the picture onto `paint`, within its clip, `top` pixels down
  // (negative: its first `-top` rows of pixels lie above the window).
  void showOn(cairo_t* paint, int top) const;

 private:
  void release();

  wxSize size_;
  cairo_surface_t* shown_ = nullptr;
  cairo_surface_t* spare_ = nullptr;
};

}  // namespace tevra::app

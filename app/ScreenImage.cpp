#include "app/ScreenImage.h"

#include <utility>

namespace tevra::app {

ScreenImage::~ScreenImage() { release(); }

void ScreenImage::release() {
  for (cairo_surface_t** surface : {&shown_, &spare_}) {
    if (*surface) cairo_surface_destroy(*surface);
    *surface = nullptr;
  }
}

bool ScreenImage::resize(cairo_t* paint, wxSize size) {
  if (shown_ && size == size_) return false;
  release();
  size_ = size;
  cairo_surface_t* like = cairo_get_target(paint);
  const cairo_content_t content = cairo_surface_get_content(like);
  shown_ = cairo_surface_create_similar(like, content, size.x, size.y);
  spare_ = cairo_surface_create_similar(like, content, size.x, size.y);
  return true;
}

void ScreenImage::moveUp(int pixels) {
  if (pixels == 0 || !shown_) return;
  cairo_t* cr = cairo_create(spare_);
  cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
  cairo_set_source_surface(cr, shown_, 0, -pixels);
  cairo_paint(cr);
  cairo_destroy(cr);
  std::swap(shown_, spare_);
}

void ScreenImage::showOn(cairo_t* paint, int top) const {
  if (!shown_) return;
  cairo_save(paint);
  cairo_set_operator(paint, CAIRO_OPERATOR_SOURCE);
  cairo_set_source_surface(paint, shown_, 0, top);
  cairo_paint(paint);
  cairo_restore(paint);
}

}  // namespace tevra::app

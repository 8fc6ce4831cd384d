#include "app/win32/LinkLabel.h"

#include <olectl.h>
#include <shellapi.h>

namespace tevra::win32 {
namespace {

constexpr COLORREF kLinkColour = RGB(0, 0, 255);
constexpr const char* kSelfProperty = "TevraLinkLabel";

}  // namespace

LinkLabel::LinkLabel() : background_(CreateSolidBrush(GetSysColor(COLOR_BTNFACE))) {}

LinkLabel::~LinkLabel() {
  if (label_ && IsWindow(label_)) {
    SetWindowLongPtrA(label_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(staticProc_));
    RemovePropA(label_, kSelfProperty);
  }
  DeleteObject(background_);
}

void LinkLabel::attach(HWND label, const std::string& address) {
  label_ = label;
  address_ = address;
  SetWindowTextA(label_, address_.c_str());
  SetPropA(label_, kSelfProperty, this);
  staticProc_ = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrA(label_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(labelProc)));
}

LRESULT LinkLabel::reflect(HWND label, UINT message, WPARAM wParam, LPARAM lParam) {
  return SendMessageA(label, OCM__BASE + message, wParam, lParam);
}

void LinkLabel::open() const {
  if (address_.empty()) return;
  ShellExecuteA(nullptr, "open", address_.c_str(), nullptr, nullptr, SW_SHOW);
}

LRESULT CALLBACK LinkLabel::labelProc(HWND label, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* self = static_cast<LinkLabel*>(GetPropA(label, kSelfProperty));
  switch (message) {
    case OCM_CTLCOLORSTATIC: {
      HDC dc = reinterpret_cast<HDC>(wParam);
      SetTextColor(dc, kLinkColour);
      SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
      return reinterpret_cast<LRESULT>(self->background_);
    }
    case OCM_COMMAND:
      if (HIWORD(wParam) == STN_CLICKED) self->open();
      return 0;
    case WM_SETCURSOR:
      SetCursor(LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_HAND)));
      return TRUE;
    default:
      return CallWindowProcA(self->staticProc_, label, message, wParam, lParam);
  }
}

}  // namespace tevra::win32

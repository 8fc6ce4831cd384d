#pragma once

#include <windows.h>

namespace tevra::win32 {

// A modal dialog from a dialog template of the resources, its messages
// handed to the derived class's handle().
class ModalDialog {
 public:
  ModalDialog(const ModalDialog&) = delete;
  ModalDialog& operator=(const ModalDialog&) = delete;

 protected:
  ModalDialog(HINSTANCE instance, int templateId) : instance_(instance), templateId_(templateId) {}
  virtual ~ModalDialog() = default;

  // Shows the dialog, centred on `owner`, until EndDialog(); returns its result.
  INT_PTR runModal(HWND owner);
  // The dialog procedure's answer; WM_INITDIALOG comes with dialog_ set.
  virtual INT_PTR handle(UINT message, WPARAM wParam, LPARAM lParam) = 0;

  HINSTANCE instance_;
  HWND dialog_ = nullptr;

 private:
  static INT_PTR CALLBACK dialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

  int templateId_;
};

}  // namespace tevra::win32

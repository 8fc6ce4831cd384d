#pragma once

#include <windows.h>

#include <string>

namespace tevra::win32 {

// A static text control that shows a web address in blue on the button face
// and opens it with the shell when clicked. The dialog reflects the control's
// colour request and click notification to it (reflect()).
class LinkLabel {
 public:
  LinkLabel();
  ~LinkLabel();
  LinkLabel(const LinkLabel&) = delete;
  LinkLabel& operator=(const LinkLabel&) = delete;

  // Takes over the dialog's static control `label`.
  void attach(HWND label, const std::string& address);
  HWND handle() const { return label_; }

  // A message the dialog got on the label's behalf (WM_CTLCOLORSTATIC,
  // WM_COMMAND), sent to the label as its reflected form.
  static LRESULT reflect(HWND label, UINT message, WPARAM wParam, LPARAM lParam);

  // Opens the address with the shell, if there is one.
  void open() const;

 private:
  static LRESULT CALLBACK labelProc(HWND label, UINT message, WPARAM wParam, LPARAM lParam);

  HWND label_ = nullptr;
  WNDPROC staticProc_ = nullptr;
  HBRUSH background_;
  std::string address_;
};

}  // namespace tevra::win32

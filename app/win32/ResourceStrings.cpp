#include "app/win32/ResourceStrings.h"

#include "res/Strings.h"

namespace tevra::win32 {

std::string loadResourceString(HINSTANCE instance, int id) {
  char text[512];
  const int length = LoadStringA(instance, static_cast<UINT>(id), text, sizeof text);
  return length > 0 ? std::string(text, static_cast<std::size_t>(length)) : std::string();
}

void showStopBox(HINSTANCE instance, HWND owner, const std::string& text) {
  const std::string caption = loadResourceString(instance, res::kIdsAppTitle);
  MessageBoxA(owner, text.c_str(), caption.c_str(), MB_OK | MB_ICONSTOP);
}

}  // namespace tevra::win32

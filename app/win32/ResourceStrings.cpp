#include "app/win32/ResourceStrings.h"

namespace tevra::win32 {

std::string loadResourceString(HINSTANCE instance, int id) {
  char text[512];
  const int length = LoadStringA(instance, static_cast<UINT>(id), text, sizeof text);
  return length > 0 ? std::string(text, static_cast<std::size_t>(length)) : std::string();
}

}  // namespace tevra::win32

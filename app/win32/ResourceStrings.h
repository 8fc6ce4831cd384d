#pragma once

#include <windows.h>

#include <string>

namespace tevra::win32 {

// String `id` of the program's string table; empty if there is none.
std::string loadResourceString(HINSTANCE instance, int id);

// A modal box with the stop icon and an OK button, captioned with the
// application title (string 57344).
void showStopBox(HINSTANCE instance, HWND owner, const std::string& text);

}  // namespace tevra::win32

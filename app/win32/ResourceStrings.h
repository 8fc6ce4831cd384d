#pragma once

#include <windows.h>

#include <string>

namespace tevra::win32 {

// String `id` of the program's string table; empty if there is none.
std::string loadResourceString(HINSTANCE instance, int id);

}  // namespace tevra::win32

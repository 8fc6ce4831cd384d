#pragma once

#include <windows.h>

namespace tevra::win32 {

// Centres a dialog on its owner window, kept inside the owner's monitor's work area.
void centreOnOwner(HWND dialog);

}  // namespace tevra::win32

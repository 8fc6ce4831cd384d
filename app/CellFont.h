#pragma once

#include <array>

#include <wx/dc.h>
#include <wx/font.h>

// The font of the 8 x 16 character cell and the character drawn for each byte.
namespace tevra::app {

// The first installed of the faces that fit the cell (Liberation Mono 10,
// Noto Mono 10, DejaVu Sans Mono 9.5), else the toolkit's fixed-pitch font.
wxFont chooseCellFont();

// For every byte, the character that shows it: Windows-1252, with control
// bytes blank, and a one-cell box for the five undefined bytes and for every
// character that `dc`'s current font would not draw one cell wide.
std::array<wxUniChar, 256> buildGlyphTable(wxDC& dc);

}  // namespace tevra::app

#include "app/CellFont.h"

#include <wx/fontenum.h>

#include "core/Cp1252.h"
#include "core/ScreenBuffer.h"

namespace tevra::app {
namespace {

struct FaceChoice {
  const char* face;
  double points;
};

constexpr FaceChoice kCellFaces[] = {
    {"Liberation Mono", 10.0},
    {"Noto Mono", 10.0},
    {"DejaVu Sans Mono", 9.5},
};

// Shown for a byte that has no character of its own.
constexpr wxUniChar::value_type kReplacementCandidates[] = {0x25A1 /* white square */, '?'};

bool drawsOneCell(wxDC& dc, wxUniChar character, int cellAdvance) {
  return dc.GetTextExtent(wxString(character)).x == cellAdvance;
}

}  // namespace

wxFont chooseCellFont() {
  for (const FaceChoice& choice : kCellFaces) {
    if (wxFontEnumerator::IsValidFacename(choice.face)) {
      return wxFont(wxFontInfo(choice.points).FaceName(choice.face));
    }
  }
  return wxFont(wxFontInfo(10).Family(wxFONTFAMILY_TELETYPE));
}

std::array<wxUniChar, 256> buildGlyphTable(wxDC& dc) {
  const int cellAdvance = dc.GetTextExtent("M").x;
  wxUniChar replacement = '?';
  for (wxUniChar::value_type candidate : kReplacementCandidates) {
    if (drawsOneCell(dc, candidate, cellAdvance)) {
      replacement = candidate;
      break;
    }
  }
  std::array<wxUniChar, 256> glyphs;
  for (int byte = 0; byte < 256; ++byte) {
    if (byte < 0x20 || byte == 0x7F) {
      glyphs[byte] = ' ';
      continue;
    }
    const auto character = cp1252ToUnicode(static_cast<std::uint8_t>(byte));
    if (!character) {
      glyphs[byte] = replacement;
      continue;
    }
    const wxUniChar glyph(static_cast<wxUniChar::value_type>(*character));
    glyphs[byte] = byte < 0x80 || drawsOneCell(dc, glyph, cellAdvance) ? glyph : replacement;
  }
  return glyphs;
}

}  // namespace tevra::app

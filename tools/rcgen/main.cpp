// tevra-rcgen: writes the Windows resource script of the program (menu 110,
// dialogs 101 and 102, the string table, icon 103 and bitmap 105) from the
// definitions in res/ that the Linux shell builds its menu and dialogs from.
//
//   tevra-rcgen OUTPUT.rc ICON.ico BITMAP.bmp
//
// Runs on the build machine; the resource compiler (windres) reads the result.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <string_view>

#include "res/Dialogs.h"
#include "res/Menus.h"
#include "res/ResourceIds.h"
#include "res/Strings.h"

namespace {

using tevra::res::ControlDef;
using tevra::res::ControlKind;
using tevra::res::DialogDef;

// The Latin-1 range of UTF-8 as Windows-1252 bytes (the script's code page);
// anything else becomes '?'.
std::string toCp1252(std::string_view utf8) {
  std::string out;
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const auto byte = static_cast<unsigned char>(utf8[i]);
    if (byte < 0x80) {
      out += static_cast<char>(byte);
    } else if ((byte == 0xC2 || byte == 0xC3) && i + 1 < utf8.size()) {
      const auto next = static_cast<unsigned char>(utf8[++i]);
      out += static_cast<char>(((byte & 0x03) << 6) | (next & 0x3F));
    } else {
      out += '?';
      while (i + 1 < utf8.size() && (static_cast<unsigned char>(utf8[i + 1]) & 0xC0) == 0x80) ++i;
    }
  }
  return out;
}

// A quoted resource-script string.
std::string quoted(const char* text) {
  std::string out = "\"";
  for (char c : toCp1252(text ? text : "")) {
    if (c == '"') out += "\"\"";
    else if (c == '\\') out += "\\\\";
    else out += c;
  }
  return out + "\"";
}

// A path as the resource compiler reads it: forward slashes, quoted.
std::string quotedPath(std::string path) {
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  return quoted(path.c_str());
}

constexpr const char* kChild = "WS_CHILD | WS_VISIBLE";

struct Win32Control {
  const char* windowClass;
  std::string style;
};

Win32Control win32Control(ControlKind kind) {
  const std::string child = kChild;
  switch (kind) {
    case ControlKind::GroupBox: return {"Button", "BS_GROUPBOX | " + child};
    case ControlKind::Label: return {"Static", "SS_LEFT | SS_CENTERIMAGE | " + child};
    case ControlKind::DropDownList:
      return {"ComboBox", "CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP | " + child};
    case ControlKind::Button: return {"Button", "BS_PUSHBUTTON | WS_TABSTOP | " + child};
    case ControlKind::DefaultButton: return {"Button", "BS_DEFPUSHBUTTON | WS_TABSTOP | " + child};
    case ControlKind::Picture: return {"Static", "SS_BITMAP | SS_CENTERIMAGE | SS_SUNKEN | " + child};
    case ControlKind::Text: return {"Static", "SS_LEFT | " + child};
    // One line: an address cut at the box's edge, never wrapped onto a hidden second line.
    case ControlKind::Link: return {"Static", "SS_LEFTNOWORDWRAP | SS_NOTIFY | " + child};
  }
  return {"Static", child};
}

void writeDialog(std::ostream& out, const DialogDef& dialog) {
  out << dialog.id << " DIALOGEX 0, 0, " << dialog.width << ", " << dialog.height << "\n"
      << "STYLE DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU\n"
      << "CAPTION " << quoted(dialog.title) << "\n"
      << "FONT 8, \"MS Sans Serif\"\n"
      << "BEGIN\n";
  for (const ControlDef& control : dialog.controls) {
    const Win32Control win32 = win32Control(control.kind);
    // A picture names its bitmap where a control has its text; the control itself is static.
    const bool picture = control.kind == ControlKind::Picture;
    const std::string text = picture ? std::to_string(control.id) : quoted(control.text);
    const int id = picture ? tevra::res::kCtlStatic : control.id;
    out << "  CONTROL " << text << ", " << id << ", " << quoted(win32.windowClass) << ", "
        << win32.style << ", " << control.x << ", " << control.y << ", " << control.w << ", "
        << control.h << "\n";
  }
  out << "END\n\n";
}

void writeMenu(std::ostream& out) {
  out << tevra::res::kMenuMain << " MENU\nBEGIN\n";
  for (const tevra::res::MenuDef& menu : tevra::res::kMainMenu) {
    out << "  POPUP " << quoted(menu.title) << "\n  BEGIN\n";
    for (const tevra::res::MenuItemDef& item : menu.items) {
      if (item.command == 0) {
        out << "    MENUITEM SEPARATOR\n";
      } else {
        out << "    MENUITEM " << quoted(item.text) << ", " << item.command << "\n";
      }
    }
    out << "  END\n";
  }
  out << "END\n\n";
}

void writeStrings(std::ostream& out) {
  namespace res = tevra::res;
  const std::pair<int, const char*> strings[] = {
      {res::kIdsLinkAddress, res::kLinkAddress},
      {res::kIdsFileFilter, res::kFileFilter},
      {res::kIdsPortOpenFailed, res::kPortOpenFailed},
      {res::kIdsAppTitle, res::kAppTitle},
  };
  out << "STRINGTABLE\nBEGIN\n";
  for (const auto& [id, text] : strings) out << "  " << id << ", " << quoted(text) << "\n";
  out << "END\n";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: tevra-rcgen OUTPUT.rc ICON.ico BITMAP.bmp\n";
    return 2;
  }
  std::ostringstream script;
  script << "// Generated by tevra-rcgen from res/: edit res/, not this file.\n"
         << "#pragma code_page(1252)\n"
         << "#include <windows.h>\n\n"
         << tevra::res::kIconMain << " ICON " << quotedPath(argv[2]) << "\n"
         << tevra::res::kBitmapAbout << " BITMAP " << quotedPath(argv[3]) << "\n\n";
  writeMenu(script);
  writeDialog(script, tevra::res::kAboutDialog);
  writeDialog(script, tevra::res::kSettingsDialog);
  writeStrings(script);

  std::ofstream file(argv[1], std::ios::binary);
  file << script.str();
  file.close();
  if (!file) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}

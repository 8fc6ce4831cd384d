#pragma once

#include <span>
#include <string>

#include "res/ResourceIds.h"

// Menu 110: the main window's menu bar of two drop-down menus.
namespace tevra::res {

// A drop-down entry; command 0 is a separator. `checkable` items show an option.
struct MenuItemDef {
  const char* text;
  int command;
  bool checkable;
};

struct MenuDef {
  const char* title;
  std::span<const MenuItemDef> items;
};

inline constexpr MenuItemDef kSeparator{nullptr, 0, false};

inline constexpr MenuItemDef kTerminalMenuItems[] = {
    {"&About", kCmdAbout, false},
    kSeparator,
    {"Clear &screen", kCmdClearScreen, false},
    kSeparator,
    {"Set capture &file...", kCmdCaptureFile, false},
    {"&Capture", kCmdCapture, true},
    kSeparator,
    {"Send text f&ile", kCmdSendFile, true},
    {"Sto&p sending", kCmdStopSending, false},
    kSeparator,
    {"Cl&ose", kCmdClose, false},
};

inline constexpr MenuItemDef kSettingsMenuItems[] = {
    {"&Incoming CR = CR+LF", kCmdInCR, true},
    {"&Outgoing CR = CR+LF", kCmdOutCR, true},
    {"&Local echo", kCmdEcho, true},
    kSeparator,
    {"&Settings...", kCmdSettings, false},
};

inline constexpr MenuDef kMainMenu[] = {
    {"Terminal", kTerminalMenuItems},
    {"Settings", kSettingsMenuItems},
};

// The words of the menu item of `command`, without its mnemonic marker and
// trailing ellipsis ("Set capture file"); empty when no item has it.
inline std::string commandWords(int command) {
  for (const MenuDef& menu : kMainMenu) {
    for (const MenuItemDef& item : menu.items) {
      if (item.command != command || command == 0) continue;
      std::string words;
      for (const char* c = item.text; *c; ++c) {
        if (*c != '&') words += *c;
      }
      if (words.size() >= 3 && words.compare(words.size() - 3, 3, "...") == 0) words.resize(words.size() - 3);
      return words;
    }
  }
  return {};
}

}  // namespace tevra::res

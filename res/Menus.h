#pragma once

#include <span>

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

}  // namespace tevra::res

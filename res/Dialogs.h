#pragma once

#include <span>

#include "res/ResourceIds.h"

// Dialogs 101 (About) and 102 (Settings). Positions and sizes are in dialog
// units; the controls are created in table order, which is also the tab order.
namespace tevra::res {

enum class ControlKind {
  GroupBox,
  Label,          // left-aligned text, centred vertically in its box
  DropDownList,   // h is the height of the opened list
  Button,
  DefaultButton,
  Picture,        // a bitmap in a sunken frame
  Text,           // left-aligned text at the top of its box
  Link,
};

// Identifier of a control that is never addressed.
constexpr int kCtlStatic = -1;
constexpr int kCtlOk = 1;
constexpr int kCtlCancel = 2;

struct ControlDef {
  ControlKind kind;
  int id;
  const char* text;
  int x, y, w, h;
};

struct DialogDef {
  int id;
  const char* title;
  int width, height;
  std::span<const ControlDef> controls;
};

inline constexpr ControlDef kSettingsControls[] = {
    {ControlKind::GroupBox, kCtlStatic, "Serial port parameters", 8, 8, 196, 76},
    {ControlKind::Label, kCtlStatic, "COM Port", 16, 24, 36, 12},
    {ControlKind::DropDownList, kCtlPort, nullptr, 56, 24, 44, 160},
    {ControlKind::Label, kCtlStatic, "Baud rate", 16, 44, 36, 12},
    {ControlKind::DropDownList, kCtlBaud, nullptr, 56, 44, 44, 108},
    {ControlKind::Label, kCtlStatic, "Data bits", 16, 64, 36, 12},
    {ControlKind::DropDownList, kCtlDataBits, nullptr, 56, 64, 44, 57},
    {ControlKind::Label, kCtlStatic, "Parity", 112, 24, 28, 12},
    {ControlKind::DropDownList, kCtlParity, nullptr, 148, 24, 44, 57},
    {ControlKind::Label, kCtlStatic, "Stop bits", 112, 44, 28, 12},
    {ControlKind::DropDownList, kCtlStopBits, nullptr, 148, 44, 44, 57},
    // The device the chosen COM name stands for on this system.
    {ControlKind::Label, kCtlPortDevice, "", 112, 64, 88, 12},
    {ControlKind::DefaultButton, kCtlOk, "OK", 40, 96, 50, 14},
    {ControlKind::Button, kCtlCancel, "Cancel", 120, 96, 50, 14},
};

inline constexpr DialogDef kSettingsDialog{kDialogSettings, "Settings", 212, 117, kSettingsControls};

inline constexpr ControlDef kAboutControls[] = {
    {ControlKind::Picture, kBitmapAbout, nullptr, 8, 8, 43, 41},
    {ControlKind::Text, kCtlStatic, "Tevra Terminal", 60, 12, 56, 10},
    {ControlKind::Text, kCtlStatic, "Version 1.1", 60, 24, 40, 10},
    {ControlKind::Text, kCtlBuildDate, "", 104, 24, 96, 10},
    {ControlKind::Text, kCtlStatic, "\u00a9 Tevra Laboratory, Orbel Software", 60, 44, 120, 10},
    {ControlKind::Link, kCtlLink, "", 60, 56, 80, 10},
    {ControlKind::DefaultButton, kCtlOk, "OK", 184, 52, 50, 14},
};

inline constexpr DialogDef kAboutDialog{kDialogAbout, "About", 240, 74, kAboutControls};

}  // namespace tevra::res

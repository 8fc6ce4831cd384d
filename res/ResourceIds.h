#pragma once

// Resource numbers of the program: menu, commands, dialogs, controls, images.
// The shell maps the command numbers to toolkit identifiers in one place.
namespace tevra::res {

constexpr int kMenuMain = 110;
constexpr int kDialogAbout = 101;
constexpr int kDialogSettings = 102;
constexpr int kIconMain = 103;
constexpr int kBitmapAbout = 105;

// Commands
constexpr int kCmdAbout = 40002;
constexpr int kCmdClose = 40003;
constexpr int kCmdInCR = 40011;
constexpr int kCmdEcho = 40012;
constexpr int kCmdClearScreen = 40013;
constexpr int kCmdOutCR = 40015;
constexpr int kCmdCaptureFile = 40020;
constexpr int kCmdCapture = 40021;
constexpr int kCmdSettings = 40022;
constexpr int kCmdSendFile = 40023;
constexpr int kCmdStopSending = 40024;

// Settings dialog controls
constexpr int kCtlPort = 1000;
constexpr int kCtlBaud = 1001;
constexpr int kCtlDataBits = 1002;
constexpr int kCtlParity = 1003;
constexpr int kCtlStopBits = 1004;
// The device path behind the chosen port (a label beside the lists).
constexpr int kCtlPortDevice = 1005;
// About dialog controls
constexpr int kCtlBuildDate = 1013;
constexpr int kCtlLink = 1015;

// The port reader's two messages to the main window on Windows (WM_USER + 10
// and + 11). The wx shell takes the blocks from portDeliver instead.
constexpr int kWmPortData = 1034;
constexpr int kWmPortError = 1035;

// The one window timer: the file sender's.
constexpr int kSendTimerId = 1;
constexpr int kSendIntervalMs = 500;

}  // namespace tevra::res

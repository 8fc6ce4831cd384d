#pragma once

// The program's own strings, each under its resource number (the Windows
// program's string table is written from these).
namespace tevra::res {

constexpr int kIdsLinkAddress = 1001;
constexpr int kIdsFileFilter = 1002;
constexpr int kIdsPortOpenFailed = 1003;
constexpr int kIdsAppTitle = 57344;

// 1001: the maker's web page opened by the About box link.
constexpr const char* kLinkAddress = "https://tevra-laboratory.example/terminal";
// 1002: file chooser filter, pairs of display name and pattern.
constexpr const char* kFileFilter = "Text files (*.txt)|*.txt|All files (*.*)|*.*||";
// 1003: the open-failure text; %1 is the port name ("COM3").
constexpr const char* kPortOpenFailed = "Can't initialize %1 port!";
// 57344: application title, message-box caption, window title, store name.
constexpr const char* kAppTitle = "Terminal";

}  // namespace tevra::res

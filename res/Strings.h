#pragma once

// The program's own strings, each under its resource number.
namespace tevra::res {

// 1001: the maker's web page opened by the About box link.
constexpr const char* kLinkAddress = "https://tevra-laboratory.example/terminal";
// 1002: file chooser filter, pairs of display name and pattern.
constexpr const char* kFileFilter = "Text files (*.txt)|*.txt|All files (*.*)|*.*||";
// 1003: the open-failure text; %1 is the port name ("COM3").
constexpr const char* kPortOpenFailed = "Can't initialize %1 port!";
// 57344: application title, message-box caption, window title, store name.
constexpr const char* kAppTitle = "Terminal";

}  // namespace tevra::res

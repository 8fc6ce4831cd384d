#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <system_error>

#include "core/ScreenBuffer.h"
#include "core/SerialLink.h"
#include "core/SettingsStore.h"
#include "core/TerminalSettings.h"
#include "core/TerminalUi.h"

namespace tevra {

class FileSender;
class Viewport;

// The traffic between keyboard, line, screen and capture file. Runs on the
// UI thread only.
class TerminalSession {
 public:
  // `store` answers the device path behind the port number.
  TerminalSession(TerminalSettings& settings, ScreenBuffer& screen, SerialLink& link,
                  SettingsStore& store, TerminalUi& ui);

  // Opens the port; on failure shows the open-failure box and returns false.
  bool connect();
  void disconnect();
  int onPortData(int count, const std::uint8_t* bytes);
  int onPortError();
  void onChar(int code);
  void toggleInCR();
  void toggleOutCR();
  void toggleEcho();
  void toggleCapture();
  void chooseCaptureFile();
  void capture(const std::uint8_t* bytes, std::size_t count);

  // The Settings dialog's OK: stores `chosen`, stops `sender`, closes and
  // reopens the port. Returns what connect() returned. The caret is the
  // caller's to re-create afterwards.
  bool applyLineSettings(const LineIndices& chosen, FileSender& sender);

  // The window's end: the caret goes, the sending stops, then the settings
  // are saved with the window's restored rectangle.
  void onDestroy(Viewport& view, FileSender& sender, const WindowRect& restoredRect);

 private:
  void send(std::uint8_t byte);
  void reportCaptureFailure(const std::error_code& error);

  TerminalSettings& settings_;
  ScreenBuffer& screen_;
  SerialLink& link_;
  SettingsStore& store_;
  TerminalUi& ui_;
  // Set once a write failure of the capture file was reported, so a steady
  // stream raises one box, not one per chunk. Cleared by a good write or a
  // change of capture or its path.
  bool captureFailureReported_ = false;
  std::string reportedCapturePath_;
};

}  // namespace tevra

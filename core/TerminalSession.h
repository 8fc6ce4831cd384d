#pragma once

#include <cstddef>
#include <cstdint>

#include "core/ScreenBuffer.h"
#include "core/SerialLink.h"
#include "core/SettingsStore.h"
#include "core/TerminalSettings.h"
#include "core/TerminalUi.h"

namespace tevra {

// The traffic between keyboard, line, screen and capture file. Runs on the
// UI thread only.
class TerminalSession {
 public:
  // `store` answers the device path behind the port number.
  TerminalSession(TerminalSettings& settings, ScreenBuffer& screen, SerialLink& link,
                  SettingsStore& store, TerminalUi& ui);

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
};

}  // namespace tevra

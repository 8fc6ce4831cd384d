#pragma once

#include "core/ScreenBuffer.h"
#include "core/SerialLink.h"
#include "core/TerminalSettings.h"
#include "core/TerminalUi.h"

namespace tevra {

// Sends a text file one line per 500 ms tick, each line followed by CR LF.
class FileSender {
 public:
  FileSender(TerminalSettings& settings, ScreenBuffer& screen, SerialLink& link, TerminalUi& ui);
  ~FileSender();

  void start();
  void stop();
  void onTimer();
  int sending() const;
  int timerId() const;
};

}  // namespace tevra

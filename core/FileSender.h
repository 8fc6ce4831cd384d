#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "core/ScreenBuffer.h"
#include "core/SerialLink.h"
#include "core/TerminalSettings.h"
#include "core/TerminalUi.h"

namespace tevra {

// Sends a text file one line per 500 ms tick, each line followed by CR LF.
class FileSender {
 public:
  // Longest part of a line sent per tick; CR LF follow it.
  static constexpr std::size_t kMaxLineBytes = 198;

  FileSender(TerminalSettings& settings, ScreenBuffer& screen, SerialLink& link, TerminalUi& ui);
  ~FileSender();
  FileSender(const FileSender&) = delete;
  FileSender& operator=(const FileSender&) = delete;

  void start();
  void stop();
  void onTimer();
  bool sending() const;
  int timerId() const;

 private:
  class LineReader;

  TerminalSettings& settings_;
  ScreenBuffer& screen_;
  SerialLink& link_;
  TerminalUi& ui_;
  bool sending_ = false;
  int timerId_ = 0;
  std::unique_ptr<LineReader> reader_;  // the open file while sending
};

}  // namespace tevra

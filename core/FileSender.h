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
  // What one tick reads at most to skip the rest of an over-long line, so a tick
  // costs the window well under a millisecond (bench/file_sender_bench) while a
  // line of 1 MiB still takes one tick; a longer rest is skipped over the ticks
  // that follow.
  static constexpr std::size_t kMaxReadPerTick = 1280 * 1024;

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

// What one tick of the file sender costs the window: a file of ordinary lines,
// and the worst tick, one that skips kMaxReadPerTick bytes of an over-long
// line (the file in the page cache, as a file just chosen usually is).
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <optional>
#include <string>

#include "core/FileSender.h"
#include "core/ScreenBuffer.h"
#include "core/SerialLink.h"
#include "core/TerminalSettings.h"
#include "core/TerminalUi.h"

namespace tevra {
namespace {

class QuietUi : public TerminalUi {
 public:
  explicit QuietUi(std::string file) : file_(std::move(file)) {}
  void showError(const std::string&) override {}
  std::optional<std::string> chooseSaveFile(const std::string&, const std::string&,
                                            const std::string&) override {
    return std::nullopt;
  }
  std::optional<std::string> chooseOpenFile(const std::string&, const std::string&) override { return file_; }
  int startTimer(int id, int) override { return id; }
  void killTimer(int) override {}
  void optionsChanged() override {}

 private:
  std::string file_;
};

class TakingLink : public SerialLink {
 public:
  bool open(const LineParameters&, const std::string&) override { return true; }
  void close() override {}
  bool isOpen() const override { return true; }
  bool write(const std::uint8_t*, std::size_t count) override {
    benchmark::DoNotOptimize(count);
    return true;
  }
  std::string failureReason() const override { return {}; }
};

// Ticks through a file of `lines` lines of `lineBytes` bytes, starting again at its end.
void tickThrough(benchmark::State& state, std::size_t lineBytes, std::size_t lines) {
  char pattern[] = "/tmp/tevra-sender-bench-XXXXXX";
  const int fd = ::mkstemp(pattern);
  ::close(fd);
  {
    std::ofstream out(pattern, std::ios::binary);
    const std::string line = std::string(lineBytes, 'z') + "\n";
    for (std::size_t i = 0; i < lines; ++i) out << line;
  }
  TerminalSettings settings;
  settings.termEcho = 0;
  ScreenBuffer screen{settings.termInCR};
  TakingLink link;
  QuietUi ui(pattern);
  FileSender sender(settings, screen, link, ui);
  sender.start();
  for (auto _ : state) {
    if (!sender.sending()) {
      state.PauseTiming();
      sender.start();
      state.ResumeTiming();
    }
    sender.onTimer();
  }
  ::unlink(pattern);
}

void BM_TickOfAnOrdinaryLine(benchmark::State& state) { tickThrough(state, 80, 10000); }
BENCHMARK(BM_TickOfAnOrdinaryLine);

void BM_TickSkippingAnOverLongLine(benchmark::State& state) {
  tickThrough(state, 8 * FileSender::kMaxReadPerTick, 4);
}
BENCHMARK(BM_TickSkippingAnOverLongLine)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tevra

// Throughput of ScreenBuffer::put on a full screen, where every line shifts
// the grid: with the view attached to a window that does nothing (the path
// received data takes) and with no observer at all.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "core/ScreenBuffer.h"
#include "core/Viewport.h"

namespace tevra {
namespace {

class NullWindow : public ViewWindow {
 public:
  void setScrollRange(ScrollBar, int, int, bool) override {}
  void setScrollPos(ScrollBar, int, bool) override {}
  void scrollContents(int, int) override {}
  void invalidateRect(const Rect&, bool) override {}
  void invalidateAll(bool) override {}
  void createCaret(int, int) override {}
  void setCaretPos(int, int) override {}
  void showCaret() override {}
  void hideCaret() override {}
  void destroyCaret() override {}
};

constexpr std::size_t kStreamBytes = 64 * 1024;
constexpr std::size_t kReadBlock = 511;

// Printable text cut into lines of `lineLength` printable bytes, each followed
// by a line feed when `lineFeed` is set.
std::vector<std::uint8_t> textLines(int lineLength, bool lineFeed) {
  std::vector<std::uint8_t> bytes;
  std::uint8_t next = 0x20;
  while (bytes.size() < kStreamBytes) {
    for (int column = 0; column < lineLength; ++column) {
      bytes.push_back(next);
      next = next == 0x7E ? 0x20 : next + 1;
    }
    if (lineFeed) bytes.push_back('\n');
  }
  return bytes;
}

std::vector<std::uint8_t> randomBytes() {
  std::mt19937 generator(7);
  std::uniform_int_distribution<int> byte(0, 255);
  std::vector<std::uint8_t> bytes(kStreamBytes);
  for (auto& value : bytes) value = static_cast<std::uint8_t>(byte(generator));
  return bytes;
}

enum class Observer { View, None };

void putStream(benchmark::State& state, const std::vector<std::uint8_t>& stream, Observer observer) {
  int termInCR = 0;
  ScreenBuffer screen(termInCR);
  NullWindow window;
  Viewport view(screen, window, [] { return true; });
  if (observer == Observer::View) {
    screen.setObserver(&view);
    view.onSize(640, 400);
  }
  // Fill the screen so the cursor sits in the last row: every line shifts.
  const std::vector<std::uint8_t> lineFeeds(kRows - 1, '\n');
  screen.put(lineFeeds.data(), lineFeeds.size());

  for (auto _ : state) {
    // In blocks as the reader hands them over.
    for (std::size_t offset = 0; offset < stream.size(); offset += kReadBlock) {
      screen.put(stream.data() + offset, std::min(kReadBlock, stream.size() - offset));
    }
    benchmark::DoNotOptimize(screen.rowData(kRows - 1));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
}

void BM_PutTextLinesWithView(benchmark::State& state) { putStream(state, textLines(79, true), Observer::View); }
void BM_PutTextLinesNoObserver(benchmark::State& state) { putStream(state, textLines(79, true), Observer::None); }
void BM_PutWrappingLinesWithView(benchmark::State& state) { putStream(state, textLines(80, false), Observer::View); }
void BM_PutWrappingLinesNoObserver(benchmark::State& state) {
  putStream(state, textLines(80, false), Observer::None);
}
void BM_PutRandomBytesWithView(benchmark::State& state) { putStream(state, randomBytes(), Observer::View); }
void BM_PutRandomBytesNoObserver(benchmark::State& state) { putStream(state, randomBytes(), Observer::None); }

BENCHMARK(BM_PutTextLinesWithView);
BENCHMARK(BM_PutTextLinesNoObserver);
BENCHMARK(BM_PutWrappingLinesWithView);
BENCHMARK(BM_PutWrappingLinesNoObserver);
BENCHMARK(BM_PutRandomBytesWithView);
BENCHMARK(BM_PutRandomBytesNoObserver);

}  // namespace
}  // namespace tevra

// Throughput of the serial engine's reader -> queue -> UI-thread hand-off against a
// plain drain loop over the same kind of line, and the CPU an idle open port costs.
//
//   build-h3/bench/serial_engine_bench

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <thread>

#include "serial/posix/LineSettings.h"
#include "serial/SerialPort.h"
#include "tests/support/PtyLine.h"
#include "tests/serial/UiLoop.h"

namespace tevra {
namespace {

using Clock = std::chrono::steady_clock;
using testing::linePattern;
using testing::PtyLine;
using testing::UiLoop;

constexpr std::size_t kFloodBytes = 64u << 20;

// The far end sending kFloodBytes as fast as the line takes them.
std::thread startFlood(const PtyLine& pair) {
  return std::thread([&pair] {
    const auto chunk = linePattern(64u << 10);
    for (std::size_t sent = 0; sent < kFloodBytes; sent += chunk.size()) {
      if (!pair.send(chunk)) throw std::runtime_error("the flood stalled");
    }
  });
}

struct EngineRun {
  double seconds;
  double blocksPerWake;
};

EngineRun drainThroughEngine() {
  PtyLine pair;
  UiLoop ui(false);
  portInit();
  portSetLine(1, 115200, 8, Parity::kNone, StopBits::kOne);
  if (portOpen(pair.slavePath(), &ui) == 0) throw std::runtime_error(portFailureReason());
  const auto start = Clock::now();
  std::thread flood = startFlood(pair);
  const bool drained = ui.pumpBytes(kFloodBytes, std::chrono::minutes(5));
  const std::chrono::duration<double> took = Clock::now() - start;
  flood.join();
  portTerm();
  if (!drained) throw std::runtime_error("the engine lost bytes");
  return {took.count(), static_cast<double>(ui.blockSizes.size()) / static_cast<double>(ui.wakes())};
}

double drainPlainly() {
  PtyLine pair;
  const int line = ::open(pair.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (line < 0 || applyLineSettings(line, LineParameters{1, 115200, 8, Parity::kNone, StopBits::kOne}) != LineOutcome::kApplied) {
    throw std::runtime_error("cannot set up the plain line");
  }
  std::uint8_t block[kPortBlockBytes];
  std::size_t received = 0;
  const auto start = Clock::now();
  std::thread flood = startFlood(pair);
  while (received < kFloodBytes) {
    pollfd readable{line, POLLIN, 0};
    ::poll(&readable, 1, -1);
    ssize_t got;
    while ((got = ::read(line, block, sizeof block)) > 0) received += static_cast<std::size_t>(got);
  }
  const std::chrono::duration<double> took = Clock::now() - start;
  flood.join();
  ::close(line);
  return took.count();
}

void BM_EngineDeliveryAgainstPlainDrain(benchmark::State& state) {
  double engineSeconds = 0;
  double plainSeconds = 0;
  double blocksPerWake = 0;
  for (auto _ : state) {
    const EngineRun engine = drainThroughEngine();
    plainSeconds += drainPlainly();
    engineSeconds += engine.seconds;
    blocksPerWake += engine.blocksPerWake;
    state.SetIterationTime(engine.seconds);
  }
  const double runs = static_cast<double>(state.iterations());
  const double megabytes = static_cast<double>(kFloodBytes) / 1e6 * runs;
  state.SetBytesProcessed(static_cast<std::int64_t>(kFloodBytes) * state.iterations());
  state.counters["engine_MB_per_s"] = megabytes / engineSeconds;
  state.counters["plain_MB_per_s"] = megabytes / plainSeconds;
  state.counters["engine_to_plain"] = plainSeconds / engineSeconds;
  state.counters["blocks_per_wake"] = blocksPerWake / runs;
}
BENCHMARK(BM_EngineDeliveryAgainstPlainDrain)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

double processCpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& time) { return time.tv_sec + time.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

void BM_IdleOpenPortCpu(benchmark::State& state) {
  PtyLine pair;
  UiLoop ui;
  portInit();
  portSetLine(1, 9600, 8, Parity::kNone, StopBits::kOne);
  if (portOpen(pair.slavePath(), &ui) == 0) throw std::runtime_error(portFailureReason());
  double cpu = 0;
  for (auto _ : state) {
    const double before = processCpuSeconds();
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(10));
    cpu += processCpuSeconds() - before;
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
  }
  portTerm();
  state.counters["cpu_ms_per_10s"] = cpu * 1000 / static_cast<double>(state.iterations());
}
BENCHMARK(BM_IdleOpenPortCpu)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tevra

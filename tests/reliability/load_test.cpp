// A flood into the running program with capture on: nothing lost, nothing
// kept that grows with the amount received.

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>

#include "ReliabilityRun.h"

namespace tevra::apptest {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The sanitizer's quarantine is held to this while the peak is measured.
constexpr long kQuarantineMiB = 1;

using LoadTest = ReliabilityFixture;

TEST_F(LoadTest, AFloodIsCapturedByteForByteAndPeakMemoryStaysFlat) {
  const auto small = static_cast<std::size_t>(scaled("TEVRA_SMALL_FLOOD_KIB", 1024, 1024)) * 1024;
  const auto large = static_cast<std::size_t>(scaled("TEVRA_FLOOD_MIB", 8, 8)) * kMiB;
  const fs::path capture = run_.folder() / "flood.cap";
  if (kSanitized) {
    // The sanitizer's quarantine keeps freed memory (256 MB by default): the peak
    // would grow with every allocation, kept or not. The program inherits this.
    const char* inherited = std::getenv("ASAN_OPTIONS");
    const std::string options = std::string(inherited ? inherited : "") +
                                ":quarantine_size_mb=" + std::to_string(kQuarantineMiB);
    ::setenv("ASAN_OPTIONS", options.c_str(), 1);
  }
  startCapturingTo(capture);

  // The small flood warms up every path (painting, capture, hand-off) first.
  const std::string first = floodPayload(small, 1);
  {
    Flood flood(line().master(), first);
    ASSERT_TRUE(waitReceived(static_cast<long>(small), 120s)) << reportNumber("bytes_received");
  }
  const pid_t pid = run_.app().pid();
  const long peakAfterSmall = statusKilobytes(pid, "VmHWM");

  const std::string second = floodPayload(large, 2);
  const auto started = Clock::now();
  {
    Flood flood(line().master(), second);
    ASSERT_TRUE(waitReceived(static_cast<long>(small + large), 600s))
        << reportNumber("bytes_received");
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  const long peakAfterLarge = statusKilobytes(pid, "VmHWM");

  const std::string captured = fileText(capture);
  EXPECT_EQ(captured.size(), small + large);
  EXPECT_EQ(firstDifference(captured, first + second), std::string::npos)
      << "the capture differs from the line";

  // Keeping what it received would add `large` bytes to the peak.
  const long growthKiB = peakAfterLarge - peakAfterSmall;
  const long marginKiB = std::min<long>(static_cast<long>(large / 1024 / 4), 4096) +
                         (kSanitized ? kQuarantineMiB * 1024 : 0);
  EXPECT_LT(growthKiB, marginKiB) << "peak memory grew with the amount received: " << peakAfterSmall
                                  << " kB -> " << peakAfterLarge << " kB";
  std::cout << "flood " << large / kMiB << " MiB in " << seconds
            << " s = " << large / kMiB / seconds << " MiB/s; VmHWM after " << small / 1024
            << " KiB: " << peakAfterSmall << " kB, after +" << large / kMiB
            << " MiB: " << peakAfterLarge << " kB\n";
  RecordProperty("throughput_kib_per_s",
                 static_cast<int>(static_cast<double>(large) / 1024 / seconds));
  RecordProperty("vmhwm_small_kb", static_cast<int>(peakAfterSmall));
  RecordProperty("vmhwm_large_kb", static_cast<int>(peakAfterLarge));
}

}  // namespace
}  // namespace tevra::apptest

#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// Counters and a state snapshot for measurement and tests. When the
// environment names a file in TEVRA_STATS_FILE, the program writes
// "name=value" lines there on exit and whenever it receives SIGUSR1.
// TEVRA_HEARTBEAT_MS=N adds a UI heartbeat: a timer every N ms whose longest
// gap between two runs shows how long the window stalled.
namespace tevra::app {

struct RunCounters {
  std::uint64_t paints = 0;         // paint events handled
  std::uint64_t refreshes = 0;      // invalidations passed to the toolkit
  std::atomic<std::uint64_t> wakesPosted = 0;  // wake-ups posted, on the reader thread
  std::uint64_t wakesHandled = 0;   // wake-ups the UI thread handled
  std::uint64_t blocksDelivered = 0;
  std::uint64_t bytesReceived = 0;
  std::uint64_t heartbeats = 0;          // runs of the heartbeat timer
  std::int64_t heartbeatMaxGapUs = 0;    // longest gap between two runs since the last report
};

using ReportValues = std::vector<std::pair<std::string, std::string>>;

// The file named by TEVRA_STATS_FILE, empty when none.
std::string runReportPath();

// The heartbeat's interval from TEVRA_HEARTBEAT_MS; 0 (no heartbeat) when unset or not a positive number.
int heartbeatIntervalMs();

// Replaces the report file at once (write a temporary, then rename), so a
// reader never sees half a report. Does nothing without a report path.
void writeRunReport(const ReportValues& values);

}  // namespace tevra::app

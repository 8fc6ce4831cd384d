#include "app/RunReport.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace tevra::app {

std::string runReportPath() {
  const char* path = std::getenv("TEVRA_STATS_FILE");
  return path ? path : "";
}

int heartbeatIntervalMs() {
  const char* text = std::getenv("TEVRA_HEARTBEAT_MS");
  if (!text) return 0;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  return end != text && *end == '\0' && value > 0 && value <= 60000 ? static_cast<int>(value) : 0;
}

void writeRunReport(const ReportValues& values) {
  const std::string path = runReportPath();
  if (path.empty()) return;
  const std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::trunc);
    for (const auto& [name, value] : values) out << name << '=' << value << '\n';
    if (!out) return;
  }
  std::rename(temporary.c_str(), path.c_str());
}

}  // namespace tevra::app

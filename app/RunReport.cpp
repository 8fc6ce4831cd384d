#include "app/RunReport.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace tevra::app {

std::string runReportPath() {
  const char* path = std::getenv("TEVRA_STATS_FILE");
  return path ? path : "";
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

#include "tests/support/Environment.h"

#include <stdlib.h>

#include <cstdlib>

namespace tevra::testing {

void setEnvironmentVariable(const std::string& name, const std::optional<std::string>& value) {
#ifdef _WIN32
  // _putenv_s keeps the C runtime's copy, which getenv reads, and the process's in step.
  _putenv_s(name.c_str(), value ? value->c_str() : "");
#else
  if (value) {
    ::setenv(name.c_str(), value->c_str(), 1);
  } else {
    ::unsetenv(name.c_str());
  }
#endif
}

ScopedEnvironment::~ScopedEnvironment() {
  for (const auto& [name, value] : saved_) setEnvironmentVariable(name, value);
}

void ScopedEnvironment::set(const std::string& name, const std::optional<std::string>& value) {
  if (!saved_.contains(name)) {
    const char* before = std::getenv(name.c_str());
    saved_[name] = before ? std::optional<std::string>(before) : std::nullopt;
  }
  setEnvironmentVariable(name, value);
}

}  // namespace tevra::testing

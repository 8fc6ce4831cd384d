#pragma once

#include <map>
#include <optional>
#include <string>

namespace tevra::testing {

// Sets (a value) or removes (nullopt) an environment variable of this process.
// On Windows an empty value removes the variable as well.
void setEnvironmentVariable(const std::string& name, const std::optional<std::string>& value);

// Environment variables changed for a while: each one changed through set()
// gets its value from before back when the object goes.
class ScopedEnvironment {
 public:
  ScopedEnvironment() = default;
  ~ScopedEnvironment();
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

  void set(const std::string& name, const std::optional<std::string>& value);

 private:
  std::map<std::string, std::optional<std::string>> saved_;
};

}  // namespace tevra::testing

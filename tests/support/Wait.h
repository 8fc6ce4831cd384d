#pragma once

#include <chrono>
#include <functional>

namespace tevra::testing {

using namespace std::chrono_literals;

// Generous: the machine may be loaded and the program may run under sanitizers.
constexpr std::chrono::milliseconds kPatience = 30s;

// Polls `condition` every 50 ms until it holds or `patience` runs out.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds patience = kPatience);

}  // namespace tevra::testing

#include <gtest/gtest.h>

#include <string>

#include "core/Platform.h"

namespace tevra {
namespace {

// COM10 and above open only through the device namespace, so every port uses it.
TEST(WindowsPortDevice, EveryPortThroughTheDeviceNamespace) {
  const struct {
    int port;
    const char* device;
  } cases[] = {{1, "\\\\.\\COM1"}, {2, "\\\\.\\COM2"}, {9, "\\\\.\\COM9"}, {10, "\\\\.\\COM10"}, {12, "\\\\.\\COM12"}};
  for (const auto& entry : cases) EXPECT_EQ(defaultPortDevice(entry.port), entry.device) << "COM" << entry.port;
}

}  // namespace
}  // namespace tevra

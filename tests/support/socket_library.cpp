// Test programs on Windows: Windows Sockets is started once before the
// first test and stopped after the last, as the front ends do at start-up
// and teardown. Linked into every test program of a Windows build.
#include <gtest/gtest.h>

#include <cstdint>

#include "platform/socket.h"

namespace {

class SocketLibrary : public ::testing::Environment {
 public:
  void SetUp() override {
    std::uint32_t error = 0;
    ASSERT_TRUE(orvane::platform::SocketStartup(&error)) << "Windows Sockets 2.2 did not start: " << error;
  }
  void TearDown() override { orvane::platform::SocketCleanup(); }
};

[[maybe_unused]] ::testing::Environment* const kRegistered =
    ::testing::AddGlobalTestEnvironment(new SocketLibrary);

}  // namespace

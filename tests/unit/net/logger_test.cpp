// The log's stamps (the lines' priorities and the file: tests/net/test_service.py).
#include "net/log/logger.h"

#include <gtest/gtest.h>

namespace {

TEST(Logger, StampsAreUtcWithMilliseconds) {
    using namespace std::chrono;
    EXPECT_EQ(netp::isoTimestamp(system_clock::time_point{}), "1970-01-01T00:00:00.000Z");
    EXPECT_EQ(netp::isoTimestamp(system_clock::time_point{milliseconds{1'700'000'000'123}}),
              "2023-11-14T22:13:20.123Z");
}

}  // namespace

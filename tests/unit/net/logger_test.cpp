// The log's lines: wall-clock stamps, priorities journald reads, one event per line.
#include "net/log/logger.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

TEST(Logger, StampsAreUtcWithMilliseconds) {
    using namespace std::chrono;
    EXPECT_EQ(netp::isoTimestamp(system_clock::time_point{}), "1970-01-01T00:00:00.000Z");
    EXPECT_EQ(netp::isoTimestamp(system_clock::time_point{milliseconds{1'700'000'000'123}}),
              "2023-11-14T22:13:20.123Z");
}

TEST(Logger, StderrCarriesThePriorityAndTheFileTheLevel) {
    std::string t = (std::filesystem::temp_directory_path() / "l2pt-log-XXXXXX").string();
    const std::string dir = ::mkdtemp(t.data());
    const std::string file = dir + "/l2pt.log";
    ::testing::internal::CaptureStderr();
    {
        netp::Logger log({file, true});
        log.error("bad\nthing");
        log.debug("detail");
    }
    const std::string err = ::testing::internal::GetCapturedStderr();
    std::stringstream text;
    text << std::ifstream(file).rdbuf();
    std::filesystem::remove_all(dir);
    const char* stamp = "[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}Z";
    EXPECT_THAT(err, ::testing::MatchesRegex(std::string("<3>") + stamp + " bad thing\n<7>" +
                                             stamp + " detail\n"));
    EXPECT_THAT(text.str(), ::testing::MatchesRegex(std::string(stamp) + " error: bad thing\n" +
                                                    stamp + " debug: detail\n"));
}

}  // namespace

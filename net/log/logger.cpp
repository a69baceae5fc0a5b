#include "net/log/logger.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <stdexcept>

#include "net/log/escape.h"

namespace netp {

namespace {

constexpr mode_t kLogFileMode = 0640;
constexpr int kMsPerSecond = 1000;
constexpr int kTmYearBase = 1900;

// By priority, from Level::Error on.
constexpr std::array<std::string_view, 5> kLevelWords{"error", "warning", "notice", "info",
                                                      "debug"};

std::string_view levelWord(Level level) {
    return kLevelWords[static_cast<size_t>(level) - static_cast<size_t>(Level::Error)];
}

}  // namespace

std::string isoTimestamp(std::chrono::system_clock::time_point t) {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(t.time_since_epoch()).count();
    const time_t seconds = static_cast<time_t>(ms / kMsPerSecond);
    tm utc{};
    gmtime_r(&seconds, &utc);
    char out[64];  // room for any year the compiler can imagine
    std::snprintf(out, sizeof out, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + kTmYearBase,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(ms % kMsPerSecond));
    return out;
}

Logger::Logger(LogOptions options) : opt_(std::move(options)) {
    if (opt_.file.empty())
        return;
    file_ = openFile();
    if (!file_.valid())
        throw std::runtime_error("cannot open log file " + opt_.file + ": " + std::strerror(errno));
}

Fd Logger::openFile() const {
    // Appended to, never followed through a symlink: the daemon may run as root.
    return Fd(::open(opt_.file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW,
                     kLogFileMode));
}

void Logger::write(int fd, std::string_view line) {
    // One write per line, retried after a signal; a log that cannot take a line loses it.
    ssize_t n;
    do {
        n = ::write(fd, line.data(), line.size());
    } while (n < 0 && errno == EINTR);
}

void Logger::log(Level level, std::string_view text) {
    const std::string stamp = isoTimestamp(std::chrono::system_clock::now());
    const std::string body = escapeControls(text);  // one event, one line, no terminal codes
    std::lock_guard lock(mutex_);
    if (opt_.toStderr) {
        write(STDERR_FILENO,
              "<" + std::to_string(static_cast<int>(level)) + ">" + stamp + " " + body + "\n");
    }
    if (file_.valid())
        write(file_.get(), stamp + " " + std::string(levelWord(level)) + ": " + body + "\n");
}

void Logger::reopen() {
    if (opt_.file.empty())
        return;
    Fd fresh = openFile();
    if (!fresh.valid()) {
        warning("cannot reopen log file " + opt_.file + ": " + std::strerror(errno) +
                "; the lines go on to the file open before");
        return;
    }
    {
        std::lock_guard lock(mutex_);
        file_ = std::move(fresh);
    }
    info("log file " + opt_.file + " reopened");
}

}  // namespace netp

// The log of l2pt-chassisd and l2ptd: one line per event, stamped with the wall clock (ISO 8601,
// UTC, milliseconds). On stderr each line starts with its syslog priority ("<6>"), so journald
// keeps the levels; a log file, when given, gets the level as a word and is reopened on demand
// (after logrotate moved it away, on SIGHUP).
#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <string_view>

#include "net/io/socket.h"

namespace netp {

enum class Level { Error = 3, Warning = 4, Notice = 5, Info = 6, Debug = 7 };

struct LogOptions {
    std::string file;  // empty: stderr only
    bool toStderr = true;
};

class Logger {
  public:
    // std::runtime_error when the file cannot be opened.
    explicit Logger(LogOptions options);

    // Safe from any thread; a line is written whole or not at all.
    void log(Level level, std::string_view text);
    void error(std::string_view text) { log(Level::Error, text); }
    void warning(std::string_view text) { log(Level::Warning, text); }
    void info(std::string_view text) { log(Level::Info, text); }
    void debug(std::string_view text) { log(Level::Debug, text); }

    // Opens the file by its name again, for the lines from now on; when that fails the old
    // file is kept and the reason is logged.
    void reopen();

  private:
    Fd openFile() const;
    void write(int fd, std::string_view line);

    LogOptions opt_;
    std::mutex mutex_;
    Fd file_;
};

// "2025-03-01T12:34:56.789Z"
std::string isoTimestamp(std::chrono::system_clock::time_point t);

}  // namespace netp

// The library's log: one optional file, written line by line as plain text.
//
// A line is "hh:mm:ss:mmm  " (local time), a tag for its level and the message, which carries
// its own line feed. Lines are buffered by the stream and reach the file when its buffer fills,
// when another file is opened or when the library unloads.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>

namespace drvkit {

enum LogLevel : int32_t { kLogError = 0, kLogWarning = 1, kLogInfo = 2 };

// One log record: a level and the message formatted into at most 2047 characters.
class LogMessage {
public:
    static constexpr size_t kBufferSize = 2048;
    static constexpr unsigned kTimeStamp = 2;
    static constexpr unsigned kLevelTag = 1;

    LogMessage(int32_t level, const char* format, va_list args);
    virtual ~LogMessage() = default;

    // The line: with kTimeStamp the time stamp, with kLevelTag the level's tag, then the text.
    std::string compose(unsigned flags) const;

    int32_t level;
    std::string text;

private:
    void appendTimeStamp(std::string& line) const;
    void appendLevelTag(std::string& line) const;
};

class LogFile {
public:
    LogFile() = default;
    virtual ~LogFile();
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Closes the open file, then opens `path` for appending. True when a file is open.
    bool open(const std::string& path);
    bool isOpen() const { return stream_ != nullptr; }
    // Writes the line as it stands. False when no file is open or the write failed.
    bool write(const std::string& line);

private:
    std::FILE* stream_ = nullptr;
};

class Logger {
public:
    virtual ~Logger() = default;

    // Formats and writes one line; formatted and dropped while no file is open.
    void log(int32_t level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    bool enableLogging(const std::string& path) { return file_.open(path); }

private:
    LogFile file_;
};

}  // namespace drvkit

#include "drvkit/installer_log.h"

#include <cstring>

#include "fs/fs.h"

namespace drvkit {

LogMessage::LogMessage(int32_t level, const char* format, va_list args) : level(level) {
    char buffer[kBufferSize];
    int length = std::vsnprintf(buffer, sizeof buffer, format, args);
    buffer[kBufferSize - 1] = '\0';
    if (length < 0) buffer[0] = '\0';
    // A message cut to the buffer still ends its line, so the next line starts on its own.
    const size_t formatLength = std::strlen(format);
    if (length >= int(kBufferSize) && formatLength > 0 && format[formatLength - 1] == '\n')
        buffer[kBufferSize - 2] = '\n';
    text = buffer;
}

std::string LogMessage::compose(unsigned flags) const {
    std::string line;
    if (flags & kTimeStamp) appendTimeStamp(line);
    if (flags & kLevelTag) appendLevelTag(line);
    line += text;
    return line;
}

void LogMessage::appendTimeStamp(std::string& line) const {
    fs::SYSTEMTIME local;
    if (fs::SystemTimeToLocalTime(fs::SystemTimeNow(), local) != 1) {
        line += "Unknown time  ";
        return;
    }
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%02i:%02i:%02i:%03u  ", int(local.Hour), int(local.Minute),
                  int(local.Second), unsigned(local.Milliseconds));
    line += stamp;
}

void LogMessage::appendLevelTag(std::string& line) const {
    switch (level) {
        case kLogError: line += "ERROR:  \t"; break;
        case kLogWarning: line += "WARNING:\t"; break;
        case kLogInfo: line += "INFO:   \t"; break;
        default: line += "Unknown type:  "; break;
    }
}

LogFile::~LogFile() {
    if (stream_) std::fclose(stream_);
}

bool LogFile::open(const std::string& path) {
    if (stream_) std::fclose(stream_);
    stream_ = nullptr;
    if (!path.empty()) stream_ = std::fopen(fs::ToNativePath(path).c_str(), "a+");
    return stream_ != nullptr;
}

bool LogFile::write(const std::string& line) {
    if (!stream_) return false;
    return std::fwrite(line.data(), 1, line.size(), stream_) == line.size();
}

void Logger::log(int32_t level, const char* format, ...) {
    if (!file_.isOpen()) return;
    va_list args;
    va_start(args, format);
    LogMessage message(level, format, args);
    va_end(args);
    file_.write(message.compose(LogMessage::kTimeStamp | LogMessage::kLevelTag));
}

}  // namespace drvkit

// Run-time errors as the programs know them: a number, the source that raised it and a
// description. Helpers raise vb::Error with the numbers callers rely on (5, 6, 9, 13, 53, 383 ...);
// procedures with a failure path catch it and log "Error #<number>: <description> in <name>".
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace vb {

// The platform's standard description of an error number ("Overflow" for 6 ...); for a number
// without one, "Application-defined or object-defined error".
const std::string& StandardDescription(int32_t number);

class Error : public std::runtime_error {
public:
    // Standard description for the number.
    explicit Error(int32_t number, std::string source = "");
    Error(int32_t number, std::string source, std::string description);

    int32_t Number() const { return number_; }
    const std::string& Source() const { return source_; }
    const std::string& Description() const { return description_; }

private:
    int32_t number_;
    std::string source_;
    std::string description_;
};

// Raises error `number` with its standard description.
[[noreturn]] void Raise(int32_t number, const std::string& source = "");
[[noreturn]] void Raise(int32_t number, const std::string& source, const std::string& description);

// The run-time error that fits a C++ exception: a vb::Error as it is; std::bad_alloc 7 (Out of
// memory); std::out_of_range 9 (Subscript out of range); std::overflow_error and
// std::range_error 6 (Overflow); a file-system error by its cause (53 File not found,
// 76 Path not found, 70 Permission denied, 58 File already exists, 61 Disk full, otherwise 75
// Path/File access error); any other exception 5 (Invalid procedure call or argument) with the
// exception's text as the description.
Error FromException(const std::exception& e, const std::string& source = "");
// The same for the exception being handled; call it only inside a catch block.
Error CurrentException(const std::string& source = "");

// The usual failure line: prefix + number + ": " + description + tail, e.g.
// ErrorLine("Error #", e, " in ReopenDatabase.  Exiting abnormally.").
std::string ErrorLine(const std::string& prefix, const Error& e, const std::string& tail);

}  // namespace vb

// Text files as the automation files are written: fields in the manner of the platform's
// delimited-text input, read from a file whose size is bounded.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace basAutomation {

// Splits text into fields: leading blanks and tabs are skipped; a field ends at a comma or at
// the end of a line (CR, LF or CR LF); a field that starts with a double quote runs to the
// closing quote (which may lie on a later line), and what follows it up to the next comma or
// line end is dropped. An empty line gives one empty field. Unquoted fields lose trailing
// blanks.
std::vector<std::string> SplitDelimitedFields(const std::string& text);

// Reads the first `limit` bytes of a file (all of a shorter one). False when it does not exist,
// is not a regular file (a FIFO, a device) or cannot be read.
bool ReadFileStart(const std::string& fileName, size_t limit, std::string& content);

// Reads a whole file of at most `limit` bytes. False when it does not exist, cannot be read or
// is larger (no more than limit + 1 bytes are ever read).
bool ReadBoundedFile(const std::string& fileName, size_t limit, std::string& content);

}  // namespace basAutomation

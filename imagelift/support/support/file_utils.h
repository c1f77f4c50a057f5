// File, date and path helpers (basUtils): reading a file (or its start) into a byte array,
// formatting platform date records by pattern (date_text.h), splitting a path, finding a free
// file name.
#pragma once

#include <cstdint>
#include <string>

#include "fs/fs.h"
#include "support/byte_utils.h"
#include "support/date_text.h"

namespace basUtils {

// The progress control a long read may drive (the window layer implements it). It is used only
// when its type name is "ProgressBar".
class IProgressControl {
public:
    virtual ~IProgressControl() = default;
    virtual std::string TypeName() const = 0;
    virtual void SetMin(int32_t value) = 0;
    virtual void SetMax(int32_t value) = 0;
    virtual int32_t Max() const = 0;
    virtual void SetValue(int32_t value) = 0;
};

// Reads the file into `data`. The read that meets the end of the file counts as one more
// element: a whole file of n bytes gives n + 1 elements (its bytes and a 0); a read limit
// L > 0 on a longer file gives its first L + 1 bytes. 1 when the result has at least three
// elements (a file of two bytes or more), -1 for a missing or shorter file (data is then at
// least {0}). A file that cannot be opened or read, or is no regular file (a folder, a FIFO),
// raises vb::Error (53, 70, 75 ...).
// With a progress bar, its Max is the size in steps of 128 KB and its Value follows the read;
// with a window handle as well, the window is repainted and pending messages run at the end.
int32_t ReadFileToByteArray(const std::string& fileName, ByteArray& data, int32_t readLimit = 0,
                            IProgressControl* progress = nullptr, int32_t hWnd = 0);

// folder = the path up to and including its last separator ("\" or "/"), fileName = the rest;
// without a separator the folder is empty. Always 1.
int32_t SplitPath(const std::string& path, std::string& folder, std::string& fileName);

// folder + "\" + base + "." + n as three or more digits + "." + extension for the first n from
// 1 on that names no existing file; a bare file name is placed in the current folder. "" (and
// an ERROR line) on failure.
std::string NewUniqueFilename(const std::string& path);

}  // namespace basUtils

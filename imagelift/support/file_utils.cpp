#include "support/file_utils.h"

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <system_error>

#include "clock/clock.h"
#include "support/debug_log.h"
#include "user/user.h"
#include "vbrt/convert.h"
#include "vbrt/error.h"

namespace basUtils {

namespace {

constexpr int32_t kProgressStep = 131072;  // the bar counts in steps of 128 KB
constexpr int32_t kGrowthStep = 256;       // the array grows in steps of 256 bytes
constexpr size_t kReadChunk = 65536;       // growth of an array whose file is longer than it said
constexpr uint32_t kWmPaint = 0x000F;

int32_t progressMax(const fs::FileSize64& size) {
    if (size.High != 0) return 32767;
    const int32_t s = size.Low;
    if (s <= 0) return 16384 - (s / kProgressStep);
    if (s / kProgressStep < 1) return 32767;
    return s / kProgressStep;
}

bool isSeparator(char c) { return c == '\\' || c == '/'; }

}  // namespace

int32_t ReadFileToByteArray(const std::string& fileName, ByteArray& data, int32_t readLimit,
                            IProgressControl* progress, int32_t hWnd) {
    IProgressControl* bar = (progress && progress->TypeName() == "ProgressBar") ? progress : nullptr;
    data.assign(1, 0);
    std::string name = fileName;
    if (!fs::FileExists(name)) return -1;

    const fs::FileSize64 size = fs::GetFileSize64(name);
    if (bar) {
        bar->SetMin(0);
        bar->SetMax(progressMax(size));
    }

    const std::filesystem::path native = fs::ToNativePath(name);
    std::error_code ec;
    // A folder, a FIFO or a device is no file to read (a FIFO would block until a writer came).
    if (!std::filesystem::is_regular_file(native, ec)) vb::Raise(75, "basUtils.ReadFileToByteArray");
    errno = 0;
    std::ifstream in(native, std::ios::binary);
    if (!in) {
        const int err = errno;
        vb::Raise(err == EACCES || err == EPERM ? 70 : err == ENOENT ? 53 : 75,
                  "basUtils.ReadFileToByteArray");
    }

    // Element count: the file's bytes plus the element of the read that met the end, cut at
    // limit + 1 when a limit is given. The limit is tested after each byte, so a negative one
    // stops after the first.
    const int64_t wanted = readLimit > 0 ? int64_t(readLimit) + 1 : readLimit < 0 ? 1 : -1;
    // The array is made once at the size the file reports (that trailing element included) and
    // read into in place. Only a file that turns out longer than it reported grows it further.
    int64_t expected = std::max<int64_t>(size.Value(), 0) + 1;
    if (wanted >= 0) expected = std::min(expected, wanted);
    ByteArray bytes(size_t(expected), 0);
    size_t filled = 0;
    for (;;) {
        if (filled == bytes.size()) {
            if (wanted >= 0 && int64_t(filled) >= wanted) break;
            size_t next = filled + kReadChunk;
            if (wanted >= 0) next = std::min(next, size_t(wanted));
            bytes.resize(next, 0);
        }
        const size_t chunk = bytes.size() - filled;
        in.read(reinterpret_cast<char*>(bytes.data() + filled), std::streamsize(chunk));
        const std::streamsize got = in.gcount();
        filled += size_t(got);
        if (got < std::streamsize(chunk)) {
            if (in.bad()) vb::Raise(57, "basUtils.ReadFileToByteArray");
            break;
        }
    }
    const int64_t fileBytes = int64_t(filled);
    int64_t count = fileBytes + 1;
    if (wanted >= 0) count = std::min(count, wanted);
    // count never exceeds what was made, so this only cuts; the element after the file's bytes
    // was never read into and is still zero.
    bytes.resize(size_t(count));

    // The bar moves each time the byte-wise read would have grown its array: before reading
    // the indexes 1, 257, 513 ... of the reads made (the last read made has index count - 1).
    if (bar && size.High == 0 && count - 1 >= 1) {
        const int64_t lastGrowth = 1 + (count - 2) / kGrowthStep * kGrowthStep;
        int32_t shown = -1;
        for (int64_t i = 1; i <= lastGrowth; i += kGrowthStep) {
            const int32_t value = int32_t(i / kProgressStep);
            if (value != shown) {
                bar->SetValue(value);
                shown = value;
            }
        }
    }
    if (hWnd != 0 && bar) {
        const int32_t every = int32_t(vb::RoundHalfEven(bar->Max() / 20.0));
        if (every >= 1 && count % every == 0) {
            user::SendMessage(hWnd, kWmPaint, 0, 0);
            clk::DoEvents();
        }
    }

    data = std::move(bytes);
    return data.size() - 1 > 1 ? 1 : -1;
}

int32_t SplitPath(const std::string& path, std::string& folder, std::string& fileName) {
    const auto it = std::find_if(path.rbegin(), path.rend(), isSeparator);
    if (it == path.rend()) {
        folder.clear();
        fileName = path;
    } else {
        const size_t cut = size_t(path.rend() - it);  // one past the separator
        folder = path.substr(0, cut);
        fileName = path.substr(cut);
    }
    return 1;
}

std::string NewUniqueFilename(const std::string& path) {
    try {
        std::string folder, fileName;
        SplitPath(path, folder, fileName);
        folder = vb::Trim(folder);
        if (!folder.empty() && isSeparator(folder.back())) folder.pop_back();
        // A bare file name belongs in the current folder, not at the root of the drive.
        std::string separator = "\\";
        if (folder.empty() && !(path.size() > 0 && isSeparator(path[0]))) {
            folder = fs::CurDir();
            separator = "/";
        } else if (folder.find('\\') == std::string::npos && folder.find('/') != std::string::npos) {
            separator = "/";
        }

        std::string base = fileName, extension;
        const size_t dot = fileName.rfind('.');
        if (dot != std::string::npos) {
            base = fileName.substr(0, dot);
            extension = fileName.substr(dot + 1);
        }
        for (int64_t n = 1;; ++n) {
            std::string candidate =
                folder + separator + base + "." + vb::Format(n, "000") + "." + extension;
            std::string probe = candidate;
            if (!fs::FileExists(probe)) return candidate;
        }
    } catch (...) {
        const vb::Error e = vb::CurrentException();
        basDebug::DebugLog(vb::ErrorLine("ERROR #", e, " in NewUniqueFilename."), basDebug::ERROR_LEVEL);
        return "";
    }
}

}  // namespace basUtils

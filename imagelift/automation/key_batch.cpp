// Key batches: a text or HTML file with one key read or write per entry, carried out on the
// devices' bootloaders; a data file per successful operation and a report beside the batch.
#include "automation/automation.h"
#include "automation/status_file.h"
#include "automation/text_input.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <unordered_map>

#include "windows/kit.h"
#include "bootloader/keys.h"
#include "bootloader/module.h"
#include "bootloader/state.h"
#include "bus1394/config_rom_texts.h"
#include "bus1394/node_records.h"
#include "forms/form.h"
#include "fs/fs.h"
#include "support/byte_utils.h"
#include "support/date_text.h"
#include "support/db_manager.h"
#include "support/file_utils.h"
#include "support/program_context.h"
#include "vbrt/convert.h"
#include "vbrt/error.h"

namespace basAutomation {

namespace {

using basDebug::ERROR_LEVEL;
using basDebug::USER;
using basDebug::WATCH;

// A batch file or a key data file larger than this is refused.
constexpr size_t kMaxBatchFileBytes = size_t(1) << 20;
// A key holds at most this many bytes (the bootloader's own limit).
constexpr size_t kMaxKeyBytes = size_t(64) << 10;

const ByteArray kSingleTarget{2};

std::string hexText(const ByteArray& bytes) { return basUtils::ByteArrayToHexString(bytes); }

std::string nowText() { return basUtils::FormatSystemTime(fs::LocalTimeNow(), "yyyy-mm-dd hh:nn:ss"); }

std::string appLine() {
    const auto& app = imagelift::Ctx().App;
    return "App='" + app.Title + "' Ver=" + vb::CStr(app.Major) + "." + vb::CStr(app.Minor) + "." +
           vb::CStr(app.Revision) + "  command line = '" + basApp::CommandLineRawText + "'";
}

std::string missingBatchLine(const char* procedure, const std::string& file) {
    return std::string(procedure) + ": \"" + file + "\" does not exist.  Can't perform operation!  (current directory = " +
           fs::CurDir() + ")";
}

// Lines ended by CR LF into a file that is replaced, every write checked: a line that does not
// go in (a full disk) is remembered, and Finish says whether the whole file was written.
//
// The report is written in its place (an existing one is emptied first); a symbolic link in its
// place is not written through: the open fails (Why() says so). A key's data is written beside
// its file under a temporary name, readable by its owner alone whatever the umask (a key is a
// secret), and takes the file's place in one rename once complete: an existing file stays whole
// until then, and one that cannot be replaced (a folder in its place, an immutable file) stays
// as it is.
class TextOut {
public:
    enum class Mode { InPlace, ReplaceWhenDone };

    TextOut(const std::string& fileName, Mode mode) : TextOut(fs::ToNativePath(fileName), mode) {}
    TextOut(std::filesystem::path native, Mode mode) : mode_(mode), native_(std::move(native)) {
        int fd = -1;
        if (mode == Mode::InPlace) {
            fd = ::open(native_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
        } else {
            // A short name beside it: the file's own name may already be as long as names get.
            temp_ = (native_.parent_path() / ".keydata.XXXXXX").string();
            fd = ::mkostemp(temp_.data(), O_CLOEXEC);  // 0600
            if (fd < 0) temp_.clear();
        }
        if (fd < 0) {
            error_ = errno;
            return;
        }
        file_ = ::fdopen(fd, "wb");
        if (!file_) {
            error_ = errno;
            ::close(fd);
            discardTemp();
        }
    }
    ~TextOut() {
        if (file_) std::fclose(file_);
        discardTemp();
    }
    TextOut(const TextOut&) = delete;
    TextOut& operator=(const TextOut&) = delete;

    bool IsOpen() const { return file_ != nullptr; }
    // Why the file could not be opened, written or put in its place.
    std::string Why() const {
        return error_ == ELOOP && mode_ == Mode::InPlace ? std::string("it is a symbolic link, which is not written through")
                                                         : std::string(std::strerror(error_ ? error_ : EIO));
    }
    void Line(const std::string& text) {
        if (!file_ || error_) return;
        if (std::fwrite(text.data(), 1, text.size(), file_) != text.size() || std::fputs("\r\n", file_) == EOF)
            error_ = errno ? errno : EIO;
    }
    // Closes the file: true when every line is in it and (for a key's data) it is in its place.
    bool Finish() {
        if (!file_) return false;
        if (std::fflush(file_) != 0 && !error_) error_ = errno;
        // The data is on the disk before it replaces the file it updates.
        if (mode_ == Mode::ReplaceWhenDone && !error_ && ::fsync(::fileno(file_)) != 0) error_ = errno;
        if (std::fclose(file_) != 0 && !error_) error_ = errno;
        file_ = nullptr;
        if (!error_ && mode_ == Mode::ReplaceWhenDone) {
            if (::rename(temp_.c_str(), native_.c_str()) == 0) {
                temp_.clear();
            } else {
                error_ = errno;
                replaceFailed_ = true;
            }
        }
        discardTemp();
        return error_ == 0;
    }
    // The file was written whole but could not take the place of what stands there.
    bool ReplaceFailed() const { return replaceFailed_; }

private:
    void discardTemp() {
        if (!temp_.empty()) ::unlink(temp_.c_str());
        temp_.clear();
    }

    Mode mode_;
    std::filesystem::path native_;
    std::string temp_;
    std::FILE* file_ = nullptr;
    int error_ = 0;
    bool replaceFailed_ = false;
};

// The files a read's data never replaces, each found by where it is on the disk: by device and
// inode when it exists (a link or a second name to it is the same file), and by its resolved path
// (one that does not exist yet, such as the store's compacted copy, is still the same place).
// A lookup costs the same however many files are kept: a batch of reads stays linear.
class KeptFiles {
public:
    void Add(const std::filesystem::path& native, const char* what) {
        if (const auto id = idOf(native)) byId_.emplace(*id, what);
        byPath_.emplace(placeOf(native), what);
    }
    // Why the file may not be replaced, or nullptr when it may.
    const char* Find(const std::filesystem::path& native) const {
        if (const auto id = idOf(native)) {
            const auto it = byId_.find(*id);
            if (it != byId_.end()) return it->second;
        }
        const auto it = byPath_.find(placeOf(native));
        return it == byPath_.end() ? nullptr : it->second;
    }

private:
    using Id = std::pair<dev_t, ino_t>;
    static std::optional<Id> idOf(const std::filesystem::path& native) {
        struct stat st {};
        if (::stat(native.c_str(), &st) != 0) return std::nullopt;
        return Id{st.st_dev, st.st_ino};
    }
    static std::string placeOf(const std::filesystem::path& native) {
        std::error_code ec;
        const std::filesystem::path place = std::filesystem::weakly_canonical(native, ec);
        return (ec ? native.lexically_normal() : place).string();
    }

    std::map<Id, const char*> byId_;
    std::unordered_map<std::string, const char*> byPath_;
};

// A data file named in a batch lies in the batch file's folder or below it: a name that is
// absolute (a leading separator, a drive, a share) or climbs out with "..", or that reaches
// outside through a symbolic link, would let a batch read any file into a device key or replace
// any file with a key's data.
bool staysInBatchFolder(const std::string& name) {
    if (name.empty() || name.front() == '\\' || name.front() == '/' || name.find(':') != std::string::npos)
        return false;
    // Resolved on disk, ".." and symbolic links included, the file still lies below the folder.
    std::error_code ec;
    const std::filesystem::path folder = std::filesystem::weakly_canonical(fs::ToNativePath(State.KeyDataFolder), ec);
    if (ec) return false;
    const std::filesystem::path file =
        std::filesystem::weakly_canonical(fs::ToNativePath(State.KeyDataFolder + name), ec);
    if (ec) return false;
    const std::filesystem::path relative = file.lexically_relative(folder);
    return !relative.empty() && *relative.begin() != "..";
}

// The first usable target: on a node, with an opened handle.
const basBootloader::BootloaderTarget* firstUsableTarget() {
    for (const auto& t : basBootloader::State.TargetList)
        if (t.Device.NodeNumber != bas1394::kNoNode && t.Handle > 0 && t.Handle != basBootloader::kHandleCreated)
            return &t;
    return nullptr;
}

const char* typeName(int32_t type) {
    return type == kKeyRead ? "Read" : type == kKeyWrite ? "Write" : "Invalid";
}

// A report cell: the words of an entry refused for a tag it did not close may hold "<" or ">".
std::string cellText(const std::string& text) { return vb::Replace(vb::Replace(text, "<", "&lt;"), ">", "&gt;"); }

// Removes the HTML tags of a line; `complete` is false when a "<" or a ">" is left without its
// partner (the line is then returned as it stood at that point), which is logged when `log`.
std::string stripTags(const std::string& line, const std::string& lineNumber, bool log, bool& complete) {
    std::string text = line;
    complete = true;
    for (;;) {
        const size_t open = text.find('<');
        if (open != std::string::npos) {
            const size_t close = text.find('>', open);
            if (close == std::string::npos) {
                complete = false;
                if (log)
                    StatusDisplay("StripHTML: HtmlParse ERROR - '<' with no '>', line " + lineNumber +
                                      ".  Exiting abnormally.",
                                  ERROR_LEVEL);
                break;
            }
            text.erase(open, close - open + 1);
            continue;
        }
        if (text.find('>') != std::string::npos) {
            complete = false;
            if (log)
                StatusDisplay("StripHTML: HtmlParse ERROR - '>' with no '<', line " + lineNumber + ".  Exiting abnormally.",
                              ERROR_LEVEL);
        }
        break;
    }
    return text;
}

// An entry as the parser cleans it: trimmed, its comment cut, its HTML tags removed, trimmed
// again. `complete` is false when a tag did not close: such an entry (half of a tag split
// across lines, say) means something else than it says and is not performed.
std::string cleanEntry(const std::string& field, const std::string& lineNumber, bool log, bool& complete) {
    return vb::Trim(stripTags(StripComments(vb::Trim(field)), lineNumber, log, complete));
}

// The data a successful read brought, without the one closing zero byte the key read adds.
ByteArray dataToWrite(const KeyOperation& op) {
    ByteArray data = op.Data;
    if (op.OperationType == kKeyRead && !data.empty() && data.back() == 0) data.pop_back();
    return data;
}

std::string deviceLine(const ByteArray& deviceId) {
    const int32_t handle = basBootloader::GetTargetHandleByGuid(deviceId);
    const bas1394::NodeRecord node = basBootloader::GetBootloaderDevice(handle);
    if (handle == 0 || node.NodeNumber == bas1394::kNoNode) return "#   Error retrieving device manufacturer & model";
    return "# Device Manufacturer = '" + basConfigRom::GetVendorText(node.ConfigRom) + "'" + "  Model = '" +
           basConfigRom::GetModelText(node.ConfigRom) + "'";
}

// "file://localhost" and the absolute path of a file.
std::string fileLink(const std::string& path) {
    return "file://localhost" + std::filesystem::absolute(fs::ToNativePath(path)).lexically_normal().string();
}

}  // namespace

std::string ReportFileName(const std::string& batchFileName) {
    const std::string upper = vb::UCase(batchFileName);
    auto endsWith = [&](const std::string& tail) {
        return upper.size() >= tail.size() && upper.compare(upper.size() - tail.size(), tail.size(), tail) == 0;
    };
    if (endsWith(".TXT")) return batchFileName.substr(0, batchFileName.size() - 4) + ".out.txt";
    if (endsWith(".HTML")) return batchFileName.substr(0, batchFileName.size() - 5) + ".out.html";
    return batchFileName + ".out.txt";
}

std::string StripComments(const std::string& line) {
    const size_t hash = line.find('#');
    return hash == std::string::npos ? line : line.substr(0, hash);
}

std::string StripHTML(const std::string& line, const std::string& lineNumber) {
    bool complete = true;
    return stripTags(line, lineNumber, true, complete);
}

int32_t SplitArguments(std::string& line, std::vector<std::string>& words) {
    for (char& c : line)
        if (c == '\t') c = ' ';
    while (line.find("  ") != std::string::npos) line = vb::Replace(line, "  ", " ");
    words.clear();
    size_t p = 0;
    while (p <= line.size()) {
        const size_t blank = line.find(' ', p);
        const size_t end = blank == std::string::npos ? line.size() : blank;
        // A blank at either end (a line indented with a tab) leaves no empty word.
        if (end > p) words.push_back(line.substr(p, end - p));
        if (blank == std::string::npos) break;
        p = blank + 1;
    }
    return 1;
}

int32_t KeyDataFromText(const std::string& text, ByteArray& data) {
    data.assign(1, 0);
    std::string joined;
    for (const std::string& field : SplitDelimitedFields(text)) {
        joined += vb::Trim(StripHTML(StripComments(vb::Trim(field))));
        if (joined.size() > kMaxKeyBytes) return -1;
    }
    if (joined.empty()) return -1;
    data = vb::TextToBytes(joined);
    return 1;
}

int32_t GetKeyDataFromFile(const std::string& fileName, ByteArray& data) {
    data.assign(1, 0);
    try {
        std::string content;
        if (!ReadBoundedFile(fileName, kMaxBatchFileBytes, content)) return -1;
        return KeyDataFromText(content, data);
    } catch (...) {
        StatusDisplay(vb::ErrorLine("Error #", vb::CurrentException(), " in GetKeyDataFromFile"), ERROR_LEVEL);
        return -1;
    }
}

size_t ParseKeyOperations(const std::string& text, const std::string& batchFileName, KeyOperationList& operations) {
    if (operations.empty()) operations.resize(1);
    int32_t count = 0;
    size_t leftOut = 0;
    for (const std::string& field : SplitDelimitedFields(text)) {
        ++count;
        // Past the limit the rest is only counted: the report and the exit code say so.
        const bool full = operations.size() > kMaxKeyOperations;
        bool complete = true;
        std::string entry = cleanEntry(field, vb::CStr(count), !full, complete);
        std::vector<std::string> words;
        if (entry.empty() || SplitArguments(entry, words) != 1 || words.empty()) continue;
        if (full) {
            if (leftOut++ == 0)
                StatusDisplay("GetKeyOperationsFromFile: more than " + vb::CStr(int32_t(kMaxKeyOperations)) +
                                  " operations in " + batchFileName + "; the rest is not performed.",
                              ERROR_LEVEL);
            continue;
        }
        // Every entry becomes a row of the report. One that cannot be carried out as written is
        // refused: it stays as a FAILED row, and nothing is read, sent or written for it.
        KeyOperation op;
        op.Refused = !complete;
        const std::string verb = vb::LCase(words[0]);
        const size_t arguments = words.size() - 1;
        if (arguments >= 2) op.KeyName = words[2];
        if (arguments >= 3) op.DataFile = words[3];
        // A data file outside the batch's folder is never read or written.
        auto refuseOutside = [&]() {
            if (op.DataFile.empty() || staysInBatchFolder(op.DataFile)) return false;
            StatusDisplay("GetKeyOperationsFromFile: key data file '" + op.DataFile + "' is outside the folder of " +
                              batchFileName + "; the operation is not performed.",
                          ERROR_LEVEL);
            return true;
        };
        if (verb == "read") {
            op.OperationType = kKeyRead;
            if (arguments < 2) {
                StatusDisplay("GetKeyOperationsFromFile: read operation takes 2 or 3 arguments, not " +
                                  vb::CStr(int32_t(arguments)),
                              ERROR_LEVEL);
                op.Refused = true;
            } else if (refuseOutside()) {
                op.Refused = true;
            }
        } else if (verb == "write") {
            op.OperationType = kKeyWrite;
            const std::string path = State.KeyDataFolder + op.DataFile;
            if (arguments < 3) {
                StatusDisplay("GetKeyOperationsFromFile: write operation takes 3 arguments, not " +
                                  vb::CStr(int32_t(arguments)),
                              ERROR_LEVEL);
                op.Refused = true;
            } else if (refuseOutside()) {
                op.Refused = true;
            } else if (op.Refused) {
                // A tag left open: the data file is not read either.
            } else if (fs::FileExists(std::string_view(path)) && !fs::IsRegularFile(path)) {
                StatusDisplay("GetKeyOperationsFromFile: key data file '" + path + "' is not a regular file!",
                              ERROR_LEVEL);
                op.Refused = true;
            } else if (!fs::FileExists(std::string_view(path))) {
                StatusDisplay("GetKeyOperationsFromFile: key data file '" + path + "' not found!", ERROR_LEVEL);
                op.Refused = true;
            } else if (GetKeyDataFromFile(path, op.Data) != 1) {
                StatusDisplay("GetKeyOperationsFromFile failed to read data from file '" + path + "'!", ERROR_LEVEL);
                op.Refused = true;
            }
        } else {
            StatusDisplay("GetKeyOperationsFromFile: Invalid key operation (first parameter) specified in " +
                              batchFileName,
                          ERROR_LEVEL);
            op.Refused = true;
        }
        if (arguments >= 1 && vb::InStrText(words[1], "--single") > 0) {
            op.DeviceId = kSingleTarget;
        } else if (arguments >= 1) {
            // A device ID that is not hex bytes is refused with this entry alone (its row shows no
            // device): read leniently, a stray letter would name another device.
            const std::string why = ParseDeviceIdText(words[1], op.DeviceId);
            if (!why.empty() && !op.Refused) {
                StatusDisplay("GetKeyOperationsFromFile: device ID '" + words[1] + "' is not valid (" + why +
                                  "); the operation is not performed.",
                              ERROR_LEVEL);
                op.Refused = true;
            }
        }
        if (op.Refused) op.Data.clear();
        operations.push_back(std::move(op));
    }
    return leftOut;
}

int32_t GetKeyOperationsFromFile(const std::string& batchFileName, KeyOperationList& operations, size_t* leftOut) {
    if (leftOut) *leftOut = 0;
    try {
        if (!fs::FileExists(std::string_view(batchFileName))) {
            StatusDisplay(missingBatchLine("GetKeyOperationsFromFile", batchFileName), ERROR_LEVEL);
            return -1;
        }
        if (!fs::IsRegularFile(batchFileName)) {
            StatusDisplay("GetKeyOperationsFromFile: \"" + batchFileName +
                              "\" is not a regular file.  Can't perform operation!",
                          ERROR_LEVEL);
            return -1;
        }
        std::string content;
        if (!ReadBoundedFile(batchFileName, kMaxBatchFileBytes, content)) {
            StatusDisplay("GetKeyOperationsFromFile: \"" + batchFileName + "\" cannot be read or is larger than " +
                              vb::CStr(int32_t(kMaxBatchFileBytes)) + " bytes.  Can't perform operation!",
                          ERROR_LEVEL);
            return -1;
        }
        const size_t left = ParseKeyOperations(content, batchFileName, operations);
        if (leftOut) *leftOut = left;
        return 1;
    } catch (...) {
        StatusDisplay(vb::ErrorLine("Error #", vb::CurrentException(), " in GetKeyOperationsFromFile"), ERROR_LEVEL);
        return -1;
    }
}

int32_t PerformKeyOperations(KeyOperationList& operations) {
    int32_t result = -1;
    try {
        for (size_t i = 1; i < operations.size(); ++i) {
            // A request to end (the session ends, Ctrl-C) stops the batch before its next entry;
            // the entries not performed stay FAILED rows of the report, which is still written.
            if (forms::EndRequested()) {
                StatusDisplay("PerformKeyOperations: the program was asked to end; the last " +
                                  vb::CStr(int32_t(operations.size() - i)) + " of " +
                                  vb::CStr(int32_t(operations.size() - 1)) + " operations are not performed.",
                              ERROR_LEVEL);
                break;
            }
            KeyOperation& op = operations[i];
            if (op.Refused) continue;
            int32_t handle = 0;
            if (op.DeviceId == kSingleTarget) {
                // The first target that is on the bus now, not merely the first one ever seen.
                if (const auto* target = firstUsableTarget()) {
                    handle = target->Handle;
                    ByteArray guid;
                    basUtils::CopyBytes(target->Info.Guid, 0, int32_t(target->Info.Guid.size()), guid, 0);
                    op.DeviceId = guid;
                }
            } else {
                handle = basBootloader::GetTargetHandleByGuid(op.DeviceId);
            }
            // A FAILED row says why in the status file, which takes ERROR lines.
            if (handle == 0 || handle == basBootloader::kHandleCreated) {
                StatusDisplay("PerformKeyOperations: failed to get handle for device '" + hexText(op.DeviceId) + "'",
                              ERROR_LEVEL);
                continue;
            }
            if (op.OperationType == kKeyRead) {
                op.Result = basBootloader::ReadKey(handle, op.KeyName, op.Data);
                if (op.Result == 1) {
                    result = 1;
                    StatusDisplay("PerformKeyOperations: received " + vb::CStr(int32_t(op.Data.size())) +
                                      " bytes from target",
                                  WATCH);
                    StatusDisplay("  data='" + vb::BytesToText(op.Data) + "'", WATCH);
                    if (op.Data.size() < 2) {
                        op.Result = -1;
                        StatusDisplay("PerformKeyOperations: key '" + op.KeyName + "' holds no data.", ERROR_LEVEL);
                    }
                } else {
                    StatusDisplay("PerformKeyOperations: failed to read key value, code 0x" + vb::Hex(op.Result) + ".",
                                  ERROR_LEVEL);
                }
            } else if (op.OperationType == kKeyWrite) {
                op.Result = basBootloader::WriteKey(handle, op.KeyName, op.Data);
                if (op.Result == 1) {
                    result = 1;
                    StatusDisplay("PerformKeyOperations: sent " + vb::CStr(int32_t(op.Data.size())) + " bytes to target",
                                  WATCH);
                    StatusDisplay("  data='" + vb::BytesToText(op.Data) + "'", WATCH);
                } else {
                    StatusDisplay("PerformKeyOperations: failed to read key value, code 0x" + vb::Hex(op.Result) + ".",
                                  ERROR_LEVEL);
                }
            } else {
                StatusDisplay("PerformKeyOperations: unknown key operation type: '" + vb::CStr(op.OperationType),
                              ERROR_LEVEL);
            }
        }
    } catch (...) {
        StatusDisplay(vb::ErrorLine("Error #", vb::CurrentException(), " in PerformKeyOperations"), ERROR_LEVEL);
    }
    return result;
}

int32_t DumpKeyBatchOutput(KeyOperationList& operations, const std::string& batchFileName, size_t leftOut) {
    try {
        const std::string reportName = ReportFileName(batchFileName);
        TextOut report(reportName, TextOut::Mode::InPlace);
        if (!report.IsOpen())
            vb::Raise(75, "DumpKeyBatchOutput", "Cannot write the report '" + reportName + "': " + report.Why() + ".");
        const std::string count = vb::CStr(int32_t(operations.empty() ? 0 : operations.size() - 1));
        const std::string stars = "# ********************************************************";
        std::vector<std::string> header{stars, "<br>", "# " + reportName, "<br>", "# Batch status file written on: " + nowText(),
                                        "<br>", "# " + appLine(), "<br>", "# " + count + " operations performed.", "<br>"};
        if (leftOut > 0) {
            header.push_back("# " + vb::CStr(int32_t(leftOut)) + " further entries were not performed (a batch holds at most " +
                             vb::CStr(int32_t(kMaxKeyOperations)) + ").");
            header.push_back("<br>");
        }
        for (const char* line : {stars.c_str(), "<table border=1><tr><td>",
                                 "# Type </td><td> Device ID </td><td>  Key </td><td> Data File </td><td> Results ",
                                 "</td></tr>"})
            header.push_back(line);
        for (const std::string& line : header) report.Line(line);

        // The files of this run that a read's data never replaces: what the batch reads (itself
        // and the data of its writes), the report being written, the run's status file (still
        // open: its later lines would be lost), the program's store (replaced by its compacted
        // copy when the program ends, so the data would be gone), and the data files this batch
        // has written so far.
        KeptFiles kept;
        kept.Add(fs::ToNativePath(batchFileName), "is an input of this batch");
        kept.Add(fs::ToNativePath(reportName), "is the report of this batch");
        if (!State.StatusFileName.empty()) kept.Add(fs::ToNativePath(State.StatusFileName), "is the status file of this run");
        const auto& ctx = imagelift::Ctx();
        for (const auto& file :
             clsDbManager::StoreFiles(ctx.DbManager ? ctx.DbManager->Folder() : std::filesystem::path(fs::CurDir())))
            kept.Add(file, "is a file of this program's settings and status log store");
        // The data files' names, resolved in the batch's folder as it fills: a name that does not
        // exist yet is looked up among the folder's names without reading the folder again.
        fs::FolderNames names(fs::ToNativePath(State.KeyDataFolder));
        for (size_t i = 1; i < operations.size(); ++i)
            if (operations[i].OperationType == kKeyWrite && !operations[i].DataFile.empty())
                kept.Add(names.Resolve(operations[i].DataFile), "is an input of this batch");

        for (size_t i = 1; i < operations.size(); ++i) {
            KeyOperation& op = operations[i];
            if (op.Result == 1 && op.OperationType == kKeyRead && !op.DataFile.empty()) {
                if (const char* what = kept.Find(names.Resolve(op.DataFile))) {
                    StatusDisplay("DumpKeyBatchOutput: '" + State.KeyDataFolder + op.DataFile + "' " + what +
                                      "; the data read is not written over it.",
                                  ERROR_LEVEL);
                    op.Result = -1;
                }
            }
            if (op.Result != 1) {
                StatusDisplay("# FAILED, code 0x" + vb::Hex(op.Result), USER);
            } else if (op.OperationType == kKeyWrite) {
                // The written data came from this file: it stays as the user wrote it (its comments,
                // its quoted fields), so the next run writes the same data.
            } else {
                if (op.DataFile.empty()) op.DataFile = hexText(op.DeviceId) + ".txt";
                const std::string path = State.KeyDataFolder + op.DataFile;
                const std::filesystem::path native = names.Resolve(op.DataFile);
                if (const char* what = kept.Find(native)) {
                    // A name made of the device ID that an earlier read of this batch wrote.
                    StatusDisplay("DumpKeyBatchOutput: '" + path + "' " + what + "; the data read is not written over it.",
                                  ERROR_LEVEL);
                    op.Result = -1;
                } else {
                    std::error_code ec;
                    const bool existed = std::filesystem::exists(native, ec);
                    if (existed) StatusDisplay("Overwriting existing file '" + path + "'", USER);
                    const std::string rule = "#-----------------------------------------------";
                    TextOut data(native, TextOut::Mode::ReplaceWhenDone);
                    for (const std::string& line :
                         {rule, "# " + op.DataFile, "# date generated: " + nowText(), std::string("# "), "# " + appLine(),
                          deviceLine(op.DeviceId), "# " + count + " operations performed.", std::string("# "),
                          std::string("# Batch Parameters (") + typeName(op.OperationType) + ") Operation): ",
                          "#   Device GUID = " + hexText(op.DeviceId), "#   Key Name = " + op.KeyName, std::string("# "),
                          rule, std::string("# Status: OK"), std::string("# DATA:"), rule,
                          vb::BytesToText(dataToWrite(op)), rule})
                        data.Line(line);
                    // A data file that does not take the data fails its row; the other rows go on.
                    if (data.Finish()) {
                        kept.Add(native, "was written by an earlier read of this batch");
                        names.Added(native);
                    } else {
                        if (existed && data.ReplaceFailed())
                            StatusDisplay("DumpKeyBatchOutput: failed to remove existing file'" + path +
                                              "', aborting operation!",
                                          ERROR_LEVEL);
                        StatusDisplay("DumpKeyBatchOutput: the data file '" + path + "' could not be written (" +
                                          data.Why() + "); the data read is lost.",
                                      ERROR_LEVEL);
                        op.Result = -1;
                    }
                }
            }
            std::string fileCell = "FAILED OPERATION";
            if (op.Result == 1) {
                std::string name = op.DataFile;
                if (name.find(':') != std::string::npos) name = "file://localhost/" + vb::Replace(name, ":", "|");
                fileCell = "<A HREF=\"" + name + "\">" + name + "</A>";
            }
            const std::string resultCell = op.Result == 1    ? "SUCCESS"
                                           : op.Result == -1 ? "FAILED"
                                                             : "FAILED, code 0x" + vb::Hex(op.Result);
            report.Line("<tr><td>");
            std::string row;
            for (const std::string& cell : {std::string(typeName(op.OperationType)), hexText(op.DeviceId),
                                            cellText(op.KeyName), fileCell, resultCell})
                row += cell + " </td><td> ";
            report.Line(row);
            report.Line("</td></tr>");
        }

        report.Line("</table>");
        report.Line("<br>");
        report.Line("#");
        for (const std::string& candidate :
             {State.KeyDataFolder + State.StatusFileName, fs::ProgramFolder() + "\\" + State.StatusFileName,
              fs::CurDir() + "\\" + State.StatusFileName}) {
            if (State.StatusFileName.empty() || !fs::FileExists(std::string_view(candidate))) continue;
            report.Line("Application Status Information: <A HREF=\"" + fileLink(candidate) + "\">" + State.StatusFileName +
                        "</A>");
            break;
        }
        if (!report.Finish()) {
            StatusDisplay("DumpKeyBatchOutput: the report '" + reportName + "' could not be written (" + report.Why() + ").",
                          ERROR_LEVEL);
            return -1;
        }
        if (State.ShowStatusOnExit) OpenWithDesktop(reportName);
        return 1;
    } catch (...) {
        StatusDisplay(vb::ErrorLine("Error #", vb::CurrentException(), " in DumpKeyBatchOutput"), ERROR_LEVEL);
        return -1;
    }
}

int32_t PerformKeyBatchOperation(const std::string& batchFileName) {
    try {
        if (!fs::FileExists(std::string_view(batchFileName))) {
            StatusDisplay(missingBatchLine("PerformKeyBatchOperation", batchFileName), ERROR_LEVEL);
            if (State.ShowStatusOnExit) ShowStatusFile();
            return -1;
        }
        std::string file;
        basUtils::SplitPath(batchFileName, State.KeyDataFolder, file);
        KeyOperationList operations(1);
        size_t leftOut = 0;
        int32_t r = GetKeyOperationsFromFile(batchFileName, operations, &leftOut);
        if (r != 1) {
            StatusDisplay("PerformKeyBatchOperation error: GetKeyOperationsFromFile returned code 0x" + vb::Hex(r),
                          ERROR_LEVEL);
            if (State.ShowStatusOnExit) ShowStatusFile();
            return -1;
        }
        r = PerformKeyOperations(operations);
        if (r != 1)
            StatusDisplay("PerformKeyBatchOperation error: PerformKeyOperations returned code 0x" + vb::Hex(r), ERROR_LEVEL);
        r = DumpKeyBatchOutput(operations, batchFileName, leftOut);
        if (r != 1)
            StatusDisplay("PerformKeyBatchOperation error: PerformKeyOperations returned code 0x" + vb::Hex(r), ERROR_LEVEL);
        // The batch counts as run, yet a caller judging the run by its exit code must learn of
        // every FAILED row (an entry refused as written among them), of entries past the limit,
        // and of a report that could not be written.
        for (size_t i = 1; i < operations.size(); ++i)
            if (operations[i].Result != 1) State.OperationFailed = true;
        if (r != 1 || leftOut > 0) State.OperationFailed = true;
        return 1;
    } catch (...) {
        StatusDisplay(vb::ErrorLine("Error #", vb::CurrentException(), " in PerformKeyBatchOperation"), ERROR_LEVEL);
        return -1;
    }
}

}  // namespace basAutomation

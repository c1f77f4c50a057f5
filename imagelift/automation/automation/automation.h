// basAutomation: unattended runs of the downloader, driven by its command line.
//
// A command line that names an operation ("/D package", "/B package", "/G guid", "/R batch" ...)
// makes the run unattended: Initialize opens the status file "script-data\1394_write_status.txt",
// disables the main window and switches on the main window's scheduler. Every scheduler attempt
// (after a complete device list) calls PerformUnattendedOperations with the command-line tokens;
// it sets the module data from them and runs the downloads, the identity programming or the key
// batch on the one device that speaks the download protocol. A device that runs its application
// is reset into its bootloader and the attempt returns 2: the scheduler runs it again after the
// next device list. Every step is logged through StatusDisplay; lines of level ERROR and above
// reach the status file, which calling scripts and the update utility read.
//
// The process ends with exit code 0 only when every operation the command line asked for
// succeeded (every row of a key batch among them) and the status file took every line, 1
// otherwise.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bootloader/records.h"
#include "support/debug_log.h"

namespace basAutomation {

using ByteArray = basBootloader::ByteArray;

// ---------------------------------------------------------------- option table

// One row of the option table. Only Letter and IsOperation are consulted; the rest documents
// the option (long names are not accepted on the command line).
struct CommandLineOption {
    std::string Name;
    std::string Reserved1;
    std::string Letter;
    std::vector<std::string> LongNames = std::vector<std::string>(2);  // index 1 used
    int16_t MinArgs = 0;
    int16_t MaxArgs = 0;
    std::string Reserved2;
    bool IsOperation = false;
};

// ---------------------------------------------------------------- module data

// The open status file of the run: one line per call, CR LF after each, flushed at once so a
// caller that reads it while the run goes on (or after a crash) sees every line.
class StatusFile;

struct ModuleState {
    // Rows 1 to 11 (element 0 is unused).
    std::vector<CommandLineOption> OptionTable = std::vector<CommandLineOption>(1);

    std::string ImageFileName;        // "/D", "/A", "/F"
    std::string BootloaderFileName;   // "/B"
    std::string GuidFileName;         // Initialize, "/A"
    std::string MacFileName;          // Initialize, "/A"
    bool ProgramGuidFromFileFlag = false;
    bool ProgramMacFromFileFlag = false;
    std::string GuidText;             // "/G": 16 hex digits
    bool KeyBatchRequested = false;   // "/R"
    std::string KeyBatchFileName;     // "/R"
    bool ShowStatusOnExit = false;    // "/S", the key-batch menu

    std::string StatusFileName;       // set by Initialize
    std::shared_ptr<StatusFile> Status;  // open from Initialize to Shutdown
    bool StatusFileFailed = false;       // a line of the status file could not be written

    // WriteGuid initialises the persistent parameters once per process.
    bool PersistentParamsInitialized = false;
    // Folder of the key-batch file with its trailing separator ("" for a bare name).
    std::string KeyDataFolder;

    // The result of the last attempt (-1 before any) and whether an operation it asked for failed
    // (a download before a key batch, a FAILED row of the batch): together they decide the exit code.
    int32_t LastResult = -1;
    bool OperationFailed = false;

    // Scheduler ticks (one a second) an unattended run waits for an attempt, that is for a
    // complete device list, before it gives up.
    int32_t AttemptWaitLimitTicks = 120;
};

extern ModuleState State;

// Forgets everything of a run (tests that run more than once); closes the status file.
void ResetState();

// ---------------------------------------------------------------- options and interpreter

// Fills the option table (again, from scratch). 1; -1 after a failure (logged).
int32_t InitializeCommandLineOptions();
// True when a token (from index 1) names an operation: its first two characters, in upper
// case, are "/" and the letter of an operation row; or it is exactly "/A" or "/F".
bool HasOperationOption(const std::vector<std::string>& tokens);
// True when the option of that letter (any case) takes a value (a file name, a GUID).
bool OptionTakesValue(char letter);
// One attempt: 1 success; 2 run again after the next device list; 0 nothing performed; any
// other value a failure code.
int32_t PerformUnattendedOperations(const std::vector<std::string>& tokens);

// ---------------------------------------------------------------- start, status file, logger

// Switches automation on: option table, default file names, a fresh status file (its folder
// created), the main window disabled and its scheduler on. 1, or -1 after a failure (logged).
int32_t Initialize();
// The status file of a command line: "1394_WRITE_STATUS\1394_write_status.txt" for "/A" or "/F"
// alone, else "script-data\1394_write_status.txt" (relative to the current folder).
std::string StatusFileNameFor(const std::string& commandLine);
// A run asked for an operation cannot start. The status file an earlier run left (full of its
// "Successfully ..." lines) must not be read as this run's: it is replaced by one that holds the
// reasons as ERROR lines, or removed when that file cannot be written.
void ReplaceStatusFileOfFailedStart(const std::string& commandLine, const std::vector<std::string>& reasons);
// Appends one line to the status file while it is open; never fails visibly.
void WriteStatusFileLine(const std::string& text);
// The module's logger: the central logger under "basAutomation"; while a download sends its
// blocks, lines of level WARNING and below are dropped.
void StatusDisplay(const std::string& message, const basDebug::LevelArg& level);
// Closes the status file (shut-down of the program).
void Shutdown();
// The exit code of the process after the run: 0 only when the last attempt succeeded and every
// operation it asked for succeeded and the status file took every line, else 1.
int ExitCode();

// Opens a file with the desktop's default program (the status file, a key-batch report); not
// waited for. The program's own opener starts "xdg-open" without a shell, only where a desktop
// session is present; tests install a recorder. Returns the previous opener.
using ExternalOpener = std::function<void(const std::string& nativePath)>;
ExternalOpener SetExternalOpener(ExternalOpener opener);
void OpenWithDesktop(const std::string& path);

// ---------------------------------------------------------------- unattended operations

// Counts the usable targets (on a node, with an opened handle). With a match text, 1 as soon as
// a target's GUID in hex (no blanks) equals it, else 0. The outputs hold the handle and the
// bootloader-version word of the target counted last (or matched).
int16_t GetNumCompatibleTargets(const std::string& matchText, int32_t& handle, int32_t& bootloaderMode);
// Downloads and identity from files on the one target.
int32_t m_PerformUnattendedOperations(bool guidFromFile, bool macFromFile, const std::string& imageFile,
                                      const std::string& bootloaderFile, const std::string& matchText);
// The GUID from the command line on the one target.
int32_t WriteGuid(const std::string& matchText, const std::string& guidText);

int32_t ProgramGuidFromString(int32_t handle, const std::string& guidText);
int32_t ProgramGuidFromFile(int32_t handle, const std::string& fileName);
int32_t ProgramMacFromFile(int32_t handle, const std::string& fileName);
int32_t ProgramImageAndCneFromFile(int32_t handle, const std::string& fileName);
int32_t ProgramBootloaderImageFromFile(int32_t handle, const std::string& fileName);
int32_t initCNEFactoryDefaults(int32_t handle);

// Identity texts as files and the command line give them: the hex digits after the blanks,
// "0x", "&H", CR and LF are removed. True (with the bytes) only for exactly 16 (GUID) or 12
// (MAC) hex digits.
bool ParseGuidText(const std::string& text, ByteArray& bytes);
bool ParseMacText(const std::string& text, ByteArray& bytes);
// A key batch entry's device ID, with the same separators removed: hex digits, two for each
// byte. "" with the bytes; otherwise why the text is no device ID (the bytes empty).
std::string ParseDeviceIdText(const std::string& text, ByteArray& bytes);

// The first field of a text file as the platform's delimited-text input reads it; false when
// the file cannot be read. At most the first 4 KiB of the file are read.
bool ReadFirstField(const std::string& fileName, std::string& field);

// ---------------------------------------------------------------- key batches

enum KeyOperationType : int32_t { kKeyInvalid = 0, kKeyRead = 1, kKeyWrite = 2 };

struct KeyOperation {
    int32_t OperationType = kKeyInvalid;
    ByteArray DeviceId;   // 8 GUID bytes, or the single byte 2 for "--single"
    std::string KeyName;
    std::string DataFile;  // relative to KeyDataFolder
    ByteArray Data;
    int32_t Result = -1;
    // The entry cannot be performed as written (an unknown verb, too few words, a tag left open,
    // a data file outside the batch's folder, missing or unreadable): it is never sent and stands
    // in the report as a FAILED row. Its type is 0 for an unknown verb; it carries no data.
    bool Refused = false;
};

// Element 0 holds no operation; operations are 1 to n in file order.
using KeyOperationList = std::vector<KeyOperation>;

// A batch holds at most this many operations; further entries are not performed (and fail the run).
inline constexpr size_t kMaxKeyOperations = 1000;

int32_t PerformKeyBatchOperation(const std::string& batchFileName);
// `leftOut`, when given, receives the number of entries past kMaxKeyOperations.
int32_t GetKeyOperationsFromFile(const std::string& batchFileName, KeyOperationList& operations,
                                 size_t* leftOut = nullptr);
// Performs the operations not refused, in order; a request to end the program (SIGTERM, Ctrl-C)
// stops it before the next one, and those not performed keep Result -1 (FAILED rows). 1 when any
// operation succeeded, else -1.
int32_t PerformKeyOperations(KeyOperationList& operations);
// The report (a row per operation, refused ones as FAILED, and a line for `leftOut` entries past
// the limit) and the data files of the successful reads. -1 when the report could not be written;
// a data file that could not be written fails its row (Result -1) and the rest goes on.
int32_t DumpKeyBatchOutput(KeyOperationList& operations, const std::string& batchFileName, size_t leftOut = 0);
int32_t GetKeyDataFromFile(const std::string& fileName, ByteArray& data);
// The entries of a batch's text as GetKeyOperationsFromFile reads them, appended to the list: one
// operation per entry, an entry that cannot be performed as written marked Refused (with its ERROR
// line), a device ID that is not hex bytes among them (its row then shows no device). Returns
// the number of entries past kMaxKeyOperations, which are left out. Also the data of a key data
// file's text.
size_t ParseKeyOperations(const std::string& text, const std::string& batchFileName, KeyOperationList& operations);
int32_t KeyDataFromText(const std::string& text, ByteArray& data);

std::string StripComments(const std::string& line);
std::string StripHTML(const std::string& line, const std::string& lineNumber = "- unspecified -");
int32_t SplitArguments(std::string& line, std::vector<std::string>& words);

// The report's name beside the batch file: a final ".txt" or ".html" (any case) becomes
// ".out.txt" or ".out.html"; any other name gets ".out.txt" appended.
std::string ReportFileName(const std::string& batchFileName);

}  // namespace basAutomation

// The option table, the test whether a command line names an operation, and the interpreter that
// turns the tokens into one attempt of the unattended operations.
#include "automation/automation.h"
#include "automation/status_file.h"

#include "windows/kit.h"
#include "fs/fs.h"
#include "support/program_context.h"
#include "vbrt/convert.h"
#include "vbrt/error.h"

namespace basAutomation {

namespace {

void addOption(const char* letter, const char* name, const char* longName, int16_t minArgs, int16_t maxArgs,
               bool isOperation) {
    CommandLineOption row;
    row.Name = name;
    row.Letter = letter;
    row.LongNames[1] = longName;
    row.MinArgs = minArgs;
    row.MaxArgs = maxArgs;
    row.IsOperation = isOperation;
    State.OptionTable.push_back(std::move(row));
}

// The value of a token: from its third character on, trimmed.
std::string valueOf(const std::string& token) { return vb::Trim(token.size() > 2 ? token.substr(2) : ""); }

std::string withoutQuotes(const std::string& text) { return vb::Replace(text, "\"", ""); }
std::string withoutQuotesAndBlanks(const std::string& text) { return vb::Replace(withoutQuotes(text), " ", ""); }

// The whole command line as start-up hands it over (trimmed, upper-cased).
bool commandLineIsExactly(const char* option) { return vb::UCase(vb::Trim(basApp::CommandLineText)) == option; }

}  // namespace

int32_t InitializeCommandLineOptions() {
    try {
        State.OptionTable.assign(1, CommandLineOption{});
        addOption("D", "DownloadImageAndCne", "--download", 1, 1, true);
        addOption("B", "DownloadBootloader", "--download-bootloader", 1, 1, true);
        addOption("C", "DownloadCne", "--download-config", 1, 1, true);
        addOption("Q", "DownloadImage", "--download-image", 1, 1, true);
        addOption("O", "Override", "--override", 0, 0, false);
        addOption("G", "SetGuid", "--set-guid", 1, 1, true);
        addOption("M", "SetGuid", "--set-mac", 1, 1, true);
        addOption("S", "ShowStatus", "--show-status", 0, 0, false);
        addOption("I", "GetSystemInformation", "--information", 0, 0, true);
        addOption("R", "ExecuteKeybatchOperation", "--key-batch", 1, 1, true);
        addOption("X", "MatchGuid", "--match-guid", 1, 1, false);
        return 1;
    } catch (...) {
        StatusDisplay(vb::ErrorLine("Error #", vb::CurrentException(), " in InitializeCommandLineOptions"),
                      basDebug::ERROR_LEVEL);
        return -1;
    }
}

bool HasOperationOption(const std::vector<std::string>& tokens) {
    // Start-up asks before it builds the table (to know early that nobody answers message boxes).
    if (State.OptionTable.size() <= 1) InitializeCommandLineOptions();
    for (size_t i = 1; i < tokens.size(); ++i) {
        const std::string token = vb::UCase(tokens[i]);
        // "/A" and "/F" have no row, yet each is a whole run of its own.
        if (token == "/A" || token == "/F") return true;
        const std::string head = token.substr(0, 2);
        for (size_t row = 1; row < State.OptionTable.size(); ++row) {
            const auto& option = State.OptionTable[row];
            if (option.IsOperation && head == "/" + option.Letter) return true;
        }
    }
    return false;
}

bool OptionTakesValue(char letter) {
    if (State.OptionTable.size() <= 1) InitializeCommandLineOptions();
    const std::string wanted = vb::UCase(std::string(1, letter));
    for (size_t row = 1; row < State.OptionTable.size(); ++row)
        if (State.OptionTable[row].Letter == wanted) return State.OptionTable[row].MinArgs > 0;
    return false;
}

int32_t PerformUnattendedOperations(const std::vector<std::string>& tokens) {
    int32_t result = -1;
    try {
        auto& s = State;
        auto& ctx = imagelift::Ctx();
        s.ImageFileName.clear();
        s.BootloaderFileName.clear();
        s.ProgramGuidFromFileFlag = false;
        s.ProgramMacFromFileFlag = false;
        s.KeyBatchRequested = false;
        s.OperationFailed = false;
        std::string matchText;
        // An option acted on without its value would quietly do something else (no download,
        // any device instead of the one matched): the attempt is refused before any device step.
        bool valueMissing = false;
        const auto needValue = [&](const std::string& head, const std::string& token, const char* what) {
            if (!withoutQuotesAndBlanks(valueOf(token)).empty()) return;
            StatusDisplay("ERROR: option " + head + " needs " + what + ".  Can't perform operation!",
                          basDebug::ERROR_LEVEL);
            valueMissing = true;
        };
        bool notCarriedOut = false;
        // One package of each kind goes to the device in a run: an option that names another one
        // after it ("/A" beside "/D", "/D" twice) leaves the earlier one undone, which is said and
        // fails the run.
        std::string imageOption, bootloaderOption;
        std::vector<std::string> packagesLeftOut;
        const auto setPackage = [&](std::string& file, std::string& setBy, const std::string& option,
                                    const std::string& value) {
            if (!file.empty() && !value.empty() && file != value) {
                packagesLeftOut.push_back("ERROR: the package '" + file + "' of option " + setBy +
                                          " was not downloaded: option " + option + " names '" + value +
                                          "' in its place.");
                notCarriedOut = true;
            }
            file = value;
            setBy = option;
        };

        for (size_t i = 1; i < tokens.size(); ++i) {
            const std::string& token = tokens[i];
            const std::string head = vb::UCase(token.substr(0, 2));
            if (token == "/O") {
                ctx.OverrideHardwareCompatibility = true;
                StatusDisplay("Override Hardware Compatibility checking is enabled.", basDebug::USER);
            } else if (token == "/S") {
                s.ShowStatusOnExit = true;
                StatusDisplay("Automatically showing output file on exit.", basDebug::USER);
            } else if (token == "/A") {
                setPackage(s.ImageFileName, imageOption, token, "DTCP\\GUID\\MACID\\Config_Image.fwp");
                s.GuidFileName = "DTCP\\GUID\\MACID\\GUID.txt";
                s.MacFileName = "DTCP\\GUID\\MACID\\MACID.txt";
                s.ProgramGuidFromFileFlag = true;
                s.ProgramMacFromFileFlag = true;
                if (!commandLineIsExactly("/A"))
                    StatusDisplay("The /A command cannot be used with other command-line options!", basDebug::ERROR_LEVEL);
            } else if (token == "/F") {
                setPackage(s.ImageFileName, imageOption, token, "DTCP\\GUID\\MACID\\Config_Image.fwp");
                if (!commandLineIsExactly("/F"))
                    StatusDisplay("The /F command cannot be used with other command-line options!", basDebug::ERROR_LEVEL);
            } else if (head == "/D") {
                needValue(head, token, "a file name");
                setPackage(s.ImageFileName, imageOption, head, withoutQuotes(valueOf(token)));
            } else if (head == "/G") {
                needValue(head, token, "a GUID");
                s.GuidText = withoutQuotesAndBlanks(valueOf(token));
            } else if (head == "/M" || head == "/C" || head == "/Q" || head == "/I") {
                // Named as operations, yet nothing carries them out: say so, or an empty status
                // file would read as success.
                StatusDisplay("Option " + head + " is not supported; nothing was performed.", basDebug::ERROR_LEVEL);
                notCarriedOut = true;
            } else if (head == "/X") {
                needValue(head, token, "a GUID");
                matchText = withoutQuotesAndBlanks(valueOf(token));
            } else if (head == "/B") {
                needValue(head, token, "a file name");
                setPackage(s.BootloaderFileName, bootloaderOption, head, withoutQuotes(valueOf(token)));
            } else if (head == "/R") {
                needValue(head, token, "a file name");
                s.KeyBatchRequested = true;
                s.KeyBatchFileName = withoutQuotes(valueOf(token));
            }
        }

        int32_t r = 0;
        if (valueMissing) {
            s.OperationFailed = true;
            State.LastResult = result;
            return result;
        }
        bool deviceWorkAsked = true;
        if (!s.ImageFileName.empty() || !s.BootloaderFileName.empty() || s.ProgramGuidFromFileFlag ||
            s.ProgramMacFromFileFlag) {
            r = m_PerformUnattendedOperations(s.ProgramGuidFromFileFlag, s.ProgramMacFromFileFlag, s.ImageFileName,
                                              s.BootloaderFileName, matchText);
            // Only the download run happens: a GUID given beside it is not programmed, and the
            // run says so and fails (once, on the attempt that ends the run).
            if (!s.GuidText.empty() && r != 2) {
                StatusDisplay("ERROR: the GUID of option /G was not programmed: /G is not carried out together with "
                              "a download (/D, /B, /A or /F).",
                              basDebug::ERROR_LEVEL);
                notCarriedOut = true;
            }
        } else if (!s.GuidText.empty()) {
            r = WriteGuid(matchText, s.GuidText);
        } else {
            deviceWorkAsked = false;
        }
        // Said once, on the attempt that ends the run.
        if (r != 2)
            for (const std::string& line : packagesLeftOut) StatusDisplay(line, basDebug::ERROR_LEVEL);
        // A key batch's result replaces the attempt's; a download that failed before it must still
        // fail the run.
        if (deviceWorkAsked && r != 1 && r != 2) s.OperationFailed = true;

        // A download that reset its target into the bootloader runs again first; the batch
        // follows on the attempt that completes it.
        if (s.KeyBatchRequested && r != 2) {
            result = PerformKeyBatchOperation(s.KeyBatchFileName);
        } else {
            result = r;
            if (s.ShowStatusOnExit && r != 2 && fs::FileExists(std::string_view(s.StatusFileName))) ShowStatusFile();
        }
        // An operation asked for and not carried out fails the run, whatever the others did.
        if (notCarriedOut) {
            s.OperationFailed = true;
            if (result == 1) result = -1;
        }
    } catch (...) {
        StatusDisplay(vb::ErrorLine("Error #", vb::CurrentException(), " in PerformUnattendedOperations"),
                      basDebug::ERROR_LEVEL);
        result = -1;
    }
    State.LastResult = result;
    return result;
}

}  // namespace basAutomation

// The unattended operations on the one target that speaks the download protocol: downloads from
// packages, GUID and MAC from files or from the command line, factory defaults and the start of
// the application. A target running its application is reset into its bootloader first and the
// attempt returns 2, so that the scheduler runs it again once the device list is rebuilt.
#include "automation/automation.h"
#include "automation/text_input.h"

#include <cctype>

#include "bootloader/commands.h"
#include "bootloader/download.h"
#include "bootloader/fwp.h"
#include "bootloader/state.h"
#include "bus1394/node_records.h"
#include "fs/fs.h"
#include "support/byte_utils.h"
#include "vbrt/convert.h"
#include "vbrt/error.h"

namespace basAutomation {

namespace {

using basDebug::ERROR_LEVEL;
using basDebug::TRACE;
using basDebug::USER;
using basDebug::WARNING;

// "<code>(0x<hex>)" as the failure lines write a result.
std::string codeText(int32_t code) { return vb::CStr(code) + "(0x" + vb::Hex(code) + ")"; }
std::string codeTextSpaced(int32_t code) { return vb::CStr(code) + " (0x" + vb::Hex(code) + ")"; }

bool exists(const std::string& file) { return fs::FileExists(std::string_view(file)); }

void logMissing(const std::string& file) {
    StatusDisplay("ERROR: \"" + file + "\" does not exist.  Can't perform operation!", ERROR_LEVEL);
}

// A firmware package: the header reads with its magic, and the file holds the whole header.
bool isPackage(const std::string& file) {
    const basBootloader::FwpHeader header = basBootloader::LoadFWPQuiet(file);
    return basBootloader::IsValidFwp(header) && fs::GetFileSize64(file).Value() >= basBootloader::kFwpHeaderBytes;
}

void logNotAPackage(const std::string& file) {
    StatusDisplay("ERROR: \"" + file + "\" is not a valid firmware package.  Can't perform operation!", ERROR_LEVEL);
}

// A package with an image whose record cannot be what it says (bytes before the file or inside
// its header, past the end of the file, or an image past the address space) is refused before
// any device step. A record of length 0 or less holds no image and is never in the way.
// True (and logged) when the package is refused.
bool refusedForItsRecords(const std::string& file, const basBootloader::FwpHeader& header) {
    const std::string why = basBootloader::ImpossiblePackageRecords(header, fs::GetFileSize64(file).Value(),
                                                                    basBootloader::kConfigDataAddress);
    if (why.empty()) return false;
    StatusDisplay("ERROR: \"" + file + "\" is not a valid firmware package: its " + why + ".  Can't perform operation!",
                  ERROR_LEVEL);
    return true;
}

// A FIFO or a device given where a file belongs would block the run on its first read.
void logNotARegularFile(const std::string& file) {
    StatusDisplay("ERROR: \"" + file + "\" is not a regular file.  Can't perform operation!", ERROR_LEVEL);
}

// A package whose application image and configuration are both empty programs nothing.
bool holdsNothing(const basBootloader::FwpHeader& header) {
    return header.Image1.Length <= 0 && header.Cne.Length <= 0;
}

void logEmptyPackage(const std::string& file) {
    StatusDisplay("ERROR: \"" + file +
                      "\" contains neither an application image nor a CNE (configuration data).  Can't perform operation!",
                  ERROR_LEVEL);
}

void logInvalidIdentity(const char* what, const std::string& text, int digits) {
    StatusDisplay(std::string("ERROR: invalid ") + what + " text '" + text + "' (expected " + vb::CStr(int32_t(digits)) +
                      " hex digits).  Can't perform operation!",
                  ERROR_LEVEL);
}

// The text without the separators the byte conversion ignores.
std::string withoutHexSeparators(const std::string& text) {
    std::string clean = text;
    for (const char* drop : {" ", "0x", "&H", "\r", "\n"}) clean = vb::Replace(clean, drop, "");
    return clean;
}

// The first character that is no hex digit, or 0 when there is none.
char firstNonHexDigit(const std::string& digits) {
    for (char c : digits)
        if (!std::isxdigit(static_cast<unsigned char>(c))) return c;
    return 0;
}

// Exactly `digits` hex digits once the separators the byte conversion ignores are gone.
bool parseHexIdentity(const std::string& text, size_t digits, ByteArray& bytes) {
    const std::string clean = withoutHexSeparators(text);
    if (clean.size() != digits || firstNonHexDigit(clean) != 0) return false;
    bytes.clear();
    return basUtils::HexString2Ascii(clean, bytes) == 1 && bytes.size() == digits / 2;
}

const char kAppModeLine[] =
    "The device is running in application mode.  Resetting the device to bootloader mode and re-starting the process...";

// The persistent parameters; a failure is only logged (the bootloader often fails to answer).
bool initializePersistentParams(int32_t handle) {
    const int32_t r = basBootloader::InitializePersistentParams(handle);
    if (r != 1) {
        StatusDisplay("mnuInitializePersistentParameters failure: InitializePersistentParams call failed, code " +
                          codeTextSpaced(r),
                      ERROR_LEVEL);
        StatusDisplay("mnuInitializePersistentParameters: continuing anyway - failure was likely due to only a failed "
                      "response from the bootloader",
                      ERROR_LEVEL);
        return false;
    }
    StatusDisplay("Successfully Initialized the Persistent Parameters.", USER);
    return true;
}

// Starts the application image; a failure is expected when the application answers no more.
void startApplication(int32_t handle) {
    int32_t crcFlag = 0;
    const int32_t r = basBootloader::StartImage(handle, basBootloader::kImageApplication, crcFlag);
    if (r != 1)
        StatusDisplay("mnuStartApplication failure: StartApplication call failed, code " + vb::CStr(r) + ", CRC flag=" +
                          vb::CStr(crcFlag) + " (0x" + vb::Hex(crcFlag) +
                          ").  This could be expected; the bootloader cannot response if it has launched the "
                          "application image.",
                      WARNING);
}

}  // namespace

bool ParseGuidText(const std::string& text, ByteArray& bytes) { return parseHexIdentity(text, 16, bytes); }
bool ParseMacText(const std::string& text, ByteArray& bytes) { return parseHexIdentity(text, 12, bytes); }

std::string ParseDeviceIdText(const std::string& text, ByteArray& bytes) {
    bytes.clear();
    const std::string clean = withoutHexSeparators(text);
    if (clean.empty()) return "it holds no hex digits";
    // The byte conversion reads a pair up to its first non-digit: "0I" would be byte 0, and the
    // entry would go to another device.
    if (const char c = firstNonHexDigit(clean)) {
        const auto u = static_cast<unsigned char>(c);
        const std::string shown = u >= 0x20 && u < 0x7F ? std::string(1, c) : "0x" + vb::Hex(int32_t(u));
        return "'" + shown + "' is not a hex digit";
    }
    if (clean.size() % 2 != 0)
        return "it has an odd number of hex digits (" + vb::CStr(int32_t(clean.size())) + "), two make a byte";
    if (basUtils::HexString2Ascii(clean, bytes) != 1) {
        bytes.clear();
        return "it cannot be read as hex bytes";
    }
    return "";
}

bool ReadFirstField(const std::string& fileName, std::string& field) {
    std::string content;
    field.clear();
    // Only the first field matters: the first 4 KiB of the file hold it.
    if (!ReadFileStart(fileName, 4096, content)) return false;
    const auto fields = SplitDelimitedFields(content);
    if (!fields.empty()) field = fields.front();
    return true;
}

int16_t GetNumCompatibleTargets(const std::string& matchText, int32_t& handle, int32_t& bootloaderMode) {
    int16_t count = 0;
    try {
        for (const auto& t : basBootloader::State.TargetList) {
            if (t.Device.NodeNumber == bas1394::kNoNode || t.Handle <= 0 || t.Handle == basBootloader::kHandleCreated)
                continue;
            handle = t.Handle;
            bootloaderMode = t.Info.BootloaderVersion;
            if (!matchText.empty()) {
                const std::string guid = vb::Trim(vb::Replace(basUtils::ByteArrayToHexString(t.Info.Guid), " ", ""));
                if (guid == matchText) return 1;
            } else {
                ++count;
            }
        }
    } catch (...) {
        StatusDisplay(vb::ErrorLine("Error #", vb::CurrentException(), " in GetNumCompatibleTargets"), ERROR_LEVEL);
    }
    return count;
}

int32_t m_PerformUnattendedOperations(bool guidFromFile, bool macFromFile, const std::string& imageFile,
                                      const std::string& bootloaderFile, const std::string& matchText) {
    try {
        // 1. Every file first, then every text: nothing reaches the device before all are good.
        std::vector<std::string> files;
        if (!imageFile.empty()) files.push_back(imageFile);
        if (!bootloaderFile.empty()) files.push_back(bootloaderFile);
        if (guidFromFile) files.push_back(State.GuidFileName);
        if (macFromFile) files.push_back(State.MacFileName);
        for (const auto& f : files)
            if (!exists(f)) {
                logMissing(f);
                return 0;
            }
        for (const auto& f : files)
            if (!fs::IsRegularFile(f)) {
                logNotARegularFile(f);
                return -1;
            }
        for (const std::string* package : {&imageFile, &bootloaderFile}) {
            if (package->empty()) continue;
            if (!isPackage(*package)) {
                logNotAPackage(*package);
                return -1;
            }
            if (refusedForItsRecords(*package, basBootloader::LoadFWPQuiet(*package))) return -1;
        }
        if (!imageFile.empty() && holdsNothing(basBootloader::LoadFWPQuiet(imageFile))) {
            logEmptyPackage(imageFile);
            return -1;
        }
        ByteArray bytes;
        std::string text;
        if (guidFromFile && (!ReadFirstField(State.GuidFileName, text) || !ParseGuidText(text, bytes))) {
            logInvalidIdentity("GUID", text, 16);
            return -1;
        }
        if (macFromFile && (!ReadFirstField(State.MacFileName, text) || !ParseMacText(text, bytes))) {
            logInvalidIdentity("MAC", text, 12);
            return -1;
        }

        // 2. Exactly one target.
        int32_t handle = 0, bootloaderMode = 0;
        const int16_t n = GetNumCompatibleTargets(matchText, handle, bootloaderMode);
        if (!matchText.empty() && n < 1) {
            StatusDisplay("m_PerformUnattendedOperations: failed to find a match for device '" + matchText +
                              "' on the bus.  Exiting without performing operations!",
                          ERROR_LEVEL);
            return 0;
        }
        if (n == 0) {
            StatusDisplay("There are no targets on the 1394 bus that are compatible with firmware downloading from "
                          "this application.",
                          ERROR_LEVEL);
            return 0;
        }
        if (n > 1) {
            StatusDisplay("There are " + vb::CStr(int32_t(n)) +
                              " targets on the 1394 bus that are compatible with firmware downloading from this "
                              "application.  Cannot proceed.",
                          ERROR_LEVEL);
            return 0;
        }

        // 3. The application runs: into the bootloader, and again after the next device list.
        if (bootloaderMode == 0) {
            StatusDisplay(kAppModeLine, USER);
            basBootloader::ResetDevice(handle, basBootloader::kResetStayInBootloader);
            return 2;
        }

        // 4. The steps, each while the ones before succeeded.
        int32_t status = 1;
        if (guidFromFile) {
            initializePersistentParams(handle);
            status = ProgramGuidFromFile(handle, State.GuidFileName);
            if (status != 1) {
                StatusDisplay("ERROR: ProgramGuidFromFile failed, code " + codeText(status) +
                                  " in basAutomation.m_PerformUnattendedOperations",
                              ERROR_LEVEL);
                return status;
            }
            StatusDisplay("Successfully set the GUID to the new value.", USER);
        }
        if (macFromFile) {
            status = ProgramMacFromFile(handle, State.MacFileName);
            if (status != 1) {
                StatusDisplay("ERROR: ProgramMacFromFile failed, code " + codeText(status) +
                                  " in basAutomation.m_PerformUnattendedOperations",
                              ERROR_LEVEL);
                return status;
            }
            StatusDisplay("Successfully programmed MAC address", TRACE);
        }
        if (!imageFile.empty()) {
            status = ProgramImageAndCneFromFile(handle, imageFile);
            if (status != 1) {
                StatusDisplay("ProgramImageAndCneFromFile failed, code " + codeText(status) +
                                  " in basAutomation.m_PerformUnattendedOperations",
                              WARNING);
                return status;
            }
        }
        if (!bootloaderFile.empty()) {
            status = ProgramBootloaderImageFromFile(handle, bootloaderFile);
            if (status != 1) {
                StatusDisplay("ERROR: ProgramBootloaderImageFromFile failed, code " + codeText(status) +
                                  " in basAutomation.m_PerformUnattendedOperations",
                              ERROR_LEVEL);
                return status;
            }
            StatusDisplay("Successfully programmed new bootloader firmware image.", USER);
        }
        startApplication(handle);
        return status;
    } catch (...) {
        // Whatever succeeded before, the attempt as a whole failed.
        StatusDisplay(vb::ErrorLine("Error #", vb::CurrentException(), " in m_PerformUnattendedOperations"),
                      ERROR_LEVEL);
        return -1;
    }
}

int32_t WriteGuid(const std::string& matchText, const std::string& guidText) {
    int32_t status = -1;
    try {
        ByteArray bytes;
        if (!ParseGuidText(guidText, bytes)) {
            logInvalidIdentity("GUID", guidText, 16);
            return -1;
        }
        int32_t handle = 0, bootloaderMode = 0;
        const int16_t n = GetNumCompatibleTargets(matchText, handle, bootloaderMode);
        if (!matchText.empty() && n < 1) {
            StatusDisplay("WriteGuid: failed to find a match for device '" + matchText +
                              "' on the bus.  Exiting without performing operations!",
                          ERROR_LEVEL);
            return -1;
        }
        if (n == 0) {
            StatusDisplay("WriteGuid: there are no targets on the 1394 bus that are compatible with firmware "
                          "downloading from this application.",
                          ERROR_LEVEL);
            return 0;
        }
        if (n > 1) {
            StatusDisplay("WriteGuid: there are " + vb::CStr(int32_t(n)) +
                              " targets on the 1394 bus that are compatible with firmware downloading from this "
                              "application.  Cannot proceed.",
                          ERROR_LEVEL);
            return 0;
        }
        status = 1;
        if (bootloaderMode == 0) {
            StatusDisplay(kAppModeLine, USER);
            basBootloader::ResetDevice(handle, basBootloader::kResetStayInBootloader);
            status = 2;
        }
        // The persistent parameters once per process; the GUID follows on the next attempt.
        if (status == 1 && !State.PersistentParamsInitialized) {
            State.PersistentParamsInitialized = true;
            status = initializePersistentParams(handle) ? 2 : 1;
        }
        if (status == 1) {
            status = ProgramGuidFromString(handle, guidText);
            if (status != 1) {
                StatusDisplay("ERROR: ProgramGuidFromString failed, code " + codeText(status) + " in basAutomation.WriteGuid",
                              ERROR_LEVEL);
                return status;
            }
            StatusDisplay("Successfully set the GUID to the new value.", USER);
        }
        if (status == 1) startApplication(handle);
        return status;
    } catch (...) {
        StatusDisplay(vb::ErrorLine("Error #", vb::CurrentException(), " in WriteGuid"), ERROR_LEVEL);
        return -1;
    }
}

int32_t ProgramGuidFromString(int32_t handle, const std::string& guidText) {
    ByteArray bytes;
    if (!ParseGuidText(guidText, bytes)) {
        logInvalidIdentity("GUID", guidText, 16);
        return -1;
    }
    // The target takes each quadlet least significant byte first.
    basUtils::ChangeEndian(bytes);
    const int32_t r = basBootloader::ProgramGUID(handle, bytes);
    if (r != 1)
        StatusDisplay("ProgramGuidFromString: basBootloader.ProgramGUID returned code 0x" + vb::Hex(r), ERROR_LEVEL);
    return r;
}

int32_t ProgramGuidFromFile(int32_t handle, const std::string& fileName) {
    if (!exists(fileName)) {
        logMissing(fileName);
        return -1;
    }
    std::string field;
    ReadFirstField(fileName, field);
    const int32_t r = ProgramGuidFromString(handle, field);
    if (r != 1)
        StatusDisplay("ProgramGuidFromFile: basAutomation.ProgramGuidFromString returned code 0x" + vb::Hex(r),
                      ERROR_LEVEL);
    return r;
}

int32_t ProgramMacFromFile(int32_t handle, const std::string& fileName) {
    if (!exists(fileName)) {
        logMissing(fileName);
        return 0;
    }
    std::string field;
    ReadFirstField(fileName, field);
    ByteArray bytes;
    if (!ParseMacText(field, bytes)) {
        logInvalidIdentity("MAC", field, 12);
        return -1;
    }
    // Twelve digits and "0000" make two quadlets, each sent least significant byte first.
    bytes.push_back(0);
    bytes.push_back(0);
    basUtils::ChangeEndian(bytes);
    const int32_t r = basBootloader::ProgramMAC(handle, bytes);
    if (r != 1)
        StatusDisplay("Failed to Program new MAC address.  basBootloader.ProgramMAC failed, code " + codeTextSpaced(r) +
                          " in ProgramMacFromFile",
                      ERROR_LEVEL);
    return r;
}

int32_t ProgramImageAndCneFromFile(int32_t handle, const std::string& fileName) {
    int32_t status = -1;
    try {
        if (!exists(fileName)) {
            logMissing(fileName);
            return -1;
        }
        const basBootloader::FwpHeader header = basBootloader::LoadFWPQuiet(fileName);
        if (!basBootloader::IsValidFwp(header) ||
            fs::GetFileSize64(fileName).Value() < basBootloader::kFwpHeaderBytes) {
            logNotAPackage(fileName);
            return -1;
        }
        if (refusedForItsRecords(fileName, header)) return -1;
        if (holdsNothing(header)) {
            logEmptyPackage(fileName);
            return -1;
        }
        status = 1;
        if (header.Image1.Length <= 0) {
            StatusDisplay("File does not contain an application image: " + fileName, USER);
        } else {
            const int32_t r = basBootloader::DownloadImage(handle, basBootloader::kImageApplication, fileName);
            if (r != 1) {
                StatusDisplay("Failed to Download Image.  basBootloader.DownloadImage failed, code " + codeTextSpaced(r) +
                                  " in ProgramImageAndCneFromFile",
                              ERROR_LEVEL);
                status = r;
            } else {
                StatusDisplay("Successfully programmed image from " + fileName + " to the device.", USER);
            }
        }
        if (status == 1) {
            if (header.Cne.Length <= 0) {
                StatusDisplay("File does not contain a CNE (configuration data): " + fileName, USER);
            } else {
                const int32_t r = basBootloader::DownloadImage(handle, basBootloader::kImageConfig, fileName);
                if (r != 1) {
                    StatusDisplay("Failed to Download Config (CNE) from FWP.  basBootloader.DownloadImage failed, code " +
                                      codeTextSpaced(r) + " in ProgramImageAndCneFromFile",
                                  ERROR_LEVEL);
                    status = r;
                } else {
                    StatusDisplay("Successfully programmed CNE from " + fileName + " to the device.", USER);
                    status = initCNEFactoryDefaults(handle);
                    if (status == 1)
                        StatusDisplay("Successfully set CNE to factory default.", USER);
                    else
                        StatusDisplay("Failed to Dset CNE to factory default.  ", ERROR_LEVEL);
                }
            }
        }
    } catch (...) {
        StatusDisplay(vb::ErrorLine("Error #", vb::CurrentException(), " in ProgramImageAndCneFromFile"), ERROR_LEVEL);
        return -1;
    }
    return status;
}

int32_t ProgramBootloaderImageFromFile(int32_t handle, const std::string& fileName) {
    try {
        if (!exists(fileName)) {
            logMissing(fileName);
            return -1;
        }
        const int32_t r = basBootloader::DownloadImage(handle, basBootloader::kImageBootloader, fileName);
        if (r != 1)
            StatusDisplay("Failed to Download Image.  basBootloader.DownloadImage failed, code " + codeTextSpaced(r) +
                              " in ProgramBootloaderImageFromFile",
                          ERROR_LEVEL);
        return r;
    } catch (...) {
        StatusDisplay(vb::ErrorLine("Error #", vb::CurrentException(), " in ProgramBootloaderImageFromFile"),
                      ERROR_LEVEL);
        return -1;
    }
}

int32_t initCNEFactoryDefaults(int32_t handle) {
    try {
        if (handle < 1) {
            StatusDisplay("Invalid handle for the selected bootloader target.", ERROR_LEVEL);
            return -1;
        }
        const int32_t r = basBootloader::InitializeConfigToFactoryDefaults(handle);
        if (r != 1)
            StatusDisplay("Failed to initialize bootloader config to factory defaults.", ERROR_LEVEL);
        else
            StatusDisplay("Initialized bootloader config to factory defaults.", TRACE);
        return r;
    } catch (...) {
        StatusDisplay(vb::ErrorLine("Error #", vb::CurrentException(), " in initCNEFactoryDefaults"), ERROR_LEVEL);
        return -1;
    }
}

}  // namespace basAutomation

// Sending the status log to the maker's support in one step (the main window's
// "&Send Error Report"): a mail with a copy of the whole store attached, handed to the user's
// mail program with its compose window shown, so the user sees and may change it before it
// goes. The support address is the setting "Settings"/"SupportEmailAddress"; when it is blank
// the user is offered to enter one.
#include "support/db_manager.h"

#include "forms/dialogs.h"
#include "forms/mail.h"
#include "support/debug_log.h"
#include "support/program_context.h"
#include "vbrt/error.h"

#include <filesystem>
#include <system_error>

namespace {

// One of the two failure messages, each followed by where the store is.
std::string Failure(const char* what, const std::string& sendByHand) {
    std::string text = what;
    text += sendByHand;
    return text;
}

std::string Trim(const std::string& s) {
    size_t a = s.find_first_not_of(' ');
    if (a == std::string::npos) return "";
    size_t b = s.find_last_not_of(' ');
    return s.substr(a, b - a + 1);
}

}  // namespace

int32_t clsDbManager::SendErrorReport(forms::MAPISession& MAPISession1, forms::MAPIMessages& MAPIMessages1) {
    auto& ctx = imagelift::Ctx();
    const std::string title = ctx.App.Title;
    // The user is told where the store is, so they can send it by hand.
    const std::string folder = Folder().string();
    const std::string sendByHand =
        "Please send the file '" + folder + "/" + kDatabaseFile + "' to the proper support personnel.";
    int32_t result = -1;
    try {
        std::string address = GetSetting(title, "Settings", "SupportEmailAddress", std::string());
        if (Trim(address).empty()) {
            if (forms::MsgBox("The support e-mail address is currently blank.  Would you like to add a default "
                              "support e-mail address?",
                              forms::vbYesNo) == forms::vbYes) {
                std::string answer = Trim(forms::InputBox("Enter the default support e-mail address:", "Support E-mail", ""));
                if (!answer.empty()) {
                    SaveSetting(title, "Settings", "SupportEmailAddress", answer);
                    address = answer;
                }
            }
        }

        MAPISession1.DownloadMail = true;
        if (MAPISession1.SessionID == 0) {
            MAPISession1.LogonUI = false;
            MAPISession1.NewSession = true;
            MAPISession1.SignOn();
        }
        if (MAPISession1.SessionID != 0) MAPIMessages1.SessionID = MAPISession1.SessionID;
        if (MAPIMessages1.SessionID == 0) {
            forms::MsgBox(Failure("Failed to establish a mail session.  ", sendByHand), forms::vbOKOnly);
            return -1;
        }

        MAPIMessages1.Compose();
        if (!Trim(address).empty()) MAPIMessages1.RecipAddress = address;
        MAPIMessages1.MsgSubject = title + " - Debug Log";
        const std::string copy = folder + "/" + kErrorReportCopy;
        if (MakeCopy(copy) != 1) {
            forms::MsgBox(Failure("Failed to backup database file.  ", sendByHand), forms::vbOKOnly);
            return -1;
        }
        MAPIMessages1.AttachmentPathName = copy;
        MAPIMessages1.MsgNoteText = std::string(1, ' ');  // one blank
        MAPIMessages1.Send(true);
        result = 1;
        std::error_code ec;
        std::filesystem::remove(copy, ec);
        return 1;
    } catch (...) {
        vb::Error e = vb::CurrentException();
        StatusDisplay(vb::ErrorLine("Error #", e, " in SendErrorReport"), basDebug::ERROR_LEVEL);
        // The user who cancelled the mail needs no message about it.
        if (e.Number() != forms::kMailUserAbort)
            forms::MsgBox(Failure("Failed to establish a mail session.  ", sendByHand), forms::vbOKOnly);
        return result;
    }
}

#include "forms/app.h"
#include "forms/dialogs.h"
#include "forms/mail.h"
#include "tests/test_support.h"
#include "vbrt/error.h"

#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace {

using namespace forms;

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

TEST(Presenter, UnattendedRunsGetAStatusLineAndAnAnswerAtOnce) {
    TempRoot root;
    std::vector<std::string> lines;
    StatusLinePresenter automation([&](const std::string& l) { lines.push_back(l); });
    ScopedPresenter use(automation);
    App().Title = "Imagelift";
    struct Case {
        int32_t buttons;
        int32_t answer;
    };
    for (auto c : {Case{vbOKOnly, vbOK}, Case{vbOKCancel, vbCancel}, Case{vbYesNo + vbQuestion, vbNo},
                   Case{vbYesNoCancel, vbCancel}, Case{vbAbortRetryIgnore, vbAbort}, Case{vbRetryCancel, vbCancel}})
        EXPECT_EQ(MsgBox("Overwrite?\r\nReally?", c.buttons), c.answer) << c.buttons;
    EXPECT_EQ(InputBox("Enter the GUID:", "GUID"), "");
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[0], "Imagelift: Overwrite? Really?");
    EXPECT_EQ(lines[6], "GUID: Enter the GUID:");
}

class Mail : public ::testing::Test {
protected:
    void SetUp() override {
        // A stand-in for the desktop's mail program that records its arguments and the
        // attachment it was given, and fails when told to.
        script_ = root_.path() + "/xdg-email";
        std::ofstream(script_) << "#!/bin/sh\n"
                                  "out=\"" << root_.path() << "/handover\"\n"
                                  ": > \"$out.args\"\n"
                                  "for a in \"$@\"; do printf '%s\\n' \"$a\" >> \"$out.args\"; done\n"
                                  "exit ${FAKE_MAIL_EXIT:-0}\n";
        ::chmod(script_.c_str(), 0755);
        attachment_ = root_.path() + "/debug_log.mdb";
        std::ofstream(attachment_) << "database bytes";
    }
    std::vector<std::string> args() {
        std::vector<std::string> v;
        std::ifstream in(root_.path() + "/handover.args");
        for (std::string l; std::getline(in, l);) v.push_back(l);
        return v;
    }
    TempRoot root_;
    std::string script_;
    std::string attachment_;
};

TEST_F(Mail, XdgEmailGetsAPrivateCopyOfTheAttachment) {
    XdgEmailHandover mailer(script_);
    ASSERT_TRUE(mailer.Available());
    mailer.Send({"support@example.com", "Imagelift - Debug Log", " ", attachment_}, true);
    auto a = args();
    ASSERT_EQ(a.size(), 7u);
    EXPECT_EQ(a[0], "--subject");
    EXPECT_EQ(a[1], "Imagelift - Debug Log");
    EXPECT_EQ(a[2], "--body");
    EXPECT_EQ(a[3], " ");
    EXPECT_EQ(a[4], "--attach");
    EXPECT_EQ(a[6], "support@example.com");
    // Deleting the original right after the hand-over cannot break the mail.
    EXPECT_NE(a[5], attachment_);
    std::filesystem::remove(attachment_);
    EXPECT_EQ(readFile(a[5]), "database bytes");
    EXPECT_EQ(std::filesystem::path(a[5]).filename(), "debug_log.mdb");

    // Without a recipient the user fills it in.
    std::ofstream(attachment_) << "x";
    mailer.Send({"", "s", " ", attachment_}, true);
    EXPECT_EQ(args().size(), 6u);
}

TEST_F(Mail, FailuresAndMissingProgramsAreReported) {
    ::setenv("FAKE_MAIL_EXIT", "3", 1);
    XdgEmailHandover mailer(script_);
    try {
        mailer.Send({"", "s", " ", attachment_}, true);
        ADD_FAILURE() << "no error";
    } catch (const vb::Error& e) {
        EXPECT_EQ(e.Number(), kMailFailure);
    }
    ::unsetenv("FAKE_MAIL_EXIT");

    XdgEmailHandover missing(root_.path() + "/no-such-mailer");
    EXPECT_FALSE(missing.Available());
    SetMailer(&missing);
    MAPISession session;
    MAPIMessages messages;
    session.SignOn();
    EXPECT_EQ(session.SessionID, 0);
    messages.SessionID = session.SessionID;
    try {
        messages.Send(true);
        ADD_FAILURE() << "no error";
    } catch (const vb::Error& e) {
        EXPECT_EQ(e.Number(), kMailFailure);
    }

    FakeMailHandover fake;
    SetMailer(&fake);
    session.SignOn();
    EXPECT_NE(session.SessionID, 0);
    messages.SessionID = session.SessionID;
    messages.Compose();
    messages.MsgSubject = "s";
    messages.AttachmentPathName = attachment_;
    messages.Send(true);
    ASSERT_EQ(fake.sent.size(), 1u);
    EXPECT_EQ(fake.attachmentBytes[0], "database bytes");
    fake.failWith = kMailUserAbort;
    try {
        messages.Send(true);
        ADD_FAILURE() << "no error";
    } catch (const vb::Error& e) {
        EXPECT_EQ(e.Number(), kMailUserAbort);
    }
    SetMailer(nullptr);
}

}  // namespace

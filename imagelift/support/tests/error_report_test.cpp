// The error report: a mail with a copy of the store, sent through the main window's mail
// controls; failures tell the user where the store is and are logged as the store's own lines.
#include "forms/dialogs.h"
#include "forms/mail.h"
#include "support/debug_log.h"
#include "tests/support_fixture.h"

#include <fstream>
#include <sstream>

namespace {

using forms::ScriptedPresenter;

class ErrorReport : public supporttest::SupportTest {
protected:
    void SetUp() override {
        SupportTest::SetUp();
        // With the main window, the store's own lines reach the status windows.
        ctx_.MainChildForm = &mainWindow_;
        dbschema::CreateCleanDatabase(root_ / clsDbManager::kDatabaseFile);
        Open();
        forms::SetPresenter(&dialogs_);
        forms::SetMailer(&mail_);
    }
    void TearDown() override {
        forms::SetMailer(nullptr);
        forms::SetPresenter(&boxes_);
        SupportTest::TearDown();
    }
    std::vector<supporttest::PostedLine> LinesContaining(const std::string& text) const {
        std::vector<supporttest::PostedLine> v;
        for (const auto& l : window_.lines)
            if (l.message.find(text) != std::string::npos) v.push_back(l);
        return v;
    }
    std::string Address() {
        return ctx_.DbManager->GetSetting("Imagelift", "Settings", "SupportEmailAddress", std::string());
    }
    std::filesystem::path Copy() const { return ctx_.DbManager->Folder() / "debug_log.mdb"; }
    std::string SendByHand() const {
        return "Please send the file '" + ctx_.DbManager->Folder().string() + "/db1.mdb' to the proper support personnel.";
    }
    int32_t Send() { return ctx_.DbManager->SendErrorReport(session_, messages_); }

    ScriptedPresenter dialogs_;
    forms::FakeMailHandover mail_;
    forms::MAPISession session_;
    forms::MAPIMessages messages_;
};

TEST_F(ErrorReport, ABlankAddressIsOfferedAndTheMailGoesWithACopyOfTheStore) {
    struct Case {
        std::optional<std::string> stored;  // the setting before the report
        int32_t answer;                     // to the question
        std::optional<std::string> entered; // in the input box
        std::string recipient;              // of the mail
        std::string after;                  // the setting after the report
    };
    const Case cases[] = {
        {std::nullopt, forms::vbNo, std::nullopt, "", ""},
        {std::nullopt, forms::vbYes, std::string("  support@example.com  "), "support@example.com", "support@example.com"},
        {std::nullopt, forms::vbYes, std::string("   "), "", ""},
        {std::string("   "), forms::vbYes, std::nullopt, "", "   "},  // blanks count as empty: asked again
    };
    for (const auto& c : cases) {
        ctx_.DbManager->RemoveSetting("Imagelift", "Settings", "SupportEmailAddress");
        if (c.stored) ctx_.DbManager->SaveSetting("Imagelift", "Settings", "SupportEmailAddress", *c.stored);
        dialogs_ = ScriptedPresenter();
        mail_.sent.clear();
        mail_.attachmentBytes.clear();
        dialogs_.AnswerMessage(c.answer);
        if (c.answer == forms::vbYes) dialogs_.AnswerInput(c.entered);

        EXPECT_EQ(Send(), 1);
        ASSERT_GE(dialogs_.asked().size(), 1u);
        EXPECT_EQ(dialogs_.asked()[0].prompt,
                  "The support e-mail address is currently blank.  Would you like to add a default support e-mail "
                  "address?");
        EXPECT_EQ(dialogs_.asked()[0].buttons, forms::vbYesNo);
        if (c.answer == forms::vbYes) {
            EXPECT_EQ(dialogs_.asked()[1].prompt, "Enter the default support e-mail address:");
            EXPECT_EQ(dialogs_.asked()[1].title, "Support E-mail");
        }
        EXPECT_EQ(dialogs_.unscripted(), 0);
        ASSERT_EQ(mail_.sent.size(), 1u);
        EXPECT_EQ(mail_.sent[0].recipient, c.recipient);
        EXPECT_EQ(mail_.sent[0].subject, "Imagelift - Debug Log");
        EXPECT_EQ(mail_.sent[0].noteText, " ");
        EXPECT_EQ(mail_.sent[0].attachmentPath, Copy().string());
        EXPECT_EQ(Address(), c.after);
        EXPECT_FALSE(std::filesystem::exists(Copy()));  // deleted after the hand-over
    }
    // The attachment held the store as it was when copied.
    std::ifstream db(ctx_.DbManager->DatabasePath(), std::ios::binary);
    std::stringstream bytes;
    bytes << db.rdbuf();
    EXPECT_EQ(mail_.attachmentBytes.back().substr(0, 16), bytes.str().substr(0, 16));

    // With an address, nothing is asked.
    dialogs_ = ScriptedPresenter();
    ctx_.DbManager->SaveSetting("Imagelift", "Settings", "SupportEmailAddress", "help@example.com");
    EXPECT_EQ(Send(), 1);
    EXPECT_TRUE(dialogs_.asked().empty());
    EXPECT_EQ(mail_.sent.back().recipient, "help@example.com");
}

TEST_F(ErrorReport, FailuresTellTheUserWhereTheStoreIs) {
    ctx_.DbManager->SaveSetting("Imagelift", "Settings", "SupportEmailAddress", "help@example.com");

    // No mail program.
    mail_.available = false;
    EXPECT_EQ(Send(), -1);
    ASSERT_EQ(dialogs_.asked().size(), 1u);
    EXPECT_EQ(dialogs_.asked()[0].prompt, "Failed to establish a mail session.  " + SendByHand());
    EXPECT_EQ(dialogs_.asked()[0].buttons, forms::vbOKOnly);
    EXPECT_TRUE(mail_.sent.empty());

    // The user cancels the mail: logged, no message, the copy stays.
    mail_.available = true;
    mail_.failWith = forms::kMailUserAbort;
    dialogs_ = ScriptedPresenter();
    window_.lines.clear();
    EXPECT_EQ(Send(), -1);
    EXPECT_TRUE(dialogs_.asked().empty());
    auto logged = LinesContaining("in SendErrorReport");
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].message.rfind("Error #32001: ", 0), 0u);
    EXPECT_EQ(logged[0].priority, basDebug::ERROR_LEVEL);
    EXPECT_EQ(logged[0].module, std::optional<std::string>("clsDbManager"));
    EXPECT_TRUE(std::filesystem::exists(Copy()));

    // The next report asks before overwriting that copy; No sends nothing.
    mail_.failWith = 0;
    dialogs_ = ScriptedPresenter();
    dialogs_.AnswerMessage(forms::vbNo);
    EXPECT_EQ(Send(), -1);
    ASSERT_EQ(dialogs_.asked().size(), 2u);
    EXPECT_NE(dialogs_.asked()[0].prompt.find("already exists.  Overwrite?"), std::string::npos);
    EXPECT_EQ(dialogs_.asked()[1].prompt, "Failed to backup database file.  " + SendByHand());
    EXPECT_TRUE(mail_.sent.empty());

    // Any other failure of the mail system: logged and told.
    std::filesystem::remove(Copy());
    mail_.failWith = forms::kMailFailure;
    dialogs_ = ScriptedPresenter();
    EXPECT_EQ(Send(), -1);
    ASSERT_EQ(dialogs_.asked().size(), 1u);
    EXPECT_EQ(dialogs_.asked()[0].prompt, "Failed to establish a mail session.  " + SendByHand());
}

}  // namespace

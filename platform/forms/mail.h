// The mail session and mail message controls of a window, and the hand-over to the desktop's
// mail program.
//
// A program composes one message (recipient, subject, text, one attachment) and hands it to the
// user's mail program with its compose dialog shown, so the user sees and may change the mail
// before it goes. On this platform the hand-over is `xdg-email`; it returns before the mail
// program has read the attachment, so the attachment is first copied into a folder the
// hand-over owns, and the caller may delete its own file at once.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace forms {

// The number a mail operation fails with when the user cancelled it.
inline constexpr int32_t kMailUserAbort = 32001;
// The number of any other failure of the mail system.
inline constexpr int32_t kMailFailure = 32002;

struct MailMessage {
    std::string recipient;  // empty: the user fills it in
    std::string subject;
    std::string noteText;
    std::string attachmentPath;  // empty: none
};

class MailHandover {
public:
    virtual ~MailHandover() = default;
    // Whether a mail program can be reached at all.
    virtual bool Available() = 0;
    // Hands the message over; raises vb::Error kMailUserAbort when the user cancelled and
    // kMailFailure (or another number) when it failed.
    virtual void Send(const MailMessage& message, bool showDialog) = 0;
};

// The desktop's mail program through `xdg-email` (searched on PATH). Attachments are copied
// into $LUMAREL_ROOT/mail/<n>/ first; copies older than a week are removed on later sends.
class XdgEmailHandover : public MailHandover {
public:
    // `program`: the command to run, "xdg-email" by default (tests point it at a script).
    explicit XdgEmailHandover(std::string program = "xdg-email") : program_(std::move(program)) {}
    bool Available() override;
    void Send(const MailMessage& message, bool showDialog) override;

private:
    std::string program_;
};

// A recording stand-in for tests.
class FakeMailHandover : public MailHandover {
public:
    bool available = true;
    int32_t failWith = 0;  // 0: succeed; else the error number Send raises
    std::vector<MailMessage> sent;
    std::vector<std::string> attachmentBytes;  // the attachment's content at hand-over time
    bool Available() override { return available; }
    void Send(const MailMessage& message, bool showDialog) override;
};

// The hand-over the mail controls use: the installed one, else an XdgEmailHandover.
MailHandover& Mailer();
void SetMailer(MailHandover* mailer);

// The mail session control: signing on yields a session identifier (0: no session).
class MAPISession {
public:
    explicit MAPISession(std::string name = "MAPISession1") : Name(std::move(name)) {}
    std::string Name;
    // Session options, set before signing on; the desktop hand-over needs none of them but
    // they are kept so a window can set them as it always did.
    bool DownloadMail = true;
    bool LogonUI = true;
    bool NewSession = false;
    int32_t SessionID = 0;

    // Opens a session when a mail program can be reached; otherwise SessionID stays 0.
    void SignOn();
    void SignOff() { SessionID = 0; }
    std::string TypeName() const { return "MAPISession"; }
};

// The mail message control: compose one message, then send it.
class MAPIMessages {
public:
    explicit MAPIMessages(std::string name = "MAPIMessages1") : Name(std::move(name)) {}
    std::string Name;
    int32_t SessionID = 0;
    std::string RecipAddress;
    std::string MsgSubject;
    std::string MsgNoteText;
    std::string AttachmentPathName;

    // Starts a new, empty message.
    void Compose();
    // Hands the composed message over; raises kMailFailure without a session, and whatever the
    // hand-over raises (kMailUserAbort when the user cancelled).
    void Send(bool showDialog);
    std::string TypeName() const { return "MAPIMessages"; }
};

}  // namespace forms

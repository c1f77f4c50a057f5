// The one presenter of message boxes, input boxes and file dialogs.
//
// Every window asks through here. A person gets a dialog of the window layer; an unattended run
// gets a line in its status file and an answer at once (never Yes: nothing is confirmed that
// nobody saw); tests script the answers and read back what was asked.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace forms {

// Buttons, icons and default button, added together as the platform's message box expects.
enum : int32_t {
    vbOKOnly = 0,
    vbOKCancel = 1,
    vbAbortRetryIgnore = 2,
    vbYesNoCancel = 3,
    vbYesNo = 4,
    vbRetryCancel = 5,
    vbCritical = 16,
    vbQuestion = 32,
    vbExclamation = 48,
    vbInformation = 64,
    vbDefaultButton2 = 256,
    vbDefaultButton3 = 512,
};

// Answers.
enum : int32_t { vbOK = 1, vbCancel = 2, vbAbort = 3, vbRetry = 4, vbIgnore = 5, vbYes = 6, vbNo = 7 };

struct MessageBoxRequest {
    std::string prompt;
    int32_t buttons = vbOKOnly;
    std::string title;  // already defaulted to App().Title
};

struct InputBoxRequest {
    std::string prompt;
    std::string title;  // already defaulted to App().Title
    std::string defaultText;
};

struct FileDialogRequest {
    bool save = false;
    std::string dialogTitle;
    std::string filter;      // "Text (*.txt)|*.txt|All files (*.*)|*.*"
    int32_t filterIndex = 1;
    std::string initDir;
    std::string fileName;    // proposed name
    std::string defaultExt;
};

class DialogPresenter {
public:
    virtual ~DialogPresenter() = default;
    // The button pressed (vbOK ... vbNo).
    virtual int32_t MessageBox(const MessageBoxRequest& request) = 0;
    // The text entered, or nullopt when cancelled.
    virtual std::optional<std::string> InputBox(const InputBoxRequest& request) = 0;
    // The chosen file, or "" when cancelled.
    virtual std::string FileDialog(const FileDialogRequest& request) = 0;
};

// The answer a message box gets when nobody can answer it: OK for a lone OK button, otherwise
// the refusing one (No, Cancel, Abort).
int32_t UnattendedAnswer(int32_t buttons);

// For unattended runs: each message or input box becomes one line for the run's status file
// ("<title>: <prompt>", line ends flattened) and is answered at once.
class StatusLinePresenter : public DialogPresenter {
public:
    explicit StatusLinePresenter(std::function<void(const std::string&)> writeLine) : writeLine_(std::move(writeLine)) {}
    int32_t MessageBox(const MessageBoxRequest& request) override;
    std::optional<std::string> InputBox(const InputBoxRequest& request) override;
    std::string FileDialog(const FileDialogRequest& request) override;

private:
    std::function<void(const std::string&)> writeLine_;
};

// For tests: answers from queues, every request recorded. An unscripted question gets the
// unattended answer and is counted, so a test can tell that something unexpected was asked.
class ScriptedPresenter : public DialogPresenter {
public:
    struct Asked {
        enum Kind { Message, Input, File } kind;
        std::string prompt;   // for a file dialog: its title
        std::string title;
        int32_t buttons = 0;
        std::string defaultText;
    };

    void AnswerMessage(int32_t answer) { messageAnswers_.push_back(answer); }
    void AnswerInput(std::optional<std::string> text) { inputAnswers_.push_back(std::move(text)); }
    void AnswerFile(std::string path) { fileAnswers_.push_back(std::move(path)); }

    int32_t MessageBox(const MessageBoxRequest& request) override;
    std::optional<std::string> InputBox(const InputBoxRequest& request) override;
    std::string FileDialog(const FileDialogRequest& request) override;

    const std::vector<Asked>& asked() const { return asked_; }
    int unscripted() const { return unscripted_; }
    size_t unusedAnswers() const { return messageAnswers_.size() + inputAnswers_.size() + fileAnswers_.size(); }

private:
    std::deque<int32_t> messageAnswers_;
    std::deque<std::optional<std::string>> inputAnswers_;
    std::deque<std::string> fileAnswers_;
    std::vector<Asked> asked_;
    int unscripted_ = 0;
};

// The presenter in force: the installed one, else the window layer's (once it runs), else one
// that writes the question to the standard error stream and answers as unattended.
DialogPresenter& Presenter();
// Installs a presenter (nullptr: back to the default). The caller keeps ownership.
void SetPresenter(DialogPresenter* presenter);
// The window layer registers its interactive presenter here.
void SetInteractivePresenter(DialogPresenter* presenter);

// Installs a presenter for the lifetime of a scope (tests, an unattended run).
class ScopedPresenter {
public:
    explicit ScopedPresenter(DialogPresenter& p) { SetPresenter(&p); }
    ~ScopedPresenter() { SetPresenter(nullptr); }
    ScopedPresenter(const ScopedPresenter&) = delete;
    ScopedPresenter& operator=(const ScopedPresenter&) = delete;
};

// The calls the windows make.
int32_t MsgBox(const std::string& prompt, int32_t buttons = vbOKOnly, const std::string& title = "");
// The text entered; "" when cancelled.
std::string InputBox(const std::string& prompt, const std::string& title = "", const std::string& defaultText = "");

}  // namespace forms

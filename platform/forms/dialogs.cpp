#include "forms/dialogs.h"

#include "forms/app.h"

#include <atomic>
#include <iostream>

namespace forms {

namespace {

std::atomic<DialogPresenter*> g_installed{nullptr};
std::atomic<DialogPresenter*> g_interactive{nullptr};

std::string flatten(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\r' || s[i] == '\n') {
            if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n') ++i;
            out += ' ';
        } else {
            out += s[i];
        }
    }
    return out;
}

// Without a window layer and without an installed presenter: nobody can answer.
class StandardErrorPresenter : public DialogPresenter {
public:
    int32_t MessageBox(const MessageBoxRequest& r) override {
        std::cerr << flatten(r.title) << ": " << flatten(r.prompt) << "\n";
        return UnattendedAnswer(r.buttons);
    }
    std::optional<std::string> InputBox(const InputBoxRequest& r) override {
        std::cerr << flatten(r.title) << ": " << flatten(r.prompt) << "\n";
        return std::nullopt;
    }
    std::string FileDialog(const FileDialogRequest&) override { return ""; }
};

}  // namespace

int32_t UnattendedAnswer(int32_t buttons) {
    switch (buttons & 7) {
    case vbOKOnly: return vbOK;
    case vbAbortRetryIgnore: return vbAbort;
    case vbYesNo: return vbNo;
    default: return vbCancel;  // OK/Cancel, Yes/No/Cancel, Retry/Cancel
    }
}

int32_t StatusLinePresenter::MessageBox(const MessageBoxRequest& r) {
    if (writeLine_) writeLine_(flatten(r.title) + ": " + flatten(r.prompt));
    return UnattendedAnswer(r.buttons);
}

std::optional<std::string> StatusLinePresenter::InputBox(const InputBoxRequest& r) {
    if (writeLine_) writeLine_(flatten(r.title) + ": " + flatten(r.prompt));
    return std::nullopt;
}

std::string StatusLinePresenter::FileDialog(const FileDialogRequest&) { return ""; }

int32_t ScriptedPresenter::MessageBox(const MessageBoxRequest& r) {
    asked_.push_back({Asked::Message, r.prompt, r.title, r.buttons, ""});
    if (messageAnswers_.empty()) {
        ++unscripted_;
        return UnattendedAnswer(r.buttons);
    }
    int32_t a = messageAnswers_.front();
    messageAnswers_.pop_front();
    return a;
}

std::optional<std::string> ScriptedPresenter::InputBox(const InputBoxRequest& r) {
    asked_.push_back({Asked::Input, r.prompt, r.title, 0, r.defaultText});
    if (inputAnswers_.empty()) {
        ++unscripted_;
        return std::nullopt;
    }
    auto a = inputAnswers_.front();
    inputAnswers_.pop_front();
    return a;
}

std::string ScriptedPresenter::FileDialog(const FileDialogRequest& r) {
    asked_.push_back({Asked::File, r.dialogTitle, r.dialogTitle, r.save ? 1 : 0, r.fileName});
    if (fileAnswers_.empty()) {
        ++unscripted_;
        return "";
    }
    auto a = fileAnswers_.front();
    fileAnswers_.pop_front();
    return a;
}

DialogPresenter& Presenter() {
    static StandardErrorPresenter fallback;
    if (DialogPresenter* p = g_installed.load()) return *p;
    if (DialogPresenter* p = g_interactive.load()) return *p;
    return fallback;
}

void SetPresenter(DialogPresenter* presenter) { g_installed.store(presenter); }
void SetInteractivePresenter(DialogPresenter* presenter) { g_interactive.store(presenter); }

int32_t MsgBox(const std::string& prompt, int32_t buttons, const std::string& title) {
    return Presenter().MessageBox({prompt, buttons, title.empty() ? App().Title : title});
}

std::string InputBox(const std::string& prompt, const std::string& title, const std::string& defaultText) {
    auto answer = Presenter().InputBox({prompt, title.empty() ? App().Title : title, defaultText});
    return answer.value_or("");
}

}  // namespace forms

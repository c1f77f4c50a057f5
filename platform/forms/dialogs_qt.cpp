// Message boxes, input boxes and file dialogs for a person, on the desktop.
#include "forms/dialogs.h"
#include "forms/internal.h"

#include "user/window_registry.h"

#include <QFileDialog>
#include <QGuiApplication>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>
#include <algorithm>
#include <iostream>
#include <vector>

namespace forms {

using detail::FromQ;
using detail::ToQ;

namespace {

// While a dialog is up it is a top-level window others can find, as the platform's are.
class PublishedDialog {
public:
    explicit PublishedDialog(const std::string& title) : hwnd_(user::CreateWindow("#32770", title)) {
        user::PublishTopWindow(hwnd_, "#32770", title, true);
    }
    ~PublishedDialog() {
        user::WithdrawTopWindow(hwnd_);
        user::DestroyWindow(hwnd_);
    }
    PublishedDialog(const PublishedDialog&) = delete;
    PublishedDialog& operator=(const PublishedDialog&) = delete;

private:
    user::HWND hwnd_;
};

// The dialogs on screen, the innermost last: a request to end answers them.
std::vector<QDialog*>& openDialogs() {
    static std::vector<QDialog*> dialogs;
    return dialogs;
}

class OpenDialog {
public:
    explicit OpenDialog(QDialog& dialog) : dialog_(&dialog) { openDialogs().push_back(dialog_); }
    ~OpenDialog() { std::erase(openDialogs(), dialog_); }
    OpenDialog(const OpenDialog&) = delete;
    OpenDialog& operator=(const OpenDialog&) = delete;

private:
    QDialog* dialog_;
};

// On the offscreen platform (no display: tests, runs on a server) nobody can answer a dialog;
// the question goes to the standard error stream and gets the unattended answer at once
// instead of waiting for ever. The same holds while the program ends on a request from outside.
bool Headless() { return QGuiApplication::platformName() == "offscreen" || detail::EndUnderWay(); }

DialogPresenter& HeadlessPresenter() {
    static StatusLinePresenter presenter([](const std::string& line) { std::cerr << line << "\n"; });
    return presenter;
}

class DesktopPresenter : public DialogPresenter {
public:
    int32_t MessageBox(const MessageBoxRequest& r) override {
        if (Headless()) return HeadlessPresenter().MessageBox(r);
        PublishedDialog published(r.title);
        QMessageBox box;
        box.setWindowTitle(ToQ(r.title));
        box.setText(ToQ(r.prompt));
        switch (r.buttons & 0x70) {
        case vbCritical: box.setIcon(QMessageBox::Critical); break;
        case vbQuestion: box.setIcon(QMessageBox::Question); break;
        case vbExclamation: box.setIcon(QMessageBox::Warning); break;
        case vbInformation: box.setIcon(QMessageBox::Information); break;
        default: break;
        }
        struct Choice {
            QMessageBox::StandardButton button;
            int32_t answer;
        };
        std::vector<Choice> choices;
        switch (r.buttons & 7) {
        case vbOKCancel: choices = {{QMessageBox::Ok, vbOK}, {QMessageBox::Cancel, vbCancel}}; break;
        case vbAbortRetryIgnore:
            choices = {{QMessageBox::Abort, vbAbort}, {QMessageBox::Retry, vbRetry}, {QMessageBox::Ignore, vbIgnore}};
            break;
        case vbYesNoCancel:
            choices = {{QMessageBox::Yes, vbYes}, {QMessageBox::No, vbNo}, {QMessageBox::Cancel, vbCancel}};
            break;
        case vbYesNo: choices = {{QMessageBox::Yes, vbYes}, {QMessageBox::No, vbNo}}; break;
        case vbRetryCancel: choices = {{QMessageBox::Retry, vbRetry}, {QMessageBox::Cancel, vbCancel}}; break;
        default: choices = {{QMessageBox::Ok, vbOK}}; break;
        }
        QMessageBox::StandardButtons all;
        for (auto& c : choices) all |= c.button;
        box.setStandardButtons(all);
        size_t def = (r.buttons & vbDefaultButton3) ? 2 : (r.buttons & vbDefaultButton2) ? 1 : 0;
        if (def < choices.size()) box.setDefaultButton(choices[def].button);
        OpenDialog open(box);
        // A box closed without a button (a request to end) gets no choice of the list.
        auto pressed = QMessageBox::StandardButton(box.exec());
        for (auto& c : choices)
            if (c.button == pressed) return c.answer;
        return UnattendedAnswer(r.buttons);
    }

    std::optional<std::string> InputBox(const InputBoxRequest& r) override {
        if (Headless()) return HeadlessPresenter().InputBox(r);
        PublishedDialog published(r.title);
        QInputDialog dialog;
        dialog.setWindowTitle(ToQ(r.title));
        dialog.setLabelText(ToQ(r.prompt));
        dialog.setTextValue(ToQ(r.defaultText));
        OpenDialog open(dialog);
        if (dialog.exec() != QDialog::Accepted) return std::nullopt;
        return FromQ(dialog.textValue());
    }

    std::string FileDialog(const FileDialogRequest& r) override {
        if (Headless()) return HeadlessPresenter().FileDialog(r);
        // "Text (*.txt)|*.txt|All (*.*)|*.*" becomes "Text (*.txt);;All (*.*)".
        QStringList parts = ToQ(r.filter).split('|');
        QStringList filters;
        for (int i = 0; i + 1 < parts.size(); i += 2) filters << parts[i] + " (" + parts[i + 1].replace(';', ' ') + ")";
        QString selected = r.filterIndex >= 1 && r.filterIndex <= filters.size() ? filters[r.filterIndex - 1] : QString();
        QString start = QString::fromStdString(r.initDir);
        if (!r.fileName.empty()) start = start.isEmpty() ? QString::fromStdString(r.fileName)
                                                         : start + "/" + QString::fromStdString(r.fileName);
        QFileDialog dialog(nullptr, ToQ(r.dialogTitle), start, filters.join(";;"));
        dialog.setAcceptMode(r.save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
        dialog.setFileMode(r.save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
        if (!selected.isEmpty()) dialog.selectNameFilter(selected);
        OpenDialog open(dialog);
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return "";
        return dialog.selectedFiles().front().toStdString();
    }
};

}  // namespace

namespace detail {
void InstallDesktopPresenter() {
    static DesktopPresenter presenter;
    SetInteractivePresenter(&presenter);
}

void CloseOpenDialogs() {
    // Innermost first; each one's own loop ends as control comes back to it.
    const std::vector<QDialog*> open = openDialogs();
    for (auto it = open.rbegin(); it != open.rend(); ++it) (*it)->done(QDialog::Rejected);
}
}  // namespace detail

}  // namespace forms

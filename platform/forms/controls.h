// The standard controls: labels, text boxes, buttons, check and option buttons, frames, rich
// text, progress bar, image, web browser and the clipboard. Combo and list boxes are in
// list_controls.h, the drive, folder and file lists and the common file dialog in
// file_controls.h.
//
// Texts are 8-bit Windows-1252, as the programs keep them; a multi-line text box keeps its
// lines separated by CR LF and counts both characters in positions and lengths.
#pragma once

#include "forms/control.h"

#include <optional>

class QLineEdit;
class QPlainTextEdit;
class QTextEdit;
class QTextBrowser;
class QLabel;
class QProgressBar;

namespace forms {

class Label : public Control {
public:
    Label(Container* container, std::string name, int32_t index = -1);
    std::string TypeName() const override { return "Label"; }
    Property<std::string> Caption;
    Property<int32_t> Alignment;  // 0 left, 1 right, 2 centre
    Property<bool> WordWrap;
    std::function<void()> Change;  // the caption changed
    std::function<void()> Click;

private:
    QLabel* label_;
    std::string caption_;
};

class TextBox : public Control {
public:
    enum Style : int32_t { SingleLine = 0, MultiLine = 1, VerticalScroll = 2, HorizontalScroll = 4 };
    TextBox(Container* container, std::string name, int32_t style = SingleLine, int32_t index = -1);
    std::string TypeName() const override { return "TextBox"; }

    Property<std::string> Text;
    Property<int32_t> SelStart;
    Property<int32_t> SelLength;
    Property<std::string> SelText;  // writing replaces the selection
    Property<bool> Locked;
    Property<bool> MultiLineMode;   // read-only at run time
    Property<std::string> FontName;
    Property<double> FontSize;
    std::function<void()> Change;  // only when the text really changed

private:
    void setAll(const std::string& text);
    void replaceSelection(const std::string& text);
    void fromWidget();
    int32_t toWidgetPos(int32_t pos) const;
    int32_t fromWidgetPos(int32_t pos) const;
    void selectionFromWidget();
    void selectInWidget();
    bool parking();
    void unpark();
    void fireChange();
    user::LRESULT OwnWindowProc(user::HWND h, uint32_t msg, user::WPARAM w, user::LPARAM l) override;
    bool InsertTypedChar(int32_t keyAscii) override;
    std::string WindowText() const override { return text_; }

    bool multi_;
    QLineEdit* line_ = nullptr;
    QPlainTextEdit* edit_ = nullptr;
    std::string text_;
    int32_t selStart_ = 0;
    int32_t selLength_ = 0;
    bool updating_ = false;
    bool parked_ = false;  // hidden: the widget does not hold the text and selection kept here
};

class CommandButton : public Control {
public:
    CommandButton(Container* container, std::string name, int32_t index = -1);
    std::string TypeName() const override { return "CommandButton"; }
    Property<std::string> Caption;
    Property<bool> Default;
    Property<bool> Cancel;
    std::function<void()> Click;
    // Presses the button as a user would (when enabled).
    void Press();

private:
    bool default_ = false, cancel_ = false;
};

class CheckBox : public Control {
public:
    CheckBox(Container* container, std::string name, int32_t index = -1);
    std::string TypeName() const override { return "CheckBox"; }
    Property<std::string> Caption;
    Property<int32_t> Value;  // 0 unchecked, 1 checked, 2 grayed; a change raises Click
    std::function<void()> Click;

private:
    int32_t value_ = 0;
    bool updating_ = false;
};

class OptionButton : public Control {
public:
    OptionButton(Container* container, std::string name, int32_t index = -1);
    std::string TypeName() const override { return "OptionButton"; }
    Property<std::string> Caption;
    Property<bool> Value;  // becoming True raises Click and clears the others of the container
    std::function<void()> Click;

private:
    bool updating_ = false;
};

// A frame groups controls: they name it as their container.
class Frame : public Control, public Container {
public:
    Frame(Container* container, std::string name, int32_t index = -1);
    std::string TypeName() const override { return "Frame"; }
    Property<std::string> Caption;
    QWidget* ContainerWidget() const override { return Widget(); }
    Form& OwnerForm() override { return *form_; }
};

class RichTextBox : public Control {
public:
    RichTextBox(Container* container, std::string name, int32_t index = -1);
    std::string TypeName() const override { return "RichTextBox"; }
    Property<std::string> Text;
    Property<bool> Locked;
    Property<std::string> FontName;
    Property<double> FontSize;
    std::function<void()> Change;

private:
    QTextEdit* edit_;
    std::string text_;  // lines apart with CR LF, as set
    bool updating_ = false;
};

class ProgressBar : public Control {
public:
    ProgressBar(Container* container, std::string name, int32_t index = -1);
    std::string TypeName() const override { return "ProgressBar"; }
    Property<double> Min;
    Property<double> Max;
    Property<double> Value;  // outside Min..Max raises error 380
    std::function<void()> Click;

private:
    void show();
    QProgressBar* bar_;
    double min_ = 0, max_ = 100, value_ = 0;
};

class Image : public Control {
public:
    Image(Container* container, std::string name, int32_t index = -1);
    std::string TypeName() const override { return "Image"; }
    Property<std::string> Picture;  // a picture file; "" clears; a missing file raises 53
    Property<bool> Stretch;
    std::function<void()> Click;

private:
    QLabel* label_;
    std::string picture_;
};

// Shows local HTML pages.
class WebBrowser : public Control {
public:
    WebBrowser(Container* container, std::string name, int32_t index = -1);
    std::string TypeName() const override { return "WebBrowser"; }
    void Navigate(const std::string& url);
    std::string LocationURL() const { return location_; }
    std::string DocumentText() const;

private:
    QTextBrowser* browser_;
    std::string location_;
};

// The clipboard's text.
struct Clipboard {
    static void Clear();
    static void SetText(const std::string& text);
    static std::string GetText();
};

}  // namespace forms

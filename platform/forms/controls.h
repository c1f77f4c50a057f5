// The standard controls: labels, text boxes, buttons, check and option buttons, frames, combo
// and list boxes, rich text, progress bar, image, web browser, drive/folder/file lists, the
// common file dialog and the clipboard.
//
// Texts are 8-bit Windows-1252, as the programs keep them; a multi-line text box keeps its
// lines separated by CR LF and counts both characters in positions and lengths.
#pragma once

#include "forms/form.h"

#include <optional>

class QLineEdit;
class QPlainTextEdit;
class QComboBox;
class QListWidget;
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

// Items of combo and list boxes.
class ItemList {
public:
    virtual ~ItemList() = default;
    void AddItem(const std::string& item, int32_t index = -1);
    void RemoveItem(int32_t index);
    void Clear();
    int32_t ListCount() const;
    // Where the last AddItem put its item (-1 when none since the last removal).
    int32_t NewIndex() const { return newIndex_; }
    IndexedRef<std::string> List(int32_t index);
    IndexedRef<int32_t> ItemData(int32_t index);

protected:
    virtual void insertRow(int32_t index, const std::string& text) = 0;
    virtual void removeRow(int32_t index) = 0;
    virtual void clearRows() = 0;
    virtual void setRowText(int32_t index, const std::string& text) = 0;
    virtual void afterChange() {}
    std::vector<std::string> items_;
    std::vector<int32_t> data_;
    bool sorted_ = false;
    int32_t newIndex_ = -1;
};

class ComboBox : public Control, public ItemList {
public:
    enum Style : int32_t { DropdownCombo = 0, SimpleCombo = 1, DropdownList = 2 };
    ComboBox(Container* container, std::string name, int32_t style = DropdownCombo, int32_t index = -1);
    std::string TypeName() const override { return "ComboBox"; }
    Property<int32_t> ListIndex;  // -1: none; setting it raises Click
    Property<std::string> Text;
    Property<bool> Sorted;
    std::function<void()> Click;
    std::function<void()> Change;  // the edited text changed (typed, or Text set in code)

protected:
    bool HeightIsReadOnly() const override { return true; }
    void insertRow(int32_t index, const std::string& text) override;
    void removeRow(int32_t index) override;
    void clearRows() override;
    void setRowText(int32_t index, const std::string& text) override;

private:
    QComboBox* combo_;
    bool updating_ = false;
};

class ListBox : public Control, public ItemList {
public:
    ListBox(Container* container, std::string name, int32_t index = -1);
    std::string TypeName() const override { return "ListBox"; }
    Property<int32_t> ListIndex;
    Property<std::string> Text;  // the selected item
    Property<int32_t> TopIndex;
    Property<bool> Sorted;
    IndexedRef<bool> Selected(int32_t index);
    std::function<void()> Click;
    std::function<void()> DblClick;

protected:
    void insertRow(int32_t index, const std::string& text) override;
    void removeRow(int32_t index) override;
    void clearRows() override;
    void setRowText(int32_t index, const std::string& text) override;

private:
    QListWidget* list_;
    bool updating_ = false;
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

// The file systems (mount points) as the drive list shows them.
class DriveListBox : public Control {
public:
    DriveListBox(Container* container, std::string name, int32_t index = -1);
    std::string TypeName() const override { return "DriveListBox"; }
    // The current drive; setting a path selects the file system that holds it (error 68 when
    // none does). A change raises Change.
    Property<std::string> Drive;
    int32_t ListCount() const;
    std::string List(int32_t index) const;
    std::function<void()> Change;

protected:
    bool HeightIsReadOnly() const override { return true; }

private:
    QComboBox* combo_;
    std::vector<std::string> mounts_;
    bool updating_ = false;
};

// A folder tree: List(-1) is the current folder, List(-2) its parent and so on; List(0) to
// List(ListCount - 1) are its sub-folders, sorted without regard to case.
class DirListBox : public Control {
public:
    DirListBox(Container* container, std::string name, int32_t index = -1);
    std::string TypeName() const override { return "DirListBox"; }
    Property<std::string> Path;  // a missing folder raises error 76
    Property<int32_t> ListIndex;
    int32_t ListCount() const { return int32_t(subfolders_.size()); }
    std::string List(int32_t index) const;
    std::function<void()> Change;
    std::function<void()> Click;

private:
    void fill();
    QListWidget* list_;
    std::string path_;
    std::vector<std::string> ancestors_;   // root first, current folder last
    std::vector<std::string> subfolders_;  // full paths
    bool updating_ = false;
};

class FileListBox : public Control {
public:
    FileListBox(Container* container, std::string name, int32_t index = -1);
    std::string TypeName() const override { return "FileListBox"; }
    Property<std::string> Path;
    Property<std::string> Pattern;  // "*.fwp;*.bin", matched without regard to case
    Property<std::string> FileName;
    Property<int32_t> ListIndex;
    int32_t ListCount() const { return int32_t(files_.size()); }
    std::string List(int32_t index) const;
    void Refresh();
    std::function<void()> Click;
    std::function<void()> DblClick;
    std::function<void()> PathChange;
    std::function<void()> PatternChange;

private:
    void fill();
    QListWidget* list_;
    std::string path_;
    std::string pattern_ = "*.*";
    std::vector<std::string> files_;
    bool updating_ = false;
};

// The common open and save dialogs, shown through the dialog presenter.
class CommonDialog : public Control {
public:
    CommonDialog(Container* container, std::string name, int32_t index = -1);
    std::string TypeName() const override { return "CommonDialog"; }
    std::string FileName;
    std::string Filter;
    int32_t FilterIndex = 1;
    std::string DialogTitle;
    std::string InitDir;
    std::string DefaultExt;
    int32_t Flags = 0;
    bool CancelError = false;  // cancelling then raises error 32755
    void ShowOpen();
    void ShowSave();

protected:
    bool VisibleValue() const override { return false; }
    void ApplyVisible(bool) override {}

private:
    void show(bool save);
};

// The clipboard's text.
struct Clipboard {
    static void Clear();
    static void SetText(const std::string& text);
    static std::string GetText();
};

}  // namespace forms

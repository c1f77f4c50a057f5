// The file controls: drive, folder and file lists, and the common open and save dialogs.
#pragma once

#include "forms/control.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class QComboBox;
class QListWidget;

namespace forms {

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

}  // namespace forms

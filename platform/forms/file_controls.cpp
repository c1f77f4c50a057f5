#include "forms/file_controls.h"
#include "forms/internal.h"

#include "forms/dialogs.h"
#include "vbrt/error.h"

#include <QComboBox>
#include <QListWidget>
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fnmatch.h>
#include <fstream>
#include <sstream>

namespace forms {

using detail::FireIfSet;
using detail::FromQ;
using detail::RaiseInvalidValue;

// ---------------------------------------------------------------------------- DriveListBox

namespace {
std::vector<std::string> mountPoints() {
    std::vector<std::string> mounts{"/"};
    std::ifstream in("/proc/mounts");
    std::string device, point, rest;
    while (in >> device >> point && std::getline(in, rest)) {
        if (device.rfind("/dev/", 0) != 0 || point == "/") continue;
        if (std::find(mounts.begin(), mounts.end(), point) == mounts.end()) mounts.push_back(point);
    }
    std::sort(mounts.begin(), mounts.end());
    return mounts;
}

std::string mountOf(const std::vector<std::string>& mounts, const std::string& path) {
    std::string best;
    for (const auto& m : mounts) {
        bool holds = m == "/" || path == m || path.rfind(m + "/", 0) == 0;
        if (holds && m.size() > best.size()) best = m;
    }
    return best;
}
}  // namespace

DriveListBox::DriveListBox(Container* container, std::string name, int32_t index)
    : Control(container, std::move(name), index),
      Drive([this] { return FromQ(combo_->currentText()); },
            [this](const std::string& d) {
                std::string m = d.empty() || d[0] != '/' ? "" : mountOf(mounts_, d);
                if (m.empty()) vb::Raise(68, "forms", "Device unavailable");
                int i = int(std::find(mounts_.begin(), mounts_.end(), m) - mounts_.begin());
                if (i == combo_->currentIndex()) return;
                updating_ = true;
                combo_->setCurrentIndex(i);
                updating_ = false;
                FireIfSet("Change", Change);
            }),
      mounts_(mountPoints()) {
    combo_ = new QComboBox(container->ContainerWidget());
    for (const auto& m : mounts_) combo_->addItem(QString::fromStdString(m));
    combo_->setCurrentIndex(0);
    QObject::connect(combo_, QOverload<int>::of(&QComboBox::currentIndexChanged), [this](int) {
        if (!updating_) FireIfSet("Change", Change);
    });
    SetWidget(combo_);
}

int32_t DriveListBox::ListCount() const { return int32_t(mounts_.size()); }

std::string DriveListBox::List(int32_t index) const {
    return index >= 0 && size_t(index) < mounts_.size() ? mounts_[size_t(index)] : std::string();
}

// ------------------------------------------------------------------------------- DirListBox

namespace {
std::string normalFolder(const std::string& path) {
    std::error_code ec;
    std::filesystem::path p = std::filesystem::weakly_canonical(std::filesystem::absolute(path, ec), ec);
    std::string s = p.string();
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
}

// Makes `current` the folder `path` names; false when it already was. A missing folder raises 76.
bool enterFolder(const std::string& path, std::string& current) {
    std::string folder = normalFolder(path);
    std::error_code ec;
    if (path.empty() || !std::filesystem::is_directory(folder, ec)) vb::Raise(76, "forms", "Path not found");
    if (folder == current) return false;
    current = folder;
    return true;
}

bool lessNoCase(const std::string& a, const std::string& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) < std::tolower(static_cast<unsigned char>(y));
    });
}
}  // namespace

DirListBox::DirListBox(Container* container, std::string name, int32_t index)
    : Control(container, std::move(name), index),
      Path([this] { return path_; },
           [this](const std::string& p) {
               if (!enterFolder(p, path_)) return;
               fill();
               FireIfSet("Change", Change);
           }),
      ListIndex(
          [this] {
              int r = list_->currentRow();
              return r < 0 ? -1 : r - int(ancestors_.size());
          },
          [this](const int32_t& i) {
              int n = int(ancestors_.size());
              if (i < -n || i >= ListCount()) RaiseInvalidValue();
              updating_ = true;
              list_->setCurrentRow(i + n);
              updating_ = false;
              FireIfSet("Click", Click);
          }) {
    list_ = new QListWidget(container->ContainerWidget());
    QObject::connect(list_, &QListWidget::currentRowChanged, [this](int) {
        if (!updating_) FireIfSet("Click", Click);
    });
    QObject::connect(list_, &QListWidget::itemDoubleClicked, [this](QListWidgetItem* item) {
        int r = list_->row(item), n = int(ancestors_.size());
        std::string target = r < n ? ancestors_[size_t(r)] : subfolders_[size_t(r - n)];
        detail::Fire("DblClick", [&] { Path = target; });
    });
    SetWidget(list_);
    path_ = normalFolder(".");
    fill();
}

std::string DirListBox::List(int32_t index) const {
    int n = int(ancestors_.size());
    if (index < 0) return -index <= n ? ancestors_[size_t(n + index)] : std::string();
    return size_t(index) < subfolders_.size() ? subfolders_[size_t(index)] : std::string();
}

void DirListBox::fill() {
    ancestors_.clear();
    subfolders_.clear();
    for (std::filesystem::path p = path_;; p = p.parent_path()) {
        ancestors_.insert(ancestors_.begin(), p.string());
        if (p == p.parent_path()) break;
    }
    std::error_code ec;
    for (auto& e : std::filesystem::directory_iterator(path_, std::filesystem::directory_options::skip_permission_denied, ec))
        if (e.is_directory(ec)) subfolders_.push_back(e.path().string());
    std::sort(subfolders_.begin(), subfolders_.end(), lessNoCase);
    updating_ = true;
    list_->clear();
    int depth = 0;
    for (auto& a : ancestors_) {
        std::string shown = std::filesystem::path(a).filename().string();
        list_->addItem(QString(depth++ * 2, ' ') + QString::fromStdString(shown.empty() ? a : shown));
    }
    for (auto& s : subfolders_)
        list_->addItem(QString(depth * 2, ' ') + QString::fromStdString(std::filesystem::path(s).filename().string()));
    list_->setCurrentRow(int(ancestors_.size()) - 1);
    updating_ = false;
}

// ------------------------------------------------------------------------------ FileListBox

FileListBox::FileListBox(Container* container, std::string name, int32_t index)
    : Control(container, std::move(name), index),
      Path([this] { return path_; },
           [this](const std::string& p) {
               if (!enterFolder(p, path_)) return;
               fill();
               FireIfSet("PathChange", PathChange);
           }),
      Pattern([this] { return pattern_; },
              [this](const std::string& p) {
                  if (p == pattern_) return;
                  pattern_ = p;
                  fill();
                  FireIfSet("PatternChange", PatternChange);
              }),
      FileName(
          [this] {
              int r = list_->currentRow();
              return r >= 0 ? files_[size_t(r)] : std::string();
          },
          [this](const std::string& f) {
              // A folder or a pattern in the name goes to Path or Pattern, as the control does.
              std::error_code ec;
              if (std::filesystem::is_directory(f, ec)) {
                  Path = f;
                  return;
              }
              if (f.find_first_of("*?") != std::string::npos) {
                  Pattern = f;
                  return;
              }
              auto it = std::find(files_.begin(), files_.end(), f);
              if (it != files_.end()) ListIndex = int32_t(it - files_.begin());
          }),
      ListIndex([this] { return list_->currentRow(); },
                [this](const int32_t& i) {
                    if (i < -1 || i >= ListCount()) RaiseInvalidValue();
                    updating_ = true;
                    list_->setCurrentRow(i);
                    updating_ = false;
                    FireIfSet("Click", Click);
                }) {
    list_ = new QListWidget(container->ContainerWidget());
    QObject::connect(list_, &QListWidget::currentRowChanged, [this](int) {
        if (!updating_) FireIfSet("Click", Click);
    });
    QObject::connect(list_, &QListWidget::itemDoubleClicked, [this](QListWidgetItem*) { FireIfSet("DblClick", DblClick); });
    SetWidget(list_);
    path_ = normalFolder(".");
    fill();
}

std::string FileListBox::List(int32_t index) const {
    return index >= 0 && size_t(index) < files_.size() ? files_[size_t(index)] : std::string();
}

void FileListBox::Refresh() { fill(); }

void FileListBox::fill() {
    std::vector<std::string> patterns;
    std::stringstream ss(pattern_);
    for (std::string p; std::getline(ss, p, ';');)
        if (!p.empty()) patterns.push_back(p == "*.*" ? "*" : p);
    files_.clear();
    std::error_code ec;
    for (auto& e : std::filesystem::directory_iterator(path_, std::filesystem::directory_options::skip_permission_denied, ec)) {
        if (!e.is_regular_file(ec)) continue;
        std::string n = e.path().filename().string();
        for (auto& p : patterns) {
            if (::fnmatch(p.c_str(), n.c_str(), FNM_CASEFOLD) == 0) {
                files_.push_back(n);
                break;
            }
        }
    }
    std::sort(files_.begin(), files_.end(), lessNoCase);
    updating_ = true;
    list_->clear();
    for (auto& f : files_) list_->addItem(QString::fromStdString(f));
    updating_ = false;
}

// ----------------------------------------------------------------------------- CommonDialog

CommonDialog::CommonDialog(Container* container, std::string name, int32_t index)
    : Control(container, std::move(name), index, NoWidget{}) {}

void CommonDialog::ShowOpen() { show(false); }
void CommonDialog::ShowSave() { show(true); }

void CommonDialog::show(bool save) {
    FileDialogRequest r;
    r.save = save;
    r.dialogTitle = DialogTitle;
    r.filter = Filter;
    r.filterIndex = FilterIndex;
    r.initDir = InitDir;
    r.fileName = FileName;
    r.defaultExt = DefaultExt;
    std::string chosen = Presenter().FileDialog(r);
    if (chosen.empty()) {
        FileName.clear();
        if (CancelError) vb::Raise(32755, "CommonDialog", "Cancel was selected.");
        return;
    }
    if (!DefaultExt.empty() && std::filesystem::path(chosen).extension().empty()) chosen += "." + DefaultExt;
    FileName = chosen;
}

}  // namespace forms

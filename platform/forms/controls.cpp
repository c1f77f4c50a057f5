#include "controls.h"
#include "internal.h"

#include "forms/dialogs.h"
#include "vbrt/error.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextEdit>
#include <QUrl>
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fnmatch.h>
#include <fstream>
#include <sstream>

namespace forms {

using detail::FromQ;
using detail::ToQ;

namespace {

// Reports clicks on widgets that have no click signal of their own.
class ClickTap : public QObject {
public:
    ClickTap(std::function<void()>* click, std::function<void()>* dblClick) : click_(click), dbl_(dblClick) {}
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::MouseButtonRelease && click_ && *click_) detail::Fire("Click", *click_);
        if (e->type() == QEvent::MouseButtonDblClick && dbl_ && *dbl_) detail::Fire("DblClick", *dbl_);
        return false;
    }

private:
    std::function<void()>* click_;
    std::function<void()>* dbl_;
};

void tapClicks(QWidget* w, std::function<void()>* click, std::function<void()>* dbl = nullptr) {
    auto* tap = new ClickTap(click, dbl);
    tap->setParent(w);
    w->installEventFilter(tap);
}

void fire(const char* where, const std::function<void()>& fn) {
    if (fn) detail::Fire(where, fn);
}

[[noreturn]] void invalidValue() { vb::Raise(380, "forms", "Invalid property value"); }

void checkIndex(int32_t index, size_t count) {
    if (index < 0 || size_t(index) >= count) invalidValue();
}

std::string fontName(const QWidget* w) { return FromQ(w->font().family()); }
void setFontName(QWidget* w, const std::string& name) {
    QFont f = w->font();
    f.setFamily(ToQ(name));
    if (name == "Courier New") f.setStyleHint(QFont::Monospace);
    w->setFont(f);
}
void setFontSize(QWidget* w, double size) {
    QFont f = w->font();
    f.setPointSizeF(size > 0 ? size : 8.25);
    w->setFont(f);
}

}  // namespace

// ------------------------------------------------------------------------------------ Label

Label::Label(Container* container, std::string name, int32_t index)
    : Control(container, std::move(name), index),
      Caption([this] { return caption_; },
              [this](const std::string& c) {
                  if (c == caption_) return;
                  caption_ = c;
                  label_->setText(ToQ(c));
                  fire("Change", Change);
              }),
      Alignment(
          [this] {
              auto a = label_->alignment();
              return a & Qt::AlignRight ? 1 : a & Qt::AlignHCenter ? 2 : 0;
          },
          [this](const int32_t& a) {
              Qt::Alignment h = a == 1 ? Qt::AlignRight : a == 2 ? Qt::AlignHCenter : Qt::AlignLeft;
              label_->setAlignment(h | Qt::AlignTop);
          }),
      WordWrap([this] { return label_->wordWrap(); }, [this](const bool& w) { label_->setWordWrap(w); }) {
    label_ = new QLabel(container->ContainerWidget());
    label_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label_->setTextFormat(Qt::PlainText);
    SetWidget(label_);
    tapClicks(label_, &Click);
}

// ---------------------------------------------------------------------------------- TextBox

TextBox::TextBox(Container* container, std::string name, int32_t style, int32_t index)
    : Control(container, std::move(name), index),
      Text([this] { return text_; },
           [this](const std::string& t) {
               if (t == text_) return;
               setAll(t);
               fireChange();
           }),
      SelStart(
          [this] {
              selectionFromWidget();
              return selStart_;
          },
          [this](const int32_t& s) {
              if (s < 0) invalidValue();
              selStart_ = std::min<int32_t>(s, int32_t(text_.size()));
              selLength_ = 0;
              selectInWidget();
          }),
      SelLength(
          [this] {
              selectionFromWidget();
              return selLength_;
          },
          [this](const int32_t& l) {
              if (l < 0) invalidValue();
              selectionFromWidget();
              selLength_ = std::min<int32_t>(l, int32_t(text_.size()) - selStart_);
              selectInWidget();
          }),
      SelText(
          [this] {
              selectionFromWidget();
              return text_.substr(size_t(selStart_), size_t(selLength_));
          },
          [this](const std::string& s) { replaceSelection(s); }),
      Locked([this] { return line_ ? line_->isReadOnly() : edit_->isReadOnly(); },
             [this](const bool& l) {
                 if (line_) line_->setReadOnly(l);
                 else edit_->setReadOnly(l);
             }),
      MultiLineMode([this] { return multi_; }, [](const bool&) { RaiseReadOnly("MultiLine"); }),
      FontName([this] { return fontName(Widget()); }, [this](const std::string& n) { setFontName(Widget(), n); }),
      FontSize([this] { return Widget()->font().pointSizeF(); }, [this](const double& s) { setFontSize(Widget(), s); }),
      multi_((style & MultiLine) != 0) {
    QWidget* parent = container->ContainerWidget();
    if (multi_) {
        edit_ = new QPlainTextEdit(parent);
        edit_->setTabChangesFocus(false);
        edit_->setVerticalScrollBarPolicy(style & VerticalScroll ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
        edit_->setHorizontalScrollBarPolicy(style & HorizontalScroll ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
        edit_->setLineWrapMode(style & HorizontalScroll ? QPlainTextEdit::NoWrap : QPlainTextEdit::WidgetWidth);
        QObject::connect(edit_, &QPlainTextEdit::textChanged, [this] { fromWidget(); });
        SetWidget(edit_);
    } else {
        line_ = new QLineEdit(parent);
        QObject::connect(line_, &QLineEdit::textChanged, [this] { fromWidget(); });
        SetWidget(line_);
    }
}

void TextBox::replaceSelection(const std::string& s) {
    selectionFromWidget();
    const int32_t caret = selStart_ + int32_t(s.size());
    bool changed;
    if (size_t(selStart_) == text_.size() && selLength_ == 0) {
        // Appending at the end, the usual way of adding a line, updates the widget in place.
        changed = !s.empty();
        if (changed && edit_) {
            text_ += s;
            updating_ = true;
            QTextCursor c(edit_->document());
            c.movePosition(QTextCursor::End);
            c.insertText(ToQ(detail::CrLfToLf(s)));
            updating_ = false;
        } else if (changed) {
            setAll(text_ + s);
        }
    } else {
        std::string next = text_.substr(0, size_t(selStart_)) + s + text_.substr(size_t(selStart_ + selLength_));
        changed = next != text_;
        if (changed) setAll(next);
    }
    selStart_ = caret;
    selLength_ = 0;
    selectInWidget();
    if (changed) fireChange();
}

void TextBox::setAll(const std::string& text) {
    text_ = text;
    updating_ = true;
    if (edit_) {
        edit_->setPlainText(ToQ(detail::CrLfToLf(text)));
    } else {
        line_->setText(ToQ(text));
    }
    updating_ = false;
    selStart_ = std::min<int32_t>(selStart_, int32_t(text_.size()));
    selLength_ = 0;
}

void TextBox::fromWidget() {
    if (updating_) return;
    std::string t = FromQ(edit_ ? edit_->toPlainText() : line_->text());
    if (edit_) t = detail::LfToCrLf(t);
    if (t == text_) return;
    text_ = std::move(t);
    fireChange();
}

void TextBox::fireChange() {
    if (HasWindowHandle()) user::SetWindowTextDirect(hWnd(), text_);
    fire("Change", Change);
}

int32_t TextBox::toWidgetPos(int32_t pos) const {
    if (!edit_) return pos;
    int32_t w = 0;
    for (int32_t i = 0; i < pos && size_t(i) < text_.size(); ++i) {
        if (text_[size_t(i)] == '\r' && size_t(i + 1) < text_.size() && text_[size_t(i + 1)] == '\n') continue;
        ++w;
    }
    return w;
}

int32_t TextBox::fromWidgetPos(int32_t pos) const {
    if (!edit_) return pos;
    int32_t w = 0;
    size_t i = 0;
    for (; i < text_.size() && w < pos; ++i) {
        if (text_[i] == '\r' && i + 1 < text_.size() && text_[i + 1] == '\n') continue;
        ++w;
    }
    return int32_t(i);
}

void TextBox::selectionFromWidget() {
    int32_t a, b;
    if (edit_) {
        QTextCursor c = edit_->textCursor();
        a = c.selectionStart();
        b = c.selectionEnd();
    } else {
        if (line_->hasSelectedText()) {
            a = line_->selectionStart();
            b = a + int32_t(line_->selectedText().size());
        } else {
            a = b = line_->cursorPosition();
        }
    }
    selStart_ = fromWidgetPos(a);
    selLength_ = fromWidgetPos(b) - selStart_;
}

void TextBox::selectInWidget() {
    int32_t a = toWidgetPos(selStart_), b = toWidgetPos(selStart_ + selLength_);
    if (edit_) {
        QTextCursor c = edit_->textCursor();
        c.setPosition(a);
        c.setPosition(b, QTextCursor::KeepAnchor);
        edit_->setTextCursor(c);
    } else {
        line_->setSelection(a, b - a);
        if (a == b) line_->setCursorPosition(a);
    }
}

user::LRESULT TextBox::OwnWindowProc(user::HWND h, uint32_t msg, user::WPARAM w, user::LPARAM l) {
    switch (msg) {
    case user::WM_SETTEXT:
        Text = l ? std::string(reinterpret_cast<const char*>(l)) : std::string();
        return 1;
    case 0x00B1:  // EM_SETSEL: start, end (-1: the end)
        SelStart = int32_t(std::min<size_t>(size_t(w), text_.size()));
        SelLength = int32_t(l < 0 ? text_.size() : std::min<size_t>(size_t(l), text_.size())) - SelStart();
        return 0;
    case 0x00C2:  // EM_REPLACESEL: replaces the selection with the text
        SelText = l ? std::string(reinterpret_cast<const char*>(l)) : std::string();
        return 0;
    default: return user::DefWindowProc(h, msg, w, l);
    }
}

bool TextBox::InsertTypedChar(int32_t keyAscii) {
    if (Locked()) return true;
    SelText = keyAscii == 13 && multi_ ? std::string("\r\n") : std::string(1, char(keyAscii));
    return true;
}

// ---------------------------------------------------------------------------- CommandButton

CommandButton::CommandButton(Container* container, std::string name, int32_t index)
    : Control(container, std::move(name), index),
      Caption([this] { return FromQ(static_cast<QPushButton*>(Widget())->text()); },
              [this](const std::string& c) { static_cast<QPushButton*>(Widget())->setText(ToQ(c)); }),
      Default([this] { return default_; },
              [this](const bool& d) {
                  default_ = d;
                  static_cast<QPushButton*>(Widget())->setDefault(d);
              }),
      Cancel([this] { return cancel_; }, [this](const bool& c) { cancel_ = c; }) {
    auto* b = new QPushButton(container->ContainerWidget());
    b->setAutoDefault(false);
    QObject::connect(b, &QPushButton::clicked, [this] { fire("Click", Click); });
    SetWidget(b);
}

void CommandButton::Press() {
    if (Widget()->isEnabled()) static_cast<QPushButton*>(Widget())->click();
}

// --------------------------------------------------------------------------------- CheckBox

CheckBox::CheckBox(Container* container, std::string name, int32_t index)
    : Control(container, std::move(name), index),
      Caption([this] { return FromQ(static_cast<QCheckBox*>(Widget())->text()); },
              [this](const std::string& c) { static_cast<QCheckBox*>(Widget())->setText(ToQ(c)); }),
      Value([this] { return value_; },
            [this](const int32_t& v) {
                if (v < 0 || v > 2) invalidValue();
                if (v == value_) return;
                value_ = v;
                updating_ = true;
                static_cast<QCheckBox*>(Widget())->setCheckState(v == 0 ? Qt::Unchecked : v == 1 ? Qt::Checked
                                                                                                  : Qt::PartiallyChecked);
                updating_ = false;
                fire("Click", Click);
            }) {
    auto* b = new QCheckBox(container->ContainerWidget());
    QObject::connect(b, &QCheckBox::clicked, [this, b] {
        if (updating_) return;
        // A click ticks or clears the box; the grayed state is set only by the program.
        Value = b->isChecked() ? 1 : 0;
    });
    SetWidget(b);
}

// ----------------------------------------------------------------------------- OptionButton

OptionButton::OptionButton(Container* container, std::string name, int32_t index)
    : Control(container, std::move(name), index),
      Caption([this] { return FromQ(static_cast<QRadioButton*>(Widget())->text()); },
              [this](const std::string& c) { static_cast<QRadioButton*>(Widget())->setText(ToQ(c)); }),
      Value([this] { return static_cast<QRadioButton*>(Widget())->isChecked(); },
            [this](const bool& v) {
                auto* b = static_cast<QRadioButton*>(Widget());
                if (b->isChecked() == v) return;
                updating_ = true;
                if (!v) b->setAutoExclusive(false);
                b->setChecked(v);
                b->setAutoExclusive(true);
                updating_ = false;
                if (v) fire("Click", Click);
            }) {
    auto* b = new QRadioButton(container->ContainerWidget());
    QObject::connect(b, &QRadioButton::toggled, [this](bool on) {
        if (!updating_ && on) fire("Click", Click);
    });
    SetWidget(b);
}

// ------------------------------------------------------------------------------------ Frame

Frame::Frame(Container* container, std::string name, int32_t index)
    : Control(container, std::move(name), index),
      Caption([this] { return FromQ(static_cast<QGroupBox*>(Widget())->title()); },
              [this](const std::string& c) { static_cast<QGroupBox*>(Widget())->setTitle(ToQ(c)); }) {
    SetWidget(new QGroupBox(container->ContainerWidget()));
}

// --------------------------------------------------------------------------------- ItemList

namespace {
// Where a sorted list puts a new item: after the equal ones, without regard to case.
int32_t sortedPosition(const std::vector<std::string>& items, const std::string& item) {
    auto lower = [](std::string s) {
        for (auto& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
        return s;
    };
    std::string key = lower(item);
    int32_t at = 0;
    while (size_t(at) < items.size() && lower(items[size_t(at)]) <= key) ++at;
    return at;
}
}  // namespace

void ItemList::AddItem(const std::string& item, int32_t index) {
    if (index < -1 || index > int32_t(items_.size())) vb::Raise(5, "forms");
    // A sorted list puts an item without a position at its place in the order.
    int32_t at = index != -1 ? index : sorted_ ? sortedPosition(items_, item) : int32_t(items_.size());
    items_.insert(items_.begin() + at, item);
    data_.insert(data_.begin() + at, 0);
    newIndex_ = at;
    insertRow(at, item);
    afterChange();
}

void ItemList::RemoveItem(int32_t index) {
    if (index < 0 || index >= int32_t(items_.size())) vb::Raise(5, "forms");
    items_.erase(items_.begin() + index);
    data_.erase(data_.begin() + index);
    newIndex_ = -1;
    removeRow(index);
    afterChange();
}

void ItemList::Clear() {
    items_.clear();
    data_.clear();
    newIndex_ = -1;
    clearRows();
    afterChange();
}

int32_t ItemList::ListCount() const { return int32_t(items_.size()); }

IndexedRef<std::string> ItemList::List(int32_t index) {
    return {[this, index] {
                return index >= 0 && size_t(index) < items_.size() ? items_[size_t(index)] : std::string();
            },
            [this, index](const std::string& t) {
                checkIndex(index, items_.size());
                items_[size_t(index)] = t;
                setRowText(index, t);
            }};
}

IndexedRef<int32_t> ItemList::ItemData(int32_t index) {
    return {[this, index] {
                checkIndex(index, data_.size());
                return data_[size_t(index)];
            },
            [this, index](const int32_t& v) {
                checkIndex(index, data_.size());
                data_[size_t(index)] = v;
            }};
}

// --------------------------------------------------------------------------------- ComboBox


ComboBox::ComboBox(Container* container, std::string name, int32_t style, int32_t index)
    : Control(container, std::move(name), index),
      ListIndex([this] { return combo_->currentIndex(); },
                [this](const int32_t& i) {
                    if (i < -1 || i >= ListCount()) invalidValue();
                    updating_ = true;
                    combo_->setCurrentIndex(i);
                    if (i == -1 && combo_->isEditable()) combo_->setEditText(QString());
                    updating_ = false;
                    fire("Click", Click);
                }),
      Text([this] { return FromQ(combo_->currentText()); },
           [this](const std::string& t) {
               if (combo_->isEditable()) {
                   // A new text in the edit field raises Change, whether typed or set here.
                   if (FromQ(combo_->currentText()) == t) return;
                   combo_->setEditText(ToQ(t));
                   fire("Change", Change);
                   return;
               }
               int found = combo_->findText(ToQ(t), Qt::MatchFixedString);
               if (found < 0) RaiseReadOnly("Text");
               ListIndex = found;
           }),
      Sorted([this] { return sorted_; }, [this](const bool& s) { sorted_ = s; }) {
    combo_ = new QComboBox(container->ContainerWidget());
    combo_->setEditable(style != DropdownList);
    combo_->setInsertPolicy(QComboBox::NoInsert);
    QObject::connect(combo_, QOverload<int>::of(&QComboBox::activated), [this](int) {
        if (!updating_) fire("Click", Click);
    });
    if (combo_->lineEdit())
        QObject::connect(combo_->lineEdit(), &QLineEdit::textEdited, [this](const QString&) { fire("Change", Change); });
    SetWidget(combo_);
}

void ComboBox::insertRow(int32_t index, const std::string& text) {
    updating_ = true;
    combo_->insertItem(index, ToQ(text));
    if (combo_->count() == 1 && combo_->isEditable()) combo_->setCurrentIndex(-1);
    updating_ = false;
}

void ComboBox::removeRow(int32_t index) {
    updating_ = true;
    combo_->removeItem(index);
    updating_ = false;
}

void ComboBox::clearRows() {
    updating_ = true;
    combo_->clear();
    updating_ = false;
}

void ComboBox::setRowText(int32_t index, const std::string& text) { combo_->setItemText(index, ToQ(text)); }

// ---------------------------------------------------------------------------------- ListBox

ListBox::ListBox(Container* container, std::string name, int32_t index)
    : Control(container, std::move(name), index),
      ListIndex([this] { return list_->currentRow(); },
                [this](const int32_t& i) {
                    if (i < -1 || i >= ListCount()) invalidValue();
                    if (i == list_->currentRow()) return;
                    updating_ = true;
                    list_->setCurrentRow(i);
                    if (i == -1) list_->clearSelection();
                    updating_ = false;
                    fire("Click", Click);
                }),
      Text([this] {
               int r = list_->currentRow();
               return r >= 0 ? items_[size_t(r)] : std::string();
           },
           [](const std::string&) { RaiseReadOnly("Text"); }),
      TopIndex(
          [this] {
              QListWidgetItem* it = list_->itemAt(0, 0);
              return it ? list_->row(it) : 0;
          },
          [this](const int32_t& i) {
              if (i >= 0 && i < ListCount()) list_->scrollToItem(list_->item(i), QAbstractItemView::PositionAtTop);
          }),
      Sorted([this] { return sorted_; }, [this](const bool& s) { sorted_ = s; }) {
    list_ = new QListWidget(container->ContainerWidget());
    QObject::connect(list_, &QListWidget::currentRowChanged, [this](int) {
        if (!updating_) fire("Click", Click);
    });
    QObject::connect(list_, &QListWidget::itemDoubleClicked, [this](QListWidgetItem*) { fire("DblClick", DblClick); });
    SetWidget(list_);
}

IndexedRef<bool> ListBox::Selected(int32_t index) {
    return {[this, index] {
                checkIndex(index, items_.size());
                return list_->item(index)->isSelected();
            },
            [this, index](const bool& s) {
                checkIndex(index, items_.size());
                if (s) ListIndex = index;
                else list_->item(index)->setSelected(false);
            }};
}

void ListBox::insertRow(int32_t index, const std::string& text) {
    updating_ = true;
    list_->insertItem(index, ToQ(text));
    updating_ = false;
}

void ListBox::removeRow(int32_t index) {
    updating_ = true;
    delete list_->takeItem(index);
    updating_ = false;
}

void ListBox::clearRows() {
    updating_ = true;
    list_->clear();
    updating_ = false;
}

void ListBox::setRowText(int32_t index, const std::string& text) { list_->item(index)->setText(ToQ(text)); }

// ------------------------------------------------------------------------------ RichTextBox

RichTextBox::RichTextBox(Container* container, std::string name, int32_t index)
    : Control(container, std::move(name), index),
      Text([this] { return text_; },
           [this](const std::string& t) {
               if (t == text_) return;
               text_ = t;
               updating_ = true;
               edit_->setPlainText(ToQ(detail::CrLfToLf(t)));
               updating_ = false;
               fire("Change", Change);
           }),
      Locked([this] { return edit_->isReadOnly(); }, [this](const bool& l) { edit_->setReadOnly(l); }),
      FontName([this] { return fontName(edit_); }, [this](const std::string& n) { setFontName(edit_, n); }),
      FontSize([this] { return edit_->font().pointSizeF(); }, [this](const double& s) { setFontSize(edit_, s); }) {
    edit_ = new QTextEdit(container->ContainerWidget());
    edit_->setAcceptRichText(false);
    QObject::connect(edit_, &QTextEdit::textChanged, [this] {
        if (updating_) return;
        std::string t = detail::LfToCrLf(FromQ(edit_->toPlainText()));
        if (t == text_) return;
        text_ = std::move(t);
        fire("Change", Change);
    });
    SetWidget(edit_);
}

// ------------------------------------------------------------------------------ ProgressBar

ProgressBar::ProgressBar(Container* container, std::string name, int32_t index)
    : Control(container, std::move(name), index),
      Min([this] { return min_; },
          [this](const double& m) {
              if (m >= max_) invalidValue();
              min_ = m;
              value_ = std::max(value_, min_);
              show();
          }),
      Max([this] { return max_; },
          [this](const double& m) {
              if (m <= min_) invalidValue();
              max_ = m;
              value_ = std::min(value_, max_);
              show();
          }),
      Value([this] { return value_; },
            [this](const double& v) {
                if (v < min_ || v > max_) invalidValue();
                value_ = v;
                show();
            }) {
    bar_ = new QProgressBar(container->ContainerWidget());
    bar_->setRange(0, 10000);
    bar_->setTextVisible(false);
    SetWidget(bar_);
    tapClicks(bar_, &Click);
    show();
}

void ProgressBar::show() {
    // The bar shows fractions of its range, whatever Min and Max are.
    bar_->setValue(int(std::lround((value_ - min_) / (max_ - min_) * 10000.0)));
}

// ------------------------------------------------------------------------------------ Image

Image::Image(Container* container, std::string name, int32_t index)
    : Control(container, std::move(name), index),
      Picture([this] { return picture_; },
              [this](const std::string& path) {
                  if (path.empty()) {
                      label_->clear();
                      picture_.clear();
                      return;
                  }
                  QPixmap pm;
                  if (!pm.load(QString::fromStdString(path))) vb::Raise(53, "forms", "File not found: " + path);
                  label_->setPixmap(pm);
                  picture_ = path;
              }),
      Stretch([this] { return label_->hasScaledContents(); }, [this](const bool& s) { label_->setScaledContents(s); }) {
    label_ = new QLabel(container->ContainerWidget());
    SetWidget(label_);
    tapClicks(label_, &Click);
}

// ------------------------------------------------------------------------------- WebBrowser

WebBrowser::WebBrowser(Container* container, std::string name, int32_t index)
    : Control(container, std::move(name), index) {
    browser_ = new QTextBrowser(container->ContainerWidget());
    browser_->setOpenLinks(true);
    browser_->setOpenExternalLinks(false);
    SetWidget(browser_);
}

void WebBrowser::Navigate(const std::string& url) {
    QUrl u = QUrl(QString::fromStdString(url));
    if (u.scheme().isEmpty() || u.scheme().size() == 1) u = QUrl::fromLocalFile(QString::fromStdString(url));
    browser_->setSource(u);
    location_ = url;
}

std::string WebBrowser::DocumentText() const { return FromQ(browser_->toPlainText()); }

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
                fire("Change", Change);
            }),
      mounts_(mountPoints()) {
    combo_ = new QComboBox(container->ContainerWidget());
    for (const auto& m : mounts_) combo_->addItem(QString::fromStdString(m));
    combo_->setCurrentIndex(0);
    QObject::connect(combo_, QOverload<int>::of(&QComboBox::currentIndexChanged), [this](int) {
        if (!updating_) fire("Change", Change);
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
               fire("Change", Change);
           }),
      ListIndex(
          [this] {
              int r = list_->currentRow();
              return r < 0 ? -1 : r - int(ancestors_.size());
          },
          [this](const int32_t& i) {
              int n = int(ancestors_.size());
              if (i < -n || i >= ListCount()) invalidValue();
              updating_ = true;
              list_->setCurrentRow(i + n);
              updating_ = false;
              fire("Click", Click);
          }) {
    list_ = new QListWidget(container->ContainerWidget());
    QObject::connect(list_, &QListWidget::currentRowChanged, [this](int) {
        if (!updating_) fire("Click", Click);
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
               fire("PathChange", PathChange);
           }),
      Pattern([this] { return pattern_; },
              [this](const std::string& p) {
                  if (p == pattern_) return;
                  pattern_ = p;
                  fill();
                  fire("PatternChange", PatternChange);
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
                    if (i < -1 || i >= ListCount()) invalidValue();
                    updating_ = true;
                    list_->setCurrentRow(i);
                    updating_ = false;
                    fire("Click", Click);
                }) {
    list_ = new QListWidget(container->ContainerWidget());
    QObject::connect(list_, &QListWidget::currentRowChanged, [this](int) {
        if (!updating_) fire("Click", Click);
    });
    QObject::connect(list_, &QListWidget::itemDoubleClicked, [this](QListWidgetItem*) { fire("DblClick", DblClick); });
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

// -------------------------------------------------------------------------------- Clipboard

void Clipboard::Clear() { QGuiApplication::clipboard()->clear(); }
void Clipboard::SetText(const std::string& text) { QGuiApplication::clipboard()->setText(ToQ(text)); }
std::string Clipboard::GetText() { return FromQ(QGuiApplication::clipboard()->text()); }

}  // namespace forms

#include "forms/controls.h"
#include "forms/internal.h"

#include "vbrt/error.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QClipboard>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
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
#include <memory>

namespace forms {

using detail::FireIfSet;
using detail::FromQ;
using detail::RaiseInvalidValue;
using detail::ToQ;

namespace {

// A text as a text box shows it. The box acts on tabs and line ends; any other control character
// (an escape a console echoes for an arrow key, a Ctrl+C) has no glyph in the fonts and would
// show as a missing-glyph box, so it shows as nothing: an invisible character of no width (a
// word joiner) stands in its place, one for one, and positions in the widget stay those of the
// text.
constexpr char16_t kUnseen = 0x2060;
QString Shown(const std::string& text) {
    QString shown = ToQ(text);
    for (qsizetype i = 0; i < shown.size(); ++i) {
        const char16_t u = shown[i].unicode();
        if ((u < 0x20 && u != '\t' && u != '\n' && u != '\r') || (u >= 0x7F && u <= 0x9F)) shown[i] = QChar(kUnseen);
    }
    return shown;
}

// What leaves a box for the clipboard or a drag is the text it holds, not what it shows: each
// stand-in in `shown` (a stretch as the widget gives it out) becomes the character it stands
// for in `real` (the same stretch of the box's text). The two match one for one; should they
// not, the widget's own is kept.
QString Unshown(QString shown, const QString& real) {
    if (shown.size() != real.size()) return shown;
    for (qsizetype i = 0; i < shown.size(); ++i)
        if (shown[i].unicode() == kUnseen) shown[i] = real[i];
    return shown;
}

// A multi-line box's widget: a copy, a cut, a drag and the primary selection all take their
// data from here.
class PlainTextEdit : public QPlainTextEdit {
public:
    // `real` gives the box's text between two widget positions.
    PlainTextEdit(QWidget* parent, std::function<QString(int32_t, int32_t)> real)
        : QPlainTextEdit(parent), real_(std::move(real)) {}

protected:
    QMimeData* createMimeDataFromSelection() const override {
        std::unique_ptr<QMimeData> shown(QPlainTextEdit::createMimeDataFromSelection());
        const QTextCursor c = textCursor();
        auto* data = new QMimeData;
        data->setText(Unshown(shown->text(), real_(c.selectionStart(), c.selectionEnd())));
        return data;
    }

private:
    std::function<QString(int32_t, int32_t)> real_;
};

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

// Calls `shown` when the widget is shown by anyone (its own Visible, or Qt directly).
class ShowTap : public QObject {
public:
    explicit ShowTap(std::function<void()> shown) : shown_(std::move(shown)) {}
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::ShowToParent) shown_();
        return false;
    }

private:
    std::function<void()> shown_;
};

void tapClicks(QWidget* w, std::function<void()>* click, std::function<void()>* dbl = nullptr) {
    auto* tap = new ClickTap(click, dbl);
    tap->setParent(w);
    w->installEventFilter(tap);
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
                  FireIfSet("Change", Change);
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
              if (s < 0) RaiseInvalidValue();
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
              if (l < 0) RaiseInvalidValue();
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
      FontName([this] { return detail::FontName(Widget()); }, [this](const std::string& n) { detail::SetFontName(Widget(), n); }),
      FontSize([this] { return detail::FontSize(Widget()); }, [this](const double& s) { detail::SetFontSize(Widget(), s); }),
      multi_((style & MultiLine) != 0) {
    QWidget* parent = container->ContainerWidget();
    if (multi_) {
        edit_ = new PlainTextEdit(parent, [this](int32_t a, int32_t b) {
            if (parked_) return QString();  // the widget holds an older text: its own is given
            const size_t from = size_t(fromWidgetPos(a)), to = size_t(fromWidgetPos(b));
            return ToQ(detail::CrLfToLf(text_.substr(from, to - from)));
        });
        edit_->setTabChangesFocus(false);
        edit_->setVerticalScrollBarPolicy(style & VerticalScroll ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
        edit_->setHorizontalScrollBarPolicy(style & HorizontalScroll ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
        edit_->setLineWrapMode(style & HorizontalScroll ? QPlainTextEdit::NoWrap : QPlainTextEdit::WidgetWidth);
        QObject::connect(edit_, &QPlainTextEdit::textChanged, [this] { fromWidget(); });
        auto* tap = new ShowTap([this] { unpark(); });
        tap->setParent(edit_);
        edit_->installEventFilter(tap);
        SetWidget(edit_);
    } else {
        line_ = new QLineEdit(parent);
        QObject::connect(line_, &QLineEdit::textChanged, [this] { fromWidget(); });
        // A single-line widget puts its selection on the clipboard (copy and cut keys, its menu,
        // the primary selection) as it shows it, with no hook on the way; so when the clipboard
        // has just been given this box's selection with stand-ins in it, it gets the real one.
        QObject::connect(QGuiApplication::clipboard(), &QClipboard::changed, line_, [this](QClipboard::Mode mode) {
            QClipboard* clipboard = QGuiApplication::clipboard();
            const QString shown = line_->selectedText();
            const size_t from = size_t(std::max(0, line_->selectionStart()));
            if (!shown.contains(QChar(kUnseen)) || from > text_.size() || clipboard->text(mode) != shown) return;
            clipboard->setText(Unshown(shown, ToQ(text_.substr(size_t(from), size_t(shown.size())))), mode);
        });
        SetWidget(line_);
    }
}

// A hidden multi-line box is often a mailbox: a library posts its lines there and the program
// takes them out again at once. Laying each line out in the widget (and moving its scroll bar)
// was most of that work, so while the box is hidden only the text and selection here change;
// the widget is given them when it is shown.
bool TextBox::parking() {
    if (!edit_ || !edit_->isHidden()) return false;
    parked_ = true;
    return true;
}

void TextBox::unpark() {
    if (!parked_) return;
    parked_ = false;
    updating_ = true;
    edit_->setPlainText(Shown(detail::CrLfToLf(text_)));
    updating_ = false;
    selectInWidget();
}

void TextBox::replaceSelection(const std::string& s) {
    selectionFromWidget();
    const int32_t caret = selStart_ + int32_t(s.size());
    bool changed;
    if (size_t(selStart_) == text_.size() && selLength_ == 0) {
        // Appending at the end, the usual way of adding a line, updates the widget in place.
        changed = !s.empty();
        if (changed && parking()) {
            text_ += s;
        } else if (changed && edit_) {
            text_ += s;
            updating_ = true;
            QTextCursor c(edit_->document());
            c.movePosition(QTextCursor::End);
            c.insertText(Shown(detail::CrLfToLf(s)));
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
    if (edit_ && !parking()) {
        edit_->setPlainText(Shown(detail::CrLfToLf(text)));
    } else if (line_) {
        line_->setText(Shown(text));
    }
    updating_ = false;
    selStart_ = std::min<int32_t>(selStart_, int32_t(text_.size()));
    selLength_ = 0;
}

void TextBox::fromWidget() {
    if (updating_) return;
    // Only what the user changed is read from the widget; the rest is the text kept here, with
    // the control characters that the widget shows as nothing.
    const QString now = edit_ ? edit_->toPlainText() : line_->text();
    const QString before = edit_ ? Shown(detail::CrLfToLf(text_)) : Shown(text_);
    qsizetype head = 0, tail = 0;
    while (head < before.size() && head < now.size() && before[head] == now[head]) ++head;
    while (tail < before.size() - head && tail < now.size() - head &&
           before[before.size() - 1 - tail] == now[now.size() - 1 - tail])
        ++tail;
    std::string typed = FromQ(now.mid(head, now.size() - head - tail));
    if (edit_) typed = detail::LfToCrLf(typed);
    const size_t from = size_t(fromWidgetPos(int32_t(head)));
    const size_t to = size_t(fromWidgetPos(int32_t(before.size() - tail)));
    std::string t = text_.substr(0, from) + typed + text_.substr(to);
    if (t == text_) return;
    text_ = std::move(t);
    fireChange();
}

void TextBox::fireChange() {
    if (HasWindowHandle()) user::SetWindowTextDirect(hWnd(), text_);
    FireIfSet("Change", Change);
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
    if (parked_) return;  // the selection is the one kept here
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
    if (parked_ || parking()) return;
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
    QObject::connect(b, &QPushButton::clicked, [this] { FireIfSet("Click", Click); });
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
                if (v < 0 || v > 2) RaiseInvalidValue();
                if (v == value_) return;
                value_ = v;
                updating_ = true;
                static_cast<QCheckBox*>(Widget())->setCheckState(v == 0 ? Qt::Unchecked : v == 1 ? Qt::Checked
                                                                                                  : Qt::PartiallyChecked);
                updating_ = false;
                FireIfSet("Click", Click);
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
                if (v) FireIfSet("Click", Click);
            }) {
    auto* b = new QRadioButton(container->ContainerWidget());
    QObject::connect(b, &QRadioButton::toggled, [this](bool on) {
        if (!updating_ && on) FireIfSet("Click", Click);
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
               FireIfSet("Change", Change);
           }),
      Locked([this] { return edit_->isReadOnly(); }, [this](const bool& l) { edit_->setReadOnly(l); }),
      FontName([this] { return detail::FontName(edit_); }, [this](const std::string& n) { detail::SetFontName(edit_, n); }),
      FontSize([this] { return detail::FontSize(edit_); }, [this](const double& s) { detail::SetFontSize(edit_, s); }) {
    edit_ = new QTextEdit(container->ContainerWidget());
    edit_->setAcceptRichText(false);
    QObject::connect(edit_, &QTextEdit::textChanged, [this] {
        if (updating_) return;
        std::string t = detail::LfToCrLf(FromQ(edit_->toPlainText()));
        if (t == text_) return;
        text_ = std::move(t);
        FireIfSet("Change", Change);
    });
    SetWidget(edit_);
}

// ------------------------------------------------------------------------------ ProgressBar

ProgressBar::ProgressBar(Container* container, std::string name, int32_t index)
    : Control(container, std::move(name), index),
      Min([this] { return min_; },
          [this](const double& m) {
              if (m >= max_) RaiseInvalidValue();
              min_ = m;
              value_ = std::max(value_, min_);
              show();
          }),
      Max([this] { return max_; },
          [this](const double& m) {
              if (m <= min_) RaiseInvalidValue();
              max_ = m;
              value_ = std::min(value_, max_);
              show();
          }),
      Value([this] { return value_; },
            [this](const double& v) {
                if (v < min_ || v > max_) RaiseInvalidValue();
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

// -------------------------------------------------------------------------------- Clipboard

void Clipboard::Clear() { QGuiApplication::clipboard()->clear(); }
void Clipboard::SetText(const std::string& text) { QGuiApplication::clipboard()->setText(ToQ(text)); }
std::string Clipboard::GetText() { return FromQ(QGuiApplication::clipboard()->text()); }

}  // namespace forms

#include "strips/controls.h"

#include <QBitmap>
#include <QColor>
#include <QFont>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPalette>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "forms/dialogs.h"
#include "forms/fonts.h"
#include "strips/layout.h"
#include "strips/skin.h"

namespace dorvik {

namespace {

// The kit's program-wide state. Allocated once and never freed, so that nothing of Qt is
// destroyed after the application object.
struct Kit {
    struct CachedBitmap {
        std::string name;
        QImage image;  // null for a name that has no picture
    };
    static constexpr size_t kCacheEntries = 256;
    static constexpr size_t kNameRoom = 31;

    std::unique_ptr<QFont> font;
    std::unique_ptr<QFont> levelFont;
    std::vector<CachedBitmap> cache;
    QImage background;
    int32_t wheelStep = 1;
};

Kit& TheKit() {
    static Kit* kit = new Kit;
    return *kit;
}

QColor FromRgb(uint32_t rgb) { return QColor(int(rgb >> 16) & 0xFF, int(rgb >> 8) & 0xFF, int(rgb) & 0xFF); }

// The pictures: a copy in the format the controls compose in.
QImage Opaque(const QImage& image) { return image.isNull() ? image : image.convertToFormat(QImage::Format_RGB32); }

// A thumb whose pixels of its top-left pixel's colour show what lies under it.
QPixmap Masked(const QImage& thumb) {
    if (thumb.isNull()) return QPixmap();
    QPixmap pixmap = QPixmap::fromImage(thumb.convertToFormat(QImage::Format_RGB32));
    pixmap.setMask(QBitmap::fromImage(thumb.createMaskFromColor(thumb.pixel(0, 0), Qt::MaskInColor)));
    return pixmap;
}

// Wheel notches by the sign of the vertical turn; no turn counts as down.
bool WheelUp(const QWheelEvent* e) { return e->angleDelta().y() > 0; }

}  // namespace

// ---------------------------------------------------------------------------------------------
// Kit state

void RegisterControlClasses() {
    Kit& kit = TheKit();
    if (!kit.font) {
        kit.font = std::make_unique<QFont>(forms::LogicalFont(layout::kFontFamily, layout::kFontHeight, layout::kFontWeight));
        kit.levelFont =
            std::make_unique<QFont>(forms::LogicalFont(layout::kFontFamily, layout::kLevelFontHeight, layout::kFontWeight));
    }
}

void UnregisterControlClasses() {
    Kit& kit = TheKit();
    kit.cache.clear();
    kit.font.reset();
    kit.levelFont.reset();
    kit.background = QImage();
}

QImage GetBitmap(const std::string& name) {
    Kit& kit = TheKit();
    for (const auto& entry : kit.cache)
        if (entry.name == name) return entry.image;
    // The cache holds names of up to 31 characters; no picture has a longer one.
    if (name.size() > Kit::kNameRoom || kit.cache.size() >= Kit::kCacheEntries) return QImage();
    QImage image;
    for (size_t i = 0; i < skin::kSkinImageCount; ++i) {
        if (name == skin::kSkinImages[i].name) {
            image.loadFromData(skin::kSkinImages[i].data, int(skin::kSkinImages[i].size), "PNG");
            break;
        }
    }
    if (image.isNull()) forms::MsgBox(name, forms::vbOKOnly, "NotFound");
    kit.cache.push_back({name, image});
    return image;
}

void SetBackgroundBitmap(const QImage& background) { TheKit().background = Opaque(background); }

void SetWheelStep(int32_t step) { TheKit().wheelStep = step; }

int32_t WheelStep() { return std::clamp<int32_t>(TheKit().wheelStep, 1, 16); }

QFont KitFont() {
    RegisterControlClasses();
    return *TheKit().font;
}

QFont LevelFont() {
    RegisterControlClasses();
    return *TheKit().levelFont;
}

QImage CaptureBackground(int x, int y, int w, int h) {
    const QImage& source = TheKit().background;
    QImage image(std::max(w, 1), std::max(h, 1), QImage::Format_RGB32);
    image.fill(QPalette().color(QPalette::Window));
    if (!source.isNull()) {
        QPainter p(&image);
        p.drawImage(QPoint(0, 0), source, QRect(x, y, w, h));
    }
    return image;
}

// ---------------------------------------------------------------------------------------------
// Common to all controls

KitControl::KitControl(QWidget* parent, ControlParent& notify, int id, const QRect& rect, const char* className)
    : QWidget(parent), notify_(notify), id_(id), className_(className) {
    setGeometry(rect);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void KitControl::paintEvent(QPaintEvent*) {
    // Composed off screen, then copied in one step.
    QImage frame(size(), QImage::Format_RGB32);
    compose(frame);
    QPainter(this).drawImage(0, 0, frame);
}

// ---------------------------------------------------------------------------------------------
// Fader

Fader::Fader(QWidget* parent, ControlParent& notify, int id, const QRect& rect, int32_t minimum, int32_t maximum,
             const QImage& overlay, const QImage& focusedThumb, const QImage& unfocusedThumb,
             const QImage& background)
    : KitControl(parent, notify, id, rect, kFaderClass),
      maximum_(maximum),
      minimum_(minimum),
      position_(minimum),
      background_(background.isNull() ? CaptureBackground(rect.x(), rect.y(), rect.width(), rect.height())
                                      : Opaque(background)),
      overlay_(Opaque(overlay)),
      focusedThumb_(Masked(focusedThumb)),
      unfocusedThumb_(Masked(unfocusedThumb)) {
    const int thumbHeight = unfocusedThumb.isNull() ? 0 : unfocusedThumb.height();
    travel_ = background_.height() - thumbHeight;
    halfThumb_ = thumbHeight / 2;
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::StrongFocus);
    setMouseTracking(true);
    show();
}

void Fader::SetPos(int32_t position) {
    position_ = std::clamp(position, minimum_, maximum_);
    repaint();
}

int Fader::ThumbTop() const {
    const int64_t span = int64_t(maximum_) - minimum_;
    int64_t top = travel_;
    if (span != 0) top = travel_ - (top_ + int64_t(travel_ - top_) * (int64_t(position_) - minimum_) / span);
    return int(std::clamp<int64_t>(top, top_, std::max(top_, travel_)));
}

void Fader::compose(QImage& into) const {
    QPainter p(&into);
    p.drawImage(0, 0, background_);
    const int top = ThumbTop();
    const int below = top + halfThumb_;
    if (!overlay_.isNull() && below < overlay_.height()) {
        // The overlay shows below the thumb only.
        p.drawImage(QRect(0, below, overlay_.width(), overlay_.height() - below), overlay_,
                    QRect(0, below, overlay_.width(), overlay_.height() - below));
    }
    const QPixmap& thumb = focus_ == 1 ? focusedThumb_ : unfocusedThumb_;
    if (!thumb.isNull()) p.drawPixmap((width() - thumb.width()) / 2, top, thumb);
}

void Fader::step(int32_t delta) {
    position_ = std::clamp(int32_t(int64_t(position_) + delta), minimum_, maximum_);
    repaint();
    notify_.OnFaderNotify(id_, kThumbPosition, position_);
}

void Fader::keyPressEvent(QKeyEvent* e) {
    if (e->key() == Qt::Key_Up) step(1);
    else if (e->key() == Qt::Key_Down) step(-1);
}

void Fader::wheelEvent(QWheelEvent* e) { step(WheelUp(e) ? WheelStep() : -WheelStep()); }

int32_t Fader::dragPosition(int y) const {
    // A thumb as tall as the groove leaves nothing to drag along: the fader stays where it is.
    if (travel_ - top_ <= 0) return position_;
    y = std::max(y, top_);
    const int64_t position =
        minimum_ + (int64_t(maximum_) - minimum_) * (int64_t(halfThumb_) + travel_ - y - top_) / (travel_ - top_);
    return int32_t(std::clamp<int64_t>(position, minimum_, maximum_));
}

void Fader::mousePressEvent(QMouseEvent* e) {
    if (e->button() != Qt::LeftButton) return;
    setFocus(Qt::MouseFocusReason);
    captured_ = true;
}

void Fader::mouseMoveEvent(QMouseEvent* e) {
    if (captured_ && (e->buttons() & Qt::LeftButton)) {
        position_ = dragPosition(int(e->position().y()));
        repaint();
        notify_.OnFaderNotify(id_, ScrollParam(position_, kThumbTrack), position_);
    } else if (e->buttons() == Qt::NoButton) {
        setFocus(Qt::MouseFocusReason);
    }
}

void Fader::mouseReleaseEvent(QMouseEvent* e) {
    if (!captured_ || e->button() != Qt::LeftButton) return;
    captured_ = false;
    position_ = dragPosition(int(e->position().y()));
    repaint();
    notify_.OnFaderNotify(id_, kEndDrag, position_);
}

void Fader::mouseDoubleClickEvent(QMouseEvent* e) {
    if (e->button() == Qt::LeftButton) notify_.OnControlDoubleClick(id_);
}

void Fader::focusInEvent(QFocusEvent*) {
    focus_ = 1;
    update();
}

void Fader::focusOutEvent(QFocusEvent*) {
    focus_ = -1;
    update();
}

// ---------------------------------------------------------------------------------------------
// Toggle

Toggle::Toggle(QWidget* parent, ControlParent& notify, int id, const QRect& rect, const QImage& on, const QImage& off)
    : KitControl(parent, notify, id, rect, kToggleClass),
      on_(Opaque(on)),
      off_(off.isNull() ? CaptureBackground(rect.x(), rect.y(), rect.width(), rect.height()) : Opaque(off)) {
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::StrongFocus);
    show();
}

void Toggle::SetCheck(int32_t state) {
    if (state != 0 && state != 1) return;
    state_ = state;
    update();
}

void Toggle::compose(QImage& into) const {
    QPainter p(&into);
    // A missing picture draws nothing over what the frame holds: the background.
    p.drawImage(0, 0, off_);
    if (state_ == 1 && !on_.isNull()) p.drawImage(0, 0, on_);
}

void Toggle::mousePressEvent(QMouseEvent* e) {
    if (e->button() != Qt::LeftButton) return;
    setFocus(Qt::MouseFocusReason);
    captured_ = true;
}

void Toggle::mouseReleaseEvent(QMouseEvent* e) {
    if (!captured_ || e->button() != Qt::LeftButton) return;
    captured_ = false;
    state_ = state_ == 1 ? 0 : 1;
    update();
    notify_.OnToggleNotify(id_);
}

// ---------------------------------------------------------------------------------------------
// Knob

Knob::Knob(QWidget* parent, ControlParent& notify, int id, const QRect& rect, int32_t range, int32_t radius,
           const QImage& indicator, const QImage& focusedBackground, const QImage& unfocusedBackground)
    : KitControl(parent, notify, id, rect, kKnobClass),
      range_(range),
      radius_(radius),
      focusedBackground_(focusedBackground.isNull()
                             ? CaptureBackground(rect.x(), rect.y(), rect.width(), rect.height())
                             : Opaque(focusedBackground)),
      unfocusedBackground_(unfocusedBackground.isNull()
                               ? CaptureBackground(rect.x(), rect.y(), rect.width(), rect.height())
                               : Opaque(unfocusedBackground)),
      indicator_(Opaque(indicator)) {
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::StrongFocus);
    show();
}

void Knob::SetPos(int32_t position) {
    // A stored pan beyond the range (a damaged settings block) stops at the end of the scale.
    const int32_t limit = std::abs(range_);
    position_ = std::clamp(position, -limit, limit);
    if (range_ != 0) angle_ = std::clamp(kMaximumAngle / float(range_) * float(position_), kMinimumAngle, kMaximumAngle);
    repaint();
}

void Knob::turn(float delta) {
    angle_ = std::clamp(angle_ + delta, kMinimumAngle, kMaximumAngle);
    // The angle is kept in single precision; the position is worked out in double, so that the
    // stops give the full range (2.7f * 127 / 2.7 is 127.000002; all in float it would be 126).
    // Whatever the rounding, the position stays within the range.
    const int32_t limit = std::abs(range_);
    const double position = std::trunc(double(angle_) * range_ / 2.7);
    position_ = int32_t(std::clamp(position, double(-limit), double(limit)));
    repaint();
}

QPoint Knob::IndicatorCentre() const {
    const float cx = float(width() / 2) + float(radius_) * std::sin(angle_);
    const float cy = float(height() / 2) - float(radius_) * std::cos(angle_);
    return QPoint(int(cx), int(cy));
}

void Knob::compose(QImage& into) const {
    QPainter p(&into);
    p.drawImage(0, 0, focus_ ? focusedBackground_ : unfocusedBackground_);
    if (!indicator_.isNull()) {
        const QPoint c = IndicatorCentre();
        p.drawImage(c.x() - indicator_.width() / 2, c.y() - indicator_.height() / 2, indicator_);
    }
}

void Knob::keyPressEvent(QKeyEvent* e) {
    // Every key reports; only the arrows turn.
    if (e->key() == Qt::Key_Up) turn(0.1f * float(WheelStep()));
    else if (e->key() == Qt::Key_Down) turn(-0.1f * float(WheelStep()));
    notify_.OnKnobNotify(id_, ScrollParam(position_, kThumbPosition), position_);
}

void Knob::wheelEvent(QWheelEvent* e) {
    turn((WheelUp(e) ? 0.1f : -0.1f) * float(WheelStep()));
    notify_.OnKnobNotify(id_, ScrollParam(position_, kThumbPosition), position_);
}

void Knob::mousePressEvent(QMouseEvent* e) {
    if (e->button() != Qt::LeftButton) return;
    setFocus(Qt::MouseFocusReason);
    captured_ = true;
    lastY_ = int(e->position().y());
}

void Knob::mouseMoveEvent(QMouseEvent* e) {
    if (!captured_ || !(e->buttons() & Qt::LeftButton)) return;
    const int y = int(e->position().y());
    turn(0.05f * float(lastY_ - y));
    lastY_ = y;
    notify_.OnKnobNotify(id_, ScrollParam(position_, kThumbTrack), position_);
}

void Knob::mouseReleaseEvent(QMouseEvent* e) {
    if (e->button() == Qt::LeftButton) captured_ = false;
}

void Knob::mouseDoubleClickEvent(QMouseEvent* e) {
    if (e->button() == Qt::LeftButton) notify_.OnControlDoubleClick(id_);
}

void Knob::focusInEvent(QFocusEvent*) {
    focus_ = true;
    update();
}

void Knob::focusOutEvent(QFocusEvent*) {
    focus_ = false;
    update();
}

// ---------------------------------------------------------------------------------------------
// Text field

TextField::TextField(QWidget* parent, ControlParent& notify, int id, const QRect& rect, uint32_t textColour,
                     uint32_t secondColour, const std::string& text, const QImage& background)
    : KitControl(parent, notify, id, rect, kTextFieldClass),
      textColour_(textColour),
      secondColour_(secondColour),
      background_(background.isNull() ? CaptureBackground(rect.x(), rect.y(), rect.width(), rect.height())
                                      : Opaque(background)),
      text_(text.substr(0, kTextFieldRoom)) {
    setFont(KitFont());
    setFocusPolicy(Qt::NoFocus);
    show();
}

void TextField::SetText(const std::string& text) {
    text_ = text.substr(0, kTextFieldRoom);
    update();
}

void TextField::compose(QImage& into) const {
    QPainter p(&into);
    p.drawImage(0, 0, background_);
    p.setFont(font());
    p.setPen(FromRgb(textColour_));
    // The text stands in the middle of the field. Readouts come padded to a count of places (a
    // level right-aligned in four, "  -6dB"); drawn with its blanks, a text would sit off the
    // middle by half of them, its end against the box's edge.
    const size_t first = text_.find_first_not_of(' ');
    const size_t last = text_.find_last_not_of(' ');
    const std::string shown = first == std::string::npos ? std::string() : text_.substr(first, last - first + 1);
    p.drawText(QRect(0, 0, width(), height()), Qt::AlignHCenter | Qt::AlignTop,
               QString::fromLatin1(shown.data(), qsizetype(shown.size())));
}

}  // namespace dorvik

#include "app/about_box.h"

#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>

#include "strips/strip_set.h"

namespace dorvik {

namespace {

// The box is 213 x 88 dialog units: 320 x 143 pixels with the platform's usual dialog font.
constexpr int kWidth = 320, kHeight = 143;

QLabel* text(QWidget* parent, const char* s, int x, int y, int w) {
    auto* l = new QLabel(QString::fromLatin1(s), parent);
    l->setGeometry(x, y, w, 16);
    return l;
}

QLineEdit* field(QWidget* parent, int id, const std::string& value, int x, int y) {
    auto* e = new QLineEdit(QString::fromLatin1(value.c_str()), parent);
    e->setObjectName(QString::number(id));
    e->setReadOnly(true);
    e->setGeometry(x, y, kWidth - x - 8, 18);
    return e;
}

}  // namespace

AboutBox::AboutBox(const DeviceInfoRecord& info, QWidget* parent) : QDialog(parent) {
    setWindowTitle(QString::fromLatin1(kProductName));
    setFixedSize(kWidth, kHeight);
    auto* picture = new QLabel(this);
    picture->setPixmap(QPixmap::fromImage(GetBitmap("ABOUT216")));
    picture->setGeometry(8, 8, 48, 48);
    picture->setScaledContents(true);
    text(this, "Lumarel 460 Version 1.15", 68, 8, 200);
    text(this, "Guid:", 68, 34, 120);
    text(this, "Software    date/time:", 8, 62, 140);
    text(this, "Bootloader date/time:", 8, 86, 140);
    field(this, kAboutGuidField, GuidText(info), 150, 33);
    field(this, kAboutSoftwareField,
          FormatDateTime(InfoText(info, kInfoSoftwareDateAt), InfoText(info, kInfoSoftwareTimeAt)), 150, 61);
    field(this, kAboutBootloaderField,
          FormatDateTime(InfoText(info, kInfoBootloaderDateAt), InfoText(info, kInfoBootloaderTimeAt)), 150, 85);
    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("1"));
    ok->setDefault(true);
    ok->setGeometry(kWidth - 88, kHeight - 30, 80, 24);
    connect(ok, &QPushButton::clicked, this, [this] { done(1); });
}

QLineEdit* AboutBox::Field(int id) const { return findChild<QLineEdit*>(QString::number(id)); }

}  // namespace dorvik

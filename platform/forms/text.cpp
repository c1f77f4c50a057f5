#include "forms/internal.h"

#include <QFont>
#include <QString>
#include <QWidget>

namespace forms::detail {

namespace {
// Unicode of the Windows-1252 bytes 0x80-0x9F (0: unassigned, kept as the byte's own code).
const char16_t kHigh[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                            0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                            0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                            0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};
}  // namespace

QString ToQ(const std::string& text) {
    QString out;
    out.reserve(qsizetype(text.size()));
    for (unsigned char c : text) {
        if (c >= 0x80 && c <= 0x9F && kHigh[c - 0x80]) out.append(QChar(kHigh[c - 0x80]));
        else out.append(QChar(char16_t(c)));
    }
    return out;
}

std::string FromQ(const QString& text) {
    std::string out;
    out.reserve(size_t(text.size()));
    for (QChar qc : text) {
        char16_t u = qc.unicode();
        if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) {
            out += char(u);
            continue;
        }
        char mapped = '?';
        for (int i = 0; i < 32; ++i)
            if (kHigh[i] == u || (kHigh[i] == 0 && u == 0x80 + i)) mapped = char(0x80 + i);
        out += mapped;
    }
    return out;
}

std::string CrLfToLf(std::string text) {
    for (size_t p = 0; (p = text.find("\r\n", p)) != std::string::npos;) text.erase(p, 1);
    return text;
}

std::string LfToCrLf(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

std::string FontName(const QWidget* widget) { return FromQ(widget->font().family()); }

void SetFontName(QWidget* widget, const std::string& name) {
    QFont font = widget->font();
    font.setFamily(ToQ(name));
    if (name == "Courier New") font.setStyleHint(QFont::Monospace);
    widget->setFont(font);
}

double FontSize(const QWidget* widget) { return widget->font().pointSizeF(); }

void SetFontSize(QWidget* widget, double points) {
    QFont font = widget->font();
    font.setPointSizeF(points > 0 ? points : 8.25);
    widget->setFont(font);
}

}  // namespace forms::detail

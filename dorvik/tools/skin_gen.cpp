// Paints the mixer panel's skin from the layout constants and writes it as a C++ source of PNG
// byte tables, which the strip library compiles in:
//   dorvik_skin_gen <output.cpp>
// "BACK" is the whole client area: the controls capture their "off" look from it, so it holds
// the fader grooves, the unlit buttons, the knob dials and the readout recesses exactly where
// the controls stand. The other pictures are the lit buttons, the fader thumb, the knob
// indicator, the window icon and the About picture.
#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <cmath>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "strips/layout.h"

namespace {

namespace L = dorvik::layout;

QColor Rgb(uint32_t rgb) { return QColor(int(rgb >> 16) & 0xFF, int(rgb >> 8) & 0xFF, int(rgb) & 0xFF); }
QRectF ToRect(const L::Rect& r) { return QRectF(r.x, r.y, r.w, r.h); }

QImage NewImage(int w, int h, QColor fill) {
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(fill);
    return image;
}

// A recessed rectangle: darker inside, a light edge below and right.
void Recess(QPainter& p, const QRectF& r, QColor inside) {
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(20, 22, 26));
    p.drawRect(r);
    p.setBrush(inside);
    p.drawRect(r.adjusted(1, 1, -1, -1));
    p.setPen(QColor(92, 96, 104));
    p.drawLine(QPointF(r.left(), r.bottom() - 0.5), QPointF(r.right() - 0.5, r.bottom() - 0.5));
    p.drawLine(QPointF(r.right() - 0.5, r.top()), QPointF(r.right() - 0.5, r.bottom() - 0.5));
}

// A button face of the given colour, lit or unlit.
void Button(QPainter& p, const QRectF& r, QColor face) {
    p.setPen(QColor(16, 16, 18));
    p.setBrush(face.darker(140));
    p.drawRoundedRect(r.adjusted(0.5, 0.5, -0.5, -0.5), 3, 3);
    QLinearGradient g(r.topLeft(), r.bottomLeft());
    g.setColorAt(0, face.lighter(130));
    g.setColorAt(1, face.darker(115));
    p.setPen(Qt::NoPen);
    p.setBrush(g);
    p.drawRoundedRect(r.adjusted(2, 2, -2, -2), 2, 2);
}

void Caption(QPainter& p, const QRectF& r, const QString& text, QColor colour, int pixelSize) {
    QFont font(QString::fromLatin1(L::kFontFamily));
    font.setPixelSize(pixelSize);
    font.setBold(true);
    p.setFont(font);
    p.setPen(colour);
    p.drawText(r, Qt::AlignCenter, text);
}

QImage PaintBack() {
    QImage image = NewImage(L::kBackWidth, L::kBackHeight, QColor(44, 47, 54));
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    // Brushed panel with a title band.
    QLinearGradient panel(0, 0, 0, L::kBackHeight);
    panel.setColorAt(0, QColor(58, 62, 70));
    panel.setColorAt(1, QColor(34, 36, 42));
    p.fillRect(image.rect(), panel);
    p.fillRect(QRect(0, 0, L::kBackWidth, 22), QColor(26, 28, 33));
    Caption(p, QRectF(8, 2, 200, 18), QStringLiteral("LUMAREL 460"), QColor(150, 156, 168), 12);
    // The strips of the function blocks 1-3 (pairs 4-6) and the main strips (pairs 0-3) on plates.
    const int firstMain = L::kStripColumn[0] - 20, lastMain = L::kStripColumn[3] + 52;
    const int firstOther = L::kStripColumn[4] - 26, lastOther = L::kStripColumn[6] + 50;
    p.setPen(QColor(70, 74, 84));
    p.setBrush(QColor(50, 54, 62));
    p.drawRoundedRect(QRectF(firstOther, 48, lastOther - firstOther, 290), 6, 6);
    p.drawRoundedRect(QRectF(firstMain, 48, lastMain - firstMain, 290), 6, 6);

    for (int pair = 0; pair < 7; ++pair) {
        for (int side = 0; side < 2; ++side) {
            // Fader groove with dB ticks every 6 steps.
            const L::Rect f = L::FaderRect(pair, side);
            const double cx = f.x + f.w / 2.0;
            const double grooveTop = f.y + L::kThumbHeight / 2.0, grooveBottom = f.y + f.h - L::kThumbHeight / 2.0;
            p.setPen(QColor(110, 116, 128));
            for (int pos = L::kFaderMinimum; pos <= L::kFaderMaximum; pos += 6) {
                const double y = grooveBottom - (grooveBottom - grooveTop) * (pos - L::kFaderMinimum) /
                                                    double(L::kFaderMaximum - L::kFaderMinimum);
                p.drawLine(QPointF(f.x + 1, y), QPointF(f.x + 4, y));
                p.drawLine(QPointF(f.x + f.w - 4, y), QPointF(f.x + f.w - 1, y));
            }
            Recess(p, QRectF(cx - 2, grooveTop - 3, 4, grooveBottom - grooveTop + 6), QColor(8, 8, 10));
            // Readout recess and the unlit mute button.
            const L::Rect field = L::LevelFieldRect(pair, side);
            Recess(p, ToRect(field), QColor(14, 20, 26));
            const L::Rect mute = L::MuteRect(pair, side);
            Button(p, ToRect(mute), QColor(82, 40, 36));
            Caption(p, ToRect(mute), QStringLiteral("M"), QColor(130, 90, 84), 9);
        }
        const L::Rect link = L::LinkRect(pair);
        Button(p, ToRect(link), QColor(36, 58, 74));
    }
    // Pan dials of pair 4: a dark disc with a scale over the knob's 5.4 radians of travel.
    for (int side = 0; side < 2; ++side) {
        const L::Rect k = L::KnobRect(side);
        const QPointF c(k.x + k.w / 2.0, k.y + k.h / 2.0);
        QRadialGradient g(c, k.w / 2.0);
        g.setColorAt(0, QColor(70, 74, 82));
        g.setColorAt(1, QColor(22, 24, 28));
        p.setPen(QColor(12, 12, 14));
        p.setBrush(g);
        p.drawEllipse(c, k.w / 2.0 - 1, k.h / 2.0 - 1);
        p.setPen(QColor(120, 126, 138));
        for (int i = 0; i <= 6; ++i) {
            const double a = -2.7 + 5.4 * i / 6;
            p.drawPoint(QPointF(c.x() + (L::kKnobRadius + 2) * std::sin(a), c.y() - (L::kKnobRadius + 2) * std::cos(a)));
        }
    }
    // Readouts of the clock and the latencies.
    Recess(p, ToRect(L::kClockField), QColor(14, 20, 26));
    Recess(p, ToRect(L::kWdmField), QColor(14, 20, 26));
    Recess(p, ToRect(L::kAsioField), QColor(14, 20, 26));
    return image;
}

QImage PaintThumb() {
    QImage image = NewImage(L::kThumbWidth, L::kThumbHeight, Rgb(L::kThumbKeyColour));
    QPainter p(&image);
    const QRectF r(1, 1, L::kThumbWidth - 2, L::kThumbHeight - 2);
    QLinearGradient g(r.topLeft(), r.bottomLeft());
    g.setColorAt(0, QColor(214, 218, 224));
    g.setColorAt(0.5, QColor(150, 154, 162));
    g.setColorAt(1, QColor(200, 204, 210));
    p.setPen(QColor(30, 30, 34));
    p.setBrush(g);
    p.drawRect(r.adjusted(0, 0, -1, -1));
    p.setPen(QColor(250, 250, 250));
    p.drawLine(QPointF(2, L::kThumbHeight / 2), QPointF(L::kThumbWidth - 3, L::kThumbHeight / 2));
    p.end();
    image.setPixel(0, 0, Rgb(L::kThumbKeyColour).rgb());  // the key colour the thumb is masked with
    return image;
}

// A lit button, drawn over the background it replaces so that its corners match.
QImage PaintToggleOn(const QImage& back, const L::Rect& at, QColor face, const QString& caption) {
    QImage image = back.copy(at.x, at.y, at.w, at.h);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    Button(p, QRectF(0, 0, at.w, at.h), face);
    if (!caption.isEmpty()) Caption(p, QRectF(0, 0, at.w, at.h), caption, QColor(255, 240, 220), 9);
    return image;
}

QImage PaintPoint() {
    QImage image = NewImage(L::kPointSize, L::kPointSize, QColor(250, 210, 120));
    QPainter p(&image);
    p.setPen(QColor(255, 244, 210));
    p.drawPoint(L::kPointSize / 2, L::kPointSize / 2);
    return image;
}

// A small fader and knob on a dark tile.
QImage PaintEmblem(int w, int h) {
    QImage image(w, h, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QColor(20, 22, 26));
    p.setBrush(QColor(50, 54, 62));
    p.drawRoundedRect(QRectF(0.5, 0.5, w - 1, h - 1), w / 6.0, h / 6.0);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(8, 8, 10));
    p.drawRect(QRectF(w * 0.25 - w * 0.04, h * 0.15, w * 0.08, h * 0.7));
    p.drawRect(QRectF(w * 0.5 - w * 0.04, h * 0.15, w * 0.08, h * 0.7));
    p.setBrush(QColor(200, 204, 210));
    p.drawRect(QRectF(w * 0.25 - w * 0.12, h * 0.55, w * 0.24, h * 0.12));
    p.drawRect(QRectF(w * 0.5 - w * 0.12, h * 0.3, w * 0.24, h * 0.12));
    p.setBrush(Rgb(L::kFieldColour));
    p.drawEllipse(QPointF(w * 0.78, h * 0.5), w * 0.14, h * 0.14);
    return image;
}

QByteArray Png(const QImage& image) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: dorvik_skin_gen <output.cpp>\n");
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);

    const QImage back = PaintBack();
    const std::vector<std::pair<std::string, QImage>> images = {
        {"BACK", back},
        {"FADER", PaintThumb()},
        {"MUTE_ON", PaintToggleOn(back, L::MuteRect(0, 0), QColor(226, 70, 44), QStringLiteral("M"))},
        {"LINK_ON", PaintToggleOn(back, L::LinkRect(0), QColor(70, 170, 226), QString())},
        {"POINT", PaintPoint()},
        {"ICON217", PaintEmblem(L::kIconSize, L::kIconSize)},
        {"ABOUT216", PaintEmblem(L::kAboutWidth, L::kAboutHeight)},
    };

    std::FILE* out = std::fopen(argv[1], "w");
    if (!out) {
        std::perror(argv[1]);
        return 1;
    }
    std::fprintf(out, "// Generated by dorvik_skin_gen: the panel's skin pictures as PNG bytes.\n");
    std::fprintf(out, "#include \"strips/skin.h\"\n\nnamespace dorvik::skin {\nnamespace {\n");
    for (size_t i = 0; i < images.size(); ++i) {
        const QByteArray png = Png(images[i].second);
        if (png.isEmpty()) {
            std::fprintf(stderr, "dorvik_skin_gen: cannot encode %s\n", images[i].first.c_str());
            return 1;
        }
        std::fprintf(out, "const unsigned char kImage%zu[] = {", i);
        for (qsizetype b = 0; b < png.size(); ++b)
            std::fprintf(out, "%s%u,", b % 24 == 0 ? "\n" : "", unsigned(static_cast<unsigned char>(png[b])));
        std::fprintf(out, "\n};\n");
    }
    std::fprintf(out, "}  // namespace\n\nconst SkinImage kSkinImages[] = {\n");
    for (size_t i = 0; i < images.size(); ++i)
        std::fprintf(out, "    {\"%s\", kImage%zu, sizeof kImage%zu},\n", images[i].first.c_str(), i, i);
    std::fprintf(out, "};\nconst size_t kSkinImageCount = %zu;\n\n}  // namespace dorvik::skin\n", images.size());
    return std::fclose(out) == 0 ? 0 : 1;
}

#include "forms/fonts.h"

#include <QFont>
#include <QFontMetrics>

#include <algorithm>
#include <cstdint>

#include "forms/internal.h"

namespace forms {

QFont LogicalFont(const std::string& face, int32_t height, int32_t weight) {
    QFont font(detail::ToQ(face));
    // A weight of 0 leaves the choice to the platform: normal.
    font.setWeight(QFont::Weight(weight <= 0 ? 400 : std::clamp(weight, 100, 900)));
    if (height < 0) {
        font.setPixelSize(int(std::min<int64_t>(-int64_t(height), 4096)));
    } else if (height > 0) {
        // The em is a little smaller than the cell: start from the cell scaled by the face's
        // proportion, then step to the largest em that stays within the cell.
        const int cell = int(std::min<int32_t>(height, 4096));
        font.setPixelSize(cell);
        int em = std::max(1, int(int64_t(cell) * cell / std::max(1, QFontMetrics(font).height())));
        font.setPixelSize(em);
        while (em > 1 && QFontMetrics(font).height() > cell) font.setPixelSize(--em);
        while (em < cell) {
            font.setPixelSize(em + 1);
            if (QFontMetrics(font).height() > cell) {
                font.setPixelSize(em);
                break;
            }
            ++em;
        }
    }
    return font;
}

}  // namespace forms

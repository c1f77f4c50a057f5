// Whether texts show whole in the controls that hold them, measured in each control's own font
// the way the style draws them: a button's caption within the button less its frame, a grid
// cell's text within its column less the view's text margins.
#pragma once

#include <gtest/gtest.h>

#include <QFontMetrics>
#include <QPushButton>
#include <QStyle>
#include <QTableWidget>

#include "forms/controls.h"
#include "forms/grid.h"

namespace formstest {

inline ::testing::AssertionResult CaptionFits(const forms::CommandButton& button) {
    auto* w = qobject_cast<QPushButton*>(button.Widget());
    if (!w) return ::testing::AssertionFailure() << "no push button";
    const QString text = w->text().remove('&');
    const int need = QFontMetrics(w->font()).horizontalAdvance(text);
    // The style draws the caption inside the button's frame.
    const int room = w->width() - 2 * w->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, w);
    if (need <= room) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << '"' << text.toStdString() << "\" needs " << need << " px, the button gives "
                                         << room;
}

// Every cell of the columns [first, last] (all when last is -1).
inline ::testing::AssertionResult CellsFit(const forms::MSFlexGrid& grid, int first = 0, int last = -1) {
    auto* t = qobject_cast<QTableWidget*>(grid.Widget());
    if (!t) return ::testing::AssertionFailure() << "no table";
    const QFontMetrics metrics(t->font());
    const int margins = 2 * (t->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, t) + 1);
    ::testing::AssertionResult result = ::testing::AssertionSuccess();
    bool cut = false;
    for (int c = first; c <= (last < 0 ? t->columnCount() - 1 : last); ++c) {
        for (int r = 0; r < t->rowCount(); ++r) {
            const QTableWidgetItem* item = t->item(r, c);
            if (!item) continue;
            const int need = metrics.horizontalAdvance(item->text()) + margins;
            // The text must also end inside the grid's visible area.
            const bool inside = t->columnViewportPosition(c) + need <= t->viewport()->width();
            if (need <= t->columnWidth(c) && inside) continue;
            if (!cut) result = ::testing::AssertionFailure();
            cut = true;
            result << "\"" << item->text().toStdString() << "\" (row " << r << ", column " << c << ") needs " << need
                   << " px, the column gives " << t->columnWidth(c) << (inside ? "" : ", ending outside the grid")
                   << "\n";
        }
    }
    return result;
}

}  // namespace formstest

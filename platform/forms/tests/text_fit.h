// Whether texts show whole in the controls that hold them, measured in each control's own font
// the way the style draws them: a button's caption within the button less its frame, a grid
// cell's or list item's text within its column less the view's text margins, a list heading
// within its section less the header's margins. Texts are laid out in fractions of a pixel; one
// a fraction wider than its room is cut, so widths are rounded up.
#pragma once

#include <gtest/gtest.h>

#include <QFontMetrics>
#include <QFontMetricsF>
#include <QHeaderView>
#include <QPushButton>
#include <QStyle>
#include <QTableWidget>
#include <QTreeWidget>

#include <cmath>

#include "forms/controls.h"
#include "forms/grid.h"
#include "forms/views.h"

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
    const QFontMetricsF metrics(t->font());
    const int margins = 2 * (t->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, t) + 1);
    ::testing::AssertionResult result = ::testing::AssertionSuccess();
    bool cut = false;
    for (int c = first; c <= (last < 0 ? t->columnCount() - 1 : last); ++c) {
        for (int r = 0; r < t->rowCount(); ++r) {
            const QTableWidgetItem* item = t->item(r, c);
            if (!item) continue;
            const int need = int(std::ceil(metrics.horizontalAdvance(item->text()))) + margins;
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

// Every heading and item text of a list view, and every column within the list's visible width
// (a column that ends past it hides the end of its texts, or all of a right-aligned one).
inline ::testing::AssertionResult ItemsFit(const forms::ListView& list) {
    auto* t = qobject_cast<QTreeWidget*>(list.Widget());
    if (!t) return ::testing::AssertionFailure() << "no tree widget";
    const QFontMetricsF itemMetrics(t->font()), headingMetrics(t->header()->font());
    const int itemMargins = 2 * (t->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, t) + 1);
    const int headingMargins = 2 * t->style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, t->header());
    ::testing::AssertionResult result = ::testing::AssertionSuccess();
    bool cut = false;
    const auto report = [&](const QString& text, const std::string& where, int need, int room) {
        if (!cut) result = ::testing::AssertionFailure();
        cut = true;
        result << '"' << text.toStdString() << "\" (" << where << ") needs " << need << " px, it has " << room << "\n";
    };
    for (int c = 0; c < t->columnCount(); ++c) {
        const int width = t->columnWidth(c);
        const int end = t->header()->sectionViewportPosition(c) + width;
        if (end > t->viewport()->width())
            report(t->headerItem()->text(c), "column " + std::to_string(c) + " ends past the list", end,
                   t->viewport()->width());
        const QString heading = t->headerItem()->text(c);
        const int headingNeed = int(std::ceil(headingMetrics.horizontalAdvance(heading))) + headingMargins;
        if (headingNeed > width) report(heading, "heading of column " + std::to_string(c), headingNeed, width);
        for (int r = 0; r < t->topLevelItemCount(); ++r) {
            const QString text = t->topLevelItem(r)->text(c);
            const int need = int(std::ceil(itemMetrics.horizontalAdvance(text))) + itemMargins;
            if (need > width) report(text, "row " + std::to_string(r) + ", column " + std::to_string(c), need, width);
        }
    }
    return result;
}

}  // namespace formstest

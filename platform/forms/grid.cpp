#include "forms/grid.h"
#include "forms/internal.h"

#include "vbrt/error.h"

#include <QApplication>
#include <QFontMetrics>
#include <QHash>
#include <QHeaderView>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStaticText>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QTableWidget>
#include <algorithm>
#include <cmath>
#include <map>
#include <optional>
#include <utility>
#include <string>
#include <unordered_map>
#include <vector>

namespace forms {

using detail::FromQ;
using detail::ToQ;

namespace {
[[noreturn]] void badRow() { vb::Raise(30009, "MSFlexGrid", "Invalid Row value"); }
[[noreturn]] void badCol() { vb::Raise(30010, "MSFlexGrid", "Invalid Col value"); }

Qt::Alignment qtAlignment(int32_t a) {
    Qt::Alignment h = a <= 2 ? Qt::AlignLeft : a <= 5 ? Qt::AlignHCenter : a <= 8 ? Qt::AlignRight : Qt::AlignLeft;
    int v = a == 9 ? 1 : a % 3;
    return h | (v == 0 ? Qt::AlignTop : v == 1 ? Qt::AlignVCenter : Qt::AlignBottom);
}

// How far apart two colours are for a reader: 1 for the same colour, 21 for black on white.
double Contrast(const QColor& a, const QColor& b) {
    const auto luminance = [](const QColor& c) {
        const auto linear = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
        return 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF()) + 0.0722 * linear(c.blueF());
    };
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// `text`, or the nearest colour on its way to black (or white, on a dark background) that reads
// on `background`. Text wants a contrast of at least 4.5; the pen aims at 6, since the strokes of
// a small font, drawn smoothed, come out lighter than the pen.
QColor ReadableOn(const QColor& text, const QColor& background) {
    constexpr double kReadable = 6;
    if (Contrast(text, background) >= kReadable) return text;
    const QColor towards = Contrast(Qt::black, background) >= Contrast(Qt::white, background) ? QColor(Qt::black)
                                                                                             : QColor(Qt::white);
    QColor mixed = towards;
    for (int step = 1; step <= 16; ++step) {
        const double t = step / 16.0;
        const QColor c = QColor::fromRgbF(float(text.redF() + (towards.redF() - text.redF()) * t),
                                          float(text.greenF() + (towards.greenF() - text.greenF()) * t),
                                          float(text.blueF() + (towards.blueF() - text.blueF()) * t));
        if (Contrast(c, background) >= kReadable) {
            mixed = c;
            break;
        }
    }
    return mixed;
}

// Paints a cell as the style does, its text from a copy laid out once per text and width.
// A view paints every visible cell again whenever a row is added or it scrolls, so a grid that
// grows by a row at a time (the device list, a status log) lays out the same texts again and
// again; shaping and eliding them was nearly all of its painting. The copies are dropped when
// the font changes, and all at once when there are too many to keep.
class CellPainter final : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QStyleOptionViewItem opt(option);
        initStyleOption(&opt, index);
        const QString text = opt.text;
        opt.text.clear();
        const QWidget* widget = opt.widget;
        QStyle* style = widget ? widget->style() : QApplication::style();
        // Background, selection and focus frame, without the text.
        style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);
        if (text.isEmpty()) return;

        // The room the style gives a cell's text: its focus margin and a pixel on each side.
        const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, widget) + 1;
        const QRect room = opt.rect.adjusted(margin, 0, -margin, 0);
        if (room.width() <= 0) return;
        const QStaticText& shown = laidOut(text, room.width(), opt.font);
        const QSize size = shown.size().toSize();
        const QRect at = QStyle::alignedRect(opt.direction, opt.displayAlignment, size, room);

        const QPalette::ColorGroup group = !(opt.state & QStyle::State_Enabled) ? QPalette::Disabled
                                           : opt.state & QStyle::State_Active   ? QPalette::Normal
                                                                                : QPalette::Inactive;
        const bool selected = opt.state & QStyle::State_Selected;
        QColor pen = opt.palette.color(group, selected ? QPalette::HighlightedText : QPalette::Text);
        // A disabled grid (a window that works on its own for a while: the device list during a
        // download) still shows what it holds: the style's grey for disabled text is kept only as
        // far as it stays readable on the cell.
        if (group == QPalette::Disabled) {
            const QColor under = opt.backgroundBrush.style() != Qt::NoBrush ? opt.backgroundBrush.color()
                                 : selected ? opt.palette.color(group, QPalette::Highlight)
                                            : opt.palette.color(group, QPalette::Base);
            pen = ReadableOn(pen, under);
        }
        painter->save();
        painter->setClipRect(room, Qt::IntersectClip);
        painter->setFont(opt.font);
        painter->setPen(pen);
        painter->drawStaticText(at.topLeft(), shown);
        painter->restore();
    }

private:
    static constexpr int kMaxKept = 4096;

    const QStaticText& laidOut(const QString& text, int width, const QFont& font) const {
        if (font != font_) {
            kept_.clear();
            font_ = font;
        }
        const Key key{text, width};
        auto found = kept_.constFind(key);
        if (found != kept_.constEnd()) return *found;
        if (kept_.size() >= kMaxKept) kept_.clear();
        const QFontMetrics metrics(font);
        QStaticText shown(metrics.elidedText(text, Qt::ElideRight, width));
        shown.setTextFormat(Qt::PlainText);
        shown.prepare(QTransform(), font);
        return *kept_.insert(key, shown);
    }

    using Key = std::pair<QString, int>;
    mutable QHash<Key, QStaticText> kept_;
    mutable QFont font_;
};
}  // namespace

// A row's or a column's place in a strip of fixed cells: its number, where it starts in the
// strip and how long it is.
struct CellLine {
    int index;
    int start;
    int length;
};

class GridTable;

// A strip of the fixed cells. The table keeps its fixed rows and columns out of its body, which
// alone scrolls, and shows them where its headers would stand: the fixed rows above the body
// (they move sideways with it, never up or down), the fixed columns at its left (they move up and
// down with it, never sideways). The header places the strip and keeps it in step with the body.
class FixedStrip final : public QHeaderView {
public:
    FixedStrip(Qt::Orientation orientation, GridTable* table);
    // As high as the fixed rows (as wide as the fixed columns).
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    // Nothing to drag: a fixed row or column is neither resized nor moved by the mouse.
    void mouseMoveEvent(QMouseEvent*) override {}

private:
    GridTable* table_;
    std::pair<int, int> pressed_{-1, -1};
};

// Where the fixed rows and columns meet: cells that never move.
class FixedCorner final : public QWidget {
public:
    explicit FixedCorner(GridTable* table);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    GridTable* table_;
    std::pair<int, int> pressed_{-1, -1};
};

// The grid's table. After rows are added or removed a table lays itself out again and then
// repaints every cell it shows. Most changes leave the rows on screen as they were, only moved:
// rows added at the end (the device list as nodes are found, a status log), and rows removed or
// inserted above the first row shown (a log past its cap drops its oldest). Then the pixels shown
// are moved with their rows and only what is new is painted: the rows added, any row written
// while the layout was pending (the table does not repaint those itself), and what the move
// uncovered. A grid that grows a row at a time so paints about a row per row added.
//
// The move must be the rows' own. Laying out also works the scroll offset out again: a table
// scrolled to its end keeps its last row flush with the bottom edge, and once rows are added that
// offset becomes the top of the first row shown, some pixels further. Painting only the new rows
// after that would leave the rows above drawn where they were, out of step with the scroll that
// follows (rows squeezed together, a half row at the top, grid lines missing).
class GridTable final : public QTableWidget {
public:
    explicit GridTable(QWidget* parent) : QTableWidget(parent) {
        setHorizontalHeader(new FixedStrip(Qt::Horizontal, this));
        setVerticalHeader(new FixedStrip(Qt::Vertical, this));
        horizontalHeader()->hide();
        verticalHeader()->hide();
        setCornerButtonEnabled(false);
        corner_ = new FixedCorner(this);
        corner_->hide();
        // A fixed cell written shows at once where its strip shows it.
        connect(model(), &QAbstractItemModel::dataChanged, this,
                [this](const QModelIndex& first, const QModelIndex& last) { fixedCellsWritten(first, last); });
    }

    // Where the strips are, as the table tells them apart.
    enum class Strip { Rows, Columns, Corner };

    // Keeps the first `rows` rows and `cols` columns out of the body, in the strips.
    void SetFixed(int rows, int cols) {
        const int oldRows = fixedRows_, oldCols = fixedCols_;
        bool changed = rows != oldRows || cols != oldCols;
        fixedRows_ = rows;
        fixedCols_ = cols;
        // A row inserted or removed among the fixed rows moves one row across the boundary.
        for (int r = 0; r < std::min(rowCount(), std::max(rows, oldRows) + 1); ++r) {
            if ((r < rows) == isRowHidden(r)) continue;
            setRowHidden(r, r < rows);
            changed = true;
        }
        for (int c = 0; c < std::min(columnCount(), std::max(cols, oldCols) + 1); ++c) {
            const bool fixed = c < cols;
            if (fixed == isColumnHidden(c)) continue;
            changed = true;
            if (fixed) {
                hiddenWidths_[c] = columnWidth(c);
                setColumnHidden(c, true);
            } else {
                setColumnHidden(c, false);
                if (auto it = hiddenWidths_.find(c); it != hiddenWidths_.end()) setColumnWidth(c, it->second);
                hiddenWidths_.erase(c);
            }
        }
        std::erase_if(hiddenWidths_, [this](const auto& w) { return w.first >= columnCount(); });
        // The strips show as many rows and columns as there are, up to the fixed ones.
        const bool shown[2] = {FixedRows() > 0, FixedCols() > 0};
        if (changed || shown[0] == horizontalHeader()->isHidden() || shown[1] == verticalHeader()->isHidden())
            stripsChanged();
    }
    int FixedRows() const { return std::min(fixedRows_, rowCount()); }
    int FixedCols() const { return std::min(fixedCols_, columnCount()); }

    // A column's width in pixels, a fixed column's included (the body does not show those).
    int ColumnWidthPx(int col) const {
        if (!isColumnHidden(col)) return columnWidth(col);
        const auto it = hiddenWidths_.find(col);
        return it != hiddenWidths_.end() ? it->second : horizontalHeader()->defaultSectionSize();
    }
    void SetColumnWidthPx(int col, int px) {
        if (isColumnHidden(col)) {
            hiddenWidths_[col] = px;
            stripsChanged();
        } else {
            setColumnWidth(col, px);
        }
    }
    // Every row is as high as the others.
    int RowHeightPx() const { return verticalHeader()->defaultSectionSize(); }

    // Scrolls the body so that `row` is the first row it shows (as near as the rows below allow);
    // a fixed row is always shown, so the body goes back to its first row. Nothing moves sideways.
    void ScrollRowToTop(int row) {
        QScrollBar* bar = verticalScrollBar();
        // The body scrolls a row at a time and counts only the rows it shows.
        bar->setValue(row < FixedRows() ? bar->minimum() : row - FixedRows());
    }

    // The scroll bars were switched on or off: the scroll ranges follow at once.
    void ScrollBarsChanged() { updateGeometries(); }

    // Where cell (row, col) shows now, in the table's own pixels (empty when out of view).
    QRect CellRect(int row, int col) const {
        if (row < 0 || col < 0 || row >= rowCount() || col >= columnCount()) return {};
        const bool fixedRow = row < FixedRows(), fixedCol = col < FixedCols();
        const QWidget* on = fixedRow && fixedCol ? static_cast<const QWidget*>(corner_)
                            : fixedRow          ? horizontalHeader()->viewport()
                            : fixedCol          ? verticalHeader()->viewport()
                                                : viewport();
        const Strip strip = fixedRow && fixedCol ? Strip::Corner : fixedRow ? Strip::Rows : Strip::Columns;
        QRect cell;
        if (fixedRow || fixedCol) {
            for (const CellLine& r : StripRows(strip))
                for (const CellLine& c : StripCols(strip))
                    if (r.index == row && c.index == col) cell = QRect(c.start, r.start, c.length, r.length);
        } else {
            cell = QRect(columnViewportPosition(col), rowViewportPosition(row), columnWidth(col), rowHeight(row));
        }
        if (!on->isVisible()) return {};
        // Less the grid line at its right and bottom, as the view gives a cell; only what shows.
        const int grid = showGrid() ? 1 : 0;
        cell = cell.adjusted(0, 0, -grid, -grid) & on->rect();
        if (cell.isEmpty()) return {};
        return QRect(on->mapTo(this, cell.topLeft()), cell.size());
    }

    // The rows and columns a strip shows, placed in the strip's own pixels: the fixed ones stacked
    // from its edge, the body's ones where the body shows them now.
    std::vector<CellLine> StripRows(Strip strip) const {
        std::vector<CellLine> lines;
        if (strip != Strip::Columns) {
            for (int r = 0; r < FixedRows(); ++r) lines.push_back({r, r * RowHeightPx(), RowHeightPx()});
            return lines;
        }
        const int height = viewport()->height();
        for (int r = std::max(rowAt(0), FixedRows()); r >= 0 && r < rowCount(); ++r) {
            if (isRowHidden(r)) continue;
            const int top = rowViewportPosition(r);
            if (top >= height) break;
            lines.push_back({r, top, rowHeight(r)});
        }
        return lines;
    }
    std::vector<CellLine> StripCols(Strip strip) const {
        std::vector<CellLine> lines;
        if (strip != Strip::Rows) {
            int left = 0;
            for (int c = 0; c < FixedCols(); ++c) {
                lines.push_back({c, left, ColumnWidthPx(c)});
                left += ColumnWidthPx(c);
            }
            return lines;
        }
        const int width = viewport()->width();
        for (int c = std::max(columnAt(0), FixedCols()); c >= 0 && c < columnCount(); ++c) {
            if (isColumnHidden(c)) continue;
            const int left = columnViewportPosition(c);
            if (left >= width) break;
            lines.push_back({c, left, columnWidth(c)});
        }
        return lines;
    }

    // Paints the cells of a strip as the body paints its own: the cell's panel, the grid's cell
    // painter and the grid lines at the right and bottom, drawn across the dirty area as the body
    // draws them.
    void PaintStrip(QPainter& painter, const QRect& dirty, Strip strip) const {
        const std::vector<CellLine> rows = StripRows(strip), cols = StripCols(strip);
        QStyleOptionViewItem base;
        initViewItemOption(&base);
        const int grid = showGrid() ? 1 : 0;
        for (const CellLine& r : rows) {
            for (const CellLine& c : cols) {
                const QRect cell(c.start, r.start, c.length, r.length);
                if (!cell.intersects(dirty)) continue;
                const QModelIndex index = model()->index(r.index, c.index);
                QStyleOptionViewItem option(base);
                option.rect = cell.adjusted(0, 0, -grid, -grid);
                if (option.state & QStyle::State_Enabled) {
                    const bool enabled = model()->flags(index) & Qt::ItemIsEnabled;
                    if (!enabled) option.state &= ~QStyle::State_Enabled;
                    option.palette.setCurrentColorGroup(enabled ? QPalette::Normal : QPalette::Disabled);
                }
                style()->drawPrimitive(QStyle::PE_PanelItemViewRow, &option, &painter, this);
                itemDelegate()->paint(&painter, option, index);
            }
        }
        if (!grid) return;
        const QColor colour = QColor::fromRgba(QRgb(style()->styleHint(QStyle::SH_Table_GridLineColor, &base, this)));
        painter.save();
        painter.setPen(QPen(colour, 1, gridStyle()));
        for (const CellLine& r : rows) {
            const int y = r.start + r.length - 1;
            painter.drawLine(dirty.left(), y, dirty.right(), y);
        }
        for (const CellLine& c : cols) {
            const int x = c.start + c.length - 1;
            painter.drawLine(x, dirty.top(), x, dirty.bottom());
        }
        painter.restore();
    }

    // The cell of a strip at `at` ({-1, -1} where there is none).
    std::pair<int, int> StripCellAt(Strip strip, QPoint at) const {
        std::pair<int, int> cell{-1, -1};
        for (const CellLine& r : StripRows(strip))
            if (at.y() >= r.start && at.y() < r.start + r.length) cell.first = r.index;
        for (const CellLine& c : StripCols(strip))
            if (at.x() >= c.start && at.x() < c.start + c.length) cell.second = c.index;
        if (cell.first < 0 || cell.second < 0) return {-1, -1};
        return cell;
    }

    // A click on a fixed cell: the grid hears of it as of any cell's, and its current cell stays.
    void StripClicked(std::pair<int, int> cell, bool twice) {
        if (cell.first < 0) return;
        if (twice) emit cellDoubleClicked(cell.first, cell.second);
        else emit cellClicked(cell.first, cell.second);
    }

    // `count` rows are about to be added at the end, the first of them at `first`.
    void RowsAppended(int first, int count) {
        if (!follow()) return;
        if (changes_->appended < 0 || first < changes_->appended) changes_->appended = first;
        changes_->rows += count;
    }
    // A row is about to be inserted at `row`, above others.
    void RowInserted(int row) {
        if (!follow()) return;
        // Only rows above the first one shown move the rows shown all alike.
        if (row > changes_->anchor) changes_->moved = true;
        ++changes_->anchor;
        if (changes_->appended >= row) ++changes_->appended;
        if (changes_->writtenFirst >= row) ++changes_->writtenFirst;
        if (changes_->writtenLast >= row) ++changes_->writtenLast;
        ++changes_->rows;
    }
    // The row `row` is about to be removed.
    void RowRemoved(int row) {
        if (!follow()) return;
        if (row >= changes_->anchor) changes_->moved = true;
        --changes_->anchor;
        if (changes_->appended > row) --changes_->appended;
        if (changes_->writtenFirst > row) --changes_->writtenFirst;
        if (changes_->writtenLast >= row) --changes_->writtenLast;
        --changes_->rows;
    }
    // Rows are about to change in some other way: the next layout repaints everything.
    void RowsMoved() {
        if (follow()) changes_->moved = true;
    }
    // A cell's text or look was set.
    void CellWritten(int row) {
        if (!changes_) return;
        if (changes_->writtenFirst < 0 || row < changes_->writtenFirst) changes_->writtenFirst = row;
        changes_->writtenLast = std::max(changes_->writtenLast, row);
    }

    void doItemsLayout() override {
        const std::optional<Changes> changes = std::exchange(changes_, std::nullopt);
        QWidget* view = viewport();
        const QSize size = view->size();
        const bool rowsMoveAlike = changes && !changes->moved && changes->anchor >= 0 &&
                                   changes->anchor < rowCount() && changes->rows == rowCount() &&
                                   changes->laidRows == laidRows_ && columnCount() == laidCols_ &&
                                   font() == laidFont_;
        laidRows_ = rowCount();
        laidCols_ = columnCount();
        laidFont_ = font();
        // The fixed columns move up and down with the body's rows.
        if (!verticalHeader()->isHidden()) verticalHeader()->viewport()->update();
        if (!rowsMoveAlike) {
            QTableWidget::doItemsLayout();
            return;
        }
        const bool updatesOff = view->testAttribute(Qt::WA_UpdatesDisabled);
        view->setAttribute(Qt::WA_UpdatesDisabled, true);
        QTableWidget::doItemsLayout();
        view->setAttribute(Qt::WA_UpdatesDisabled, updatesOff);
        // A scroll bar that came or went resized the view: all of it is new.
        if (view->size() != size) {
            view->update();
            return;
        }
        // The rows shown move as their first one did; the move uncovers what must be painted
        // (and carries any paint still pending with it).
        const int dx = changes->left - horizontalHeader()->offset();
        const int dy = rowViewportPosition(changes->anchor) - changes->anchorTop;
        if (dx != 0 || dy != 0) view->scroll(dx, dy);
        // The rows written, and the rows added down to the bottom edge (where none were before).
        const QRect all = view->rect();
        if (changes->writtenFirst >= 0 && changes->writtenLast >= changes->writtenFirst) {
            const int top = rowViewportPosition(changes->writtenFirst);
            const int bottom = rowViewportPosition(changes->writtenLast) + rowHeight(changes->writtenLast);
            view->update(QRect(0, top, all.width(), bottom - top) & all);
        }
        if (changes->appended >= 0)
            view->update(QRect(0, rowViewportPosition(changes->appended), all.width(), all.height()) & all);
    }

    // Lays the rows out now if a layout is due, as it would be when events next run.
    void LayOutNow() { executeDelayedItemsLayout(); }

    // A text's width in pixels in the table's font. Measuring lays the text out, and a column's
    // widest text is asked for again as rows come and go, so each width is kept until the font
    // changes (or too many are kept).
    int TextWidth(const std::string& text) {
        if (font() != widthFont_) {
            widths_.clear();
            widthFont_ = font();
        }
        if (auto it = widths_.find(text); it != widths_.end()) return it->second;
        if (widths_.size() >= 4096) widths_.clear();
        const int width = QFontMetrics(widthFont_).horizontalAdvance(ToQ(text));
        widths_.emplace(text, width);
        return width;
    }

protected:
    void updateGeometries() override {
        QTableWidget::updateGeometries();
        // Without a horizontal scroll bar nothing moves sideways, as the user could not move it
        // back: the view would otherwise scroll a wide column into view when a cell of it is
        // clicked or made current, cutting the columns at the left.
        if (horizontalScrollBarPolicy() == Qt::ScrollBarAlwaysOff) horizontalScrollBar()->setRange(0, 0);
        const bool corner = !horizontalHeader()->isHidden() && !verticalHeader()->isHidden();
        if (corner)
            corner_->setGeometry(verticalHeader()->x(), horizontalHeader()->y(), verticalHeader()->width(),
                                 horizontalHeader()->height());
        corner_->setVisible(corner);
        if (corner) corner_->raise();
    }

    // A scroll before the layout moves the pixels shown at once: where the rows stood then moves
    // with them.
    void scrollContentsBy(int dx, int dy) override {
        const int left = horizontalHeader()->offset(), top = verticalHeader()->offset();
        QTableWidget::scrollContentsBy(dx, dy);
        if (!changes_) return;
        changes_->left += horizontalHeader()->offset() - left;
        changes_->anchorTop += top - verticalHeader()->offset();
    }

private:
    // What changed since the last layout, and where the rows shown were then.
    struct Changes {
        int laidRows;       // the row count when the first change came
        int rows;           // the row count the changes lead to
        int anchor;         // the first row shown then, numbered as the rows now stand
        int anchorTop;      // its top in the view then
        int left;           // the horizontal scroll offset then
        int appended = -1;      // the first row added at the end
        int writtenFirst = -1;  // the first and last rows written
        int writtenLast = -1;
        bool moved = false;  // rows shown moved apart: everything is painted again
    };

    // Starts following the changes up to the next layout; false when the next layout repaints
    // everything anyway.
    bool follow() {
        if (!changes_) {
            const int anchor = rowAt(0);
            changes_ = Changes{rowCount(), rowCount(), anchor, anchor >= 0 ? rowViewportPosition(anchor) : 0,
                               horizontalHeader()->offset()};
            if (anchor < 0) changes_->moved = true;
        }
        return !changes_->moved;
    }

    // The fixed cells changed in number or size: the strips are measured and placed again.
    void stripsChanged() {
        horizontalHeader()->setHidden(FixedRows() == 0);
        verticalHeader()->setHidden(FixedCols() == 0);
        horizontalHeader()->updateGeometry();
        verticalHeader()->updateGeometry();
        updateGeometries();
        horizontalHeader()->viewport()->update();
        verticalHeader()->viewport()->update();
        corner_->update();
    }

    void fixedCellsWritten(const QModelIndex& first, const QModelIndex& last) {
        if (!first.isValid() || !last.isValid()) return;
        if (first.row() < FixedRows()) {
            horizontalHeader()->viewport()->update();
            corner_->update();
        }
        if (first.column() < FixedCols() && last.row() >= FixedRows()) {
            const int top = rowViewportPosition(std::max(first.row(), FixedRows()));
            const int bottom = rowViewportPosition(last.row()) + rowHeight(last.row());
            QWidget* strip = verticalHeader()->viewport();
            strip->update(QRect(0, top, strip->width(), bottom - top));
        }
    }

    std::unordered_map<std::string, int> widths_;
    QFont widthFont_;
    std::optional<Changes> changes_;
    int laidRows_ = 0, laidCols_ = 0;
    QFont laidFont_;
    int fixedRows_ = 0, fixedCols_ = 0;
    std::map<int, int> hiddenWidths_;  // the widths of the fixed columns, which the body hides
    FixedCorner* corner_ = nullptr;
};

FixedStrip::FixedStrip(Qt::Orientation orientation, GridTable* table) : QHeaderView(orientation, table), table_(table) {
    setSectionsClickable(false);
    setHighlightSections(false);
    setSectionResizeMode(QHeaderView::Fixed);
    setFocusPolicy(Qt::NoFocus);
    // The cells' own background, as the body's.
    viewport()->setBackgroundRole(QPalette::Base);
}

QSize FixedStrip::sizeHint() const {
    if (orientation() == Qt::Horizontal) return {0, table_->FixedRows() * table_->RowHeightPx()};
    int width = 0;
    for (int c = 0; c < table_->FixedCols(); ++c) width += table_->ColumnWidthPx(c);
    return {width, 0};
}

namespace {
GridTable::Strip stripOf(Qt::Orientation orientation) {
    return orientation == Qt::Horizontal ? GridTable::Strip::Rows : GridTable::Strip::Columns;
}
}  // namespace

void FixedStrip::paintEvent(QPaintEvent* event) {
    QPainter painter(viewport());
    table_->PaintStrip(painter, event->rect(), stripOf(orientation()));
}

void FixedStrip::mousePressEvent(QMouseEvent* event) {
    pressed_ = table_->StripCellAt(stripOf(orientation()), event->position().toPoint());
    table_->setFocus(Qt::MouseFocusReason);
}

void FixedStrip::mouseReleaseEvent(QMouseEvent* event) {
    const auto cell = table_->StripCellAt(stripOf(orientation()), event->position().toPoint());
    if (cell == pressed_) table_->StripClicked(cell, false);
    pressed_ = {-1, -1};
}

void FixedStrip::mouseDoubleClickEvent(QMouseEvent* event) {
    table_->StripClicked(table_->StripCellAt(stripOf(orientation()), event->position().toPoint()), true);
}

FixedCorner::FixedCorner(GridTable* table) : QWidget(table), table_(table) {
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Base);
}

void FixedCorner::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    table_->PaintStrip(painter, event->rect(), GridTable::Strip::Corner);
}

void FixedCorner::mousePressEvent(QMouseEvent* event) {
    pressed_ = table_->StripCellAt(GridTable::Strip::Corner, event->position().toPoint());
    table_->setFocus(Qt::MouseFocusReason);
}

void FixedCorner::mouseReleaseEvent(QMouseEvent* event) {
    const auto cell = table_->StripCellAt(GridTable::Strip::Corner, event->position().toPoint());
    if (cell == pressed_) table_->StripClicked(cell, false);
    pressed_ = {-1, -1};
}

void FixedCorner::mouseDoubleClickEvent(QMouseEvent* event) {
    table_->StripClicked(table_->StripCellAt(GridTable::Strip::Corner, event->position().toPoint()), true);
}

MSFlexGrid::MSFlexGrid(Container* container, std::string name, int32_t index)
    : Control(container, std::move(name), index),
      Rows([this] { return int32_t(cells_.size()); },
           [this](const int32_t& r) {
               if (r < fixedRows_ || r < 0) vb::Raise(30009, "MSFlexGrid", "Invalid Row value");
               resize(r, cols_);
           }),
      Cols([this] { return cols_; },
           [this](const int32_t& c) {
               if (c < fixedCols_ || c < 0) badCol();
               resize(int32_t(cells_.size()), c);
           }),
      FixedRows([this] { return fixedRows_; },
                [this](const int32_t& f) {
                    if (f < 0 || f > Rows()) badRow();
                    fixedRows_ = f;
                    table_->SetFixed(fixedRows_, fixedCols_);
                    row_ = std::max(row_, std::min(f, int32_t(cells_.size()) - 1));
                    rowSel_ = row_;
                    showAll();
                }),
      FixedCols([this] { return fixedCols_; },
                [this](const int32_t& f) {
                    if (f < 0 || f > Cols()) badCol();
                    fixedCols_ = f;
                    table_->SetFixed(fixedRows_, fixedCols_);
                    col_ = std::max(col_, std::min(f, Cols() - 1));
                    colSel_ = col_;
                    showAll();
                }),
      Row([this] { return row_; },
          [this](const int32_t& r) {
              if (r < 0 || r >= Rows()) badRow();
              setRowCol(r, col_, false);
          }),
      Col([this] { return col_; },
          [this](const int32_t& c) {
              if (c < 0 || c >= Cols()) badCol();
              setRowCol(row_, c, false);
          }),
      RowSel([this] { return rowSel_; },
             [this](const int32_t& r) {
                 if (r < 0 || r >= Rows()) badRow();
                 setSelection(r, colSel_);
             }),
      ColSel([this] { return colSel_; },
             [this](const int32_t& c) {
                 if (c < 0 || c >= Cols()) badCol();
                 setSelection(rowSel_, c);
             }),
      TopRow(
          [this] {
              int r = table_->rowAt(0);
              return r < 0 ? fixedRows_ : std::max(r, fixedRows_);
          },
          [this](const int32_t& r) {
              if (r < 0 || r >= Rows()) badRow();
              // The view works out its scroll range for rows just added only when events run;
              // scrolling before that stops one row short, so the range is brought up to date
              // (by a layout only when one is due: each layout asks for a paint).
              table_->LayOutNow();
              table_->ScrollRowToTop(r);
          }),
      SelectionMode([this] { return selectionMode_; },
                    [this](const int32_t& m) {
                        selectionMode_ = m;
                        table_->setSelectionBehavior(m == flexSelectionByRow      ? QAbstractItemView::SelectRows
                                                     : m == flexSelectionByColumn ? QAbstractItemView::SelectColumns
                                                                                  : QAbstractItemView::SelectItems);
                    }),
      ScrollBars([this] { return scrollBars_; },
                 [this](const int32_t& s) {
                     scrollBars_ = s;
                     table_->setHorizontalScrollBarPolicy(s & 1 ? Qt::ScrollBarAsNeeded : Qt::ScrollBarAlwaysOff);
                     table_->setVerticalScrollBarPolicy(s & 2 ? Qt::ScrollBarAsNeeded : Qt::ScrollBarAlwaysOff);
                     table_->ScrollBarsChanged();
                 }),
      Text([this] { return std::string(TextMatrix(row_, col_)); },
           [this](const std::string& t) { TextMatrix(row_, col_) = t; }) {
    table_ = new GridTable(container->ContainerWidget());
    table_->horizontalHeader()->hide();
    table_->verticalHeader()->hide();
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    table_->verticalHeader()->setDefaultSectionSize(16);
    table_->verticalHeader()->setMinimumSectionSize(8);
    table_->setItemDelegate(new CellPainter(table_));
    // The style fills a scroll bar's whole rectangle: what lies beneath (the frame, the group,
    // the window's caption) need not be painted again each time the bar moves, as it does for
    // every row a growing grid adds.
    table_->verticalScrollBar()->setAttribute(Qt::WA_OpaquePaintEvent);
    table_->horizontalScrollBar()->setAttribute(Qt::WA_OpaquePaintEvent);
    table_->setWordWrap(false);
    QObject::connect(table_, &QTableWidget::currentCellChanged, [this](int r, int c, int, int) {
        if (updating_ || r < 0 || c < 0) return;
        // A click on a heading cell keeps the current cell where it was.
        if (r < fixedRows_ || c < fixedCols_) {
            showCurrent();
            return;
        }
        setRowCol(r, c, true);
    });
    QObject::connect(table_, &QTableWidget::cellClicked, [this](int, int) {
        if (Click) detail::Fire("Click", Click);
    });
    QObject::connect(table_, &QTableWidget::cellDoubleClicked, [this](int, int) {
        if (DblClick) detail::Fire("DblClick", DblClick);
    });
    SetWidget(table_);
    resize(2, 2);
}

IndexedRef<std::string> MSFlexGrid::TextMatrix(int32_t row, int32_t col) {
    return {[this, row, col] {
                if (row < 0 || row >= Rows()) badRow();
                if (col < 0 || col >= Cols()) badCol();
                return cells_[size_t(row)][size_t(col)];
            },
            [this, row, col](const std::string& t) {
                if (row < 0 || row >= Rows()) badRow();
                if (col < 0 || col >= Cols()) badCol();
                cells_[size_t(row)][size_t(col)] = t;
                showCell(row, col);
            }};
}

IndexedRef<double> MSFlexGrid::ColWidth(int32_t col) {
    return {[this, col] {
                if (col < 0 || col >= Cols()) badCol();
                return table_->ColumnWidthPx(col) * Tpx();
            },
            [this, col](const double& w) {
                if (col < 0 || col >= Cols()) badCol();
                colWidth_[size_t(col)] = w;
                table_->SetColumnWidthPx(col, w < 0 ? 64 : int(std::lround(w / Tpx())));
            }};
}

PixelRect MSFlexGrid::CellRect(int32_t row, int32_t col) const {
    const QRect r = table_->CellRect(row, col);
    if (r.isEmpty()) return {};
    return {r.left(), r.top(), r.left() + r.width(), r.top() + r.height()};
}

double MSFlexGrid::ColTextWidth(int32_t col, int32_t row) {
    if (col < 0 || col >= Cols()) badCol();
    if (row < -1 || row >= Rows()) badRow();
    int widest = 0;
    for (int32_t r = row < 0 ? 0 : row; r < (row < 0 ? Rows() : row + 1); ++r)
        widest = std::max(widest, table_->TextWidth(cells_[size_t(r)][size_t(col)]));
    // The view keeps a focus margin and a pixel on each side of a cell's text, and the grid line;
    // the rest is room for the cell's frame, so a text is never cut by a pixel.
    const int margin = table_->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, table_) + 1;
    return (widest + 2 * margin + 4) * Tpx();
}

IndexedRef<int32_t> MSFlexGrid::ColAlignment(int32_t col) {
    return {[this, col] {
                if (col < 0 || col >= Cols()) badCol();
                return colAlign_[size_t(col)];
            },
            [this, col](const int32_t& a) {
                if (col < 0 || col >= Cols()) badCol();
                if (a < 0 || a > 9) vb::Raise(380, "MSFlexGrid", "Invalid property value");
                colAlign_[size_t(col)] = a;
                for (int32_t r = 0; r < Rows(); ++r) showCell(r, col);
            }};
}

void MSFlexGrid::AddItem(const std::string& item, int32_t index) {
    int32_t rows = Rows();
    if (index < -1 || index > rows) badRow();
    int32_t at = index == -1 ? rows : index;
    std::vector<std::string> row(static_cast<size_t>(Cols()));
    size_t start = 0, c = 0;
    while (c < row.size()) {
        size_t tab = item.find('\t', start);
        row[c++] = item.substr(start, tab == std::string::npos ? std::string::npos : tab - start);
        if (tab == std::string::npos) break;
        start = tab + 1;
    }
    cells_.insert(cells_.begin() + at, std::move(row));
    updating_ = true;
    if (at == rows) {
        table_->RowsAppended(at, 1);
    } else if (at < fixedRows_) {
        table_->RowsMoved();  // a row enters the fixed rows and their last one leaves them
    } else {
        table_->RowInserted(at);
    }
    table_->insertRow(at);
    table_->SetFixed(fixedRows_, fixedCols_);
    updating_ = false;
    for (int32_t col = 0; col < Cols(); ++col) showCell(at, col);
    if (at <= row_ && rows > fixedRows_) ++row_, rowSel_ = row_;
    showCurrent();
}

void MSFlexGrid::RemoveItem(int32_t index) {
    if (index < 0 || index >= Rows()) badRow();
    if (Rows() - 1 <= fixedRows_ && index >= fixedRows_)
        vb::Raise(30015, "MSFlexGrid", "Cannot remove last non-fixed row");
    cells_.erase(cells_.begin() + index);
    updating_ = true;
    if (index < fixedRows_) table_->RowsMoved();
    else table_->RowRemoved(index);
    table_->removeRow(index);
    fixedRows_ = std::min(fixedRows_, Rows());
    table_->SetFixed(fixedRows_, fixedCols_);
    updating_ = false;
    row_ = std::min(row_, Rows() - 1);
    rowSel_ = std::min(rowSel_, Rows() - 1);
    showCurrent();
}

void MSFlexGrid::Clear() {
    for (auto& r : cells_)
        for (auto& c : r) c.clear();
    showAll();
}

void MSFlexGrid::setRowCol(int32_t row, int32_t col, bool byUser) {
    (void)byUser;
    if (row == row_ && col == col_) return;
    // Moving the current cell collapses the selection onto it along the axis that moved.
    if (row != row_) rowSel_ = row;
    if (col != col_) colSel_ = col;
    row_ = row;
    col_ = col;
    showCurrent();
    // Only the heading rows: no current cell to report.
    if (Rows() <= fixedRows_) return;
    if (EnterCell) detail::Fire("EnterCell", EnterCell);
    if (RowColChange) detail::Fire("RowColChange", RowColChange);
    if (SelChange) detail::Fire("SelChange", SelChange);
}

void MSFlexGrid::setSelection(int32_t rowSel, int32_t colSel) {
    if (rowSel == rowSel_ && colSel == colSel_) return;
    rowSel_ = rowSel;
    colSel_ = colSel;
    showCurrent();
    if (SelChange) detail::Fire("SelChange", SelChange);
}

void MSFlexGrid::resize(int32_t rows, int32_t cols) {
    const int32_t oldRows = int32_t(cells_.size()), oldCols = cols_;
    const int32_t oldFixedRows = fixedRows_, oldFixedCols = fixedCols_;
    cols_ = cols;
    cells_.resize(size_t(rows));
    for (auto& r : cells_) r.resize(size_t(cols));
    colWidth_.resize(size_t(cols), -1);
    colAlign_.resize(size_t(cols), flexAlignGeneral);
    fixedRows_ = std::min(fixedRows_, rows);
    fixedCols_ = std::min(fixedCols_, cols);
    // Moving the current cell into range raises nothing.
    row_ = std::clamp(row_, 0, std::max(rows - 1, 0));
    col_ = std::clamp(col_, 0, std::max(cols - 1, 0));
    rowSel_ = std::clamp(rowSel_, 0, std::max(rows - 1, 0));
    colSel_ = std::clamp(colSel_, 0, std::max(cols - 1, 0));
    updating_ = true;
    if (rows > oldRows) {
        table_->RowsAppended(oldRows, rows - oldRows);
    } else if (rows < oldRows) {
        table_->RowsMoved();
    }
    table_->setRowCount(rows);
    table_->setColumnCount(cols);
    table_->SetFixed(fixedRows_, fixedCols_);
    updating_ = false;
    if (fixedRows_ != oldFixedRows || fixedCols_ != oldFixedCols) {
        showAll();
        return;
    }
    // Only the new cells need showing: a grid that grows by a row per line (a log) stays fast
    // however many rows it holds.
    updating_ = true;
    for (int32_t r = 0; r < rows; ++r)
        for (int32_t c = r < oldRows ? oldCols : 0; c < cols; ++c) showCell(r, c);
    updating_ = false;
    showCurrent();
}

void MSFlexGrid::showCell(int32_t r, int32_t c) {
    QTableWidgetItem* it = table_->item(r, c);
    if (!it) {
        it = new QTableWidgetItem();
        table_->setItem(r, c, it);
    }
    table_->CellWritten(r);
    it->setText(ToQ(cells_[size_t(r)][size_t(c)]));
    bool fixed = r < fixedRows_ || c < fixedCols_;
    // Heading cells have colours of their own, the button face's grey and black text, whatever the
    // grid's state: a disabled grid's text colour (a light grey on white) would vanish on the grey.
    it->setBackground(fixed ? QBrush(QColor(0xC0, 0xC0, 0xC0)) : QBrush());
    it->setForeground(fixed ? QBrush(Qt::black) : QBrush());
    it->setFlags(fixed ? Qt::ItemIsEnabled : Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    int32_t a = fixed ? flexAlignLeftCenter : colAlign_[size_t(c)];
    it->setTextAlignment(qtAlignment(a));
}

void MSFlexGrid::showAll() {
    updating_ = true;
    for (int32_t r = 0; r < Rows(); ++r)
        for (int32_t c = 0; c < Cols(); ++c) showCell(r, c);
    updating_ = false;
    showCurrent();
}

void MSFlexGrid::showCurrent() {
    if (Rows() == 0 || Cols() == 0) return;
    const int r0 = std::min(row_, rowSel_), r1 = std::max(row_, rowSel_);
    const int c0 = std::min(col_, colSel_), c1 = std::max(col_, colSel_);
    // Selecting what is already selected would still repaint it (rows are added below a current
    // row a row at a time).
    const QList<QTableWidgetSelectionRange> now = table_->selectedRanges();
    const bool same = table_->currentRow() == row_ && table_->currentColumn() == col_ &&
                      (row_ >= fixedRows_ ? now.size() == 1 && now[0].topRow() == r0 && now[0].bottomRow() == r1 &&
                                                now[0].leftColumn() == c0 && now[0].rightColumn() == c1
                                          : now.isEmpty());
    if (same) return;
    updating_ = true;
    table_->setCurrentCell(row_, col_, QItemSelectionModel::NoUpdate);
    table_->clearSelection();
    if (row_ >= fixedRows_) table_->setRangeSelected(QTableWidgetSelectionRange(r0, c0, r1, c1), true);
    updating_ = false;
}

}  // namespace forms

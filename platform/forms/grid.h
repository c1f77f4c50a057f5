// The grid: rows and columns of texts with fixed (heading) rows and columns at the top and left.
// The fixed rows and columns never scroll: the fixed rows stay at the top however far the rows
// below them are scrolled, the fixed columns stay at the left. Without a horizontal scroll bar
// the grid never scrolls sideways (a click on a wide column leaves the columns where they are).
//
// Setting Row or Col in code raises RowColChange and then SelChange at once (re-entrantly, from
// inside the assignment), as a user's click does; setting a value the grid already has raises
// nothing, and while the grid holds only its fixed rows no RowColChange is raised. Cutting Rows
// back moves Row into range without raising events.
#pragma once

#include "forms/control.h"

namespace forms {

class GridTable;

// Cell alignments.
enum : int32_t {
    flexAlignLeftTop = 0,
    flexAlignLeftCenter = 1,
    flexAlignLeftBottom = 2,
    flexAlignCenterTop = 3,
    flexAlignCenterCenter = 4,
    flexAlignCenterBottom = 5,
    flexAlignRightTop = 6,
    flexAlignRightCenter = 7,
    flexAlignRightBottom = 8,
    flexAlignGeneral = 9,
};
// Selection modes.
enum : int32_t { flexSelectionFree = 0, flexSelectionByRow = 1, flexSelectionByColumn = 2 };

class MSFlexGrid : public Control {
public:
    MSFlexGrid(Container* container, std::string name, int32_t index = -1);
    std::string TypeName() const override { return "MSFlexGrid"; }

    Property<int32_t> Rows;
    Property<int32_t> Cols;
    Property<int32_t> FixedRows;
    Property<int32_t> FixedCols;
    Property<int32_t> Row;
    Property<int32_t> Col;
    Property<int32_t> RowSel;
    Property<int32_t> ColSel;
    Property<int32_t> TopRow;
    Property<int32_t> SelectionMode;
    Property<int32_t> ScrollBars;  // 0 none, 1 horizontal, 2 vertical, 3 both
    Property<std::string> Text;    // the current cell
    IndexedRef<std::string> TextMatrix(int32_t row, int32_t col);
    IndexedRef<double> ColWidth(int32_t col);  // twips
    // The width (twips) that shows every text of a column whole, the fixed rows' included: its
    // widest text in the grid's font, with the room a cell keeps around its text. With a row,
    // only that row's text counts.
    double ColTextWidth(int32_t col, int32_t row = -1);
    IndexedRef<int32_t> ColAlignment(int32_t col);
    // Where a cell shows now, in pixels of the grid's own widget, less its grid lines; empty when
    // it is out of view. For drawing code and tests.
    PixelRect CellRect(int32_t row, int32_t col) const;

    // Adds a row whose cells are the tab-separated parts of `item`, at `index` (-1: at the end).
    void AddItem(const std::string& item, int32_t index = -1);
    // Removes a row; the last row that is not fixed cannot be removed (error 30015).
    void RemoveItem(int32_t index);
    // Empties every cell.
    void Clear();

    std::function<void()> RowColChange;
    std::function<void()> SelChange;
    std::function<void()> EnterCell;
    std::function<void()> Click;
    std::function<void()> DblClick;

private:
    void setRowCol(int32_t row, int32_t col, bool byUser);
    void setSelection(int32_t rowSel, int32_t colSel);
    void resize(int32_t rows, int32_t cols);
    void showAll();
    void showCell(int32_t r, int32_t c);
    void showCurrent();
    GridTable* table_;
    std::vector<std::vector<std::string>> cells_;
    int32_t cols_ = 0;  // kept apart from the cells: a grid without rows still has its columns
    std::vector<double> colWidth_;
    std::vector<int32_t> colAlign_;
    int32_t fixedRows_ = 1, fixedCols_ = 1;
    int32_t row_ = 1, col_ = 1, rowSel_ = 1, colSel_ = 1;
    int32_t selectionMode_ = flexSelectionFree;
    int32_t scrollBars_ = 3;
    bool updating_ = false;
};

}  // namespace forms

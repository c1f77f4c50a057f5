// The tree view and the list view (report view).
#pragma once

#include "forms/control.h"

#include <memory>
#include <vector>

class QTreeWidget;
class QTreeWidgetItem;

namespace forms {

// Where a new tree node goes relative to its relative.
enum : int32_t { tvwFirst = 0, tvwLast = 1, tvwNext = 2, tvwPrevious = 3, tvwChild = 4 };

class TreeView;

class Node {
public:
    Property<std::string> Text;
    Property<bool> Expanded;
    const std::string& Key() const { return key_; }
    // Position in the tree's Nodes collection, from 1, in the order the nodes were added.
    int32_t Index() const { return index_; }
    Node* Parent() const { return parent_; }
    int32_t Children() const;

private:
    friend class NodeCollection;
    friend class TreeView;
    Node(TreeView* tree, std::string key, const std::string& text);
    TreeView* tree_;
    std::string key_;
    int32_t index_ = 0;
    Node* parent_ = nullptr;
    QTreeWidgetItem* item_ = nullptr;
};

class NodeCollection {
public:
    explicit NodeCollection(TreeView* tree) : tree_(tree) {}
    // Adds a node beside or under the node with key `relative` ("" for a top-level node). An
    // unknown relative raises 35601, a key already in use raises 35602.
    Node& Add(const std::string& relative = "", int32_t relationship = tvwLast, const std::string& key = "",
              const std::string& text = "");
    void Clear();
    int32_t Count() const { return int32_t(nodes_.size()); }
    // From 1; raises 35600 out of range.
    Node& Item(int32_t index) const;
    Node& operator()(int32_t index) const { return Item(index); }
    // By key; raises 35601 when none has it.
    Node& Item(const std::string& key) const;

private:
    Node* find(const std::string& key) const;
    TreeView* tree_;
    std::vector<std::unique_ptr<Node>> nodes_;
};

class TreeView : public Control {
public:
    TreeView(Container* container, std::string name, int32_t index = -1);
    std::string TypeName() const override { return "TreeView"; }
    NodeCollection Nodes{this};
    Property<std::string> FontName;
    Property<double> FontSize;
    Node* SelectedItem() const;
    std::function<void(Node& node)> NodeClick;
    QTreeWidget* Tree() const { return tree_; }

private:
    QTreeWidget* tree_;
};

// ---------------------------------------------------------------------------- column widths

// Widths for columns that share `usable` twips: each takes its share but never less than it
// needs (`needs`, in twips); what the columns then take beyond `usable` comes back from the room
// the other columns have beyond their needs, in proportion to that room. The shares are rounded
// to whole twips, the results are not.
std::vector<double> ShareColumnWidths(const std::vector<double>& shares, const std::vector<double>& needs,
                                      double usable);

// ------------------------------------------------------------------------------- list view

class ListView;

// Column alignments.
enum : int32_t { lvwColumnLeft = 0, lvwColumnRight = 1, lvwColumnCenter = 2 };
// Sort orders.
enum : int32_t { lvwAscending = 0, lvwDescending = 1 };

struct ColumnHeader {
    std::string Text;
    double Width = 1440;  // twips
    int32_t Alignment = lvwColumnLeft;
    int32_t Index = 0;    // from 1
};

class ColumnHeaderCollection {
public:
    explicit ColumnHeaderCollection(ListView* view) : view_(view) {}
    ColumnHeader& Add(const std::string& text, double widthTwips = 1440, int32_t alignment = lvwColumnLeft);
    void Clear();
    int32_t Count() const { return int32_t(columns_.size()); }
    ColumnHeader& Item(int32_t index) const;  // from 1

private:
    ListView* view_;
    std::vector<std::unique_ptr<ColumnHeader>> columns_;
};

class ListItem {
public:
    Property<std::string> Text;
    // Sub-item texts from 1 (the second column on).
    IndexedRef<std::string> SubItems(int32_t index);
    std::string Key;
    std::string Tag;
    // Position in the list, from 1 (changes when the list sorts).
    int32_t Index() const;
    bool Selected() const;

private:
    friend class ListItemCollection;
    friend class ListView;
    explicit ListItem(ListView* view, const std::string& text);
    ListView* view_;
    std::string text_;
    std::vector<std::string> sub_;
};

class ListItemCollection {
public:
    explicit ListItemCollection(ListView* view) : view_(view) {}
    ListItem& Add(const std::string& text, const std::string& key = "");
    void Remove(int32_t index);
    void Clear();
    int32_t Count() const { return int32_t(items_.size()); }
    ListItem& Item(int32_t index) const;  // from 1
    ListItem& operator()(int32_t index) const { return Item(index); }

private:
    friend class ListView;
    friend class ListItem;
    ListView* view_;
    std::vector<std::unique_ptr<ListItem>> items_;
};

// A list in report view: one row per item, its text and sub-items in columns. Sorting is the
// program's: by the text of column SortKey (0: the item text), without regard to case.
class ListView : public Control {
public:
    ListView(Container* container, std::string name, int32_t index = -1);
    std::string TypeName() const override { return "ListView"; }
    ColumnHeaderCollection ColumnHeaders{this};
    ListItemCollection ListItems{this};
    Property<bool> Sorted;
    Property<int32_t> SortKey;
    Property<int32_t> SortOrder;
    // The width in twips that column `index` (from 1) needs to show its heading and every text
    // of its items whole, as the style draws them.
    double ColumnTextWidth(int32_t index) const;
    // Gives column `index` (from 1) a width in twips.
    void SetColumnWidth(int32_t index, double twips);
    // The width in twips that the columns can take without a horizontal scroll bar, with room
    // kept for a vertical one (so the columns stay as they are when the list grows past its
    // height).
    double ColumnsRoom() const;
    // The selected item (nullptr when none); assigning selects it.
    ListItem* SelectedItem() const;
    void SetSelectedItem(ListItem* item);
    std::function<void(ListItem& item)> ItemClick;
    std::function<void()> DblClick;
    std::function<void(ColumnHeader& column)> ColumnClick;

    // Window-layer plumbing.
    void Rebuild();
    void ShowRow(const ListItem& item);

private:
    void sort();
    // Shows an item in the given row (from 0), which rebuilding knows without a search.
    void showRowAt(const ListItem& item, int rowIndex);
    QTreeWidget* tree_;
    bool sorted_ = false;
    int32_t sortKey_ = 0;
    int32_t sortOrder_ = lvwAscending;
    bool updating_ = false;
    bool mouseDown_ = false;  // a mouse button is down on the list
};

}  // namespace forms

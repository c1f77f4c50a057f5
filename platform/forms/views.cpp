#include "forms/views.h"
#include "forms/internal.h"

#include "vbrt/convert.h"
#include "vbrt/error.h"

#include <QFontMetricsF>
#include <QHeaderView>
#include <QScrollBar>
#include <QStyle>
#include <QMouseEvent>
#include <QTreeWidget>
#include <algorithm>
#include <cmath>

namespace forms {

using detail::FromQ;
using detail::ToQ;

namespace {
std::string lower(std::string s) {
    for (auto& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}
// Tells whether a mouse button is down on a view, so a selection the mouse moves waits for
// the click that follows.
class MouseTap : public QObject {
public:
    MouseTap(QObject* parent, bool* down) : QObject(parent), down_(down) {}
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::MouseButtonPress || e->type() == QEvent::MouseButtonDblClick) *down_ = true;
        // The view reports the click while it handles the release; the flag clears after that.
        if (e->type() == QEvent::MouseButtonRelease) {
            bool* down = down_;
            QMetaObject::invokeMethod(this, [down] { *down = false; }, Qt::QueuedConnection);
        }
        return false;
    }

private:
    bool* down_;
};

}  // namespace

// ------------------------------------------------------------------------------------ Node

Node::Node(TreeView* tree, std::string key, const std::string& text)
    : Text([this] { return FromQ(item_->text(0)); }, [this](const std::string& t) { item_->setText(0, ToQ(t)); }),
      Expanded([this] { return item_->isExpanded(); }, [this](const bool& e) { item_->setExpanded(e); }),
      tree_(tree),
      key_(std::move(key)),
      item_(new QTreeWidgetItem(QStringList{ToQ(text)})) {}

int32_t Node::Children() const { return item_->childCount(); }

Node* NodeCollection::find(const std::string& key) const {
    for (auto& n : nodes_)
        if (n->key_ == key) return n.get();
    return nullptr;
}

Node& NodeCollection::Add(const std::string& relative, int32_t relationship, const std::string& key,
                          const std::string& text) {
    Node* rel = nullptr;
    if (!relative.empty()) {
        rel = find(relative);
        if (!rel) vb::Raise(35601, "TreeView", "Element not found");
    }
    if (!key.empty() && find(key)) vb::Raise(35602, "TreeView", "Key is not unique in collection");
    if (relationship < tvwFirst || relationship > tvwChild) vb::Raise(5, "TreeView");

    auto node = std::unique_ptr<Node>(new Node(tree_, key, text));
    QTreeWidget* w = tree_->Tree();
    QTreeWidgetItem* item = node->item_;
    if (!rel) {
        if (relationship == tvwFirst) w->insertTopLevelItem(0, item);
        else w->addTopLevelItem(item);
    } else if (relationship == tvwChild) {
        rel->item_->addChild(item);
        node->parent_ = rel;
    } else {
        // A sibling of the relative.
        QTreeWidgetItem* parentItem = rel->item_->parent();
        node->parent_ = rel->parent_;
        int at = parentItem ? parentItem->indexOfChild(rel->item_) : w->indexOfTopLevelItem(rel->item_);
        int count = parentItem ? parentItem->childCount() : w->topLevelItemCount();
        int pos = relationship == tvwFirst ? 0 : relationship == tvwLast ? count : relationship == tvwNext ? at + 1 : at;
        if (parentItem) parentItem->insertChild(pos, item);
        else w->insertTopLevelItem(pos, item);
    }
    node->index_ = int32_t(nodes_.size()) + 1;
    nodes_.push_back(std::move(node));
    return *nodes_.back();
}

void NodeCollection::Clear() {
    tree_->Tree()->clear();  // deletes the items
    nodes_.clear();
}

Node& NodeCollection::Item(int32_t index) const {
    if (index < 1 || index > Count()) vb::Raise(35600, "TreeView", "Index out of bounds");
    return *nodes_[size_t(index - 1)];
}

Node& NodeCollection::Item(const std::string& key) const {
    Node* n = find(key);
    if (!n || key.empty()) vb::Raise(35601, "TreeView", "Element not found");
    return *n;
}

TreeView::TreeView(Container* container, std::string name, int32_t index)
    : Control(container, std::move(name), index),
      FontName([this] { return detail::FontName(tree_); }, [this](const std::string& n) { detail::SetFontName(tree_, n); }),
      FontSize([this] { return detail::FontSize(tree_); }, [this](const double& s) { detail::SetFontSize(tree_, s); }) {
    tree_ = new QTreeWidget(container->ContainerWidget());
    tree_->setHeaderHidden(true);
    tree_->setColumnCount(1);
    QObject::connect(tree_, &QTreeWidget::itemClicked, [this](QTreeWidgetItem*, int) {
        if (Node* n = SelectedItem(); n && NodeClick) detail::Fire("NodeClick", [&] { NodeClick(*n); });
    });
    SetWidget(tree_);
}

Node* TreeView::SelectedItem() const {
    QTreeWidgetItem* cur = tree_->currentItem();
    if (!cur) return nullptr;
    for (int32_t i = 1; i <= Nodes.Count(); ++i)
        if (Nodes.Item(i).item_ == cur) return &Nodes.Item(i);
    return nullptr;
}

// ---------------------------------------------------------------------------- column headers

ColumnHeader& ColumnHeaderCollection::Add(const std::string& text, double widthTwips, int32_t alignment) {
    auto c = std::make_unique<ColumnHeader>();
    c->Text = text;
    c->Width = widthTwips;
    c->Alignment = alignment;
    c->Index = int32_t(columns_.size()) + 1;
    columns_.push_back(std::move(c));
    view_->Rebuild();
    return *columns_.back();
}

void ColumnHeaderCollection::Clear() {
    columns_.clear();
    view_->Rebuild();
}

ColumnHeader& ColumnHeaderCollection::Item(int32_t index) const {
    if (index < 1 || index > Count()) vb::Raise(35600, "ListView", "Index out of bounds");
    return *columns_[size_t(index - 1)];
}

// ----------------------------------------------------------------------------- column widths

std::vector<double> ShareColumnWidths(const std::vector<double>& shares, const std::vector<double>& needs,
                                      double usable) {
    const size_t n = std::min(shares.size(), needs.size());
    std::vector<double> width(n);
    double total = 0, room = 0;
    for (size_t c = 0; c < n; ++c) {
        width[c] = std::max(vb::RoundHalfEven(usable * shares[c]), needs[c]);
        total += width[c];
        room += width[c] - needs[c];
    }
    const double over = total - usable;
    if (over > 0 && room > 0)
        for (size_t c = 0; c < n; ++c) width[c] -= (width[c] - needs[c]) * std::min(over, room) / room;
    return width;
}

// -------------------------------------------------------------------------------- list items

ListItem::ListItem(ListView* view, const std::string& text)
    : Text([this] { return text_; },
           [this](const std::string& t) {
               text_ = t;
               view_->ShowRow(*this);
           }),
      view_(view),
      text_(text) {}

IndexedRef<std::string> ListItem::SubItems(int32_t index) {
    return {[this, index] {
                if (index < 1) vb::Raise(380, "ListView", "Invalid property value");
                return size_t(index) <= sub_.size() ? sub_[size_t(index - 1)] : std::string();
            },
            [this, index](const std::string& t) {
                if (index < 1 || index >= std::max(view_->ColumnHeaders.Count(), 1))
                    vb::Raise(380, "ListView", "Invalid property value");
                if (sub_.size() < size_t(index)) sub_.resize(size_t(index));
                sub_[size_t(index - 1)] = t;
                view_->ShowRow(*this);
            }};
}

int32_t ListItem::Index() const {
    auto& items = view_->ListItems.items_;
    for (size_t i = 0; i < items.size(); ++i)
        if (items[i].get() == this) return int32_t(i) + 1;
    return 0;
}

bool ListItem::Selected() const { return view_->SelectedItem() == this; }

ListItem& ListItemCollection::Add(const std::string& text, const std::string& key) {
    if (!key.empty())
        for (auto& i : items_)
            if (i->Key == key) vb::Raise(35602, "ListView", "Key is not unique in collection");
    items_.push_back(std::unique_ptr<ListItem>(new ListItem(view_, text)));
    items_.back()->Key = key;
    ListItem& added = *items_.back();
    view_->Rebuild();
    return added;
}

void ListItemCollection::Remove(int32_t index) {
    if (index < 1 || index > Count()) vb::Raise(35600, "ListView", "Index out of bounds");
    items_.erase(items_.begin() + (index - 1));
    view_->Rebuild();
}

void ListItemCollection::Clear() {
    items_.clear();
    view_->Rebuild();
}

ListItem& ListItemCollection::Item(int32_t index) const {
    if (index < 1 || index > Count()) vb::Raise(35600, "ListView", "Index out of bounds");
    return *items_[size_t(index - 1)];
}

// --------------------------------------------------------------------------------- ListView

ListView::ListView(Container* container, std::string name, int32_t index)
    : Control(container, std::move(name), index),
      Sorted([this] { return sorted_; },
             [this](const bool& s) {
                 sorted_ = s;
                 Rebuild();
             }),
      SortKey([this] { return sortKey_; },
              [this](const int32_t& k) {
                  if (k < 0) vb::Raise(380, "ListView", "Invalid property value");
                  sortKey_ = k;
                  Rebuild();
              }),
      SortOrder([this] { return sortOrder_; },
                [this](const int32_t& o) {
                    sortOrder_ = o == lvwDescending ? lvwDescending : lvwAscending;
                    Rebuild();
                }) {
    tree_ = new QTreeWidget(container->ContainerWidget());
    tree_->setRootIsDecorated(false);
    tree_->setSortingEnabled(false);
    tree_->setSelectionBehavior(QAbstractItemView::SelectRows);
    tree_->setSelectionMode(QAbstractItemView::SingleSelection);
    // ItemClick follows every click on an item (also on the selected one) and every move of
    // the selection by keyboard; a click reports once, when the button is released.
    auto itemClick = [this](QTreeWidgetItem* cur) {
        if (updating_ || !cur || !ItemClick) return;
        int row = tree_->indexOfTopLevelItem(cur);
        if (row >= 0 && row < ListItems.Count())
            detail::Fire("ItemClick", [&] { ItemClick(ListItems.Item(row + 1)); });
    };
    QObject::connect(tree_, &QTreeWidget::currentItemChanged, [this, itemClick](QTreeWidgetItem* cur, QTreeWidgetItem*) {
        if (!mouseDown_) itemClick(cur);
    });
    tree_->viewport()->installEventFilter(new MouseTap(tree_->viewport(), &mouseDown_));
    QObject::connect(tree_, &QTreeWidget::itemClicked, [itemClick](QTreeWidgetItem* item, int) { itemClick(item); });
    QObject::connect(tree_, &QTreeWidget::itemDoubleClicked, [this](QTreeWidgetItem*, int) {
        if (DblClick) detail::Fire("DblClick", DblClick);
    });
    QObject::connect(tree_->header(), &QHeaderView::sectionClicked, [this](int section) {
        if (ColumnClick && section < ColumnHeaders.Count())
            detail::Fire("ColumnClick", [&] { ColumnClick(ColumnHeaders.Item(section + 1)); });
    });
    SetWidget(tree_);
}

void ListView::sort() {
    if (!sorted_) return;
    auto keyOf = [this](const ListItem& i) {
        if (sortKey_ == 0) return lower(i.text_);
        return size_t(sortKey_) <= i.sub_.size() ? lower(i.sub_[size_t(sortKey_ - 1)]) : std::string();
    };
    auto& items = ListItems.items_;
    std::stable_sort(items.begin(), items.end(), [&](const auto& a, const auto& b) {
        return sortOrder_ == lvwAscending ? keyOf(*a) < keyOf(*b) : keyOf(*b) < keyOf(*a);
    });
}

double ListView::ColumnTextWidth(int32_t index) const {
    if (index < 1 || index > ColumnHeaders.Count()) vb::Raise(35600, "ListView", "Index out of bounds");
    const int c = index - 1;
    // The heading with the header's margins; an item's text with the view's focus margin and a
    // pixel on each side, as the style lays a cell out. Texts are laid out in fractions of a
    // pixel, and one that is a fraction wider than its room is cut: widths round up.
    double widest = tree_->header()->sectionSizeHint(c);
    const QFontMetricsF metrics(tree_->font());
    const int margins = 2 * (tree_->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, tree_) + 1);
    for (int r = 0; r < tree_->topLevelItemCount(); ++r)
        widest = std::max(widest, std::ceil(metrics.horizontalAdvance(tree_->topLevelItem(r)->text(c))) + margins);
    return widest * Tpx();
}

void ListView::SetColumnWidth(int32_t index, double twips) {
    ColumnHeaders.Item(index).Width = twips;
    tree_->setColumnWidth(index - 1, int(std::lround(twips / Tpx())));
}

double ListView::ColumnsRoom() const {
    // The widget's inside, computed from its size: the view's own viewport is sized only once the
    // window shows.
    const int scrollBar = tree_->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, tree_->verticalScrollBar());
    return std::max(0, tree_->width() - 2 * tree_->frameWidth() - scrollBar) * Tpx();
}

ListItem* ListView::SelectedItem() const {
    QTreeWidgetItem* cur = tree_->currentItem();
    if (!cur || !cur->isSelected()) return nullptr;
    int row = tree_->indexOfTopLevelItem(cur);
    return row >= 0 && row < ListItems.Count() ? &ListItems.Item(row + 1) : nullptr;
}

void ListView::SetSelectedItem(ListItem* item) {
    updating_ = true;
    if (!item) {
        tree_->setCurrentItem(nullptr);
        tree_->clearSelection();
    } else {
        tree_->setCurrentItem(tree_->topLevelItem(item->Index() - 1));
    }
    updating_ = false;
}

void ListView::Rebuild() {
    ListItem* selected = SelectedItem();
    sort();
    updating_ = true;
    int cols = std::max(ColumnHeaders.Count(), 1);
    tree_->setColumnCount(cols);
    QStringList labels;
    for (int32_t c = 1; c <= ColumnHeaders.Count(); ++c) {
        const ColumnHeader& h = ColumnHeaders.Item(c);
        labels << ToQ(h.Text);
        tree_->setColumnWidth(c - 1, int(std::lround(h.Width / Tpx())));
    }
    tree_->setHeaderLabels(labels);
    tree_->clear();
    for (size_t i = 0; i < ListItems.items_.size(); ++i) new QTreeWidgetItem(tree_);
    for (size_t i = 0; i < ListItems.items_.size(); ++i) showRowAt(*ListItems.items_[i], int(i));
    if (selected) tree_->setCurrentItem(tree_->topLevelItem(selected->Index() - 1));
    updating_ = false;
}

void ListView::ShowRow(const ListItem& item) { showRowAt(item, item.Index() - 1); }

void ListView::showRowAt(const ListItem& item, int rowIndex) {
    QTreeWidgetItem* row = tree_->topLevelItem(rowIndex);
    if (!row) return;
    row->setText(0, ToQ(item.text_));
    for (int32_t c = 1; c < tree_->columnCount(); ++c) {
        row->setText(c, size_t(c) <= item.sub_.size() ? ToQ(item.sub_[size_t(c - 1)]) : QString());
        if (c <= ColumnHeaders.Count() - 1) {
            int32_t a = ColumnHeaders.Item(c + 1).Alignment;
            row->setTextAlignment(c, a == lvwColumnRight ? Qt::AlignRight : a == lvwColumnCenter ? Qt::AlignHCenter
                                                                                                   : Qt::AlignLeft);
        }
    }
}

}  // namespace forms

#include "forms/list_controls.h"
#include "forms/internal.h"

#include "vbrt/error.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <cctype>

namespace forms {

using detail::FireIfSet;
using detail::FromQ;
using detail::RaiseInvalidValue;
using detail::ToQ;

// --------------------------------------------------------------------------------- ItemList

namespace {

void checkIndex(int32_t index, size_t count) {
    if (index < 0 || size_t(index) >= count) RaiseInvalidValue();
}

// Where a sorted list puts a new item: after the equal ones, without regard to case.
int32_t sortedPosition(const std::vector<std::string>& items, const std::string& item) {
    auto lower = [](std::string s) {
        for (auto& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
        return s;
    };
    std::string key = lower(item);
    int32_t at = 0;
    while (size_t(at) < items.size() && lower(items[size_t(at)]) <= key) ++at;
    return at;
}

}  // namespace

void ItemList::AddItem(const std::string& item, int32_t index) {
    if (index < -1 || index > int32_t(items_.size())) vb::Raise(5, "forms");
    // A sorted list puts an item without a position at its place in the order.
    int32_t at = index != -1 ? index : sorted_ ? sortedPosition(items_, item) : int32_t(items_.size());
    items_.insert(items_.begin() + at, item);
    data_.insert(data_.begin() + at, 0);
    newIndex_ = at;
    insertRow(at, item);
    afterChange();
}

void ItemList::RemoveItem(int32_t index) {
    if (index < 0 || index >= int32_t(items_.size())) vb::Raise(5, "forms");
    items_.erase(items_.begin() + index);
    data_.erase(data_.begin() + index);
    newIndex_ = -1;
    removeRow(index);
    afterChange();
}

void ItemList::Clear() {
    items_.clear();
    data_.clear();
    newIndex_ = -1;
    clearRows();
    afterChange();
}

int32_t ItemList::ListCount() const { return int32_t(items_.size()); }

IndexedRef<std::string> ItemList::List(int32_t index) {
    return {[this, index] {
                return index >= 0 && size_t(index) < items_.size() ? items_[size_t(index)] : std::string();
            },
            [this, index](const std::string& t) {
                checkIndex(index, items_.size());
                items_[size_t(index)] = t;
                setRowText(index, t);
            }};
}

IndexedRef<int32_t> ItemList::ItemData(int32_t index) {
    return {[this, index] {
                checkIndex(index, data_.size());
                return data_[size_t(index)];
            },
            [this, index](const int32_t& v) {
                checkIndex(index, data_.size());
                data_[size_t(index)] = v;
            }};
}

// --------------------------------------------------------------------------------- ComboBox


ComboBox::ComboBox(Container* container, std::string name, int32_t style, int32_t index)
    : Control(container, std::move(name), index),
      ListIndex([this] { return combo_->currentIndex(); },
                [this](const int32_t& i) {
                    if (i < -1 || i >= ListCount()) RaiseInvalidValue();
                    updating_ = true;
                    combo_->setCurrentIndex(i);
                    if (i == -1 && combo_->isEditable()) combo_->setEditText(QString());
                    updating_ = false;
                    FireIfSet("Click", Click);
                }),
      Text([this] { return FromQ(combo_->currentText()); },
           [this](const std::string& t) {
               if (combo_->isEditable()) {
                   // A new text in the edit field raises Change, whether typed or set here.
                   if (FromQ(combo_->currentText()) == t) return;
                   combo_->setEditText(ToQ(t));
                   FireIfSet("Change", Change);
                   return;
               }
               int found = combo_->findText(ToQ(t), Qt::MatchFixedString);
               if (found < 0) RaiseReadOnly("Text");
               ListIndex = found;
           }),
      Sorted([this] { return sorted_; }, [this](const bool& s) { sorted_ = s; }) {
    combo_ = new QComboBox(container->ContainerWidget());
    combo_->setEditable(style != DropdownList);
    combo_->setInsertPolicy(QComboBox::NoInsert);
    QObject::connect(combo_, QOverload<int>::of(&QComboBox::activated), [this](int) {
        if (!updating_) FireIfSet("Click", Click);
    });
    if (combo_->lineEdit())
        QObject::connect(combo_->lineEdit(), &QLineEdit::textEdited, [this](const QString&) { FireIfSet("Change", Change); });
    SetWidget(combo_);
}

void ComboBox::insertRow(int32_t index, const std::string& text) {
    updating_ = true;
    combo_->insertItem(index, ToQ(text));
    if (combo_->count() == 1 && combo_->isEditable()) combo_->setCurrentIndex(-1);
    updating_ = false;
}

void ComboBox::removeRow(int32_t index) {
    updating_ = true;
    combo_->removeItem(index);
    updating_ = false;
}

void ComboBox::clearRows() {
    updating_ = true;
    combo_->clear();
    updating_ = false;
}

void ComboBox::setRowText(int32_t index, const std::string& text) { combo_->setItemText(index, ToQ(text)); }

// ---------------------------------------------------------------------------------- ListBox

ListBox::ListBox(Container* container, std::string name, int32_t index)
    : Control(container, std::move(name), index),
      ListIndex([this] { return list_->currentRow(); },
                [this](const int32_t& i) {
                    if (i < -1 || i >= ListCount()) RaiseInvalidValue();
                    if (i == list_->currentRow()) return;
                    updating_ = true;
                    list_->setCurrentRow(i);
                    if (i == -1) list_->clearSelection();
                    updating_ = false;
                    FireIfSet("Click", Click);
                }),
      Text([this] {
               int r = list_->currentRow();
               return r >= 0 ? items_[size_t(r)] : std::string();
           },
           [](const std::string&) { RaiseReadOnly("Text"); }),
      TopIndex(
          [this] {
              QListWidgetItem* it = list_->itemAt(0, 0);
              return it ? list_->row(it) : 0;
          },
          [this](const int32_t& i) {
              if (i >= 0 && i < ListCount()) list_->scrollToItem(list_->item(i), QAbstractItemView::PositionAtTop);
          }),
      Sorted([this] { return sorted_; }, [this](const bool& s) { sorted_ = s; }) {
    list_ = new QListWidget(container->ContainerWidget());
    QObject::connect(list_, &QListWidget::currentRowChanged, [this](int) {
        if (!updating_) FireIfSet("Click", Click);
    });
    QObject::connect(list_, &QListWidget::itemDoubleClicked, [this](QListWidgetItem*) { FireIfSet("DblClick", DblClick); });
    SetWidget(list_);
}

IndexedRef<bool> ListBox::Selected(int32_t index) {
    return {[this, index] {
                checkIndex(index, items_.size());
                return list_->item(index)->isSelected();
            },
            [this, index](const bool& s) {
                checkIndex(index, items_.size());
                if (s) ListIndex = index;
                else list_->item(index)->setSelected(false);
            }};
}

void ListBox::insertRow(int32_t index, const std::string& text) {
    updating_ = true;
    list_->insertItem(index, ToQ(text));
    updating_ = false;
}

void ListBox::removeRow(int32_t index) {
    updating_ = true;
    delete list_->takeItem(index);
    updating_ = false;
}

void ListBox::clearRows() {
    updating_ = true;
    list_->clear();
    updating_ = false;
}

void ListBox::setRowText(int32_t index, const std::string& text) { list_->item(index)->setText(ToQ(text)); }

}  // namespace forms

// Combo and list boxes and the item list they share.
#pragma once

#include "forms/control.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class QComboBox;
class QListWidget;

namespace forms {

// Items of combo and list boxes.
class ItemList {
public:
    virtual ~ItemList() = default;
    void AddItem(const std::string& item, int32_t index = -1);
    void RemoveItem(int32_t index);
    void Clear();
    int32_t ListCount() const;
    // Where the last AddItem put its item (-1 when none since the last removal).
    int32_t NewIndex() const { return newIndex_; }
    IndexedRef<std::string> List(int32_t index);
    IndexedRef<int32_t> ItemData(int32_t index);

protected:
    virtual void insertRow(int32_t index, const std::string& text) = 0;
    virtual void removeRow(int32_t index) = 0;
    virtual void clearRows() = 0;
    virtual void setRowText(int32_t index, const std::string& text) = 0;
    virtual void afterChange() {}
    std::vector<std::string> items_;
    std::vector<int32_t> data_;
    bool sorted_ = false;
    int32_t newIndex_ = -1;
};

class ComboBox : public Control, public ItemList {
public:
    enum Style : int32_t { DropdownCombo = 0, SimpleCombo = 1, DropdownList = 2 };
    ComboBox(Container* container, std::string name, int32_t style = DropdownCombo, int32_t index = -1);
    std::string TypeName() const override { return "ComboBox"; }
    Property<int32_t> ListIndex;  // -1: none; setting it raises Click
    Property<std::string> Text;
    Property<bool> Sorted;
    std::function<void()> Click;
    std::function<void()> Change;  // the edited text changed (typed, or Text set in code)

protected:
    bool HeightIsReadOnly() const override { return true; }
    void insertRow(int32_t index, const std::string& text) override;
    void removeRow(int32_t index) override;
    void clearRows() override;
    void setRowText(int32_t index, const std::string& text) override;

private:
    QComboBox* combo_;
    bool updating_ = false;
};

class ListBox : public Control, public ItemList {
public:
    ListBox(Container* container, std::string name, int32_t index = -1);
    std::string TypeName() const override { return "ListBox"; }
    Property<int32_t> ListIndex;
    Property<std::string> Text;  // the selected item
    Property<int32_t> TopIndex;
    Property<bool> Sorted;
    IndexedRef<bool> Selected(int32_t index);
    std::function<void()> Click;
    std::function<void()> DblClick;

protected:
    void insertRow(int32_t index, const std::string& text) override;
    void removeRow(int32_t index) override;
    void clearRows() override;
    void setRowText(int32_t index, const std::string& text) override;

private:
    QListWidget* list_;
    bool updating_ = false;
};

}  // namespace forms

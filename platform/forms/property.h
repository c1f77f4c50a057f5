// Properties that read and write like fields: `txtName.Text = "x"`, `if (chkAll.Value == 1)`.
//
// A property forwards to its control's getter and setter, so a write can reach the widget,
// raise the control's event or be refused (run-time error 383 for a property the control kind
// does not allow to change while the program runs).
#pragma once

#include <functional>
#include <string>
#include <type_traits>
#include <utility>

namespace forms {

template <class T>
class Property {
public:
    using Getter = std::function<T()>;
    using Setter = std::function<void(const T&)>;

    Property(Getter get, Setter set) : get_(std::move(get)), set_(std::move(set)) {}
    Property(const Property&) = delete;

    T operator()() const { return get_(); }
    T get() const { return get_(); }
    operator T() const { return get_(); }

    Property& operator=(const T& value) {
        set_(value);
        return *this;
    }
    // Copies the other property's value, as `a.Text = b.Text` does.
    Property& operator=(const Property& other) {
        set_(other.get_());
        return *this;
    }
    template <class U>
        requires(!std::is_same_v<std::decay_t<U>, T> && !std::is_same_v<std::decay_t<U>, Property> &&
                 std::is_constructible_v<T, U>)
    Property& operator=(U&& value) {
        set_(T(std::forward<U>(value)));
        return *this;
    }

    friend bool operator==(const Property& p, const T& value) { return p.get_() == value; }

private:
    Getter get_;
    Setter set_;
};

// A property read and written with an index: `grdStatus.TextMatrix(r, c) = "x"`.
template <class T>
class IndexedRef {
public:
    IndexedRef(std::function<T()> get, std::function<void(const T&)> set) : get_(std::move(get)), set_(std::move(set)) {}
    operator T() const { return get_(); }
    T operator()() const { return get_(); }
    const IndexedRef& operator=(const T& value) const {
        set_(value);
        return *this;
    }
    const IndexedRef& operator=(const IndexedRef& other) const {
        set_(other.get_());
        return *this;
    }
    friend bool operator==(const IndexedRef& p, const T& value) { return p.get_() == value; }

private:
    std::function<T()> get_;
    std::function<void(const T&)> set_;
};

}  // namespace forms

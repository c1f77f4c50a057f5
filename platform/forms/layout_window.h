// What a window offers the code that keeps it in shape: its name, state and rectangle, and the
// position and size of each of its controls. Kept free of any window system, so that code can
// be tested on plain stand-ins; the window layer's forms implement it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace forms {

// A rectangle in pixels, right and bottom exclusive (the first column and row outside).
struct PixelRect {
    int32_t left = 0;
    int32_t top = 0;
    int32_t right = 0;
    int32_t bottom = 0;
};

struct PixelPoint {
    int32_t x = 0;
    int32_t y = 0;
};

// Position and size in twips. A control counts from its container's client area, a window
// from the screen or, for a child of an MDI frame, from the frame's client area. A write the
// control kind does not allow while the program runs raises vb::Error 383; moving or sizing a
// minimised or maximised window raises 384.
class ILayoutGeometry {
public:
    virtual ~ILayoutGeometry() = default;
    virtual double LayoutTop() const = 0;
    virtual double LayoutLeft() const = 0;
    virtual double LayoutWidth() const = 0;
    virtual double LayoutHeight() const = 0;
    virtual void SetLayoutTop(double twips) = 0;
    virtual void SetLayoutLeft(double twips) = 0;
    virtual void SetLayoutWidth(double twips) = 0;
    virtual void SetLayoutHeight(double twips) = 0;
};

class ILayoutControl : public ILayoutGeometry {
public:
    // The control kind as the windows name it: "TextBox", "ComboBox", "MSFlexGrid" ...
    virtual std::string TypeName() const = 0;
    // The design name; the members of a control array share it.
    virtual std::string LayoutName() const = 0;
};

class ILayoutWindow : public ILayoutGeometry {
public:
    // The design name, the same for every window of one kind ("frmShell").
    virtual std::string LayoutName() const = 0;
    // The window's class: "Form", "MDIForm".
    virtual std::string TypeName() const = 0;
    // 0 normal, 1 minimised, 2 maximised.
    virtual int32_t LayoutWindowState() const = 0;
    // Every control, in the same order each time while none is added or removed.
    virtual std::vector<ILayoutControl*> LayoutControls() = 0;
    // The outer rectangle in screen pixels.
    virtual PixelRect WindowRectPx() const = 0;
    // The client area in pixels: {0, 0, width, height}.
    virtual PixelRect ClientRectPx() const = 0;
    // Where the coordinate origin of Top and Left lies on the screen, in pixels: the MDI
    // client area's corner for a child of an MDI frame, (0, 0) for a top-level window.
    virtual PixelPoint ParentOriginPx() const { return {}; }
};

}  // namespace forms

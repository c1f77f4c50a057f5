// The panel's icon in the desktop's notification area. The main window adds it at creation and
// removes it when it is destroyed; a left or right button press on it comes back as the mouse
// message the window's tray callback expects (WM_LBUTTONDOWN 0x201, WM_RBUTTONDOWN 0x204).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class QImage;

namespace dorvik {

inline constexpr uint32_t kWmLButtonDown = 0x201;
inline constexpr uint32_t kWmLButtonDblClk = 0x203;
inline constexpr uint32_t kWmRButtonDown = 0x204;

class TrayIcon {
public:
    virtual ~TrayIcon() = default;
    // Shows the icon with its tip; false when the desktop has no notification area.
    virtual bool Add(const QImage& icon, const std::string& tip, std::function<void(uint32_t mouseMessage)> onMouse) = 0;
    virtual void Remove() = 0;
};

// The desktop's notification area.
std::unique_ptr<TrayIcon> MakeSystemTrayIcon();

}  // namespace dorvik

#include "app/tray_icon.h"

#include <QIcon>
#include <QImage>
#include <QPixmap>
#include <QSystemTrayIcon>

namespace dorvik {

namespace {

class SystemTrayIcon final : public TrayIcon {
public:
    bool Add(const QImage& icon, const std::string& tip, std::function<void(uint32_t)> onMouse) override {
        if (!QSystemTrayIcon::isSystemTrayAvailable()) return false;
        icon_ = std::make_unique<QSystemTrayIcon>(QIcon(QPixmap::fromImage(icon)));
        icon_->setToolTip(QString::fromLatin1(tip.c_str()));
        QObject::connect(icon_.get(), &QSystemTrayIcon::activated, [onMouse](QSystemTrayIcon::ActivationReason r) {
            // A click is a left press, the context request a right one.
            if (r == QSystemTrayIcon::Trigger) onMouse(kWmLButtonDown);
            else if (r == QSystemTrayIcon::Context) onMouse(kWmRButtonDown);
            else if (r == QSystemTrayIcon::DoubleClick) onMouse(kWmLButtonDblClk);
        });
        icon_->show();
        return true;
    }
    void Remove() override { icon_.reset(); }

private:
    std::unique_ptr<QSystemTrayIcon> icon_;
};

}  // namespace

std::unique_ptr<TrayIcon> MakeSystemTrayIcon() { return std::make_unique<SystemTrayIcon>(); }

}  // namespace dorvik

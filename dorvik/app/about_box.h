// The About box: program version, the device's GUID and the dates of its application firmware
// and bootloader, from the device information read at attachment.
#pragma once

#include <QDialog>

#include "core/panel.h"

class QLineEdit;

namespace dorvik {

// Dialog ids of the three read-only fields and the button.
inline constexpr int kAboutGuidField = 1013;
inline constexpr int kAboutSoftwareField = 1014;
inline constexpr int kAboutBootloaderField = 1015;

class AboutBox : public QDialog {
public:
    AboutBox(const DeviceInfoRecord& info, QWidget* parent);
    // A field by its dialog id (the objectName is the id too).
    QLineEdit* Field(int id) const;

    // Enter and the OK button end the box with 1 (IDOK), Esc and the close box with 2 (IDCANCEL).
    void accept() override { done(1); }
    void reject() override { done(2); }
};

}  // namespace dorvik

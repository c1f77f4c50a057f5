// The text viewer the download window shows configuration data in: the program's own.
#include "firmware/text_view.h"

#include "windows/text_viewer.h"

namespace imagelift_firmware {

void ShowConfigText(const std::string& caption, const std::string& text) { frmConfig::Open(text, caption); }

}  // namespace imagelift_firmware

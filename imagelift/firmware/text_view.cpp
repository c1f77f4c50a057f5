// The text viewer the download window shows configuration data in.
#include "firmware/text_view.h"

#include "support/debug_log.h"

namespace imagelift_firmware {

namespace {
ConfigTextOpener& opener() {
    static ConfigTextOpener o;
    return o;
}
}  // namespace

void SetConfigTextOpener(ConfigTextOpener o) { opener() = std::move(o); }

void ShowConfigText(const std::string& caption, const std::string& text) {
    if (opener()) {
        opener()(caption, text);
        return;
    }
    basDebug::DebugLog("No text viewer is available to show \"" + caption + "\".", basDebug::WARNING,
                       std::string("frmSelectFirmware"));
}

}  // namespace imagelift_firmware

// Where the download window shows configuration data as text: the program's text viewer.
#pragma once

#include <functional>
#include <string>

namespace imagelift_firmware {

// Shows `text` in a text viewer captioned `caption` (not modal).
using ConfigTextOpener = std::function<void(const std::string& caption, const std::string& text)>;
void SetConfigTextOpener(ConfigTextOpener opener);
// Through the installed opener; without one the request is only logged.
void ShowConfigText(const std::string& caption, const std::string& text);

}  // namespace imagelift_firmware

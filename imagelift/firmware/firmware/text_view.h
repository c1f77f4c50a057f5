// Where the download window shows configuration data as text: the program's text viewer.
#pragma once

#include <string>

namespace imagelift_firmware {

// Shows `text` in a new text viewer captioned `caption` (not modal).
void ShowConfigText(const std::string& caption, const std::string& text);

}  // namespace imagelift_firmware

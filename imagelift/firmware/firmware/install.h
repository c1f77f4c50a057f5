// The download windows join the program: the frame's maker of download windows and its about
// box, and the members of basApp::UpperWindows() through which the main window reaches them.
#pragma once

namespace imagelift_firmware {

void InstallDownloadWindows();

}  // namespace imagelift_firmware

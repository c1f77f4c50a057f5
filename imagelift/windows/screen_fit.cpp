// Screen fitting: a window is kept inside what can be seen of it, the screen for the frame and
// the frame's client area for a window inside the frame.
#include "windows/kit.h"

#include <cmath>

#include "forms/form.h"
#include "layout/layout_manager.h"
#include "vbrt/convert.h"
#include "vbrt/error.h"

namespace basApp {

void FitFormToScreen(forms::Form& form) {
    try {
        double areaWidth = 0, areaHeight = 0;
        forms::MDIForm* frame = forms::MDIForm::Current();
        if (form.TypeName() == "MDIForm" || !frame || &form == frame) {
            areaWidth = forms::Screen().Width();
            areaHeight = forms::Screen().Height();
        } else {
            // The frame's client area, from pixels to twips.
            const forms::PixelRect r = frame->ClientRectPx();
            areaWidth = forms::Screen().TwipsPerPixelX() * (r.right - r.left);
            areaHeight = forms::Screen().TwipsPerPixelY() * (r.bottom - r.top);
        }
        FitWindowToArea(form, vb::RoundHalfEven(areaWidth), vb::RoundHalfEven(areaHeight),
                        [](const std::string& line, int32_t level) { StatusDisplay(line, level); });
    } catch (...) {
        StatusDisplay(vb::ErrorLine("ERROR #", vb::CurrentException(), " in FitFormToScreen.  Exiting..."),
                      basDebug::ERROR_LEVEL);
    }
}

}  // namespace basApp

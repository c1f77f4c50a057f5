// The notice window: the 1394 access library never calls into the program; it posts its bus
// events as window messages to the one window registered as its client, the main window's
// hidden text box. Subclassing that text box puts WindowProc in front of the box's own
// procedure: each notice becomes a log line and a flag that the main window's timers act on
// (the rebuild and the halt broadcast run later, on those timers), and every message, notice
// or not, goes on to the box's own procedure.
#include "app/bas_app.h"
#include "app/internal.h"

#include "bus1394/node_records.h"
#include "bus1394/state.h"
#include "forms/control.h"

namespace basApp {

namespace {

forms::Control* g_hookedControl = nullptr;  // the subclassed control; none until hooked
user::WndProc g_previousWndProc;            // the procedure the hook replaced

void busResetWanted() {
    bas1394::State.BusResetPending = true;
    bas1394::State.TopologyReady = false;
}

}  // namespace

void HookWindow(forms::Control& control, bool enable) {
    if (enable) {
        // One window at a time: hooking again would make WindowProc its own predecessor.
        if (g_hookedControl) return;
        g_hookedControl = &control;
        g_previousWndProc = user::SetWindowProc(control.hWnd(), &WindowProc);
    } else {
        // The window that was hooked gets its own procedure back, whatever control is named.
        if (!g_hookedControl) return;
        user::SetWindowProc(g_hookedControl->hWnd(), g_previousWndProc);
        g_hookedControl = nullptr;
        g_previousWndProc = nullptr;
    }
}

namespace internal {
void ForgetNoticeHook() {
    g_hookedControl = nullptr;
    g_previousWndProc = nullptr;
}
}  // namespace internal

user::LRESULT WindowProc(user::HWND hwnd, uint32_t msg, user::WPARAM wParam, user::LPARAM lParam) {
    switch (msg) {
    case WM_DEVICE_CHANGE_NOTICE:
        StatusDisplay("Device Change message from Windows.", basDebug::WATCH);
        break;
    case WM_BUS_RESET_NOTICE:
        StatusDisplay("Bus Reset Message received from 1394 Virtual Device driver", basDebug::USER);
        busResetWanted();
        break;
    case WM_INCOMING_DATA_NOTICE:
        StatusDisplay(std::string("Incoming Data Message received ") +
                          "(likely from a Vaskonel bootloader target).  " + "Broadcasting a halt command...",
                      basDebug::WATCH);
        bas1394::State.IncomingDataPending = true;
        break;
    case WM_DRIVER_ERROR_NOTICE:
        // The virtual-device driver reports this during bus-reset processing: treat it as one.
        StatusDisplay("Error Message received from 1394 Virtual Device driver!", basDebug::ERROR_LEVEL);
        StatusDisplay("  this error sometimes occurs in bus reset processing - treat it as a bus reset!",
                      basDebug::ERROR_LEVEL);
        busResetWanted();
        break;
    case WM_KLMD_BUS_RESET_NOTICE:
        StatusDisplay("Bus Reset Message received from KLMD driver", basDebug::USER);
        busResetWanted();
        break;
    default: break;
    }
    if (!g_hookedControl) return 0;
    (void)hwnd;
    return user::CallWindowProc(g_previousWndProc, g_hookedControl->hWnd(), msg, wParam, lParam);
}

}  // namespace basApp

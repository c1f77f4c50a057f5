// The application object and the screen as the windows see them, without any window system.
//
// Positions and sizes are in twips (1440 to the inch); a pixel is TwipsPerPixelX/Y twips,
// 15 on an ordinary 96-dpi screen.
#pragma once

#include <cstdint>
#include <string>

namespace forms {

struct Application {
    std::string Title;     // shown in message boxes without a title; settings are kept under it
    std::string Path;      // the program's folder
    std::string EXEName;   // the program's file name without extension
    int32_t Major = 0;
    int32_t Minor = 0;
    int32_t Revision = 0;
    bool PrevInstance = false;
};

// The one application object of the process: Path and EXEName start as the running
// executable's, Title as its name until the program sets its own.
Application& App();

// The display in twips. The window layer installs the real one; tests may install a fake.
class IScreen {
public:
    virtual ~IScreen() = default;
    virtual double Width() const = 0;
    virtual double Height() const = 0;
    virtual double TwipsPerPixelX() const = 0;
    virtual double TwipsPerPixelY() const = 0;
};

// A screen of fixed size (1024 x 768 pixels at 15 twips per pixel unless told otherwise).
class FixedScreen : public IScreen {
public:
    FixedScreen(int32_t widthPx = 1024, int32_t heightPx = 768, double tpx = 15, double tpy = 15)
        : w_(widthPx), h_(heightPx), tpx_(tpx), tpy_(tpy) {}
    double Width() const override { return w_ * tpx_; }
    double Height() const override { return h_ * tpy_; }
    double TwipsPerPixelX() const override { return tpx_; }
    double TwipsPerPixelY() const override { return tpy_; }

private:
    int32_t w_, h_;
    double tpx_, tpy_;
};

// The screen in force: the installed one, else a FixedScreen.
IScreen& Screen();
// Installs a screen (nullptr restores the default). The caller keeps ownership.
void SetScreen(IScreen* screen);
bool ScreenInstalled();

}  // namespace forms

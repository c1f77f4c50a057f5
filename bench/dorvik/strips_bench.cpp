// A full repaint of the mixer panel's client area: the background and all seven strips with their
// faders, toggles, knobs and readouts, drawn offscreen as the window system would ask for it.
// A frame at 60 Hz leaves 16 ms; the repaint should take a small part of it.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QWidget>

#include <memory>

#include "strips/layout.h"
#include "strips/strip_set.h"

namespace {

class QuietParent : public dorvik::ControlParent {
public:
    void OnFaderNotify(int, uint32_t, int32_t) override {}
    void OnKnobNotify(int, uint32_t, int32_t) override {}
    void OnToggleNotify(int) override {}
};

class Client : public QWidget {
public:
    Client() { resize(dorvik::layout::kBackWidth, dorvik::layout::kBackHeight); }

protected:
    void paintEvent(QPaintEvent*) override { QPainter(this).drawImage(0, 0, back_); }

private:
    QImage back_ = dorvik::GetBitmap("BACK");
};

QApplication& App() {
    static int argc = 1;
    static char name[] = "dorvik_strips_bench";
    static char* argv[] = {name, nullptr};
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

void BM_FullRepaint(benchmark::State& state) {
    App();
    dorvik::RegisterControlClasses();
    QuietParent parent;
    Client client;
    auto strips = dorvik::StripSet::CreateMixerStrips(&client, parent, 0, 0);
    strips->SetClockText("48.0kHz");
    client.show();
    for (auto _ : state) {
        QPixmap frame = client.grab();
        benchmark::DoNotOptimize(frame);
    }
    state.SetLabel(std::to_string(strips->Controls().size()) + " controls");
}
BENCHMARK(BM_FullRepaint)->Unit(benchmark::kMillisecond);

}  // namespace

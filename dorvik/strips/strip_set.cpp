#include "strip_set.h"

#include <QImage>
#include <QWidget>

namespace dorvik {

struct StripSet::Impl {};

void RegisterControlClasses() {}
void UnregisterControlClasses() {}
QImage GetBitmap(const std::string&) { return QImage(); }
void SetBackgroundBitmap(const QImage&) {}
void SetWheelStep(int32_t) {}

StripSet::StripSet() : impl_(std::make_unique<Impl>()) {}
StripSet::~StripSet() = default;
std::unique_ptr<StripSet> StripSet::CreateMixerStrips(QWidget*, ControlParent&, int, int) {
    return std::unique_ptr<StripSet>(new StripSet());
}
void StripSet::UpdateMixerStrips(const Panel&) {}
void StripSet::EnablePanKnobs(bool) {}
void StripSet::ShowMixerStrips(bool) {}
void StripSet::DestroyMixerStrips() {}
void StripSet::SetClockText(const std::string&) {}
void StripSet::SetWdmText(const std::string&) {}
void StripSet::SetAsioText(const std::string&) {}
QWidget* StripSet::Control(int) const { return nullptr; }
std::vector<QWidget*> StripSet::Controls() const { return {}; }

}  // namespace dorvik

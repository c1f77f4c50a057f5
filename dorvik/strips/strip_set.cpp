#include "strips/strip_set.h"

#include <QImage>
#include <QRect>
#include <QWidget>

#include <cstdio>

#include "strips/controls.h"
#include "strips/layout.h"
#include "core/panel.h"
#include "core/strip_commands.h"

namespace dorvik {

namespace {

constexpr int kStrips = 7;
const char* const kInitialText = "mute";

QRect Place(const layout::Rect& r, int x0, int y0, const QImage& sizeFrom = QImage()) {
    if (!sizeFrom.isNull()) return QRect(x0 + r.x, y0 + r.y, sizeFrom.width(), sizeFrom.height());
    return QRect(x0 + r.x, y0 + r.y, r.w, r.h);
}

// The level text of a level: its fader position less 127, in dB, right-aligned in four places.
// The position is taken from the level's low seven bits as an unsigned number, so a damaged
// (negative) stored level still shows a position of the scale.
std::string LevelText(int32_t level) {
    char text[16];
    std::snprintf(text, sizeof text, "%4.0fdB", double(int32_t(uint32_t(level) & 127u) - 127));
    return text;
}

int32_t FaderPosition(int32_t level) { return int32_t(uint32_t(level) & 127u); }

}  // namespace

// One stereo strip: two faders, two level fields, two mutes, the link and, on the pan strip,
// two pan knobs.
struct Strip {
    int pair = 0;
    int32_t handed[2] = {0, 0};  // the levels last handed to the strip
    int32_t shown[2] = {0, 1};   // the levels its faders and fields show
    Fader* fader[2] = {};
    TextField* level[2] = {};
    Toggle* mute[2] = {};
    Toggle* link = nullptr;
    Knob* knob[2] = {};

    std::vector<QWidget*> controls() const {
        std::vector<QWidget*> all{fader[0], fader[1], level[0], level[1], mute[0], mute[1], link};
        if (knob[0]) all.insert(all.end(), {knob[0], knob[1]});
        return all;
    }
};

struct StripSet::Impl {
    std::vector<Strip> strips;  // pairs 0-6
    TextField* clock = nullptr;
    TextField* wdm = nullptr;
    TextField* asio = nullptr;
    TextField* wdmLabel = nullptr;
    TextField* asioLabel = nullptr;
    std::vector<QWidget*> created;  // every control, in creation order
    bool destroyed = false;

    Strip* strip(int pair) {
        for (auto& s : strips)
            if (s.pair == pair) return &s;
        return nullptr;
    }

    void updateStrip(Strip& s, const Panel& panel) {
        const ChannelPair& working = panel.working.pairs[s.pair];
        const ChannelPair& applied = panel.applied.pairs[s.pair];
        for (int side = 0; side < 2; ++side) {
            if (s.handed[side] != s.shown[side]) {
                s.fader[side]->SetPos(FaderPosition(s.handed[side]));
                s.level[side]->SetText(LevelText(s.handed[side]));
                s.shown[side] = s.handed[side];
            }
        }
        for (int side = 0; side < 2; ++side)
            if (working.mute[side] != applied.mute[side]) s.mute[side]->SetCheck(working.mute[side]);
        if (working.link != applied.link) s.link->SetCheck(working.link);
    }

    void updatePanStrip(Strip& s, const Panel& panel) {
        updateStrip(s, panel);
        const ChannelPair& working = panel.working.pairs[s.pair];
        const ChannelPair& applied = panel.applied.pairs[s.pair];
        for (int side = 0; side < 2; ++side)
            if (s.knob[side] && working.pan[side] != applied.pan[side]) s.knob[side]->SetPos(working.pan[side]);
    }
};

namespace {

void ShowControl(QWidget* control, bool on) {
    control->setVisible(on);
    control->setEnabled(on);
}

}  // namespace

StripSet::StripSet() : impl_(std::make_unique<Impl>()) {}
StripSet::~StripSet() = default;

std::unique_ptr<StripSet> StripSet::CreateMixerStrips(QWidget* client, ControlParent& parent, int x0, int y0) {
    RegisterControlClasses();
    const QImage back = GetBitmap("BACK");
    SetBackgroundBitmap(back);
    const QImage thumb = GetBitmap("FADER");
    const QImage muteOn = GetBitmap("MUTE_ON");
    const QImage linkOn = GetBitmap("LINK_ON");
    const QImage point = GetBitmap("POINT");

    std::unique_ptr<StripSet> set(new StripSet());
    Impl& d = *set->impl_;
    auto add = [&](auto* control) {
        d.created.push_back(control);
        return control;
    };
    const uint32_t fieldColour = layout::kFieldColour;
    for (int pair = 0; pair < kStrips; ++pair) {
        Strip s;
        s.pair = pair;
        for (int side = 0; side < 2; ++side) {
            const int channel = 2 * pair + side;
            s.fader[side] = add(new Fader(client, parent, ControlId(kKindFader, channel),
                                          Place(layout::FaderRect(pair, side), x0, y0), layout::kFaderMinimum,
                                          layout::kFaderMaximum, QImage(), thumb, thumb));
            s.level[side] = add(new TextField(client, parent, ControlId(kKindLevelField, channel),
                                              Place(layout::LevelFieldRect(pair, side), x0, y0), fieldColour,
                                              fieldColour, kInitialText));
            s.level[side]->setFont(LevelFont());
            s.mute[side] = add(new Toggle(client, parent, ControlId(kKindMute, channel),
                                          Place(layout::MuteRect(pair, side), x0, y0, muteOn), muteOn));
        }
        s.link = add(new Toggle(client, parent, ControlId(kKindLink, pair), Place(layout::LinkRect(pair), x0, y0, linkOn),
                                linkOn));
        if (pair == layout::kPanPair) {
            for (int side = 0; side < 2; ++side)
                s.knob[side] = add(new Knob(client, parent, ControlId(kKindKnob, 2 * pair + side),
                                            Place(layout::KnobRect(side), x0, y0), layout::kKnobRange,
                                            layout::kKnobRadius, point));
        }
        d.strips.push_back(s);
    }
    d.clock = add(new TextField(client, parent, ControlId(kKindClockField, 0), Place(layout::kClockField, x0, y0),
                                fieldColour, fieldColour, kInitialText));
    d.wdm = add(new TextField(client, parent, ControlId(kKindValueField, 0), Place(layout::kWdmField, x0, y0),
                              fieldColour, fieldColour, kInitialText));
    d.asio = add(new TextField(client, parent, ControlId(kKindValueField, 0), Place(layout::kAsioField, x0, y0),
                               fieldColour, fieldColour, kInitialText));
    d.wdmLabel = add(new TextField(client, parent, ControlId(kKindValueField, 0), Place(layout::kWdmLabel, x0, y0),
                                   layout::kLabelColour, layout::kLabelColour, "WDM"));
    d.asioLabel = add(new TextField(client, parent, ControlId(kKindValueField, 0), Place(layout::kAsioLabel, x0, y0),
                                    layout::kLabelColour, layout::kLabelColour, "ASIO"));
    return set;
}

void StripSet::UpdateMixerStrips(const Panel& panel) {
    for (int pair = 0; pair < kStrips; ++pair) {
        Strip* s = impl_->strip(pair);
        if (!s) continue;
        const ChannelPair& working = panel.working.pairs[pair];
        const ChannelPair& applied = panel.applied.pairs[pair];
        if (working.level[0] != applied.level[0] || working.level[1] != applied.level[1]) {
            s->handed[0] = working.level[0];
            s->handed[1] = working.level[1];
        }
        if (pair == layout::kPanPair) impl_->updatePanStrip(*s, panel);
        else impl_->updateStrip(*s, panel);
    }
}

void StripSet::UpdateStrip(int pair, const Panel& panel) {
    if (Strip* s = impl_->strip(pair)) impl_->updateStrip(*s, panel);
}

void StripSet::UpdatePanStrip(int pair, const Panel& panel) {
    if (Strip* s = impl_->strip(pair)) impl_->updatePanStrip(*s, panel);
}

void StripSet::EnablePanKnobs(bool on) {
    // The strips of the function blocks 1-3, which carry nothing at 176.4 and 192 kHz.
    for (auto& s : impl_->strips)
        if (s.pair >= 4)
            for (QWidget* c : s.controls()) ShowControl(c, on);
}

void StripSet::ShowMixerStrips(bool shown) {
    for (auto& s : impl_->strips)
        if (s.pair < 4)
            for (QWidget* c : s.controls()) ShowControl(c, shown);
    for (QWidget* c : {static_cast<QWidget*>(impl_->clock), static_cast<QWidget*>(impl_->wdm),
                       static_cast<QWidget*>(impl_->asio)})
        if (c) ShowControl(c, shown);
}

void StripSet::DestroyMixerStrips() {
    // The control windows stay with the client widget and go with it.
    for (auto& s : impl_->strips)
        for (QWidget* c : s.controls()) ShowControl(c, false);
    impl_->strips.clear();
    impl_->destroyed = true;
}

void StripSet::SetClockText(const std::string& text) {
    if (impl_->clock) impl_->clock->SetText(text);
}
void StripSet::SetWdmText(const std::string& text) {
    if (impl_->wdm) impl_->wdm->SetText(text);
}
void StripSet::SetAsioText(const std::string& text) {
    if (impl_->asio) impl_->asio->SetText(text);
}

QWidget* StripSet::Control(int id) const {
    for (QWidget* c : Controls())
        if (static_cast<KitControl*>(c)->id() == id) return c;
    return nullptr;
}

std::vector<QWidget*> StripSet::Controls() const {
    if (!impl_->destroyed) return impl_->created;
    // The strips' controls are no longer the set's once the strips are freed.
    std::vector<QWidget*> all;
    for (QWidget* c : impl_->created) {
        const int kind = ControlKind(static_cast<KitControl*>(c)->id());
        if (kind == kKindClockField || kind == kKindValueField) all.push_back(c);
    }
    return all;
}

}  // namespace dorvik

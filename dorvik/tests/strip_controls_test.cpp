// The control kit on its own: what the faders, knobs, toggles and text fields draw, how they
// take keys, the wheel and the mouse, and the bitmap cache.
#include <gtest/gtest.h>

#include <QColor>
#include <QFontMetrics>
#include <QPainter>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "forms/dialogs.h"
#include "core/panel.h"
#include "core/strip_commands.h"
#include "tests/strip_test_support.h"

namespace dorvik::testing {
namespace {

namespace L = layout;

class Kit : public ::testing::Test {
protected:
    void SetUp() override {
        RegisterControlClasses();
        SetBackgroundBitmap(GetBitmap("BACK"));
        SetWheelStep(1);
        client.show();
    }
    void TearDown() override { SetWheelStep(1); }

    Fader* NewFader(int channel = 0) {
        return new Fader(&client, parent, ControlId(kKindFader, channel), ToQRect(L::FaderRect(0, 0)), L::kFaderMinimum,
                         L::kFaderMaximum, QImage(), GetBitmap("FADER"), GetBitmap("FADER"));
    }
    Knob* NewKnob() {
        return new Knob(&client, parent, ControlId(kKindKnob, 8), ToQRect(L::KnobRect(0)), L::kKnobRange, L::kKnobRadius,
                        GetBitmap("POINT"));
    }

    BackClient client;
    RecordingParent parent;
};

// The fader as it should look: its piece of the background with the thumb over it where the
// thumb's key colour is not, the thumb's top at `top`.
QImage FaderLooks(const QRect& r, int top) {
    QImage image = GetBitmap("BACK").copy(r).convertToFormat(QImage::Format_RGB32);
    const QImage thumb = GetBitmap("FADER").convertToFormat(QImage::Format_RGB32);
    const QRgb key = thumb.pixel(0, 0);
    for (int y = 0; y < thumb.height(); ++y)
        for (int x = 0; x < thumb.width(); ++x)
            if (thumb.pixel(x, y) != key) image.setPixel((r.width() - thumb.width()) / 2 + x, top + y, thumb.pixel(x, y));
    return image;
}

TEST_F(Kit, SkinPicturesHaveTheirSizesAndFitTheLayout) {
    EXPECT_EQ(GetBitmap("BACK").size(), QSize(555, 347));
    const QImage thumb = GetBitmap("FADER");
    EXPECT_LE(thumb.width(), L::kFaderWidth);
    EXPECT_LT(thumb.height(), L::kFaderHeight);
    EXPECT_EQ(GetBitmap("MUTE_ON").size(), QSize(L::kMuteWidth, L::kMuteHeight));
    EXPECT_EQ(GetBitmap("LINK_ON").size(), QSize(L::kLinkWidth, L::kLinkHeight));
    EXPECT_EQ(GetBitmap("ICON217").size(), QSize(32, 32));
    EXPECT_FALSE(GetBitmap("ABOUT216").isNull());
    EXPECT_FALSE(GetBitmap("POINT").isNull());
    // Toggles stay inside the window and clear of the readouts below them; no two level readouts
    // meet.
    const QRect window(0, 0, L::kBackWidth, L::kBackHeight);
    for (int pair = 0; pair < 7; ++pair) {
        for (int other = 0; other < 14; ++other)
            for (int side = 0; side < 2; ++side)
                if (other != 2 * pair + side) {
                    EXPECT_FALSE(ToQRect(L::LevelFieldRect(pair, side))
                                     .intersects(ToQRect(L::LevelFieldRect(other / 2, other % 2))))
                        << pair << side << " and " << other;
                }
        const QRect link = ToQRect(L::LinkRect(pair));
        EXPECT_TRUE(window.contains(link)) << pair;
        for (int side = 0; side < 2; ++side) {
            const QRect mute = ToQRect(L::MuteRect(pair, side));
            EXPECT_TRUE(window.contains(mute));
            for (int s = 0; s < 2; ++s) {
                EXPECT_FALSE(mute.intersects(ToQRect(L::LevelFieldRect(pair, s)))) << pair << side;
                EXPECT_FALSE(link.intersects(ToQRect(L::LevelFieldRect(pair, s)))) << pair << side;
                EXPECT_FALSE(mute.intersects(ToQRect(L::MuteRect(pair, 1 - side)))) << pair << side;
            }
        }
    }
}

TEST_F(Kit, FaderThumbStandsWhereItsPositionSays) {
    Fader* fader = NewFader();
    const QRect r = fader->geometry();
    const int travel = L::kFaderHeight - GetBitmap("FADER").height();
    for (int position : {79, 80, 100, 126, 127}) {
        fader->SetPos(position);
        const int top = travel - travel * (position - 79) / 48;
        EXPECT_EQ(fader->ThumbTop(), top) << position;
        EXPECT_TRUE(SamePicture(Shot(fader), FaderLooks(r, top))) << "position " << position;
    }
    // Positions beyond the scale stop at its ends.
    fader->SetPos(200);
    EXPECT_EQ(fader->GetPos(), 127);
    fader->SetPos(-5);
    EXPECT_EQ(fader->GetPos(), 79);
    EXPECT_TRUE(parent.notices.empty()) << "setting a position reports nothing";
}

TEST_F(Kit, FaderStepsByKeyAndWheelWithinItsScale) {
    Fader* fader = NewFader(3);
    const int id = ControlId(kKindFader, 3);
    fader->SetPos(100);
    Key(fader, Qt::Key_Up);
    Key(fader, Qt::Key_Down);
    Key(fader, Qt::Key_Down);
    Key(fader, Qt::Key_Left);  // no step, no report
    EXPECT_EQ(parent.Take(), (std::vector<Notice>{{Notice::Fader, id, 4, 101}, {Notice::Fader, id, 4, 100},
                                                  {Notice::Fader, id, 4, 99}}));
    SetWheelStep(4);
    Wheel(fader, 120);
    Wheel(fader, -120);
    Wheel(fader, 0);  // no turn counts as down
    EXPECT_EQ(parent.Take(), (std::vector<Notice>{{Notice::Fader, id, 4, 103}, {Notice::Fader, id, 4, 99},
                                                  {Notice::Fader, id, 4, 95}}));
    fader->SetPos(126);
    Wheel(fader, 120);
    Key(fader, Qt::Key_Up);
    EXPECT_EQ(fader->GetPos(), 127);
    EXPECT_EQ(parent.Take().back(), (Notice{Notice::Fader, id, 4, 127}));

    // A damaged stored step is kept as it is, but the controls step by at most 16 and at least 1.
    struct Case {
        int32_t stored, step;
    } cases[] = {{1000000, 16}, {-8, 1}, {0, 1}, {16, 16}, {2, 2}};
    for (const Case& c : cases) {
        SetWheelStep(c.stored);
        EXPECT_EQ(WheelStep(), c.step) << c.stored;
        fader->SetPos(100);
        Wheel(fader, 120);
        EXPECT_EQ(fader->GetPos(), 100 + c.step) << c.stored;
    }
}

TEST_F(Kit, FaderDragReportsTrackingThenTheEnd) {
    Fader* fader = NewFader(5);
    const int id = ControlId(kKindFader, 5);
    const int thumb = GetBitmap("FADER").height(), half = thumb / 2, travel = L::kFaderHeight - thumb;
    auto expected = [&](int y) { return 79 + 48 * (half + travel - std::max(y, 0)) / travel; };
    Mouse(fader, QEvent::MouseMove, 8, 60, Qt::NoButton, Qt::NoButton);  // a move without a button reports nothing
    Press(fader, 8, 60);
    DragTo(fader, 8, 90);
    DragTo(fader, 8, -30);   // above the groove: the top
    DragTo(fader, 8, 400);   // below: the bottom
    DragTo(fader, 8, 40);
    Release(fader, 8, 41);
    DragTo(fader, 8, 90);    // no longer captured
    const int at90 = expected(90), at40 = expected(40), at41 = expected(41);
    EXPECT_EQ(at90, 79 + 48 * (half + travel - 90) / travel);
    EXPECT_EQ(parent.Take(), (std::vector<Notice>{{Notice::Fader, id, uint32_t(at90 << 16 | 5), at90},
                                                  {Notice::Fader, id, uint32_t(127 << 16 | 5), 127},
                                                  {Notice::Fader, id, uint32_t(79 << 16 | 5), 79},
                                                  {Notice::Fader, id, uint32_t(at40 << 16 | 5), at40},
                                                  {Notice::Fader, id, 0, at41}}));
    EXPECT_EQ(fader->GetPos(), at41);
    Mouse(fader, QEvent::MouseButtonDblClick, 8, 40, Qt::LeftButton, Qt::LeftButton);
    EXPECT_EQ(parent.Take(), (std::vector<Notice>{{Notice::DoubleClick, id, 0, 0}}));
}

TEST_F(Kit, FaderWithAThumbAsTallAsItsGrooveStaysPut) {
    const QImage tall = GetBitmap("FADER").scaled(L::kThumbWidth, L::kFaderHeight);
    auto* fader = new Fader(&client, parent, ControlId(kKindFader, 0), ToQRect(L::FaderRect(0, 0)), 79, 127, QImage(),
                            tall, tall);
    fader->SetPos(90);
    Press(fader, 8, 10);
    DragTo(fader, 8, 50);
    Release(fader, 8, 50);
    EXPECT_EQ(fader->GetPos(), 90);
    EXPECT_EQ(fader->ThumbTop(), 0);
}

TEST_F(Kit, KnobTurnsWithinItsRange) {
    Knob* knob = NewKnob();
    const int id = ControlId(kKindKnob, 8);
    // Fully left and fully right by the keys.
    for (int i = 0; i < 60; ++i) Key(knob, Qt::Key_Down);
    EXPECT_EQ(knob->GetPos(), -127);
    EXPECT_EQ(parent.Take().back(), (Notice{Notice::Knob, id, uint32_t(-127) << 16 | 4, -127}));
    for (int i = 0; i < 60; ++i) Key(knob, Qt::Key_Up);
    EXPECT_EQ(knob->GetPos(), 127);
    EXPECT_EQ(knob->angle(), 2.7f);
    parent.Take();

    // One notch of step 8 from the centre is 0.8 rad: 37 positions.
    knob->SetPos(0);
    SetWheelStep(8);
    Wheel(knob, 120);
    EXPECT_EQ(parent.Take(), (std::vector<Notice>{{Notice::Knob, id, 37u << 16 | 4, 37}}));
    Wheel(knob, -120);
    Wheel(knob, -120);
    EXPECT_EQ(knob->GetPos(), -37);
    parent.Take();

    // Another key reports the position unchanged.
    Key(knob, Qt::Key_A);
    EXPECT_EQ(parent.Take(), (std::vector<Notice>{{Notice::Knob, id, uint32_t(-37) << 16 | 4, -37}}));

    // Dragging: 0.05 rad per pixel upwards, tracked.
    knob->SetPos(0);
    Press(knob, 15, 20);
    DragTo(knob, 15, 10);   // 0.5 rad
    DragTo(knob, 15, -200);  // far beyond: the right stop
    Release(knob, 15, -200);
    EXPECT_EQ(parent.Take(), (std::vector<Notice>{{Notice::Knob, id, 23u << 16 | 5, 23},
                                                  {Notice::Knob, id, 127u << 16 | 5, 127}}));
    // A stored pan beyond the scale stops at its end.
    knob->SetPos(5000);
    EXPECT_EQ(knob->GetPos(), 127);
}

TEST_F(Kit, KnobPositionStaysWithinItsRangeAndFollowsTheAngle) {
    // Small drags across the whole scale: the position never leaves -127..127 and never runs back.
    Knob* knob = NewKnob();
    knob->SetPos(-127);
    Press(knob, 15, 1000);
    int32_t last = -127;
    for (int y = 999; y >= 800; --y) {
        DragTo(knob, 15, y);
        EXPECT_GE(knob->GetPos(), last) << y;
        EXPECT_LE(knob->GetPos(), 127) << y;
        last = knob->GetPos();
    }
    Release(knob, 15, 800);
    EXPECT_EQ(last, 127);
    EXPECT_EQ(knob->angle(), 2.7f);
}

TEST_F(Kit, KnobIndicatorCentreFollowsTheAngle) {
    Knob* knob = NewKnob();
    const QImage point = GetBitmap("POINT").convertToFormat(QImage::Format_RGB32);
    const QRgb centre = point.pixel(point.width() / 2, point.height() / 2);
    struct Case {
        int32_t position;
        QPoint at;
    } cases[] = {
        {0, {15, 3}},                                                          // straight up
        {127, {int(15 + 12 * std::sin(2.7f)), int(15 - 12 * std::cos(2.7f))}},  // right stop
        {-127, {int(15 - 12 * std::sin(2.7f)), int(15 - 12 * std::cos(2.7f))}},
        {64, {int(15 + 12 * std::sin(2.7f / 127 * 64)), int(15 - 12 * std::cos(2.7f / 127 * 64))}},
    };
    for (const Case& c : cases) {
        knob->SetPos(c.position);
        EXPECT_EQ(knob->IndicatorCentre(), c.at) << c.position;
        const QImage shot = Shot(knob);
        EXPECT_EQ(shot.pixel(c.at), centre) << c.position;
        // The dial around the indicator is the captured background.
        const QPoint away = c.at.y() < 15 ? QPoint(15, 27) : QPoint(15, 2);
        EXPECT_EQ(shot.pixel(away), GetBitmap("BACK").convertToFormat(QImage::Format_RGB32).pixel(
                                        knob->geometry().topLeft() + away))
            << c.position;
    }
}

TEST_F(Kit, ToggleDrawsItsPictureForItsStateAndFlipsOnClick) {
    const QRect r = ToQRect(L::MuteRect(2, 1));
    const QImage on = GetBitmap("MUTE_ON");
    auto* toggle = new Toggle(&client, parent, ControlId(kKindMute, 5), QRect(r.topLeft(), on.size()), on);
    EXPECT_TRUE(SamePicture(Shot(toggle), GetBitmap("BACK").copy(r)));
    toggle->SetCheck(1);
    EXPECT_TRUE(toggle->GetCheck());
    EXPECT_TRUE(SamePicture(Shot(toggle), on));
    toggle->SetCheck(2);  // neither 0 nor 1: no change
    EXPECT_TRUE(toggle->GetCheck());
    toggle->SetCheck(-1);
    EXPECT_TRUE(toggle->GetCheck());
    EXPECT_TRUE(parent.notices.empty());

    Click(toggle);
    EXPECT_FALSE(toggle->GetCheck());
    EXPECT_TRUE(SamePicture(Shot(toggle), GetBitmap("BACK").copy(r)));
    Release(toggle, 2, 2);  // a release without a press does nothing
    Click(toggle);
    EXPECT_TRUE(toggle->GetCheck());
    EXPECT_EQ(parent.Take(), (std::vector<Notice>{{Notice::Toggle, ControlId(kKindMute, 5), 0, 0},
                                                  {Notice::Toggle, ControlId(kKindMute, 5), 0, 0}}));
}

TEST_F(Kit, TextFieldKeepsSixtyThreeCharactersAndDrawsInItsColour) {
    auto* field = new TextField(&client, parent, ControlId(kKindLevelField, 0), ToQRect(L::LevelFieldRect(0, 0)),
                                L::kFieldColour, L::kFieldColour, "mute");
    EXPECT_EQ(field->text(), "mute");
    const std::string longText(100, 'x');
    field->SetText(longText);
    EXPECT_EQ(field->text(), longText.substr(0, 63));
    field->SetText("-6dB");
    EXPECT_EQ(field->text(), "-6dB");
    // The text is drawn over the background in the field colour (blended at its edges): the pixel
    // that changed most leans the way RGB(84, 168, 198) does from the dark recess.
    const QImage shot = Shot(field), back = GetBitmap("BACK").copy(field->geometry()).convertToFormat(QImage::Format_RGB32);
    QColor strongest;
    int change = 0;
    for (int y = 0; y < shot.height(); ++y)
        for (int x = 0; x < shot.width(); ++x) {
            const QColor a(shot.pixel(x, y)), b(back.pixel(x, y));
            const int d = std::abs(a.red() - b.red()) + std::abs(a.green() - b.green()) + std::abs(a.blue() - b.blue());
            if (d > change) change = d, strongest = a;
        }
    EXPECT_GT(change, 100);
    EXPECT_GT(strongest.blue(), strongest.red());
    EXPECT_GT(strongest.green(), strongest.red());
    const QFont font = KitFont();
    EXPECT_EQ(font.family(), "Arial");
    EXPECT_LE(QFontMetrics(font).height(), 12);
    EXPECT_GE(QFontMetrics(font).height(), 10);
    EXPECT_EQ(font.weight(), QFont::Normal);
}

TEST_F(Kit, MissingBitmapIsReportedOnceAndDrawsNothing) {
    forms::ScriptedPresenter boxes;
    forms::ScopedPresenter scope(boxes);
    EXPECT_TRUE(GetBitmap("NO_SUCH_PICTURE").isNull());
    EXPECT_TRUE(GetBitmap("NO_SUCH_PICTURE").isNull());
    ASSERT_EQ(boxes.asked().size(), 1u);
    EXPECT_EQ(boxes.asked()[0].prompt, "NO_SUCH_PICTURE");
    EXPECT_EQ(boxes.asked()[0].title, "NotFound");
    EXPECT_EQ(boxes.asked()[0].buttons, forms::vbOKOnly);

    // A toggle without its "on" picture shows its background in both states.
    const QRect r = ToQRect(L::LinkRect(3));
    auto* toggle = new Toggle(&client, parent, ControlId(kKindLink, 3), r, GetBitmap("NO_SUCH_PICTURE"));
    toggle->SetCheck(1);
    EXPECT_TRUE(SamePicture(Shot(toggle), GetBitmap("BACK").copy(r)));

    // The cache holds 256 names; once full, a new name gives no picture and asks nothing. A name
    // longer than the cache's 31 characters is no picture's name.
    UnregisterControlClasses();
    RegisterControlClasses();
    EXPECT_TRUE(GetBitmap(std::string(32, 'L')).isNull());
    EXPECT_FALSE(GetBitmap("BACK").isNull());
    for (int i = 1; i < 256; ++i) GetBitmap("MISSING" + std::to_string(i));
    const size_t asked = boxes.asked().size();
    EXPECT_EQ(asked, 1u + 255u);
    EXPECT_TRUE(GetBitmap("FADER").isNull());
    EXPECT_FALSE(GetBitmap("BACK").isNull());  // cached before
    EXPECT_EQ(boxes.asked().size(), asked);
    UnregisterControlClasses();
    RegisterControlClasses();
    EXPECT_FALSE(GetBitmap("FADER").isNull());
}

}  // namespace
}  // namespace dorvik::testing

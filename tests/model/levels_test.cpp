// The level scales at the ends of their ranges and at their zero points: raw
// value to slider position and back, and the value-box text. Every page and the
// CLI take their conversions from here, so an off-by-one here shows on all of them.
#include "model/levels.h"

#include <gtest/gtest.h>

#include <string>

namespace bm {
namespace {

struct Ends {
    const char* name;
    const LevelScale& scale;
    int topPosition0Value; // the raw value at slider position 0
    int lastPosition;      // the slider's range maximum
    const char* lowText;   // text of raw 0
    const char* zeroText;  // text of the zero point
    const char* highText;  // text of the raw maximum
    int zeroValue;
};

const Ends kEnds[] = {
    {"volume", kVolumeScale, 92, 92, "-80", "+0", "+12", 80},
    {"balance", kBalanceScale, 0, 32, "-16", "+0", "+16", 16},
    {"front/back", kFrontBackScale, 32, 32, "-16", "+0", "+16", 16},
    {"bass/treble", kToneScale, 0, 24, "-6.0", "+0.0", "+6.0", 12},
    {"tilt", kTiltScale, 0, 30, "-3.0", "+0.0", "+3.0", 15},
    {"output", kOutputScale, 40, 40, "-10.0", "+0.0", "+10.0", 20},
};

TEST(LevelScales, EndsOfTheRangeMapToTheEndsOfTheSlider)
{
    for (const Ends& e : kEnds) {
        SCOPED_TRACE(e.name);
        EXPECT_EQ(e.scale.maximum, e.lastPosition);
        EXPECT_EQ(e.scale.value(0), e.topPosition0Value);
        EXPECT_EQ(e.scale.value(e.lastPosition), e.lastPosition - e.topPosition0Value);
        EXPECT_EQ(e.scale.position(e.topPosition0Value), 0);
        EXPECT_EQ(e.scale.position(e.lastPosition - e.topPosition0Value), e.lastPosition);
        EXPECT_EQ(e.scale.zero, e.zeroValue);
        // Every position stands for one value and comes back from it.
        for (int p = 0; p <= e.lastPosition; ++p) {
            const int v = e.scale.value(p);
            ASSERT_GE(v, 0) << p;
            ASSERT_LE(v, e.lastPosition) << p;
            ASSERT_EQ(e.scale.position(v), p) << p;
        }
    }
}

TEST(LevelScales, TextsAtTheEndsAndAtZero)
{
    for (const Ends& e : kEnds) {
        SCOPED_TRACE(e.name);
        EXPECT_EQ(levelText(e.scale, 0), e.lowText);
        EXPECT_EQ(levelText(e.scale, e.zeroValue), e.zeroText);
        EXPECT_EQ(levelText(e.scale, e.scale.maximum), e.highText);
    }
}

TEST(LevelScales, OneStepAroundZero)
{
    // Volume position 12 is value 80, shown +0; one step down from the top is +11.
    EXPECT_EQ(kVolumeScale.value(12), 80);
    EXPECT_EQ(levelText(kVolumeScale, kVolumeScale.value(12)), "+0");
    EXPECT_EQ(levelText(kVolumeScale, kVolumeScale.value(1)), "+11");
    // Output position 21 sends 19 and shows -0.5; position 19 sends 21, +0.5.
    EXPECT_EQ(kOutputScale.value(21), 19);
    EXPECT_EQ(levelText(kOutputScale, 19), "-0.5");
    EXPECT_EQ(kOutputScale.value(19), 21);
    EXPECT_EQ(levelText(kOutputScale, 21), "+0.5");
    // Bass 11 and 13, tilt 14 and 16.
    EXPECT_EQ(levelText(kToneScale, 11), "-0.5");
    EXPECT_EQ(levelText(kToneScale, 13), "+0.5");
    EXPECT_EQ(levelText(kTiltScale, 14), "-0.2");
    EXPECT_EQ(levelText(kTiltScale, 16), "+0.2");
    // Front/back position 16 is the centre; the left/right slider is not turned.
    EXPECT_EQ(kFrontBackScale.value(16), 16);
    EXPECT_EQ(kFrontBackScale.value(15), 17);
    EXPECT_EQ(kBalanceScale.value(15), 15);
}

TEST(StepTexts, OddStepsAndSigns)
{
    EXPECT_EQ(stepText(StepText::Whole, -1), "-1");
    EXPECT_EQ(stepText(StepText::Whole, -35), "-35");
    EXPECT_EQ(stepText(StepText::Half, -13), "-6.5");
    EXPECT_EQ(stepText(StepText::Half, 1), "+0.5");
    EXPECT_EQ(stepText(StepText::Fifth, 4), "+0.8");
    EXPECT_EQ(stepText(StepText::Fifth, -7), "-1.4");
    EXPECT_EQ(stepText(StepText::Fifth, 9), "+1.8");
}

} // namespace
} // namespace bm

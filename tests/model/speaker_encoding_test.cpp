// Speaker Config choices as groups of parameter values: every row of every
// table set and read back, readings of values no row writes, the side
// speakers' size-and-type rules, and unresolved slots.
#include "model/device_model.h"
#include "tests/support/memory_settings.h"
#include "tests/support/scripted_prompt.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

namespace bm {
namespace {

using Values = std::map<NamedParam, std::uint8_t>;

class SpeakerEncodingTest : public ::testing::Test {
protected:
    // Each named parameter gets id 40 + its slot index.
    static std::uint8_t idOf(NamedParam p) { return static_cast<std::uint8_t>(40 + static_cast<int>(p)); }

    void resolveAll()
    {
        for (int i = 0; i < kNamedParamCount; ++i)
            model.ResolveNamedParam(kNamedParamNames[i], idOf(static_cast<NamedParam>(i)));
    }
    void resolve(std::initializer_list<NamedParam> params)
    {
        for (NamedParam p : params)
            model.ResolveNamedParam(kNamedParamNames[static_cast<int>(p)], idOf(p));
    }
    void put(const Values& values)
    {
        for (auto [p, v] : values)
            model.storeParamValue(idOf(p), v);
    }
    std::uint8_t value(NamedParam p) const { return model.paramValue(idOf(p)); }
    void expectValues(const Values& values, int choice)
    {
        for (auto [p, v] : values)
            EXPECT_EQ(value(p), v) << kNamedParamNames[static_cast<int>(p)] << " for choice " << choice;
    }

    InMemorySettings settings;
    ScriptedPrompt prompt;
    DeviceModel model{settings, prompt};
};

struct EncodingCase {
    const char* name;
    int (DeviceModel::*set)(int);
    int (DeviceModel::*get)() const;
    std::vector<Values> rows; // by choice
};

const std::vector<EncodingCase>& encodingCases()
{
    using P = NamedParam;
    static const std::vector<EncodingCase> cases = {
        {"front", &DeviceModel::SetFrontSpeakers, &DeviceModel::GetFrontSpeakers,
         {{{P::FRONT_SPKR, 1}, {P::FRONT_HPASS, 3}},
          {{P::FRONT_SPKR, 1}, {P::FRONT_HPASS, 2}},
          {{P::FRONT_SPKR, 1}, {P::FRONT_HPASS, 1}},
          {{P::FRONT_SPKR, 0}, {P::FRONT_HPASS, 0}}}},
        {"center", &DeviceModel::SetCenterSpeaker, &DeviceModel::GetCenterSpeaker,
         {{{P::CENTER_SPKR, 0}, {P::BSPLIT_SMALL, 0}, {P::BSPLIT, 0}},
          {{P::CENTER_SPKR, 1}, {P::BSPLIT_SMALL, 2}, {P::BSPLIT, 4}},
          {{P::CENTER_SPKR, 1}, {P::BSPLIT_SMALL, 1}, {P::BSPLIT, 3}},
          {{P::CENTER_SPKR, 1}, {P::BSPLIT_SMALL, 0}, {P::BSPLIT, 2}},
          {{P::CENTER_SPKR, 2}, {P::BSPLIT_SMALL, 0}, {P::BSPLIT, 0}}}},
        {"rear", &DeviceModel::SetRearSpeakers, &DeviceModel::GetRearSpeakers,
         {{{P::REAR_SPKR, 0}, {P::REAR_HPASS, 0}},
          {{P::REAR_SPKR, 1}, {P::REAR_HPASS, 3}},
          {{P::REAR_SPKR, 1}, {P::REAR_HPASS, 2}},
          {{P::REAR_SPKR, 1}, {P::REAR_HPASS, 1}},
          {{P::REAR_SPKR, 2}, {P::REAR_HPASS, 0}}}},
        {"subwoofer", &DeviceModel::SetSubwoofer, &DeviceModel::GetSubwoofer,
         {{{P::SUBWOOFER, 0}, {P::SUB_LOWPASS, 0}},
          {{P::SUBWOOFER, 1}, {P::SUB_LOWPASS, 3}},
          {{P::SUBWOOFER, 1}, {P::SUB_LOWPASS, 2}},
          {{P::SUBWOOFER, 1}, {P::SUB_LOWPASS, 1}}}},
    };
    return cases;
}

TEST_F(SpeakerEncodingTest, EveryRowSetsItsValuesAndReadsBackAsItsChoice)
{
    resolveAll();
    for (const EncodingCase& c : encodingCases()) {
        SCOPED_TRACE(c.name);
        for (int choice = 0; choice < static_cast<int>(c.rows.size()); ++choice) {
            // Start from values no row writes, so every parameter must be set.
            Values junk = c.rows[static_cast<std::size_t>(choice)];
            for (auto& [p, v] : junk)
                v = 9;
            put(junk);
            EXPECT_EQ((model.*c.set)(choice), 1);
            expectValues(c.rows[static_cast<std::size_t>(choice)], choice);
            EXPECT_EQ((model.*c.get)(), choice);
        }
    }
}

TEST_F(SpeakerEncodingTest, ChoiceOutsideTheTableChangesNothing)
{
    resolveAll();
    for (const EncodingCase& c : encodingCases()) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ((model.*c.set)(1), 1);
        for (int bad : {-1, static_cast<int>(c.rows.size()), 99})
            EXPECT_EQ((model.*c.set)(bad), -1);
        expectValues(c.rows[1], 1);
    }
}

TEST_F(SpeakerEncodingTest, ReadingsOfValuesNoRowWrites)
{
    using P = NamedParam;
    resolveAll();
    // A size that is neither "none"/"large" nor "small" still reads the filter.
    put({{P::FRONT_SPKR, 5}, {P::FRONT_HPASS, 3}});
    EXPECT_EQ(model.GetFrontSpeakers(), 0);
    put({{P::FRONT_SPKR, 1}, {P::FRONT_HPASS, 0}});
    EXPECT_EQ(model.GetFrontSpeakers(), -1);
    put({{P::CENTER_SPKR, 7}, {P::BSPLIT, 3}, {P::BSPLIT_SMALL, 9}});
    EXPECT_EQ(model.GetCenterSpeaker(), 2);
    put({{P::CENTER_SPKR, 1}, {P::BSPLIT, 1}});
    EXPECT_EQ(model.GetCenterSpeaker(), -1);
    put({{P::REAR_SPKR, 2}, {P::REAR_HPASS, 3}});
    EXPECT_EQ(model.GetRearSpeakers(), 4);
    put({{P::REAR_SPKR, 1}, {P::REAR_HPASS, 4}});
    EXPECT_EQ(model.GetRearSpeakers(), -1);
    put({{P::SUBWOOFER, 0}, {P::SUB_LOWPASS, 2}});
    EXPECT_EQ(model.GetSubwoofer(), 0);
    put({{P::SUBWOOFER, 3}, {P::SUB_LOWPASS, 0}});
    EXPECT_EQ(model.GetSubwoofer(), -1);
}

TEST_F(SpeakerEncodingTest, UnresolvedSlotsRefuseAndLeaveValuesAlone)
{
    using P = NamedParam;
    // Front with its filter missing; center with only the size and the filter
    // that the reading needs (setting needs BSPLIT_SMALL too).
    resolve({P::FRONT_SPKR, P::CENTER_SPKR, P::BSPLIT});
    put({{P::FRONT_SPKR, 0}, {P::CENTER_SPKR, 2}});
    EXPECT_EQ(model.SetFrontSpeakers(0), -1);
    EXPECT_EQ(model.GetFrontSpeakers(), -1);
    EXPECT_EQ(value(P::FRONT_SPKR), 0);
    EXPECT_EQ(model.SetCenterSpeaker(0), -1);
    EXPECT_EQ(value(P::CENTER_SPKR), 2);
    EXPECT_EQ(model.GetCenterSpeaker(), 4);
    EXPECT_EQ(model.SetRearSpeakers(0), -1);
    EXPECT_EQ(model.GetRearSpeakers(), -1);
    EXPECT_EQ(model.SetSubwoofer(0), -1);
    EXPECT_EQ(model.GetSubwoofer(), -1);
    EXPECT_EQ(model.SetSideSpeakers(0), -1);
    EXPECT_EQ(model.GetSideSpeakers(), -1);
    EXPECT_EQ(model.GetSideDipole(), -1);
}

TEST_F(SpeakerEncodingTest, SideSpeakersEveryChoiceOfBothTypes)
{
    using P = NamedParam;
    resolveAll();
    struct Row {
        int choice;
        bool dipole;
        Values values;
    };
    const Row rows[] = {
        {0, false, {{P::SIDE_SPKR, 0}, {P::SIDE_HPASS, 0}, {P::SIDE_STD_HPASS, 0}, {P::SIDE_DIPOLE_HPASS, 0}}},
        {1, false, {{P::SIDE_SPKR, 3}, {P::SIDE_HPASS, 3}, {P::SIDE_STD_HPASS, 2}, {P::SIDE_DIPOLE_HPASS, 0}}},
        {2, false, {{P::SIDE_SPKR, 3}, {P::SIDE_HPASS, 2}, {P::SIDE_STD_HPASS, 1}, {P::SIDE_DIPOLE_HPASS, 0}}},
        {3, false, {{P::SIDE_SPKR, 3}, {P::SIDE_HPASS, 1}, {P::SIDE_STD_HPASS, 0}, {P::SIDE_DIPOLE_HPASS, 0}}},
        {4, false, {{P::SIDE_SPKR, 1}, {P::SIDE_HPASS, 0}, {P::SIDE_STD_HPASS, 0}, {P::SIDE_DIPOLE_HPASS, 0}}},
        {1, true, {{P::SIDE_SPKR, 4}, {P::SIDE_HPASS, 3}, {P::SIDE_STD_HPASS, 0}, {P::SIDE_DIPOLE_HPASS, 2}}},
        {2, true, {{P::SIDE_SPKR, 4}, {P::SIDE_HPASS, 2}, {P::SIDE_STD_HPASS, 0}, {P::SIDE_DIPOLE_HPASS, 1}}},
        {3, true, {{P::SIDE_SPKR, 4}, {P::SIDE_HPASS, 1}, {P::SIDE_STD_HPASS, 0}, {P::SIDE_DIPOLE_HPASS, 0}}},
        {4, true, {{P::SIDE_SPKR, 2}, {P::SIDE_HPASS, 0}, {P::SIDE_STD_HPASS, 0}, {P::SIDE_DIPOLE_HPASS, 0}}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << "choice " << r.choice << (r.dipole ? " dipole" : " standard"));
        // Set the type through a size that carries it, then the size: the
        // type must survive the size change.
        put({{P::SIDE_SPKR, 1}, {P::SIDE_HPASS, 9}, {P::SIDE_STD_HPASS, 9}, {P::SIDE_DIPOLE_HPASS, 9}});
        ASSERT_EQ(model.SetSideDipole(r.dipole ? 16 : 0), 1);
        EXPECT_EQ(model.GetSideDipole(), r.dipole ? 16 : 0);
        EXPECT_EQ(model.SetSideSpeakers(r.choice), 1);
        expectValues(r.values, r.choice);
        EXPECT_EQ(model.GetSideSpeakers(), r.choice);
        EXPECT_EQ(model.GetSideDipole(), r.choice == 0 ? -1 : (r.dipole ? 16 : 0));

        // And the type switched afterwards keeps the size.
        EXPECT_EQ(model.SetSideDipole(r.dipole ? 0 : 16), 1);
        EXPECT_EQ(model.GetSideSpeakers(), r.choice);
        if (r.choice != 0) {
            EXPECT_EQ(model.GetSideDipole(), r.dipole ? 0 : 16);
        }
    }
}

TEST_F(SpeakerEncodingTest, SideReadingsAndClearing)
{
    using P = NamedParam;
    resolveAll();
    put({{P::SIDE_SPKR, 3}, {P::SIDE_HPASS, 2}});
    EXPECT_EQ(model.GetSideSpeakers(), 2);
    EXPECT_EQ(model.GetSideDipole(), 0);
    put({{P::SIDE_SPKR, 4}, {P::SIDE_HPASS, 1}});
    EXPECT_EQ(model.GetSideSpeakers(), 3);
    EXPECT_EQ(model.GetSideDipole(), 16);
    // Large reads from the size alone; an unknown size reads the filter.
    put({{P::SIDE_SPKR, 2}, {P::SIDE_HPASS, 3}});
    EXPECT_EQ(model.GetSideSpeakers(), 4);
    put({{P::SIDE_SPKR, 9}, {P::SIDE_HPASS, 3}});
    EXPECT_EQ(model.GetSideSpeakers(), 1);
    EXPECT_EQ(model.GetSideDipole(), 0);

    // Large while the sides are dipoles keeps them dipoles.
    put({{P::SIDE_SPKR, 4}, {P::SIDE_HPASS, 2}, {P::SIDE_STD_HPASS, 5}, {P::SIDE_DIPOLE_HPASS, 1}});
    EXPECT_EQ(model.SetSideSpeakers(4), 1);
    expectValues({{P::SIDE_SPKR, 2}, {P::SIDE_HPASS, 0}, {P::SIDE_STD_HPASS, 0}, {P::SIDE_DIPOLE_HPASS, 0}}, 4);

    // A type change while the values match no size clears the sides.
    put({{P::SIDE_SPKR, 3}, {P::SIDE_HPASS, 7}, {P::SIDE_STD_HPASS, 5}, {P::SIDE_DIPOLE_HPASS, 6}});
    EXPECT_EQ(model.SetSideDipole(16), -1);
    expectValues({{P::SIDE_SPKR, 0}, {P::SIDE_HPASS, 0}, {P::SIDE_STD_HPASS, 0}, {P::SIDE_DIPOLE_HPASS, 0}}, -1);

    // A size outside the table clears as well.
    put({{P::SIDE_SPKR, 3}, {P::SIDE_HPASS, 3}, {P::SIDE_STD_HPASS, 2}});
    EXPECT_EQ(model.SetSideSpeakers(5), -1);
    expectValues({{P::SIDE_SPKR, 0}, {P::SIDE_HPASS, 0}, {P::SIDE_STD_HPASS, 0}, {P::SIDE_DIPOLE_HPASS, 0}}, 5);
}

TEST_F(SpeakerEncodingTest, SideNeedsAllFourSlots)
{
    using P = NamedParam;
    resolve({P::SIDE_SPKR, P::SIDE_HPASS, P::SIDE_STD_HPASS});
    put({{P::SIDE_SPKR, 3}, {P::SIDE_HPASS, 2}});
    EXPECT_EQ(model.SetSideSpeakers(1), -1);
    EXPECT_EQ(model.SetSideDipole(16), -1);
    EXPECT_EQ(value(P::SIDE_SPKR), 3);
    EXPECT_EQ(value(P::SIDE_HPASS), 2);
    // Reading needs only the size and the filter.
    EXPECT_EQ(model.GetSideSpeakers(), 2);
}

} // namespace
} // namespace bm

// The controls table: each control's text and JSON forms at its range ends,
// one past them, and relative changes; names in the unit's character set.
#include "model/controls.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace bm::controls {
namespace {

struct FormCase {
    const char* control;
    const char* text;   // what a user types
    int raw;            // the unit's value it stands for, or -1: refused
    const char* shown;  // the text form of that value
    JsonScalar json;    // its JSON form
};

TEST(ControlsTable, TextAndJsonFormsAtTheRangeEndsAndOnePast)
{
    const FormCase cases[] = {
        {"volume", "-80", 0, "-80", 0LL - 80},
        {"volume", "+12", 92, "+12", 12LL},
        {"volume", "-20dB", 60, "-20", -20LL},
        {"volume", "-81", -1, "", nullptr},
        {"volume", "13", -1, "", nullptr},
        {"volume", "-20.5", -1, "", nullptr},
        {"balance", "-16", 0, "-16", -16LL},
        {"balance", "+17", -1, "", nullptr},
        {"front-back", "+16", 32, "+16", 16LL},
        {"bass", "-6.0", 0, "-6.0", -6.0},
        {"bass", "+6", 24, "+6.0", 6.0},
        {"bass", "+0.5", 13, "+0.5", 0.5},
        {"bass", "+6.5", -1, "", nullptr},
        {"bass", "0.25", -1, "", nullptr},
        {"treble", "-0.5", 11, "-0.5", -0.5},
        {"tilt", "-3.0", 0, "-3.0", -3.0},
        {"tilt", "+3.0", 30, "+3.0", 3.0},
        {"tilt", "+0.2", 16, "+0.2", 0.2},
        {"tilt", "+3.2", -1, "", nullptr},
        {"tilt", "0.5", -1, "", nullptr},
        {"out-sub", "-10.0", 0, "-10.0", -10.0},
        {"OUT_ADJ_SUB", "+10", 40, "+10.0", 10.0},
        {"out-sub", "+10.5", -1, "", nullptr},
        {"mute", "on", 1, "on", true},
        {"MUTE", "off", 0, "off", false},
        {"mute", "maybe", -1, "", nullptr},
        {"power", "standby", 0, "standby", std::string("standby")},
        {"power", "on", 1, "on", std::string("on")},
        {"power", "off", -1, "", nullptr},
        {"input", "1", 0, "Tape", std::string("Tape")},
        {"input", "8", 7, "VCR", std::string("VCR")},
        {"input", "0", -1, "", nullptr},
        {"input", "9", -1, "", nullptr},
        {"input", "vdisc", 5, "V-Disc", std::string("V-Disc")},
        {"record-input", "DVD", 6, "DVD", std::string("DVD")},
        {"subwoofer", "none", 0, "none", std::string("none")},
        {"subwoofer", "40", 3, "40", std::string("40")},
        {"subwoofer", "20", -1, "", nullptr},
        {"front-speakers", "none", -1, "", nullptr},
        {"side-type", "dipole", 1, "dipole", std::string("dipole")},
        {"zone2-volume", "+12", 92, "+12", 12LL},
        {"zone2-balance", "-17", -1, "", nullptr},
    };
    for (const FormCase& c : cases) {
        SCOPED_TRACE(std::string(c.control) + " " + c.text);
        const auto control = findControl(c.control);
        ASSERT_TRUE(control);
        std::string error;
        const auto request = parseRequest(*control, c.text, nullptr, error);
        if (c.raw < 0) {
            EXPECT_FALSE(request);
            EXPECT_NE(error.find(control->name), std::string::npos) << error;
            continue;
        }
        ASSERT_TRUE(request) << error;
        EXPECT_EQ(request->form, Request::Form::Absolute);
        EXPECT_EQ(request->value.raw, c.raw);
        EXPECT_EQ(formatText(*control, request->value), c.shown);
        EXPECT_EQ(formatJson(*control, request->value), c.json);
        // The text form reads back to the same value.
        const auto again = parseRequest(*control, c.shown, nullptr, error);
        ASSERT_TRUE(again) << error;
        EXPECT_EQ(again->value.raw, c.raw);
    }
}

TEST(ControlsTable, RelativeChangesInPageUnits)
{
    struct Case {
        const char* control;
        const char* text;
        int delta; // raw steps, or 99: refused
    };
    const Case cases[] = {
        {"volume", "+=2", 2},  {"volume", "-=10", -10}, {"bass", "-=0.5", -1}, {"bass", "+=1", 2},
        {"tilt", "+=0.4", 2},  {"out-center", "-=1.5", -3}, {"balance", "+=1", 1},
        {"volume", "+=", 99},  {"volume", "+=-2", 99},  {"bass", "+=0.2", 99}, {"mute", "+=1", 99},
        {"input", "+=1", 99},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.control) + " " + c.text);
        const auto control = findControl(c.control);
        ASSERT_TRUE(control);
        std::string error;
        const auto request = parseRequest(*control, c.text, nullptr, error);
        if (c.delta == 99) {
            EXPECT_FALSE(request && request->form == Request::Form::Relative);
            continue;
        }
        ASSERT_TRUE(request) << error;
        EXPECT_EQ(request->form, Request::Form::Relative);
        EXPECT_EQ(request->delta, c.delta);
    }
}

TEST(ControlsTable, EveryNameAndAliasFindsItsRowAndReadOnlyRowsRefuseValues)
{
    for (const Control& c : controlTable()) {
        ASSERT_TRUE(findControl(c.name)) << c.name;
        EXPECT_EQ(findControl(c.name)->name, c.name);
        if (!c.alias.empty())
            EXPECT_EQ(findControl(c.alias)->name, c.name) << c.alias;
        std::string error;
        if (c.setter == Setter::ReadOnly)
            EXPECT_FALSE(parseRequest(c, "1", nullptr, error)) << c.name;
    }
    EXPECT_FALSE(findControl("nosuch"));
    EXPECT_FALSE(findControl(""));
}

TEST(ControlsTable, EachControlHasItsPageStepAndChoices)
{
    const struct {
        const char* control;
        const char* group;
        double step;
        std::vector<std::string> choices;
    } cases[] = {
        {"volume", "General", 1.0, {}},
        {"input", "General", 0, {"Tape", "Tuner", "CD", "Aux", "TV", "V-Disc", "DVD", "VCR"}},
        {"bass", "Equalization", 0.5, {}},
        {"tilt", "Equalization", 0.2, {}},
        {"out-sub", "Output Levels", 0.5, {}},
        {"zone2-volume", "Zone 2", 1.0, {}},
        {"record-input", "Zone 2", 0, {"Tape", "Tuner", "CD", "Aux", "TV", "V-Disc", "DVD", "VCR"}},
        {"front-speakers", "Speaker Config", 0, {"small-120", "small-80", "small-40", "large"}},
        {"subwoofer", "Speaker Config", 0, {"none", "120", "80", "40"}},
        {"side-type", "Speaker Config", 0, {"standard", "dipole"}},
        {"input-name-8", "Names", 0, {}},
        {"rom", "Info", 0, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.control);
        const auto control = findControl(c.control);
        ASSERT_TRUE(control);
        const Layout l = layoutOf(*control);
        EXPECT_EQ(l.group, c.group);
        EXPECT_DOUBLE_EQ(l.step, c.step);
        EXPECT_EQ(l.choices, c.choices);
        // A choice is a value the control takes, and reads back as itself.
        for (std::size_t i = 0; i < l.choices.size(); ++i) {
            std::string error;
            const auto r = parseRequest(*control, l.choices[i], nullptr, error);
            ASSERT_TRUE(r) << l.choices[i] << ": " << error;
            EXPECT_EQ(formatText(*control, r->value), l.choices[i]);
        }
    }
    // Every row of the table is on one of the panel's seven pages.
    const std::vector<std::string> pages = {"Info", "General", "Speaker Config", "Output Levels",
                                            "Equalization", "Zone 2", "Names"};
    for (const Control& c : controlTable())
        EXPECT_NE(std::find(pages.begin(), pages.end(), layoutOf(c).group), pages.end()) << c.name;
}

TEST(ControlsNames, Utf8ToTheUnitsLatin1AndBack)
{
    struct Case {
        const char* utf8;
        std::size_t limit;
        const char* unit; // nullptr: refused
    };
    const Case cases[] = {
        {"Caf\xC3\xA9", 8, "Caf\xE9"},            // é is one character the unit stores
        {"\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9", 8, "\xE9\xE9\xE9\xE9\xE9\xE9\xE9\xE9"},
        {"\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9", 8, nullptr}, // nine
        {"SAT TV", 8, "SAT TV"},
        {"Line\nTwo", 20, nullptr},
        {"\x1B[2J", 20, nullptr},
        {"\xC2\x85", 20, nullptr},                 // a C1 control
        {"\xE2\x82\xAC", 20, nullptr},             // the euro sign is not in Latin-1
        {"\xC3", 20, nullptr},                     // cut short
        {"\xC0\xA9", 20, nullptr},                 // overlong
        {"", 8, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.utf8);
        std::string error;
        const auto unit = toUnitText(c.utf8, c.limit, error);
        if (!c.unit) {
            EXPECT_FALSE(unit);
            EXPECT_FALSE(error.empty());
            continue;
        }
        ASSERT_TRUE(unit) << error;
        EXPECT_EQ(*unit, c.unit);
        EXPECT_EQ(fromUnitText(*unit), c.utf8);
    }
    EXPECT_EQ(escapeControlCharacters("a\x1B[2Jb\n\\" "\xC2\x85" "\xC3\xA9"), "a\\e[2Jb\\n\\\\\\x85\xC3\xA9");
}

TEST(ControlsKeys, TheSimulatorsKeyNames)
{
    EXPECT_EQ(irKeyCode("INPUT_DVD"), std::optional<std::uint8_t>(0x12));
    EXPECT_EQ(irKeyCode("zone2_mute"), std::optional<std::uint8_t>(0x55));
    EXPECT_EQ(irKeyCode("ON"), std::optional<std::uint8_t>(0x18));
    EXPECT_FALSE(irKeyCode("NOSUCH"));
}

} // namespace
} // namespace bm::controls

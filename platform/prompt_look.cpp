// The messages that are not plain errors, one row each.
#include "platform/prompt_look.h"

namespace bm {
namespace {

struct LookRow {
    const char* text;
    PromptLook look;
};

constexpr LookRow kLooks[] = {
    // The factory reset wipes the unit: Enter must not confirm it.
    {"Do you really wish to Reset the Ridaziv's configuration to factory defaults?", {PromptIcon::Warning, true}},
    {"Are you absolutely sure?", {PromptIcon::Warning, true}},
    {"ROM Timestamp mismatch. About to reload internal variables.", {PromptIcon::Information, false}},
    {"Save Successful!", {PromptIcon::Information, false}},
    {"NAK Received. Press OK to Retry.", {PromptIcon::Warning, false}},
    {"Timeout. Press Enter to Retry!", {PromptIcon::Warning, false}},
};

} // namespace

PromptLook promptLook(std::string_view text, PromptButtons buttons)
{
    for (const LookRow& row : kLooks)
        if (text == row.text)
            return row.look;
    return {buttons == PromptButtons::Ok ? PromptIcon::Error : PromptIcon::Question, false};
}

} // namespace bm

// How a message box presents each of the program's messages: the icon users
// expect for it (an error, a warning before something drastic, plain news,
// a question) and whether the safe answer, Cancel, is the default.
#pragma once

#include "platform/prompt.h"

#include <string_view>

namespace bm {

enum class PromptIcon { Error, Warning, Information, Question };

struct PromptLook {
    PromptIcon icon = PromptIcon::Error;
    bool defaultCancel = false; // Enter answers Cancel
};

// Messages not in the table are errors when they only offer OK, questions
// when they offer OK and Cancel.
PromptLook promptLook(std::string_view text, PromptButtons buttons);

} // namespace bm

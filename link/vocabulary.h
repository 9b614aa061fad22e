// The words every face shares: how an operation or a set ended, and where the
// line to the unit stands. Each has one word for programs (the JSON API, MQTT,
// brennmark-cli's --json and scripts) and one text for people (the status
// line, the command line's messages, logs). Nothing else spells them.
#pragma once

#include "link/link_state.h"

#include <optional>
#include <string_view>

namespace bm {

// How an operation on the line, or a set of one control, ended.
enum class Outcome : int {
    Pending,     // not ended yet (nothing was sent)
    Done,        // the unit answered as asked (a set: and reports the value asked for)
    Unchanged,   // a set of the value the unit had already: nothing was sent
    Refused,     // the unit answered DC_NAK
    NotAnswered, // no (matching) answer within the bound: a write may still be applied
    LineLost,    // the line was lost (or was lost already) while it waited or ran
    Cancelled,   // cancelled by its owner or ended by the link's close
    Unconfirmed, // a write the unit acknowledged, then never confirmed by its restart
    Mismatch,    // acknowledged, but the unit reports another value
    Invalid,     // not a value this control or this unit takes: nothing was sent
    Superseded,  // a newer set of the same control replaced it before it was sent
    Busy,        // too much work waits for the line already: nothing was sent
};

// "not_answered": the word programs read.
const char* outcomeWord(Outcome outcome);
// "not answered": the text people read.
const char* outcomeText(Outcome outcome);
// The outcome a word names; nothing for a word that names none.
std::optional<Outcome> outcomeFromWord(std::string_view word);

// "not_answering": the word programs read.
const char* lineStateWord(LineState state);
// "not answering": the text people read (the status line's own sentences are
// built around it).
const char* lineStateText(LineState state);

// The unit's own sleep and wake-up (DC_SLEEP, DC_WAKEUP), as every face's
// event words them: {"event":"power","state":"asleep"} or "awake".
const char* powerEventWord(bool asleep);

} // namespace bm

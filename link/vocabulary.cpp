#include "link/vocabulary.h"

#include <iterator>

namespace bm {
namespace {

struct OutcomeWords {
    Outcome outcome;
    const char* word;
    const char* text;
};

constexpr OutcomeWords kOutcomes[] = {
    {Outcome::Pending, "pending", "not finished"},
    {Outcome::Done, "done", "done"},
    {Outcome::Unchanged, "unchanged", "unchanged"},
    {Outcome::Refused, "refused", "refused by the unit"},
    {Outcome::NotAnswered, "not_answered", "not answered"},
    {Outcome::LineLost, "line_lost", "line lost"},
    {Outcome::Cancelled, "cancelled", "cancelled"},
    {Outcome::Unconfirmed, "not_confirmed", "acknowledged by the unit but not confirmed"},
    {Outcome::Mismatch, "mismatch", "the unit reports another value"},
    {Outcome::Invalid, "invalid", "invalid"},
    {Outcome::Superseded, "superseded", "superseded"},
    {Outcome::Busy, "busy", "busy"},
};

struct LineWords {
    LineState state;
    const char* word;
    const char* text;
};

constexpr LineWords kLines[] = {
    {LineState::Connected, "connected", "connected"},
    {LineState::Asleep, "asleep", "asleep"},
    {LineState::NotAnswering, "not_answering", "not answering"},
    {LineState::Lost, "lost", "lost"},
    {LineState::Reconnecting, "reconnecting", "reconnecting"},
};

const OutcomeWords& outcomeRow(Outcome outcome)
{
    for (const OutcomeWords& row : kOutcomes)
        if (row.outcome == outcome)
            return row;
    return kOutcomes[0];
}

const LineWords& lineRow(LineState state)
{
    for (const LineWords& row : kLines)
        if (row.state == state)
            return row;
    return kLines[3]; // lost: a state this table does not know is no line to use
}

} // namespace

const char* outcomeWord(Outcome outcome)
{
    return outcomeRow(outcome).word;
}

const char* outcomeText(Outcome outcome)
{
    return outcomeRow(outcome).text;
}

std::optional<Outcome> outcomeFromWord(std::string_view word)
{
    for (const OutcomeWords& row : kOutcomes)
        if (word == row.word)
            return row.outcome;
    return std::nullopt;
}

const char* lineStateWord(LineState state)
{
    return lineRow(state).word;
}

const char* lineStateText(LineState state)
{
    return lineRow(state).text;
}

const char* powerEventWord(bool asleep)
{
    return asleep ? "asleep" : "awake";
}

} // namespace bm

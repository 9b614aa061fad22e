// The one vocabulary: each outcome and line state has one word for programs
// (the words the JSON API and its schema already use) and one text for people,
// and a word reads back as the outcome it names.
#include "link/vocabulary.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace bm {
namespace {

TEST(Vocabulary, OutcomesHaveOneWordAndOneText)
{
    struct Row {
        Outcome outcome;
        const char* word;
        const char* text;
    };
    const Row rows[] = {
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
    };
    std::set<std::string> words;
    for (const Row& row : rows) {
        EXPECT_STREQ(outcomeWord(row.outcome), row.word);
        EXPECT_STREQ(outcomeText(row.outcome), row.text);
        EXPECT_EQ(outcomeFromWord(row.word), row.outcome) << row.word;
        EXPECT_EQ(std::string(row.word).find(' '), std::string::npos) << row.word;
        words.insert(row.word);
    }
    EXPECT_EQ(words.size(), std::size(rows));
    for (const char* notAWord : {"not answered", "", "Done", "not-answered"})
        EXPECT_FALSE(outcomeFromWord(notAWord).has_value()) << notAWord;
}

TEST(Vocabulary, LineStatesAndPowerHaveTheApisWords)
{
    struct Row {
        LineState state;
        const char* word;
        const char* text;
    };
    const Row rows[] = {
        {LineState::Connected, "connected", "connected"},
        {LineState::Asleep, "asleep", "asleep"},
        {LineState::NotAnswering, "not_answering", "not answering"},
        {LineState::Lost, "lost", "lost"},
        {LineState::Reconnecting, "reconnecting", "reconnecting"},
    };
    for (const Row& row : rows) {
        EXPECT_STREQ(lineStateWord(row.state), row.word);
        EXPECT_STREQ(lineStateText(row.state), row.text);
    }
    EXPECT_STREQ(powerEventWord(true), "asleep");
    EXPECT_STREQ(powerEventWord(false), "awake");
}

} // namespace
} // namespace bm

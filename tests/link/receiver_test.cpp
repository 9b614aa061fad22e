// The receiver without its thread: bytes go in through ReceiverPass, and the
// ring, the validation, the capture diversion, the link's routing and the
// time-out rule are checked through the client, the owner window and the prompt.
#include "link_rig.h"

#include <gtest/gtest.h>

#include <sstream>

namespace bm::test {
namespace {

class Receiver : public ::testing::Test {
protected:
    void SetUp() override
    {
        link = &rig.offline();
        rig.client.clear();
    }

    Rig rig;
    CQuorControl* link = nullptr;
};

TEST_F(Receiver, WholeSplitAndByteByBytePacketsAreRoutedOnceComplete)
{
    const Bytes status = frame(DC_RESP_SYS_STATUS, {1, 2, 0xF1, 0xF2, 5, 6, 7, 8, 9});
    std::size_t routedSoFar = 0;

    rig.feed(status);
    ASSERT_EQ(rig.client.routed().size(), ++routedSoFar);

    for (std::size_t cut = 1; cut < status.size(); ++cut) {
        rig.feed(Bytes(status.begin(), status.begin() + cut));
        EXPECT_EQ(rig.client.routed().size(), routedSoFar) << "routed before complete, cut " << cut;
        rig.feed(Bytes(status.begin() + cut, status.end()));
        ASSERT_EQ(rig.client.routed().size(), ++routedSoFar) << "cut " << cut;
    }

    for (std::uint8_t b : status)
        rig.feed(Bytes{b});
    ASSERT_EQ(rig.client.routed().size(), ++routedSoFar);

    for (const Bytes& r : rig.client.routed())
        EXPECT_EQ(r, status);
    EXPECT_EQ(link->state().ResponsesReceived.load(), routedSoFar);
    const auto responses = rig.posted(WM_UNIT_RESPONSE);
    ASSERT_EQ(responses.size(), routedSoFar);
    EXPECT_EQ(responses.back().first, DC_RESP_SYS_STATUS);
    EXPECT_EQ(responses.back().payload, status);
}

TEST_F(Receiver, NoiseIsDroppedByteByByteWithOneTraceLineEach)
{
    std::ostringstream out;
    link->attachTrace(&out);
    rig.feed({0x00, 0xF1, 0x03, 0x16, 0x00, 0xF2});

    EXPECT_EQ(out.str(), "\r\nINSERTING 6 Bytes INTO RING BUFFER...\r\n"
                         " 00 f1 03 16 00 f2\r\n"
                         "BYTE NOT PART OF PACKET = 00  HEAD=0  TAIL=6\r\n"
                         "\r\nREAD RING PACKET  CMD=16 (DC_CMD_GET_SYS_STATUS)  LEN=5  HEAD=6  TAIL=6\r\n"
                         " f1 03 16 00 f2"
                         "\r\n");
    EXPECT_EQ(rig.client.routed(), (std::vector<Bytes>{frame(DC_CMD_GET_SYS_STATUS)}));
    EXPECT_EQ(link->state().ResponsesReceived.load(), 1u);

    link->detachTrace();
    EXPECT_FALSE(link->tracing());
    out.str("");
    rig.feed({0x07, 0xF1, 0x03, 0x16, 0x00, 0xF2});
    link->tracef("GetSysParams....\r\n");
    EXPECT_EQ(out.str(), "");
    EXPECT_EQ(rig.client.routed().size(), 2u);
}

TEST_F(Receiver, TraceDumpsBreakEverySixteenBytes)
{
    std::string traced;
    link->attachTrace([&](std::string_view s) { traced += s; });
    const Bytes values = frame(DC_RESP_SYS_PARAM_VALUES, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11});
    ASSERT_EQ(values.size(), 17u);
    rig.feed(values);
    EXPECT_EQ(traced, "\r\nINSERTING 17 Bytes INTO RING BUFFER...\r\n"
                      " f1 0f 84 0c 00 01 02 03 : 04 05 06 07 08 09 0a 0b\r\n f2\r\n"
                      "\r\nREAD RING PACKET  CMD=84 (DC_RESP_SYS_PARAM_VALUES)  LEN=17  HEAD=17  TAIL=17\r\n"
                      " f1 0f 84 0c 00 01 02 03 -  04 05 06 07 08 09 0a 0b\r\n f2"
                      "\r\n");

    // The model's own lines, short and long, reach the same sink.
    traced.clear();
    const std::string wide(300, 'x');
    link->tracef("BASS: OLD=%d  NEW=%d  TARGET=%d\r\n", 10, 11, 14);
    link->tracef("%s|", wide.c_str());
    EXPECT_EQ(traced, "BASS: OLD=10  NEW=11  TARGET=14\r\n" + wide + "|");
}

TEST_F(Receiver, MalformedPacketsAreCountedAndDropped)
{
    std::ostringstream out;
    link->attachTrace(&out);
    link->state().ResponseReceived = false;

    rig.feed({0xF1, 0x00}); // a two-byte packet
    EXPECT_NE(out.str().find("LEN=2"), std::string::npos);
    EXPECT_NE(out.str().find("INVALID PACKET RECEIVED!\r\n"), std::string::npos);
    rig.feed({0xF1, 0x03, 0x16, 0x01, 0xF2}); // L is not N - 3
    EXPECT_EQ(link->state().ResponsesReceived.load(), 2u);
    EXPECT_TRUE(link->state().UnitHeard.load());

    // A stray start with a long count swallows the packet behind it.
    rig.feed(concat({{0xF1, 0x07}, frame(DC_ACK, {}), {0x00, 0x00}}));
    EXPECT_EQ(link->state().ResponsesReceived.load(), 3u);

    EXPECT_TRUE(rig.client.routed().empty());
    EXPECT_TRUE(rig.owner.history().empty());
    EXPECT_FALSE(link->state().ResponseReceived.load());

    // Framing recovers with the next packet.
    rig.feed(frame(DC_ACK, {0x16}));
    EXPECT_EQ(rig.client.routed(), (std::vector<Bytes>{frame(DC_ACK, {0x16})}));
    EXPECT_TRUE(link->state().ResponseReceived.load());
}

TEST_F(Receiver, TwoPacketsInOneReadAreRoutedInOrder)
{
    const Bytes ack = frame(DC_ACK, {0x21});
    const Bytes status = frame(DC_RESP_REC_ZONE2_STATUS, {1, 2, 3, 4, 5});
    rig.feed(concat({ack, status}));
    EXPECT_EQ(rig.client.routed(), (std::vector<Bytes>{ack, status}));
}

TEST_F(Receiver, FullRingDropsTheRestOfTheChunk)
{
    // 206 five-byte packets; the ring holds 1023 bytes: 204 packets and the
    // first three bytes of the 205th. Capture counts the valid packets.
    link->state().SaveCaptureActive = true;
    Bytes burst;
    for (int i = 0; i < 206; ++i) {
        const Bytes ack = frame(DC_ACK);
        burst.insert(burst.end(), ack.begin(), ack.end());
    }
    rig.feed(burst);
    EXPECT_EQ(link->state().ResponsesReceived.load(), 204u);

    // The stored head of the 205th completes across the wrap of the ring; the
    // dropped tail of the chunk never shows up.
    rig.feed({0x00, 0xF2});
    EXPECT_EQ(link->state().ResponsesReceived.load(), 205u);
    std::size_t captured = 0;
    while (auto p = link->PopCaptured()) {
        EXPECT_EQ(bytesOf(*p), frame(DC_ACK));
        ++captured;
    }
    EXPECT_EQ(captured, 205u);
}

TEST_F(Receiver, CaptureDivertsValidPacketsOnly)
{
    LinkState& s = link->state();
    std::atomic<bool>* flags[] = {&s.SaveCaptureActive, &s.RestoreCaptureActive, &s.ParamCaptureActive};
    for (std::atomic<bool>* flag : flags) {
        *flag = true;
        s.ResponseReceived = false;
        rig.feed(concat({frame(DC_ACK, {0x1E}), {0xF1, 0x00}, frame(DC_PARAM_CHG_MSG, {5, 6})}));
        *flag = false;

        EXPECT_FALSE(s.ResponseReceived.load());
        EXPECT_FALSE(s.SendSuppressed.load());
        const auto first = link->PopCaptured();
        const auto second = link->PopCaptured();
        ASSERT_TRUE(first && second);
        EXPECT_EQ(bytesOf(*first), frame(DC_ACK, {0x1E}));
        EXPECT_EQ(bytesOf(*second), frame(DC_PARAM_CHG_MSG, {5, 6}));
        EXPECT_FALSE(link->PopCaptured());
    }
    EXPECT_TRUE(rig.client.calls().empty());
    EXPECT_TRUE(rig.owner.history().empty());

    s.ParamCaptureActive = true;
    rig.feed(concat({frame(DC_ACK), frame(DC_ACK)}));
    link->DiscardCaptured();
    EXPECT_FALSE(link->PopCaptured());
}

TEST_F(Receiver, DisabledLinkDropsWhatItReads)
{
    link->DisableLink();
    rig.feed(concat({frame(DC_ACK), {0xF1, 0x03}}));
    link->EnableLink();
    rig.feed(frame(DC_RESP_SYS_STATUS, {9}));
    EXPECT_EQ(rig.client.routed(), (std::vector<Bytes>{frame(DC_RESP_SYS_STATUS, {9})}));
    EXPECT_EQ(link->state().ResponsesReceived.load(), 1u);
}

TEST_F(Receiver, UnsolicitedChangeSuppressesSendingAndNotifies)
{
    LinkState& s = link->state();
    s.ResponseReceived = false;
    rig.feed(frame(DC_PARAM_CHG_MSG, {0x21, 0x40}));

    // The suppression is in force before the model mirrors the change.
    EXPECT_EQ(rig.client.calls(), (std::vector<std::string>{"store 21 40", "mirror 21 40 suppressed"}));
    EXPECT_TRUE(s.SendSuppressed.load());
    EXPECT_FALSE(s.ResponseReceived.load());
    EXPECT_TRUE(rig.owner.timerActive(kSuppressionTimer));
    const auto changed = rig.posted(WM_PARAM_CHANGED);
    ASSERT_EQ(changed.size(), 1u);
    EXPECT_EQ(changed[0].first, 0x21u);
    EXPECT_EQ(changed[0].second, 0x40u);

    // A second change restarts the suppression.
    const int starts = rig.owner.timerStarts(kSuppressionTimer);
    rig.feed(frame(DC_PARAM_CHG_MSG, {0x21, 0x41}));
    EXPECT_EQ(rig.owner.timerStarts(kSuppressionTimer), starts + 1);
    // The first suppression's expiry, arriving after the second change
    // restarted the timer, does not end the second one.
    EXPECT_FALSE(rig.owner.expirePeriod(kSuppressionTimer, rig.owner.timerStarts(kSuppressionTimer) - 1));
    EXPECT_TRUE(s.SendSuppressed.load());
    EXPECT_TRUE(rig.owner.timerActive(kSuppressionTimer));

    const std::uint32_t sent = s.CommandsSent.load();
    const std::size_t queued = link->queuedPackets();
    EXPECT_EQ(link->SendPacket(framePacket(DC_CMD_SET_SYS_VOLUME, {3})), 1);
    EXPECT_EQ(s.CommandsSent.load(), sent + 1);
    EXPECT_EQ(link->queuedPackets(), queued);

    ASSERT_TRUE(rig.owner.fireTimer(kSuppressionTimer));
    EXPECT_FALSE(s.SendSuppressed.load());
    EXPECT_FALSE(rig.owner.timerActive(kSuppressionTimer));
    link->SendPacket(framePacket(DC_CMD_SET_SYS_VOLUME, {3}));
    EXPECT_EQ(link->queuedPackets(), queued + 1);
}

TEST_F(Receiver, ChangeInsideTheResponseWindowIsOnlyStoredAndMirrored)
{
    link->state().ResponseWindowOpen = true;
    rig.feed(frame(DC_PARAM_CHG_MSG, {0x07, 0x02}));
    EXPECT_EQ(rig.client.calls(), (std::vector<std::string>{"store 07 02", "mirror 07 02"}));
    EXPECT_FALSE(link->state().SendSuppressed.load());
    EXPECT_EQ(rig.owner.timerStarts(kSuppressionTimer), 0);
    EXPECT_TRUE(rig.posted(WM_PARAM_CHANGED).empty());
}

TEST_F(Receiver, ChangeNotifiesOnlyIfTheWindowIsStillClosedAfterTheMirror)
{
    // The model's tone stepping sends from inside the mirror, which opens the window.
    rig.client.onMirror = [this] { link->state().ResponseWindowOpen = true; };
    rig.feed(frame(DC_PARAM_CHG_MSG, {0x0B, 0x0C}));
    EXPECT_TRUE(link->state().SendSuppressed.load());
    EXPECT_TRUE(rig.posted(WM_PARAM_CHANGED).empty());
}

TEST_F(Receiver, ShortChangeMessagesAreIgnored)
{
    rig.feed(frame(DC_PARAM_CHG_MSG, {0x21}));
    rig.feed(frame(DC_PARAM_CHG_MSG));
    EXPECT_TRUE(rig.client.calls().empty());
    EXPECT_TRUE(rig.owner.history().empty());
    EXPECT_FALSE(link->state().SendSuppressed.load());
    EXPECT_EQ(link->state().ResponsesReceived.load(), 2u);
}

TEST_F(Receiver, UnitMessagesAreNotAnswers)
{
    LinkState& s = link->state();
    s.ResponseReceived = false;
    s.StatusSweepActive = false;

    const auto start = std::chrono::steady_clock::now();
    rig.feed(frame(DC_WAKEUP));
    EXPECT_GE(elapsedMs(start), 200); // the unit settles before the sweep starts
    EXPECT_TRUE(s.StatusSweepActive.load());
    EXPECT_EQ(s.CommandsSent.load(), 2u); // front-panel reports on, then the sweep
    EXPECT_EQ(link->queuedPackets(), 2u);

    rig.feed(frame(DC_SLEEP));
    const auto power = rig.posted(WM_UNIT_POWER);
    ASSERT_EQ(power.size(), 2u);
    EXPECT_EQ(power[0].first, 0u);
    EXPECT_EQ(power[1].first, 1u);
    EXPECT_EQ(power[1].second, 0u);

    Bytes display(42, ' ');
    std::copy_n("  DOLBY DIGITAL  -20 ", 21, display.begin());
    rig.feed(bytesOf(framePacket(DC_FPD, display.data(), display.size())));
    rig.feed(frame(DC_PARAM_CHG_MSG, {1, 2}));

    EXPECT_FALSE(s.ResponseReceived.load());
    EXPECT_EQ(rig.client.calls(),
              (std::vector<std::string>{"route 01", "route 02", "fpd 42", "store 01 02", "mirror 01 02 suppressed"}));
    const auto panel = rig.posted(WM_FRONT_PANEL);
    ASSERT_EQ(panel.size(), 1u);
    const std::string first(panel[0].payload.begin(), panel[0].payload.end());
    EXPECT_EQ(first, std::string("  DOLBY DIGITAL  -20 ") + '\0');
}

TEST_F(Receiver, FrontPanelLineNeverReadsPastThePacket)
{
    rig.feed(frame(DC_FPD, {'A', 'B', 'C'}));
    rig.feed(frame(DC_FPD, {'X', 'Y', 0, 'Z'}));
    rig.feed(frame(DC_FPD));
    const auto panel = rig.posted(WM_FRONT_PANEL);
    ASSERT_EQ(panel.size(), 3u);
    EXPECT_EQ(panel[0].payload, (Bytes{'A', 'B', 'C', 0}));
    EXPECT_EQ(panel[1].payload, (Bytes{'X', 'Y', 0}));
    EXPECT_EQ(panel[2].payload, (Bytes{0}));
    EXPECT_EQ(rig.client.calls(), (std::vector<std::string>{"fpd 3", "fpd 4", "fpd 0"}));
}

TEST_F(Receiver, AnswersSetResponseReceivedAndReachTheModel)
{
    LinkState& s = link->state();
    struct Case {
        Bytes packet;
        bool notifies;
    };
    const Case cases[] = {
        {frame(DC_ACK, {0x21}), false},
        {frame(DC_RESP_FPD_CTRL_STATUS, {1, 2, 3, 4}), false},
        {frame(DC_RESP_UNIT_CONFIG, {2, 4, 0}), true},
        {frame(DC_RESP_EFFECT_PARAM_DEF), true},
        {frame(0x77, {1}), true}, // outside the table
    };
    for (const Case& c : cases) {
        rig.client.clear();
        rig.owner.clearHistory();
        s.ResponseReceived = false;
        rig.feed(c.packet);
        EXPECT_TRUE(s.ResponseReceived.load()) << c.packet[2];
        EXPECT_EQ(rig.client.routed(), (std::vector<Bytes>{c.packet}));
        const auto responses = rig.posted(WM_UNIT_RESPONSE);
        ASSERT_EQ(responses.size(), c.notifies ? 1u : 0u) << c.packet[2];
        if (c.notifies) {
            EXPECT_EQ(responses[0].first, c.packet[2]);
            EXPECT_EQ(responses[0].payload, c.packet);
        }
    }
}

TEST_F(Receiver, EffectDefinitionBecomesCurrentBeforeTheModelStoresIt)
{
    link->state().ResponseReceived = false;
    rig.feed(frame(DC_RESP_EFFECT_DEF, {5, 9, 'T', 'H', 'X', 0}));
    EXPECT_TRUE(link->state().ResponseReceived.load());
    EXPECT_EQ(rig.client.calls(), (std::vector<std::string>{"effect 05", "route 85"}));
    const auto changed = rig.posted(WM_PARAM_CHANGED);
    ASSERT_EQ(changed.size(), 1u);
    EXPECT_EQ(changed[0].first, 5u);
    EXPECT_EQ(changed[0].second, 9u);

    // Too short to name the effect: still an answer, nothing made current.
    rig.client.clear();
    rig.feed(frame(DC_RESP_EFFECT_DEF, {5}));
    EXPECT_EQ(rig.client.calls(), (std::vector<std::string>{"route 85"}));
    EXPECT_EQ(rig.posted(WM_PARAM_CHANGED).size(), 1u);
}

TEST_F(Receiver, NakAsksAndResendsNothingWhenNothingWasWritten)
{
    link->state().ResponseReceived = false;
    rig.feed(frame(DC_NAK, {0x00, 0x11}));
    EXPECT_TRUE(link->state().ResponseReceived.load());
    EXPECT_EQ(rig.prompt.texts(), (std::vector<std::string>{"NAK Received. Press OK to Retry."}));
    EXPECT_EQ(link->queuedPackets(), 0u);
    EXPECT_EQ(link->state().CommandsSent.load(), 0u);
}

TEST(ReceiverWithoutClient, EveryCodeIsHandled)
{
    Rig rig;
    CQuorControl& link = rig.offline(false);
    Bytes all;
    for (int code = 0; code < 256; ++code) {
        if (code == DC_WAKEUP)
            continue; // slow, and covered above
        const Bytes p = frame(static_cast<std::uint8_t>(code), {1, 2});
        all.insert(all.end(), p.begin(), p.end());
        const Bytes bare = frame(static_cast<std::uint8_t>(code));
        all.insert(all.end(), bare.begin(), bare.end());
    }
    for (std::size_t at = 0; at < all.size(); at += 500)
        rig.feed(Bytes(all.begin() + at, all.begin() + std::min(all.size(), at + 500)));
    EXPECT_EQ(link.state().ResponsesReceived.load(), 510u);
    EXPECT_EQ(rig.prompt.count(), 2u); // the two NAKs
}

TEST_F(Receiver, TimeoutPromptOnlyDuringSweepOrDownloadOnceHeard)
{
    struct Flags {
        bool sweep, reload, answered, window, heard, prompts;
    };
    const Flags cases[] = {
        {true, false, false, false, true, true},
        {false, true, false, false, true, true},
        {true, true, false, false, true, true},
        {false, false, false, false, true, false}, // no sweep, no download
        {true, false, true, false, true, false},   // answered
        {true, false, false, true, true, false},   // window still open
        {true, false, false, false, false, false}, // unit never heard
    };
    LinkState& s = link->state();
    for (const Flags& f : cases) {
        rig.feed(frame(DC_ACK, {0})); // heard: each case is a new silence
        rig.prompt.clear();
        s.StatusSweepActive = f.sweep;
        s.ReloadDefinitions = f.reload;
        s.ResponseReceived = f.answered;
        s.ResponseWindowOpen = f.window;
        s.UnitHeard = f.heard;
        rig.quietPass();
        EXPECT_EQ(rig.prompt.count(), f.prompts ? 1u : 0u)
            << f.sweep << f.reload << f.answered << f.window << f.heard;
    }

    // With every condition met: a pass that stores bytes does not apply the
    // rule, a pass whose bytes are dropped by the disabled link does.
    rig.feed(frame(DC_ACK, {0}));
    rig.prompt.clear();
    s.StatusSweepActive = true;
    s.ReloadDefinitions = false;
    s.ResponseReceived = false;
    s.ResponseWindowOpen = false;
    s.UnitHeard = true;
    rig.feed({0xF1});
    EXPECT_EQ(rig.prompt.count(), 0u);
    link->DisableLink();
    rig.feed({0x03});
    EXPECT_EQ(rig.prompt.texts(), (std::vector<std::string>{"Timeout. Press Enter to Retry!"}));
}

TEST_F(Receiver, WakeupDuringSendSuppressionStillGreetsAndSweeps)
{
    LinkState& s = link->state();
    s.StatusSweepActive = false;
    rig.feed(frame(DC_PARAM_CHG_MSG, {0x07, 0x30})); // the user at the unit: suppression on
    ASSERT_TRUE(s.SendSuppressed.load());

    rig.feed(frame(DC_WAKEUP));
    // The link's own requests are not page traffic: both go out, so the sweep
    // the flag announces really runs.
    EXPECT_TRUE(s.StatusSweepActive.load());
    EXPECT_EQ(link->queuedPackets(), 2u);
    EXPECT_EQ(s.CommandsSent.load(), 2u);
    // A page's send is still held off.
    link->SendPacket(framePacket(DC_CMD_SET_SYS_VOLUME, {40}));
    EXPECT_EQ(link->queuedPackets(), 2u);
    EXPECT_TRUE(s.SendSuppressed.load());
}

TEST_F(Receiver, OneTimeoutPromptPerSilenceThenNotAnswering)
{
    LinkState& s = link->state();
    auto silence = [&] {
        s.StatusSweepActive = true;
        s.ResponseReceived = false;
        s.ResponseWindowOpen = false;
        s.UnitHeard = true;
    };
    silence();
    rig.quietPass();
    ASSERT_EQ(rig.prompt.count(), 1u);
    EXPECT_EQ(rig.prompt.buttons(), (std::vector<PromptButtons>{PromptButtons::OkCancel}));
    EXPECT_EQ(link->line(), LineState::Connected);

    // The retry went unanswered too: no second prompt, the line is not answering.
    silence();
    rig.quietPass();
    rig.quietPass();
    EXPECT_EQ(rig.prompt.count(), 1u);
    EXPECT_EQ(link->line(), LineState::NotAnswering);
    auto lines = rig.posted(WM_LINE_STATE);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].first, static_cast<std::uint32_t>(LineState::NotAnswering));

    // The unit speaks again: connected, and a later silence is asked about once more.
    rig.feed(frame(DC_ACK, {0}));
    EXPECT_EQ(link->line(), LineState::Connected);
    lines = rig.posted(WM_LINE_STATE);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].first, static_cast<std::uint32_t>(LineState::Connected));
    silence();
    rig.quietPass();
    EXPECT_EQ(rig.prompt.count(), 2u);

    // Sleep and wake-up as the unit reports them.
    rig.feed(frame(DC_SLEEP));
    EXPECT_EQ(link->line(), LineState::Asleep);
    rig.feed(frame(DC_WAKEUP));
    EXPECT_EQ(link->line(), LineState::Connected);
}

TEST_F(Receiver, CancelDropsThePendingCommandAndEndsTheSweep)
{
    LinkState& s = link->state();
    s.StatusSweepActive = true;
    s.ResponseReceived = false;
    s.ResponseWindowOpen = false;
    s.UnitHeard = true;
    rig.prompt.scriptAnswers({PromptAnswer::Cancel, PromptAnswer::Cancel});
    rig.quietPass();
    EXPECT_EQ(rig.prompt.texts(), (std::vector<std::string>{"Timeout. Press Enter to Retry!"}));
    EXPECT_FALSE(s.StatusSweepActive.load()) << "a sweep left flagged would keep the pages from sending";
    EXPECT_TRUE(s.ResponseReceived.load());
    rig.quietPass();
    EXPECT_EQ(rig.prompt.count(), 1u) << "no retry, no second prompt";
    EXPECT_EQ(link->queuedPackets(), 0u);

    // A refusal, cancelled: nothing resent, whatever the refused code.
    s.StatusSweepActive = true;
    rig.feed(frame(DC_NAK, {0x00, 0x12}));
    EXPECT_EQ(rig.prompt.count(), 2u);
    EXPECT_EQ(rig.prompt.texts()[1], "NAK Received. Press OK to Retry.");
    EXPECT_EQ(rig.prompt.buttons()[1], PromptButtons::OkCancel);
    EXPECT_FALSE(s.StatusSweepActive.load());
    EXPECT_EQ(link->queuedPackets(), 0u);
}

} // namespace
} // namespace bm::test

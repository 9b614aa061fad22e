// The line as the controls table needs it, over one brennmark-cli session.
#include "cli/cli_controls.h"

#include "cli/cli_session.h"
#include "link/capture_scope.h"
#include "link/packet.h"
#include "link/quor_control.h"
#include "model/device_model.h"
#include "platform/settings_keys.h"

namespace bm::cli {
namespace {

using controls::Outcome;

// Sends with the capture on and waits for DC_ACK of `command` or a DC_NAK.
Outcome confirmed(CliSession& session, std::uint8_t command, const std::function<void()>& send,
                  std::string& error)
{
    CQuorControl& link = session.link();
    session.waitUntilSendAllowed();
    link.DiscardCaptured();
    std::optional<Packet> answer;
    {
        CaptureScope capture(link, link.state().ParamCaptureActive);
        send();
        answer = capture.await(matchAckOrNak(command),
                               link.timing(Timing::RestoreConfigWaitCount),
                               link.timing(Timing::RestoreConfigWaitInterval));
    }
    if (!answer) {
        error = "no answer from the unit";
        return Outcome::NotAnswered;
    }
    if (answer->code() == DC_NAK) {
        session.stopSending();
        const std::uint8_t why = answer->dataLength() >= 2 ? answer->data()[1] : 0;
        error = std::string("the unit refused the command (DC_NAK, ") + NakErrorName(why) + ")";
        return Outcome::Refused;
    }
    return Outcome::Done;
}

// A parameter write as the Speaker Config page makes it: the unit's values,
// read now, with `change` applied, all written back.
Outcome writeAllParams(CliSession& session, const std::function<int()>& change, std::string& error)
{
    DeviceModel& m = session.model();
    session.waitUntilSendAllowed();
    if (!m.GetSysParams(true)) {
        error = "no answer from the unit to the parameter read";
        return Outcome::NotAnswered;
    }
    if (change() < 0) {
        error = "the unit has no such parameter";
        return Outcome::Invalid;
    }
    if (m.SetSysParams(true) == 1)
        return Outcome::Done;
    // Sent and not answered, or acknowledged without the restart: the unit
    // may well apply it (a unit held up applies it once it runs again).
    const Outcome outcome = m.lastParamWrite();
    switch (outcome) {
    case Outcome::Pending:
        error = "nothing was sent: a parameter's definition is not held (its maximum is unknown)";
        return Outcome::Invalid;
    case Outcome::Refused:
        session.stopSending();
        error = "the unit refused the parameter write (DC_NAK)";
        return Outcome::Refused;
    case Outcome::NotAnswered:
        error = "not confirmed: the unit did not answer the parameter write (it may still apply it)";
        return Outcome::NotAnswered;
    case Outcome::Unconfirmed:
        error = "not confirmed: the unit acknowledged the parameter write but did not restart with it";
        return Outcome::Unconfirmed;
    default:
        error = "the line was lost";
        return Outcome::LineLost;
    }
}

} // namespace

DeviceModel& CliLine::model()
{
    return session_.model();
}

const controls::ReadLog& CliLine::readLog() const
{
    return session_.events().readLog();
}

Outcome CliLine::exchange(std::uint8_t command, const std::function<void()>& send, std::string& error)
{
    if (lineLost()) {
        error = "the line was lost";
        return Outcome::LineLost;
    }
    return confirmed(session_, command, send, error);
}

Outcome CliLine::writeParams(const std::function<int()>& change, std::string& error)
{
    if (lineLost()) {
        error = "the line was lost";
        return Outcome::LineLost;
    }
    return writeAllParams(session_, change, error);
}

bool CliLine::waitFor(const std::function<bool()>& done, int limitMs)
{
    session_.waitUntilSendAllowed();
    return session_.waitFor(done, limitMs);
}

bool CliLine::stepFailed() const
{
    return session_.prompt().retryAsked();
}

bool CliLine::reread()
{
    return !lineLost() && session_.sweep();
}

bool CliLine::customNameShown() const
{
    return session_.settings().readInt(keys::kSettings, keys::kEnableCustomName, 0) != 0;
}

bool CliLine::lineLost() const
{
    const auto line = session_.link().line();
    return line == LineState::Lost || line == LineState::Reconnecting;
}

} // namespace bm::cli

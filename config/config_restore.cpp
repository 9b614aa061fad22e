// The configuration restore, from a file the loader accepted. Only the
// header's names and the system parameter values are written; the effect
// records never reach the unit.
#include "config/config_restore.h"

#include "config/config_file.h"
#include "config/config_selective_restore.h"
#include "link/capture_scope.h"
#include "link/quor_control.h"
#include "model/device_model.h"
#include "platform/prompt.h"
#include "platform/sleep.h"

#include <algorithm>
#include <string>

namespace bm {

const char* restoreRefusal(const DeviceModel& model, const ConfigFileContents& file)
{
    const UnitConfig unit = model.unitConfig();
    if (file.header.unitConfig != unit.toBytes())
        return "Cannot restore to different firmware with this version of Brennmark.";
    // The loader saw to it that the record holds the header's TotalParams
    // values, the unit's once the identity fits; contents built any other way
    // are held to the same rule here.
    if (file.system.values.size() != unit.TotalParams)
        return "The configuration holds no system parameter values for this unit.";
    return nullptr;
}

bool RestoreConfiguration(DeviceModel& model, Prompt& prompt, const ConfigFileContents& file)
{
    CQuorControl& link = model.link();
    const int count = link.timing(Timing::RestoreConfigWaitCount);
    const int interval = link.timing(Timing::RestoreConfigWaitInterval);
    const int delay = link.timing(Timing::RestoreConfigExtraDelay);
    // Every way out clears the capture first, so packets arriving while a
    // message is open are routed again; what was captured before is dropped
    // when the scope ends.
    CaptureScope capture(link, link.state().RestoreCaptureActive);
    auto finish = [&](const char* message, bool result) {
        capture.release();
        if (message)
            prompt.ask(message);
        return result;
    };
    auto failed = [&](const char* message) { return finish(message, false); };

    if (const char* refusal = restoreRefusal(model, file))
        return failed(refusal);
    const UnitConfig unit = model.unitConfig();
    const ConfigFileHeader& header = file.header;

    const auto previous = model.paramValues();
    const int previousCount = model.paramValueCount();
    model.setParamValueCount(unit.TotalParams);

    const CaptureMatch nameAck = matchCodeAndFirst(DC_ACK, DC_CMD_SET_INPUT_NAME);
    for (int index = 0; index < kInputCount; ++index) {
        const std::string name = header.inputNameText(index).substr(0, kInputNameWidth);
        waitPumping(link.pump(), delay);
        model.SetInputName(index, name);
        if (!capture.await(nameAck, count, interval))
            return failed(nullptr);
        model.storeInputName(index, name);
    }

    const std::string customName = header.customNameText();
    waitPumping(link.pump(), delay);
    model.SetCustomName(false, customName);
    const CaptureMatch ackOrNak = matchAckOrNak(DC_CMD_SET_CUST_NAME);
    const std::optional<Packet> answer = capture.await(ackOrNak, count, interval);
    if (!answer)
        return failed(nullptr);
    if (answer->code() == DC_NAK)
        return failed("Restore Customname Parameters Failed.");
    model.storeCustomName(customName);

    model.setParamValues(file.system.values.data(), unit.TotalParams);
    waitPumping(link.pump(), delay);
    const int written = model.SetSysParams(true);
    if (written == -1) {
        // Nothing went out (too many values, or a definition missing): the
        // model keeps the unit's values, not the file's.
        model.setParamValues(previous.data(), kParamTableSize - 1);
        model.setParamValueCount(previousCount);
    }
    if (written != 1)
        return failed("Set Sys Parameters Failed.");
    return finish(nullptr, true);
}

namespace {

// Keeps what the restore says; answers every question with OK.
class KeepingPrompt : public Prompt {
public:
    PromptAnswer ask(const std::string& text, PromptButtons) override
    {
        texts.push_back(text);
        return PromptAnswer::Ok;
    }
    std::vector<std::string> texts;
};

} // namespace

RestoreRun restoreFromFile(DeviceModel& model, const ConfigFileContents& file, const RestoreSelection* selection,
                           bool customNameShown)
{
    RestoreRun run;
    const std::string failed = "Failed to restore configuration! ";
    if (selection) {
        int written = 0;
        std::string error;
        run.ok = RestoreSelected(model, file, *selection, customNameShown, written, error);
        run.written = written;
        if (!run.ok)
            run.error = failed + error;
        return run;
    }
    KeepingPrompt prompt;
    run.ok = RestoreConfiguration(model, prompt, file);
    if (run.ok)
        run.notes = prompt.texts;
    else
        run.error = failed + (prompt.texts.empty() ? "no answer from the unit" : prompt.texts.front());
    return run;
}

} // namespace bm

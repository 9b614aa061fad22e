// The configuration restore. Only the header and the system parameter values
// are read; effect records and ConfigMagic are never looked at, so a file that
// any writer of the documented layout made is accepted when its identity fits.
#include "config/config_restore.h"

#include "config/config_file.h"
#include "link/capture_scope.h"
#include "link/quor_control.h"
#include "model/device_model.h"
#include "platform/prompt.h"
#include "platform/sleep.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace bm {
namespace {

std::string tooShortText(std::size_t size, std::size_t expected)
{
    return "The configuration file is too short: " + std::to_string(size) + " bytes, at least " +
           std::to_string(expected) + " expected.";
}

std::string badRecordText(std::uint8_t code, std::uint8_t length, std::uint8_t totalParams)
{
    char text[200];
    std::snprintf(text, sizeof text,
                  "The configuration file holds no system parameter values for this unit: "
                  "record code %02x with %d values, code 84 with %d values expected.",
                  code, length, totalParams);
    return text;
}

} // namespace

bool RestoreConfiguration(DeviceModel& model, Prompt& prompt, const std::uint8_t* file,
                          std::size_t size)
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

    const UnitConfig unit = model.unitConfig();
    const std::size_t needed = restoreSizeFor(unit.TotalParams);
    // Nothing may be sent from bytes the file does not have; the identity test
    // needs the whole header, the values need the rest.
    if (size < ConfigFileHeader::kSize)
        return failed(tooShortText(size, needed).c_str());
    const ConfigFileHeader header = ConfigFileHeader::fromBytes(file);
    if (header.unitConfig != unit.toBytes())
        return failed("Cannot restore to different firmware with this version of Brennmark.");
    if (size < needed)
        return failed(tooShortText(size, needed).c_str());
    // The values are taken from the system parameter record only when it is
    // one and holds at least the unit's count; otherwise the bytes after the
    // header may be an effect record, and would go out as parameter values.
    const std::uint8_t* record = file + ConfigFileHeader::kSize;
    if (record[0] != DC_RESP_SYS_PARAM_VALUES || record[1] < unit.TotalParams)
        return failed(badRecordText(record[0], record[1], unit.TotalParams).c_str());

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

    model.setParamValues(record + kRecordPrefixSize, unit.TotalParams);
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

} // namespace bm

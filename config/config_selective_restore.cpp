// Selective restore, from a file the loader accepted; the identity check is
// the full restore's. The parameter write goes through SetSysParams as every
// other parameter write does, with the unit's freshly read values around the
// chosen ones.
#include "config/config_selective_restore.h"

#include "config/config_file.h"
#include "link/capture_scope.h"
#include "link/quor_control.h"
#include "model/controls.h"
#include "model/device_model.h"
#include "platform/sleep.h"

#include <algorithm>

namespace bm {
namespace {


struct Group {
    const char* word;
    std::vector<NamedParam> params;
};

const std::vector<Group>& groups()
{
    static const std::vector<Group> table = {
        {"speakers",
         {NamedParam::FRONT_SPKR, NamedParam::FRONT_HPASS_SMALL, NamedParam::FRONT_HPASS,
          NamedParam::CENTER_SPKR, NamedParam::BSPLIT_SMALL, NamedParam::BSPLIT, NamedParam::SIDE_SPKR,
          NamedParam::SIDE_STD_HPASS, NamedParam::SIDE_DIPOLE_HPASS, NamedParam::SIDE_HPASS,
          NamedParam::REAR_SPKR, NamedParam::REAR_SMALL_HPASS, NamedParam::REAR_HPASS,
          NamedParam::SUBWOOFER, NamedParam::SUB_LOWPASS}},
        {"levels",
         {NamedParam::OUT_ADJ_CENTER, NamedParam::OUT_ADJ_SUB, NamedParam::OUT_ADJ_FRONT_L,
          NamedParam::OUT_ADJ_FRONT_R, NamedParam::OUT_ADJ_SIDE_L, NamedParam::OUT_ADJ_SIDE_R,
          NamedParam::OUT_ADJ_REAR_L, NamedParam::OUT_ADJ_REAR_R}},
        {"tone", {NamedParam::BASS, NamedParam::TREBLE, NamedParam::TILT, NamedParam::LOUDNESS}},
    };
    return table;
}

// "input-name-1" to "input-name-8": the input's index; -1 for any other word.
int inputNameIndex(const std::string& word)
{
    const std::string prefix = "input-name-";
    if (word.size() != prefix.size() + 1 || word.compare(0, prefix.size(), prefix) != 0)
        return -1;
    const int n = word.back() - '0';
    return n >= 1 && n <= kInputCount ? n - 1 : -1;
}

} // namespace

bool isSelectionGroup(const std::string& word)
{
    return word == "names" ||
           std::any_of(groups().begin(), groups().end(), [&](const Group& g) { return word == g.word; });
}

bool RestoreSelection::empty() const
{
    return params.empty() && !customName &&
           std::none_of(inputNames.begin(), inputNames.end(), [](bool b) { return b; });
}

bool selectionFromNames(const DeviceModel& model, const std::vector<std::string>& words,
                        RestoreSelection& selection, std::string& error)
{
    const int total = model.unitConfig().TotalParams;
    for (const std::string& word : words) {
        if (word == "names") {
            selection.inputNames.fill(true);
            selection.customName = true;
            continue;
        }
        const auto group = std::find_if(groups().begin(), groups().end(),
                                        [&](const Group& g) { return word == g.word; });
        if (group != groups().end()) {
            for (NamedParam p : group->params)
                if (const std::uint8_t id = model.namedSlot(p); id != 0)
                    selection.params.insert(id);
            continue;
        }
        if (const int input = inputNameIndex(word); input >= 0) {
            selection.inputNames[static_cast<std::size_t>(input)] = true;
            continue;
        }
        if (word == "custom-name") {
            selection.customName = true;
            continue;
        }
        // A parameter by its definition's name, or by the name of the control
        // that shows it, as diff names it.
        std::string definition = word;
        if (const auto control = controls::findControl(word, &model);
            control && !control->alias.empty())
            definition = control->alias;
        bool found = false;
        for (int id = 0; id < total && !found; ++id) {
            if (model.paramDef(static_cast<std::uint8_t>(id)).nameText() == definition) {
                selection.params.insert(static_cast<std::uint8_t>(id));
                found = true;
            }
        }
        if (!found) {
            error = word;
            return false;
        }
    }
    return true;
}

bool RestoreSelected(DeviceModel& model, const ConfigFileContents& file, const RestoreSelection& selection,
                     bool customNameShown, int& written, std::string& error)
{
    written = 0;
    CQuorControl& link = model.link();
    const int count = link.timing(Timing::RestoreConfigWaitCount);
    const int interval = link.timing(Timing::RestoreConfigWaitInterval);
    const int delay = link.timing(Timing::RestoreConfigExtraDelay);

    const UnitConfig unit = model.unitConfig();
    const ConfigFileHeader& header = file.header;
    if (header.unitConfig != unit.toBytes()) {
        error = "Cannot restore to different firmware with this version of Brennmark.";
        return false;
    }
    // As the full restore: the file's values are the unit's parameters, one each.
    if (file.system.values.size() != unit.TotalParams) {
        error = "the configuration holds no system parameter values for this unit";
        return false;
    }

    // Names: each chosen one, acknowledged one by one. They are sent even when
    // they look equal: the model keeps a name only up to its first blank, so
    // it cannot tell "Blu Ray" from "Blu Disc".
    auto sendName = [&](std::uint8_t command, auto sendOne) {
        std::optional<Packet> answer;
        {
            CaptureScope capture(link, link.state().RestoreCaptureActive);
            waitPumping(link.pump(), delay);
            sendOne();
            answer = capture.await(matchAckOrNak(command), count,
                                   interval);
        }
        if (!answer || answer->code() == DC_NAK) {
            error = answer ? "the unit refused a name (DC_NAK)" : "no answer from the unit to a name";
            return false;
        }
        ++written;
        return true;
    };
    for (int index = 0; index < kInputCount; ++index) {
        const std::string name = header.inputNameText(index).substr(0, kInputNameWidth);
        if (!selection.inputNames[index])
            continue;
        if (!sendName(DC_CMD_SET_INPUT_NAME, [&] { model.SetInputName(index, name); }))
            return false;
        model.storeInputName(index, name);
    }
    const std::string customName = header.customNameText();
    if (selection.customName) {
        if (!sendName(DC_CMD_SET_CUST_NAME, [&] { model.SetCustomName(customNameShown, customName); }))
            return false;
        model.storeCustomName(customName);
    }

    if (selection.params.empty())
        return true;
    // The unit's own values, read now, with the chosen ones from the file.
    if (!model.GetSysParams(true)) {
        error = "no answer from the unit to the parameter read";
        return false;
    }
    const int valueCount = model.paramValueCount();
    if (valueCount < unit.TotalParams) {
        error = "the unit reported fewer parameter values than it has parameters";
        return false;
    }
    std::array<std::uint8_t, kParamTableSize> values = model.paramValues();
    const std::vector<std::uint8_t>& fileValues = file.system.values;
    int changed = 0;
    for (std::uint8_t id : selection.params) {
        if (id < unit.TotalParams && values[id] != fileValues[id]) {
            values[id] = fileValues[id];
            ++changed;
        }
    }
    if (changed == 0)
        return true;
    model.setParamValues(values.data(), valueCount);
    waitPumping(link.pump(), delay);
    // -1 (a value the model cannot check, nothing sent) is a failure as much as 0.
    if (model.SetSysParams(true) != 1) {
        error = "Set Sys Parameters Failed.";
        return false;
    }
    written += changed;
    return true;
}

} // namespace bm

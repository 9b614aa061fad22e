#include "app/service_restore.h"

#include "config/config_restore.h"
#include "config/config_selective_restore.h"
#include "link/quor_control.h"
#include "model/device_model.h"
#include "platform/prompt.h"
#include "platform/service_client.h"
#include "platform/sleep.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <fstream>
#include <future>
#include <iterator>
#include <optional>

namespace bm {
namespace {

using json = nlohmann::ordered_json;

constexpr const char* kFailedPrefix = "Failed to restore configuration! ";
// The interface thread's slice between looks at the request.
constexpr int kPumpSliceMs = 20;

std::string textOf(const json& j, const char* member)
{
    const auto it = j.find(member);
    return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}

} // namespace

std::vector<std::string> restoreWords(const DeviceModel& model, const RestoreSelection& selection)
{
    std::vector<std::string> words;
    for (std::size_t i = 0; i < selection.inputNames.size(); ++i)
        if (selection.inputNames[i])
            words.push_back("input-name-" + std::to_string(i + 1));
    if (selection.customName)
        words.push_back("custom-name");
    for (const std::uint8_t id : selection.params)
        words.push_back(model.paramDef(id).nameText());
    return words;
}

namespace {

// A request of `op` carrying the file at `path`; nothing, with `reason`, when
// the file cannot be read.
std::optional<json> fileRequest(const char* op, const std::string& path, std::string& reason)
{
    std::ifstream in(path, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (!in.good() && !in.eof()) {
        reason = "cannot read " + path;
        return std::nullopt;
    }
    return json{{"op", op}, {"name", path}, {"file", base64Encode(bytes)}};
}

// Asks the service on a thread of its own, pumping `model`'s link meanwhile.
// The reply object, or nothing with `reason`.
std::optional<json> askPumping(DeviceModel& model, const std::string& device, const json& request, std::string& reason)
{
    struct Answer {
        bool reached = false;
        std::string line;
        std::string error;
    };
    auto pending = std::async(std::launch::async, [device, text = request.dump()] {
        Answer a;
        a.reached = askService(device, text, a.line, a.error);
        return a;
    });
    while (pending.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
        waitPumping(model.link().pump(), kPumpSliceMs);
    const Answer answer = pending.get();
    if (!answer.reached) {
        reason = "brennmarkd: " + answer.error;
        return std::nullopt;
    }
    json reply = json::parse(answer.line, nullptr, false);
    if (reply.is_discarded() || !reply.is_object()) {
        reason = "the service's answer is not JSON";
        return std::nullopt;
    }
    return reply;
}

} // namespace

ServiceRestoreOutcome askServiceRestore(DeviceModel& model, const std::string& device, const std::string& path,
                                        const std::vector<std::string>* only, std::optional<bool> customNameShown)
{
    ServiceRestoreOutcome outcome;
    std::optional<json> request = fileRequest("restore", path, outcome.reason);
    if (!request)
        return outcome;
    if (only)
        (*request)["only"] = *only;
    if (customNameShown)
        (*request)["custom_name_shown"] = *customNameShown;
    const std::optional<json> reply = askPumping(model, device, *request, outcome.reason);
    if (!reply)
        return outcome;
    if (reply->contains("error")) {
        outcome.reason = textOf(*reply, "reason");
        if (outcome.reason.empty()) {
            outcome.reason = textOf(*reply, "message");
            if (outcome.reason.rfind(kFailedPrefix, 0) == 0)
                outcome.reason.erase(0, std::string(kFailedPrefix).size());
        }
        if (outcome.reason.empty())
            outcome.reason = "the service refused the restore (" + textOf(*reply, "error") + ")";
        return outcome;
    }
    if (textOf(*reply, "reply") != "restore") {
        outcome.reason = "the service's answer is not a restore's";
        return outcome;
    }
    outcome.ok = true;
    if (const auto notes = reply->find("notes"); notes != reply->end() && notes->is_array())
        for (const json& n : *notes)
            if (n.is_string())
                outcome.notes.push_back(n.get<std::string>());
    if (const auto values = reply->find("values"); values != reply->end() && values->is_number_integer())
        outcome.written = values->get<int>();
    return outcome;
}

ServiceDiffOutcome askServiceDiff(DeviceModel& model, const std::string& device, const std::string& path)
{
    ServiceDiffOutcome outcome;
    const std::optional<json> request = fileRequest("diff", path, outcome.reason);
    if (!request)
        return outcome;
    const std::optional<json> reply = askPumping(model, device, *request, outcome.reason);
    if (!reply)
        return outcome;
    if (reply->contains("error")) {
        outcome.refusal = textOf(*reply, "refusal");
        if (!outcome.refusal.empty())
            return outcome;
        outcome.reason = textOf(*reply, "reason");
        // Refused before the unit was asked: the line is down.
        if (outcome.reason.empty() && textOf(*reply, "error") == "line_lost")
            outcome.reason = unitNotReadReason(LineState::Lost);
        if (outcome.reason.empty())
            outcome.reason = "the service refused the comparison (" + textOf(*reply, "error") + ")";
        return outcome;
    }
    const auto list = reply->find("differences");
    if (textOf(*reply, "reply") != "diff" || list == reply->end() || !list->is_array()) {
        outcome.reason = "the service's answer is not a comparison's";
        return outcome;
    }
    for (const json& item : *list) {
        if (!item.is_object())
            continue;
        ConfigDifference d;
        d.label = textOf(item, "name");
        d.a = textOf(item, "a_text");
        d.b = textOf(item, "b_text");
        // A difference a restore cannot write back is shown only.
        const auto kind = kindFromWord(textOf(item, "kind"));
        const auto restorable = item.find("restorable");
        d.kind = kind && restorable != item.end() && *restorable == true ? *kind : ConfigDifference::Kind::EffectParam;
        if (const auto id = item.find("id"); id != item.end() && id->is_number_integer())
            d.id = id->get<int>();
        if (const auto params = item.find("params"); params != item.end() && params->is_array())
            for (const json& id : *params)
                if (id.is_number_integer())
                    d.params.push_back(id.get<int>());
        outcome.differences.push_back(std::move(d));
    }
    outcome.ok = true;
    return outcome;
}

bool RestoreThroughService(DeviceModel& model, Prompt& prompt, const std::string& device, const std::string& path,
                           const ConfigFileContents& file)
{
    if (const char* refusal = restoreRefusal(model, file)) {
        prompt.ask(refusal);
        return false;
    }
    // Whatever it wrote, the service reads the unit again afterwards and its
    // answers reach the panel's model like the unit's own reports.
    const ServiceRestoreOutcome outcome = askServiceRestore(model, device, path);
    if (!outcome.ok) {
        prompt.ask(outcome.reason);
        return false;
    }
    for (const std::string& note : outcome.notes)
        prompt.ask(note);
    return true;
}

} // namespace bm

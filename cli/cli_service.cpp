// get, set and status as requests to brennmarkd's JSON API (see cli_service.h).
#include "cli/cli_service.h"

#include "model/controls.h"
#include "cli/cli_output.h"
#include "platform/service_client.h"
#include "platform/service_socket.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>

namespace bm::cli {
namespace {

using json = nlohmann::ordered_json;

// One request, one reply line. Nothing, with `error`, when the service could
// not be reached or closed without answering.
std::optional<json> ask(const std::string& device, const json& request, std::string& error)
{
    std::string line;
    if (!askService(device, request.dump(), line, error))
        return std::nullopt;
    json reply = json::parse(line, nullptr, false);
    if (reply.is_discarded() || !reply.is_object()) {
        error = "the service's answer is not JSON";
        return std::nullopt;
    }
    return reply;
}

std::string textOf(const json& j, const char* member)
{
    const auto it = j.find(member);
    return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}

struct Session {
    const CliOptions& options;
    std::string device; // as the direct line names it in messages

    // Sends the request; a failure to reach the unit is reported here (and
    // the reply is nothing), any other error reply is returned for the
    // command to word.
    std::optional<json> request(const json& r, int& status)
    {
        std::string error;
        auto reply = ask(options.port, r, error);
        if (!reply) {
            status = fail(kExitNoUnit, "cannot open serial device " + device + ": " + error);
            return std::nullopt;
        }
        const std::string type = textOf(*reply, "error");
        if (type == "overloaded") {
            status = fail(kExitBusy, "serial device " + device + " is busy (" + textOf(*reply, "message") + ")");
            return std::nullopt;
        }
        if (type == "line_lost" && !reply->contains("results")) {
            status = fail(kExitNoUnit, "Ridaziv DE-1 or ZA-2 was not detected on " + device);
            return std::nullopt;
        }
        return reply;
    }
};

// An error reply of get or status, worded as on a line of one's own.
int getFailure(const json& reply)
{
    const std::string type = textOf(reply, "error");
    if (type == "unknown_control")
        return fail(kExitError, "unknown name " + shown(textOf(reply, "control")) +
                                    " (the unit's definitions have no such parameter)");
    return fail(kExitError, textOf(reply, "message"));
}

// The values of a get reply's items, in the order asked; false when the
// reply is not one.
bool itemsOf(const json& reply, std::vector<json>& items)
{
    const auto it = reply.find("items");
    if (textOf(reply, "reply") != "get" || it == reply.end() || !it->is_array())
        return false;
    for (const json& item : *it) {
        if (!item.is_object() || !item.contains("value") || !item["control"].is_string() || !item["text"].is_string())
            return false;
        items.push_back(item);
    }
    return true;
}

int runGet(Session& s, const Invocation& inv, bool status)
{
    json request = {{"op", "get"}, {"texts", true}};
    json names = json::array();
    if (status) {
        for (const controls::Control& c : controls::controlTable())
            names.push_back(c.name);
    } else {
        for (const std::string& name : inv.args)
            names.push_back(name);
    }
    request["controls"] = names;
    int exit = kExitOk;
    const auto reply = s.request(request, exit);
    if (!reply)
        return exit;
    if (reply->contains("error"))
        return getFailure(*reply);
    std::vector<json> items;
    if (!itemsOf(*reply, items) || items.size() != names.size())
        return fail(kExitError, "the service's answer is not a get's");
    if (inv.json) {
        json j = json::object();
        for (const json& item : items)
            j[item["control"].get<std::string>()] = item["value"];
        outJson(!status && inv.has("--value") && items.size() == 1 ? items[0]["value"] : j);
        return kExitOk;
    }
    for (const json& item : items) {
        const std::string name = item["control"].get<std::string>();
        const std::string text = shown(item["text"].get<std::string>());
        if (status)
            out(name + ": " + text);
        else
            out(inv.has("--value") ? text : name + " " + text);
    }
    return kExitOk;
}

int runSet(Session& s, const Invocation& inv)
{
    json values = json::array();
    for (std::size_t i = 0; i + 1 < inv.args.size(); i += 2)
        values.push_back({{"control", inv.args[i]}, {"value", inv.args[i + 1]}});
    int exit = kExitOk;
    const auto reply = s.request({{"op", "set"}, {"values", values}}, exit);
    if (!reply)
        return exit;
    const auto results = reply->find("results");
    if (reply->contains("error") && (results == reply->end() || !results->is_array())) {
        // Refused before anything was sent.
        if (textOf(*reply, "error") == "unknown_control")
            return fail(kExitError, "unknown name " + shown(textOf(*reply, "control")) +
                                        " (the unit's definitions have no such parameter)");
        return fail(kExitError, textOf(*reply, "message"));
    }
    if (results == reply->end() || !results->is_array())
        return fail(kExitError, "the service's answer is not a set's");
    // Each control the unit took, as it reports it now; then the failure, if any.
    json reports = json::object();
    for (const json& r : *results) {
        const std::string outcome = textOf(r, "outcome");
        if (outcome != "done" && outcome != "unchanged") {
            if (!inv.json)
                return fail(kExitError, textOf(*reply, "message"));
            outJson({{"error", textOf(*reply, "message")}, {"exit", kExitError}, {"outcome", outcome},
                     {"set", reports}});
            return kExitError;
        }
        if (!r.contains("value") || !r["text"].is_string())
            return fail(kExitError, "the service's answer is not a set's");
        const std::string name = textOf(r, "control");
        if (inv.json)
            reports[name] = r["value"];
        else
            out(name + " " + shown(r["text"].get<std::string>()));
    }
    if (reply->contains("error"))
        return fail(kExitError, textOf(*reply, "message"));
    if (inv.json)
        outJson(reports);
    return kExitOk;
}

// A control's value as a word: quoted when it would not read back as one.
std::string wordOf(const std::string& control, const std::string& text)
{
    const auto c = controls::findControl(control);
    const std::string word = shown(text);
    const bool quote = (c && c->type == controls::Type::Text) || word.empty() ||
                       word.find_first_of(" \"") != std::string::npos;
    return quote ? "\"" + word + "\"" : word;
}

int runIr(Session& s, const Invocation& inv)
{
    for (const std::string& key : inv.args) {
        int exit = kExitOk;
        const auto reply = s.request({{"op", "ir"}, {"key", key}, {"changes", true}}, exit);
        if (!reply)
            return exit;
        if (reply->contains("error"))
            return fail(kExitError, "key " + shown(key) + ": " + textOf(*reply, "reason"));
        const auto changes = reply->find("changes");
        if (textOf(*reply, "reply") != "ir" || changes == reply->end() || !changes->is_array())
            return fail(kExitError, "the service's answer is not an ir's");
        if (inv.json) {
            json list = json::array();
            for (const json& c : *changes) {
                json j = {{"name", c.value("control", "")}, {"value", c.value("value", json())}};
                if (c.contains("was"))
                    j["was"] = c["was"];
                list.push_back(j);
            }
            outJson({{"key", key}, {"changes", list}});
            continue;
        }
        if (changes->empty())
            out(key + ": the unit reports no change");
        for (const json& c : *changes) {
            const std::string name = c.value("control", "");
            std::string text = key + ": " + name + " ";
            if (c.contains("was_text"))
                text += wordOf(name, c.value("was_text", "")) + " -> ";
            out(text + wordOf(name, c.value("text", "")));
        }
        std::fflush(stdout);
    }
    return kExitOk;
}

// The service's restore: the file is checked (before the port was opened) and
// sent whole; the service writes it as one job of its line, so no other
// client's request comes between its packets.
int runRestore(Session& s, const Invocation& inv)
{
    const std::string& path = inv.args[0];
    std::ifstream in(path, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (!in.good() && !in.eof())
        return fail(kExitError, "Failed to restore configuration! cannot read " + path);
    json request = {{"op", "restore"}, {"name", path}, {"file", base64Encode(bytes)}};
    const auto only = inv.values.find("--only");
    if (only != inv.values.end()) {
        json names = json::array();
        for (std::size_t start = 0; start < only->second.size();) {
            const std::size_t comma = std::min(only->second.find(',', start), only->second.size());
            if (comma > start)
                names.push_back(only->second.substr(start, comma - start));
            start = comma + 1;
        }
        request["only"] = names;
    }
    int exit = kExitOk;
    const auto reply = s.request(request, exit);
    if (!reply)
        return exit;
    if (reply->contains("error")) {
        if (textOf(*reply, "error") == "unknown_control")
            return fail(kExitError, "unknown name " + shown(textOf(*reply, "control")) + " in --only");
        std::string message = textOf(*reply, "message");
        const std::string prefix = "Failed to restore configuration! ";
        if (message.compare(0, prefix.size(), prefix) != 0)
            message = prefix + message;
        return fail(kExitError, message);
    }
    if (textOf(*reply, "reply") != "restore")
        return fail(kExitError, "the service's answer is not a restore's");
    if (only == inv.values.end()) {
        // A restore that went through may still have clamped values; say which.
        if (const auto notes = reply->find("notes"); notes != reply->end() && notes->is_array())
            for (const json& n : *notes)
                if (n.is_string())
                    note(n.get<std::string>());
        if (inv.json)
            outJson({{"restored", path}});
        else
            out("restored " + path);
        return kExitOk;
    }
    const int written = reply->value("values", 0);
    if (inv.json)
        outJson({{"restored", path}, {"values", written}});
    else
        out("restored " + std::to_string(written) + " value(s) from " + path);
    return kExitOk;
}

} // namespace

bool usesServiceApi(const std::string& command, const CliOptions& options)
{
#ifdef _WIN32
    (void)command;
    (void)options;
    return false;
#else
    if (!isServiceDevice(options.port) || options.simulate || !options.traceFile.empty() || !options.captureFile.empty() ||
        options.verbose)
        return false;
    return command == "get" || command == "set" || command == "status" || command == "ir" || command == "restore";
#endif
}

int runThroughServiceApi(const std::string& command, const Invocation& invocation, const CliOptions& options)
{
    Session s{options, options.port};
    if (command == "set")
        return runSet(s, invocation);
    if (command == "ir")
        return runIr(s, invocation);
    if (command == "restore")
        return runRestore(s, invocation);
    return runGet(s, invocation, command == "status");
}

} // namespace bm::cli

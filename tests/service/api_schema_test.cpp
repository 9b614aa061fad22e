// The JSON API's published schema (docs/brennmarkd-api.schema.json) against
// what a running service really sends: every reply, error and event line of a
// session that goes through each request, each kind of error and the unit's
// line lost. The check itself is first shown to refuse bad lines.
#include "tests/service/service_rig.h"
#include "tests/support/json_schema.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <stdexcept>

namespace bm::test {
namespace {

using nlohmann::json;

JsonSchema apiSchema()
{
    std::ifstream in(BM_API_SCHEMA);
    return JsonSchema(json::parse(in));
}

TEST(ApiSchema, TheCheckRefusesLinesTheSchemaDoesNotAllow)
{
    const JsonSchema schema = apiSchema();
    struct Case {
        const char* line;
        bool valid;
    };
    const Case cases[] = {
        {R"({"reply":"get","values":{"volume":-30}})", true},
        {R"({"reply":"set","results":[{"control":"volume","outcome":"done","value":-30,"text":"-30"}]})", true},
        {R"({"error":"line_lost","message":"m","line":"lost"})", true},
        {R"({"event":"change","control":"volume","value":-30,"param":3,"raw":50})", true},
        // An outcome word the schema does not have (the service once sent these).
        {R"({"reply":"set","results":[{"control":"volume","outcome":"not answered"}]})", false},
        {R"({"error":"not_read","message":"m","id":1,"missing":["a",2]})", false},
        {R"({"error":"no_such_error","message":"m"})", false},
        {R"({"error":"refused"})", false},                                   // no message
        {R"({"reply":"get"})", false},                                       // no values
        {R"({"reply":"get","values":{"volume":[1]}})", false},               // a value is a scalar
        {R"({"reply":"get","values":{},"items":[{"control":"volume","value":1}]})", false}, // no text
        {R"({"event":"change","control":"volume","value":-30,"param":3})", false},          // no raw
        {R"({"event":"line","state":"gone"})", false},
        {R"({"reply":"hello","product":"DE-1"})", false},
        {R"({"event":"power","state":"awake","reply":"get","values":{}})", false}, // both an event and a reply
    };
    for (const Case& c : cases) {
        std::string why;
        EXPECT_EQ(schema.validate(json::parse(c.line), why), c.valid) << c.line << ": " << why;
    }
    // A keyword the check does not know is never passed over.
    std::string why;
    const JsonSchema unknown(json::parse(R"({"type":"object","patternProperties":{"^x":{"type":"string"}}})"));
    EXPECT_THROW(unknown.validate(json::parse(R"({"x":1})"), why), std::invalid_argument);
}

class Session {
public:
    explicit Session(ServiceRig& rig) : client_(rig.socketPath()) {}
    // Sends the request and collects lines up to and including its reply or
    // error; every line goes to `lines`.
    json ask(const std::string& request, std::vector<std::string>& lines)
    {
        client_.send(request + "\n");
        while (const auto line = client_.line(10000)) {
            lines.push_back(*line);
            const json j = json::parse(*line, nullptr, false);
            if (j.contains("reply") || j.contains("error"))
                return j;
        }
        return json();
    }
    RawClient& client() { return client_; }

private:
    RawClient client_;
};

TEST(ApiSchema, EveryLineARunningServiceSendsIsValid)
{
    sim::SimOptions options = ServiceRig::strictFast();
    options.nakCommand = DC_CMD_SET_MUTE; // a refusal to answer
    ServiceRig rig;
    ASSERT_TRUE(rig.start(options));
    const JsonSchema schema = apiSchema();
    std::vector<std::string> lines;
    Session s(rig), watcher(rig);

    struct Step {
        std::string request;
        std::string expect; // the reply's kind, or the error's type
    };
    const std::vector<Step> steps = {
        {R"({"op":"hello","id":"a"})", "hello"},
        {R"({"op":"get"})", "get"},
        {R"({"op":"get","controls":["volume","VOLUME","custom-name"],"texts":true,"id":2})", "get"},
        {R"({"op":"get","texts":true})", "get"},
        {R"({"op":"set","values":{"volume":-31,"bass":1.0}})", "set"},
        {R"({"op":"set","values":[{"control":"volume","value":"+=1"},{"control":"volume","value":-33}]})", "set"},
        {R"({"op":"set","values":{"volume":-33}})", "set"}, // unchanged
        {R"({"op":"set","values":{"mute":true}})", "refused"},
        {R"({"op":"set","values":{"volume":-20,"nonsense":1}})", "unknown_control"},
        {R"({"op":"set","values":{"volume":"loud"}})", "invalid_value"},
        {R"({"op":"set","values":{"volume":[1]}})", "wrong_type"},
        {R"({"op":"get","controls":["nonsense"]})", "unknown_control"},
        {R"({"op":"ir","key":"INPUT_CD"})", "ir"},
        {R"({"op":"ir","key":"NO_KEY"})", "invalid_value"},
        {R"({"op":"volume up"})", "unknown_op"},
        {"volume up", "not_json"},
        {"[1,2]", "bad_request"},
        {R"({"op":"unsubscribe","id":null})", "unsubscribe"},
        {R"({"op":"subscribe","id":1.5})", "subscribe"},
        {R"({"op":"controls","id":3})", "controls"},
    };
    std::vector<std::string> events;
    ASSERT_EQ(watcher.ask(R"({"op":"subscribe"})", events).value("reply", ""), "subscribe");
    for (const Step& step : steps) {
        const json r = s.ask(step.request, lines);
        ASSERT_TRUE(r.is_object()) << step.request;
        EXPECT_EQ(r.contains("reply") ? r.value("reply", "") : r.value("error", ""), step.expect)
            << step.request << " -> " << r.dump();
    }
    // The configuration file: the unit's, a name changed after it, compared
    // and restored, and a file the loader refuses.
    const json saved = s.ask(R"({"op":"save","id":"s"})", lines);
    ASSERT_EQ(saved.value("reply", ""), "save") << saved.dump();
    const std::string file = saved.value("file", "");
    const struct {
        std::string request;
        std::string expect;
    } fileSteps[] = {
        {R"({"op":"set","values":{"input-name-2":"Den"}})", "set"},
        {R"({"op":"diff","file":")" + file + R"("})", "diff"},
        {R"({"op":"restore","name":"a.lex","file":")" + file + R"(","only":["input-name-2"],"custom_name_shown":true})",
         "restore"},
        {R"({"op":"restore","file":")" + file + R"(","only":["no-such-name"]})", "unknown_control"},
        {R"({"op":"restore","name":"short.lex","file":"RRKHqw=="})", "invalid_value"},
        {R"({"op":"diff","file":"RRKHqw=="})", "invalid_value"},
        {R"({"op":"restore","file":"not base64"})", "wrong_type"},
    };
    for (const auto& step : fileSteps) {
        const json r = s.ask(step.request, lines);
        ASSERT_TRUE(r.is_object()) << step.request;
        EXPECT_EQ(r.contains("reply") ? r.value("reply", "") : r.value("error", ""), step.expect) << r.dump();
        if (r.value("reply", "") == "diff") {
            ASSERT_EQ(r["differences"].size(), 1u) << r.dump();
            EXPECT_EQ(r["differences"][0]["name"], "input-name-2");
            EXPECT_EQ(r["differences"][0]["b"], "Den");
            EXPECT_EQ(r["differences"][0]["restorable"], true);
            EXPECT_EQ(r["differences"][0]["kind"], "input_name");
            EXPECT_EQ(r["differences"][0]["id"], 1);
        }
        if (r.value("reply", "") == "restore")
            EXPECT_EQ(r.value("values", -1), 1) << r.dump();
    }
    EXPECT_NE(s.ask(R"({"op":"get","control":"input-name-2"})", lines)["values"].value("input-name-2", ""), "Den");

    // The unit's line lost: the line events, then a request answered line_lost.
    rig.sim->stop();
    bool lost = false;
    while (!lost) {
        const auto line = watcher.client().line(10000);
        ASSERT_TRUE(line.has_value()) << "no line event after the unit went";
        events.push_back(*line);
        lost = line->find(R"("state":"lost")") != std::string::npos ||
               line->find(R"("state":"reconnecting")") != std::string::npos;
    }
    EXPECT_EQ(s.ask(R"({"op":"get","controls":["volume"]})", lines).value("error", ""), "line_lost");
    // What the watcher was sent meanwhile: changes, the front panel, the line.
    while (const auto line = watcher.client().line(200))
        events.push_back(*line);
    lines.insert(lines.end(), events.begin(), events.end());

    std::set<std::string> kinds;
    for (const std::string& line : lines) {
        const json j = json::parse(line, nullptr, false);
        ASSERT_FALSE(j.is_discarded()) << line;
        std::string why;
        EXPECT_TRUE(schema.validate(j, why)) << line << "\n" << why;
        kinds.insert(j.contains("event") ? "event " + j.value("event", "") : j.contains("reply") ? "reply" : "error");
    }
    for (const char* kind : {"event change", "event display", "event line", "event name", "reply", "error"})
        EXPECT_TRUE(kinds.count(kind)) << "no " << kind << " line was checked";
}

} // namespace
} // namespace bm::test

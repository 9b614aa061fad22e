// The JSON API's request parser (every line a client sends goes through it
// before anything else) and the service's command-line rules.
#include "platform/service_socket.h"
#include "service/api.h"
#include "service/options.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace bm::service {
namespace {

TEST(ApiRequest, EachLineIsARequestOrATypedError)
{
    using E = ApiErrorType;
    const struct {
        const char* name;
        std::string line;
        std::optional<E> error; // none: a request
    } cases[] = {
        {"hello", R"({"op":"hello"})", std::nullopt},
        {"hello with an id", R"({"op":"hello","id":"a"})", std::nullopt},
        {"subscribe", R"({"op":"subscribe"})", std::nullopt},
        {"controls", R"({"op":"controls","id":7})", std::nullopt},
        {"get one", R"({"op":"get","control":"volume"})", std::nullopt},
        {"get some", R"({"op":"get","controls":["volume","bass"]})", std::nullopt},
        {"set", R"({"op":"set","values":{"volume":-30,"mute":true,"bass":"+=1"}})", std::nullopt},
        {"ir", R"({"op":"ir","key":"INPUT_DVD"})", std::nullopt},
        {"auth", R"({"op":"auth","token":"t"})", std::nullopt},
        {"empty", "", E::NotJson},
        {"not JSON", "volume -30", E::NotJson},
        {"cut short", R"({"op":"hel)", E::NotJson},
        {"a string", R"("hello")", E::BadRequest},
        {"an array", R"([{"op":"hello"}])", E::BadRequest},
        {"no op", R"({"id":1})", E::BadRequest},
        {"op a number", R"({"op":1})", E::WrongType},
        {"op null", R"({"op":null})", E::WrongType},
        {"id an object", R"({"op":"hello","id":{}})", E::WrongType},
        {"unknown op", R"({"op":"format"})", E::UnknownOp},
        {"op in another case", R"({"op":"HELLO"})", E::UnknownOp},
        {"get controls a string", R"({"op":"get","controls":"volume"})", E::WrongType},
        {"get a name that is a number", R"({"op":"get","controls":[3]})", E::WrongType},
        {"set without values", R"({"op":"set"})", E::WrongType},
        {"set with empty values", R"({"op":"set","values":{}})", E::WrongType},
        {"set a value null", R"({"op":"set","values":{"volume":null}})", E::WrongType},
        {"set a value an array", R"({"op":"set","values":{"volume":[1]}})", E::WrongType},
        {"set as a list", R"({"op":"set","values":[{"control":"volume","value":-30},{"control":"volume","value":"+=1"}]})", std::nullopt},
        {"set an empty list", R"({"op":"set","values":[]})", E::WrongType},
        {"set a list of names", R"({"op":"set","values":["volume"]})", E::WrongType},
        {"set a list item without value", R"({"op":"set","values":[{"control":"volume"}]})", E::WrongType},
        {"set a list item's control a number", R"({"op":"set","values":[{"control":3,"value":1}]})", E::WrongType},
        {"set a list item's value an object", R"({"op":"set","values":[{"control":"volume","value":{}}]})", E::WrongType},
        {"get with texts", R"({"op":"get","controls":["volume"],"texts":true})", std::nullopt},
        {"get texts a string", R"({"op":"get","texts":"yes"})", E::WrongType},
        {"ir without key", R"({"op":"ir"})", E::WrongType},
        {"ir key a number", R"({"op":"ir","key":20})", E::WrongType},
        {"auth without token", R"({"op":"auth"})", E::WrongType},
        {"too long", std::string(kMaxRequestLine + 1, ' '), E::TooLong},
        {"save", R"({"op":"save"})", std::nullopt},
        {"restore", R"({"op":"restore","file":"RRKHqw==","name":"a.lex"})", std::nullopt},
        {"restore only some", R"({"op":"restore","file":"RRKHqw==","only":["volume","input-name-2"]})", std::nullopt},
        {"diff forced", R"({"op":"diff","file":"RRKHqw==","force":true})", std::nullopt},
        {"restore without a file", R"({"op":"restore"})", E::WrongType},
        {"restore a file that is not base64", R"({"op":"restore","file":"RRKH*w=="})", E::WrongType},
        {"restore a file cut short", R"({"op":"restore","file":"RRKHq"})", E::WrongType},
        {"restore a name that is a number", R"({"op":"restore","file":"","name":3})", E::WrongType},
        {"restore only empty", R"({"op":"restore","file":"","only":[]})", E::WrongType},
        {"restore only a string", R"({"op":"restore","file":"","only":"volume"})", E::WrongType},
        {"restore only a number among names", R"({"op":"restore","file":"","only":["volume",2]})", E::WrongType},
        {"diff force a string", R"({"op":"diff","file":"","force":"yes"})", E::WrongType},
        {"restore with the caller's display switch", R"({"op":"restore","file":"","only":["custom-name"],"custom_name_shown":false})", std::nullopt},
        {"restore display switch a number", R"({"op":"restore","file":"","custom_name_shown":0})", E::WrongType},
        // The largest configuration file there is fits in a line, in base64.
        {"the largest file", R"({"op":"restore","file":")" + std::string(88700, 'A') + R"("})", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto parsed = parseApiRequest(c.line);
        if (!c.error) {
            EXPECT_TRUE(std::holds_alternative<ApiRequest>(parsed));
            continue;
        }
        ASSERT_TRUE(std::holds_alternative<ApiError>(parsed));
        EXPECT_EQ(errorTypeName(std::get<ApiError>(parsed).type), std::string(errorTypeName(*c.error)));
        // The error line is JSON with the type, and the id when one was read.
        const Json line = Json::parse(errorLine(std::get<ApiError>(parsed)));
        EXPECT_EQ(line["error"], errorTypeName(*c.error));
    }
}

TEST(ApiRequest, AFileIsBase64BothWays)
{
    const struct {
        const char* text;
        std::optional<std::vector<std::uint8_t>> bytes; // none: refused
    } cases[] = {
        {"", std::vector<std::uint8_t>{}},
        {"AA==", std::vector<std::uint8_t>{0}},
        {"AAE=", std::vector<std::uint8_t>{0, 1}},
        {"RRKHqw==", std::vector<std::uint8_t>{0x45, 0x12, 0x87, 0xab}},
        {"/+8A", std::vector<std::uint8_t>{0xff, 0xef, 0x00}},
        {"AA=", std::nullopt},      // not a whole group
        {"A===", std::nullopt},     // three pads
        {"A=AA", std::nullopt},     // a pad inside
        {"AA==AAAA", std::nullopt}, // a pad before the end
        {"AA-_", std::nullopt},     // the URL alphabet
        {"AA\n=", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const auto bytes = base64Decode(c.text);
        EXPECT_EQ(bytes, c.bytes);
        if (c.bytes)
            EXPECT_EQ(base64Encode(*c.bytes), c.text);
    }
    // Every byte value, and every length's padding, come back as they went.
    std::vector<std::uint8_t> all;
    for (int i = 0; i < 256 + 2; ++i) {
        all.push_back(static_cast<std::uint8_t>(i));
        EXPECT_EQ(base64Decode(base64Encode(all)), all) << all.size();
    }
}

TEST(ApiRequest, SetKeepsTheOrderAndTypesOfItsValues)
{
    const auto parsed = parseApiRequest(R"({"op":"set","id":4,"values":{"volume":-30,"mute":true,"bass":0.5,"input":"DVD"}})");
    ASSERT_TRUE(std::holds_alternative<ApiRequest>(parsed));
    const ApiRequest& r = std::get<ApiRequest>(parsed);
    EXPECT_EQ(r.id, 4);
    ASSERT_EQ(r.values.size(), 4u);
    EXPECT_EQ(r.values[0].first, "volume");
    EXPECT_EQ(std::get<long long>(r.values[0].second), -30);
    EXPECT_EQ(r.values[1].first, "mute");
    EXPECT_TRUE(std::get<bool>(r.values[1].second));
    EXPECT_DOUBLE_EQ(std::get<double>(r.values[2].second), 0.5);
    EXPECT_EQ(std::get<std::string>(r.values[3].second), "DVD");
}

TEST(ApiRequest, SetAsAListKeepsEveryPairInOrderANameTwiceIncluded)
{
    const auto parsed = parseApiRequest(
        R"({"op":"set","values":[{"control":"volume","value":"-30"},{"control":"mute","value":true},{"control":"volume","value":-31}]})");
    ASSERT_TRUE(std::holds_alternative<ApiRequest>(parsed));
    const ApiRequest& r = std::get<ApiRequest>(parsed);
    ASSERT_EQ(r.values.size(), 3u);
    EXPECT_EQ(r.values[0].first, "volume");
    EXPECT_EQ(std::get<std::string>(r.values[0].second), "-30");
    EXPECT_TRUE(std::get<bool>(r.values[1].second));
    EXPECT_EQ(r.values[2].first, "volume");
    EXPECT_EQ(std::get<long long>(r.values[2].second), -31);
}

TEST(ServiceOptions, ListenIsLoopbackUnlessATokenFileIsGiven)
{
    const struct {
        std::vector<std::string> args;
        bool ok;
    } cases[] = {
        {{}, true},
        {{"--port", "/dev/ttyUSB0", "--socket", "/tmp/s", "--verbose"}, true},
        {{"--listen", "127.0.0.1:7000"}, true},
        {{"--listen", "[::1]:7000"}, true},
        {{"--listen", "localhost:7000"}, true},
        {{"--listen", "0.0.0.0:7000"}, false},
        {{"--listen", "192.0.2.5:7000"}, false},
        {{"--listen", "0.0.0.0:7000", "--token-file", "/etc/brennmark/token"}, true},
        // Where the service listens on TCP by default (Windows) a token file
        // alone is its endpoint's token; elsewhere it needs --listen.
        {{"--token-file", "/etc/brennmark/token"}, !defaultServiceListen().empty()},
        {{"--endpoint-file", "/tmp/e"}, !defaultServiceListen().empty()},
        {{"--listen", "127.0.0.1:0", "--endpoint-file", "/tmp/e"}, true},
        {{"--listen", "127.0.0.1"}, false},
        {{"--listen", "127.0.0.1:99999"}, false},
        {{"--port"}, false},
        {{"--bogus"}, false},
    };
    for (const auto& c : cases) {
        std::vector<char*> argv{const_cast<char*>("brennmarkd")};
        std::string joined;
        for (const auto& a : c.args) {
            argv.push_back(const_cast<char*>(a.c_str()));
            joined += a + " ";
        }
        SCOPED_TRACE(joined);
        ServiceOptions o;
        std::string error, output;
        bool done = false;
        EXPECT_EQ(parseServiceOptions(static_cast<int>(argv.size()), argv.data(), o, error, done, output), c.ok)
            << error;
    }
}

// The command line as CLI11 reads it: -v verbose, -V the version, -h the
// help; --max-volume from the line or BRENNMARK_MAX_VOLUME (the line wins).
TEST(ServiceOptions, ShortFlagsAndTheVolumeCap)
{
    const struct {
        std::vector<std::string> args;
        const char* env; // BRENNMARK_MAX_VOLUME, or null
        bool ok;
        bool done;
        std::string output; // a part of it
        bool verbose;
        std::optional<double> cap;
    } cases[] = {
        {{"-v"}, nullptr, true, false, "", true, std::nullopt},
        {{"--verbose"}, nullptr, true, false, "", true, std::nullopt},
        {{"-V"}, nullptr, true, true, "brennmarkd 1.02", false, std::nullopt},
        {{"--version"}, nullptr, true, true, "brennmarkd 1.02", false, std::nullopt},
        {{"-h"}, nullptr, true, true, "--max-volume DB", false, std::nullopt},
        {{"--max-volume", "-20"}, nullptr, true, false, "", false, -20.0},
        {{"--max-volume=-12.5"}, nullptr, true, false, "", false, -12.5},
        {{}, "-30", true, false, "", false, -30.0},
        {{"--max-volume", "-25"}, "-30", true, false, "", false, -25.0},
        {{"--max-volume", "loud"}, nullptr, false, false, "", false, std::nullopt},
        {{"--max-volume", "-20dB"}, nullptr, false, false, "", false, std::nullopt},
        {{}, "nan", false, false, "", false, std::nullopt},
        {{"--max-volume"}, nullptr, false, false, "", false, std::nullopt},
        {{"--port", ""}, nullptr, false, false, "", false, std::nullopt},
        {{"--mqtt-id", ""}, nullptr, false, false, "", false, std::nullopt},
        {{"stray"}, nullptr, false, false, "", false, std::nullopt},
        {{"--socket-mode", "0660", "-v"}, nullptr, true, false, "", true, std::nullopt},
        {{"--socket-mode", "0400"}, nullptr, false, false, "", false, std::nullopt},
    };
    for (const auto& c : cases) {
        std::vector<char*> argv{const_cast<char*>("brennmarkd")};
        std::string joined;
        for (const auto& a : c.args) {
            argv.push_back(const_cast<char*>(a.c_str()));
            joined += a + " ";
        }
        SCOPED_TRACE(joined + (c.env ? std::string("BRENNMARK_MAX_VOLUME=") + c.env : ""));
#ifdef _WIN32
        ::_putenv_s("BRENNMARK_MAX_VOLUME", c.env ? c.env : "");
#else
        if (c.env)
            ::setenv("BRENNMARK_MAX_VOLUME", c.env, 1);
        else
            ::unsetenv("BRENNMARK_MAX_VOLUME");
#endif
        ServiceOptions o;
        std::string error, output;
        bool done = false;
        ASSERT_EQ(parseServiceOptions(static_cast<int>(argv.size()), argv.data(), o, error, done, output), c.ok)
            << error;
        if (!c.ok) {
            EXPECT_FALSE(error.empty());
            continue;
        }
        EXPECT_EQ(done, c.done);
        EXPECT_NE(output.find(c.output), std::string::npos) << output;
        EXPECT_EQ(o.verbose, c.verbose);
        EXPECT_EQ(o.maxVolume, c.cap);
    }
#ifdef _WIN32
    ::_putenv_s("BRENNMARK_MAX_VOLUME", "");
#else
    ::unsetenv("BRENNMARK_MAX_VOLUME");
#endif
}

TEST(ServiceOptions, TheWebRemoteIsLoopbackUnlessAnAddressIsNamed)
{
    const struct {
        std::vector<std::string> args;
        const char* env; // BRENNMARK_HTTP, or null
        bool ok;
        std::string host;
        int port;
    } cases[] = {
        {{}, nullptr, true, "", 0},
        {{"--http", "8080"}, nullptr, true, "127.0.0.1", 8080},
        {{"--http", "0.0.0.0:8080"}, nullptr, true, "0.0.0.0", 8080},
        {{"--http", "[::1]:8080"}, nullptr, true, "::1", 8080},
        {{"--http", "127.0.0.1:0", "--http-host", "unit.home"}, nullptr, true, "127.0.0.1", 0},
        {{}, "9000", true, "127.0.0.1", 9000},
        {{"--http", "8081"}, "9000", true, "127.0.0.1", 8081},
        {{"--http", "8080", "--token-file", "/etc/brennmark/token"}, nullptr, true, "127.0.0.1", 8080},
        {{"--http", "port"}, nullptr, false, "", 0},
        {{"--http", "70000"}, nullptr, false, "", 0},
        {{"--http"}, nullptr, false, "", 0},
        {{}, "nonsense", false, "", 0},
    };
    for (const auto& c : cases) {
        std::vector<char*> argv{const_cast<char*>("brennmarkd")};
        std::string joined;
        for (const auto& a : c.args) {
            argv.push_back(const_cast<char*>(a.c_str()));
            joined += a + " ";
        }
        SCOPED_TRACE(joined + (c.env ? std::string("BRENNMARK_HTTP=") + c.env : ""));
#ifdef _WIN32
        ::_putenv_s("BRENNMARK_HTTP", c.env ? c.env : "");
#else
        if (c.env)
            ::setenv("BRENNMARK_HTTP", c.env, 1);
        else
            ::unsetenv("BRENNMARK_HTTP");
#endif
        ServiceOptions o;
        std::string error, output;
        bool done = false;
        EXPECT_EQ(parseServiceOptions(static_cast<int>(argv.size()), argv.data(), o, error, done, output), c.ok)
            << error;
        if (!c.ok)
            continue;
        std::string host;
        int port = -1;
        ASSERT_TRUE(httpAddress(o, host, port, error)) << error;
        EXPECT_EQ(host, c.host);
        EXPECT_EQ(port, c.port);
    }
#ifdef _WIN32
    ::_putenv_s("BRENNMARK_HTTP", "");
#else
    ::unsetenv("BRENNMARK_HTTP");
#endif
}

// The service's endpoint file and a client's first line, as brennmarkd
// writes them and the Windows client ("--port service") reads and sends them.
TEST(ServiceEndpoint, TheFileIsAnAddressAndATokenOrRefused)
{
    const struct {
        const char* name;
        std::string text;
        bool ok;
        std::string host;
        int port;
        std::string token;
    } cases[] = {
        {"as the service writes it", formatServiceEndpoint({"127.0.0.1", 7300, "ab12"}), true, "127.0.0.1", 7300, "ab12"},
        {"IPv6 in brackets", formatServiceEndpoint({"::1", 7301, "t"}), true, "::1", 7301, "t"},
        {"CRLF line ends", "127.0.0.1:7300\r\nab12\r\n", true, "127.0.0.1", 7300, "ab12"},
        {"no final newline", "127.0.0.1:7300\nab12", true, "127.0.0.1", 7300, "ab12"},
        {"empty", "", false, "", 0, ""},
        {"no token", "127.0.0.1:7300\n", false, "", 0, ""},
        {"no port", "127.0.0.1\nab12\n", false, "", 0, ""},
        {"no host", ":7300\nab12\n", false, "", 0, ""},
        {"port 0", "127.0.0.1:0\nab12\n", false, "", 0, ""},
        {"port too large", "127.0.0.1:70000\nab12\n", false, "", 0, ""},
        {"port not a number", "127.0.0.1:73x0\nab12\n", false, "", 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ServiceEndpoint e;
        std::string error;
        EXPECT_EQ(parseServiceEndpoint(c.text, e, error), c.ok) << error;
        if (c.ok) {
            EXPECT_EQ(e.host, c.host);
            EXPECT_EQ(e.port, c.port);
            EXPECT_EQ(e.token, c.token);
        }
    }
}

TEST(ServiceEndpoint, TheAuthLineCarriesAnyTokenToTheServicesParser)
{
    for (const std::string token : {"0123abcd", "a\"quoted\" \\ token", "tab\there", "caf\xc3\xa9"}) {
        SCOPED_TRACE(token);
        const std::string line = serviceAuthRequest(token);
        ASSERT_FALSE(line.empty());
        EXPECT_EQ(line.find('\n'), line.size() - 1) << "one line, ended by its newline";
        auto parsed = parseApiRequest(line.substr(0, line.size() - 1));
        ASSERT_TRUE(std::holds_alternative<ApiRequest>(parsed));
        EXPECT_EQ(std::get<ApiRequest>(parsed).op, ApiOp::Auth);
        EXPECT_EQ(std::get<ApiRequest>(parsed).token, token);
    }
    EXPECT_TRUE(serviceAuthAccepted(R"({"reply":"auth"})"));
    EXPECT_TRUE(serviceAuthAccepted(R"({"id":1,"reply":"auth"})"));
    EXPECT_FALSE(serviceAuthAccepted(R"({"error":"unauthorized","message":"wrong token"})"));
    EXPECT_FALSE(serviceAuthAccepted(""));
}

} // namespace
} // namespace bm::service

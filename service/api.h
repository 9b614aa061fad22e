// The JSON API's messages: one request a line from the client, one reply (or a
// typed error) a line back, and the events a subscriber is sent. The formats
// are published as a JSON Schema in docs/brennmarkd-api.schema.json.
#pragma once

#include "model/controls.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace bm::service {

using Json = nlohmann::ordered_json;

// The longest request line taken; a longer one is answered too_long and the
// client disconnected. The largest configuration file a restore or diff
// carries fits, in base64.
inline constexpr std::size_t kMaxRequestLine = 128 * 1024;

enum class ApiOp { Auth, Hello, Subscribe, Unsubscribe, Get, Set, Ir, Controls, Save, Restore, Diff };

struct ApiRequest {
    ApiOp op = ApiOp::Hello;
    Json id;                          // echoed in the reply when given (null: none)
    std::string token;                // auth
    std::vector<std::string> controls; // get (empty: every control)
    bool texts = false;               // get: also each value's text form, in the order asked
    std::vector<std::pair<std::string, controls::JsonScalar>> values; // set, in the order given
    std::string key;                  // ir
    bool changes = false;             // ir: read the unit back and list what the key changed
    std::vector<std::uint8_t> file;   // restore, diff: the configuration file's bytes (base64 on the wire)
    std::string fileName;             // restore, diff: how the file is named in messages ("the file" when not given)
    std::vector<std::string> only;    // restore: the differences or groups to restore (empty: the whole file)
    bool onlyGiven = false;
    // restore with only: the custom name's display switch the caller's own
    // setting gives (nothing: the service's setting)
    std::optional<bool> customNameShown;
    bool force = false;               // diff: compare configurations of two ROMs all the same
};

// Base64 (RFC 4648, padded) both ways; nothing for text that is not base64.
std::string base64Encode(const std::vector<std::uint8_t>& bytes);
std::optional<std::vector<std::uint8_t>> base64Decode(std::string_view text);

// The kinds of error a client can be answered with.
enum class ApiErrorType {
    NotJson,        // the line is not JSON
    TooLong,        // the line is longer than kMaxRequestLine
    BadRequest,     // JSON, but not an object with an "op"
    UnknownOp,      // an "op" this service does not know
    WrongType,      // a member of the wrong JSON type, or a required one missing
    Unauthorized,   // the token is missing or wrong
    UnknownControl, // a control name the table (and the unit) does not know
    InvalidValue,   // a value the control does not take
    NotRead,        // the unit's value has not been read in this run
    Refused,        // the unit answered DC_NAK
    NotAnswered,    // the unit did not answer in time
    LineLost,       // the line to the unit is lost
    Mismatch,       // acknowledged, but the unit reports another value
    Overloaded,     // the client has too many requests waiting
    Superseded,     // a newer set of the same control replaced this one before it was sent
    Busy,           // the service's queue for the unit is full: nothing was sent
};

const char* errorTypeName(ApiErrorType type);

struct ApiError {
    ApiErrorType type = ApiErrorType::BadRequest;
    std::string message;
    Json id; // the request's id when it could be read
};

// Reads one request line (without its newline).
std::variant<ApiRequest, ApiError> parseApiRequest(std::string_view line);

// {"error":TYPE,"message":...,"id":...} with its newline.
std::string errorLine(const ApiError& error);
// The same with the members of `extra` (an object, or null for none) after them.
std::string failureLine(ApiErrorType type, const std::string& message, const Json& id, const Json& extra = nullptr);
// A reply or event object as one line with its newline. Never throws: bytes
// that are not UTF-8 in a text are replaced.
std::string jsonLine(const Json& message);

// A controls' JSON scalar as JSON.
Json toJson(const controls::JsonScalar& scalar);

} // namespace bm::service

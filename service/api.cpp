// The request parser: nlohmann/json reads the line; every member is checked
// for its type before it is used, so no input reaches the unit unchecked.
#include "service/api.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <cstdint>
#include <optional>

namespace bm::service {
namespace {

ApiError fail(ApiErrorType type, std::string message, const Json& id = nullptr)
{
    return ApiError{type, std::move(message), id};
}

std::optional<controls::JsonScalar> scalarOf(const Json& value)
{
    if (value.is_null())
        return controls::JsonScalar{nullptr};
    if (value.is_boolean())
        return controls::JsonScalar{value.get<bool>()};
    if (value.is_number_integer()) {
        if (value.is_number_unsigned() && value.get<std::uint64_t>() > static_cast<std::uint64_t>(LLONG_MAX))
            return controls::JsonScalar{value.get<double>()};
        return controls::JsonScalar{value.get<long long>()};
    }
    if (value.is_number_float())
        return controls::JsonScalar{value.get<double>()};
    if (value.is_string())
        return controls::JsonScalar{value.get<std::string>()};
    return std::nullopt;
}

} // namespace

const char* errorTypeName(ApiErrorType type)
{
    switch (type) {
    case ApiErrorType::NotJson: return "not_json";
    case ApiErrorType::TooLong: return "too_long";
    case ApiErrorType::BadRequest: return "bad_request";
    case ApiErrorType::UnknownOp: return "unknown_op";
    case ApiErrorType::WrongType: return "wrong_type";
    case ApiErrorType::Unauthorized: return "unauthorized";
    case ApiErrorType::UnknownControl: return "unknown_control";
    case ApiErrorType::InvalidValue: return "invalid_value";
    case ApiErrorType::NotRead: return "not_read";
    case ApiErrorType::Refused: return "refused";
    case ApiErrorType::NotAnswered: return "not_answered";
    case ApiErrorType::LineLost: return "line_lost";
    case ApiErrorType::Mismatch: return "mismatch";
    case ApiErrorType::Overloaded: return "overloaded";
    case ApiErrorType::Superseded: return "superseded";
    case ApiErrorType::Busy: return "busy";
    }
    return "bad_request";
}

std::variant<ApiRequest, ApiError> parseApiRequest(std::string_view line)
{
    if (line.size() > kMaxRequestLine)
        return fail(ApiErrorType::TooLong, "a request line is at most " + std::to_string(kMaxRequestLine) + " bytes");
    Json doc = Json::parse(line.begin(), line.end(), nullptr, /*allow_exceptions=*/false);
    if (doc.is_discarded())
        return fail(ApiErrorType::NotJson, "the line is not JSON");
    if (!doc.is_object())
        return fail(ApiErrorType::BadRequest, "a request is a JSON object");

    ApiRequest request;
    if (const auto id = doc.find("id"); id != doc.end()) {
        if (id->is_structured())
            return fail(ApiErrorType::WrongType, "\"id\" is a string, a number or null");
        request.id = *id;
    }
    const auto op = doc.find("op");
    if (op == doc.end())
        return fail(ApiErrorType::BadRequest, "a request needs \"op\"", request.id);
    if (!op->is_string())
        return fail(ApiErrorType::WrongType, "\"op\" is a string", request.id);
    const std::string name = op->get<std::string>();

    auto text = [&](const char* member, std::string& into) -> std::optional<ApiError> {
        const auto it = doc.find(member);
        if (it == doc.end() || !it->is_string())
            return fail(ApiErrorType::WrongType, std::string("\"") + member + "\" is a string and required", request.id);
        into = it->get<std::string>();
        return std::nullopt;
    };

    if (name == "auth") {
        request.op = ApiOp::Auth;
        if (auto e = text("token", request.token))
            return *e;
    } else if (name == "hello") {
        request.op = ApiOp::Hello;
    } else if (name == "controls") {
        request.op = ApiOp::Controls;
    } else if (name == "subscribe") {
        request.op = ApiOp::Subscribe;
    } else if (name == "unsubscribe") {
        request.op = ApiOp::Unsubscribe;
    } else if (name == "get") {
        request.op = ApiOp::Get;
        if (const auto one = doc.find("control"); one != doc.end()) {
            if (!one->is_string())
                return fail(ApiErrorType::WrongType, "\"control\" is a string", request.id);
            request.controls.push_back(one->get<std::string>());
        }
        if (const auto many = doc.find("controls"); many != doc.end()) {
            if (!many->is_array())
                return fail(ApiErrorType::WrongType, "\"controls\" is an array of names", request.id);
            for (const Json& n : *many) {
                if (!n.is_string())
                    return fail(ApiErrorType::WrongType, "\"controls\" is an array of names", request.id);
                request.controls.push_back(n.get<std::string>());
            }
        }
        if (const auto texts = doc.find("texts"); texts != doc.end()) {
            if (!texts->is_boolean())
                return fail(ApiErrorType::WrongType, "\"texts\" is true or false", request.id);
            request.texts = texts->get<bool>();
        }
    } else if (name == "set") {
        request.op = ApiOp::Set;
        const auto values = doc.find("values");
        const char* shape = "\"values\" is an object of control names and values, or an array of "
                            "{\"control\":NAME,\"value\":VALUE}";
        if (values == doc.end() || !(values->is_object() || values->is_array()) || values->empty())
            return fail(ApiErrorType::WrongType, shape, request.id);
        auto take = [&](const std::string& control, const Json& value) -> std::optional<ApiError> {
            const auto scalar = scalarOf(value);
            if (!scalar || std::holds_alternative<std::nullptr_t>(*scalar))
                return fail(ApiErrorType::WrongType,
                            "the value of \"" + control + "\" is a number, true/false or a string", request.id);
            request.values.emplace_back(control, *scalar);
            return std::nullopt;
        };
        if (values->is_object()) {
            for (auto it = values->begin(); it != values->end(); ++it)
                if (auto e = take(it.key(), it.value()))
                    return *e;
        } else {
            // The array form keeps every pair, a name given twice included.
            for (const Json& pair : *values) {
                if (!pair.is_object())
                    return fail(ApiErrorType::WrongType, shape, request.id);
                const auto control = pair.find("control");
                const auto value = pair.find("value");
                if (control == pair.end() || !control->is_string() || value == pair.end())
                    return fail(ApiErrorType::WrongType, shape, request.id);
                if (auto e = take(control->get<std::string>(), *value))
                    return *e;
            }
        }
    } else if (name == "ir") {
        request.op = ApiOp::Ir;
        if (auto e = text("key", request.key))
            return *e;
        if (const auto changes = doc.find("changes"); changes != doc.end()) {
            if (!changes->is_boolean())
                return fail(ApiErrorType::WrongType, "\"changes\" is true or false", request.id);
            request.changes = changes->get<bool>();
        }
    } else if (name == "save") {
        request.op = ApiOp::Save;
    } else if (name == "restore" || name == "diff") {
        request.op = name == "restore" ? ApiOp::Restore : ApiOp::Diff;
        std::string encoded;
        if (auto e = text("file", encoded))
            return *e;
        auto bytes = base64Decode(encoded);
        if (!bytes)
            return fail(ApiErrorType::WrongType, "\"file\" is the configuration file in base64", request.id);
        request.file = std::move(*bytes);
        request.fileName = "the file";
        if (doc.contains("name"))
            if (auto e = text("name", request.fileName))
                return *e;
        if (const auto only = doc.find("only"); only != doc.end() && request.op == ApiOp::Restore) {
            if (!only->is_array() || only->empty())
                return fail(ApiErrorType::WrongType, "\"only\" is an array of names", request.id);
            for (const Json& n : *only) {
                if (!n.is_string())
                    return fail(ApiErrorType::WrongType, "\"only\" is an array of names", request.id);
                request.only.push_back(n.get<std::string>());
            }
            request.onlyGiven = true;
        }
        if (const auto shown = doc.find("custom_name_shown"); shown != doc.end() && request.op == ApiOp::Restore) {
            if (!shown->is_boolean())
                return fail(ApiErrorType::WrongType, "\"custom_name_shown\" is true or false", request.id);
            request.customNameShown = shown->get<bool>();
        }
        if (const auto force = doc.find("force"); force != doc.end() && request.op == ApiOp::Diff) {
            if (!force->is_boolean())
                return fail(ApiErrorType::WrongType, "\"force\" is true or false", request.id);
            request.force = force->get<bool>();
        }
    } else {
        return fail(ApiErrorType::UnknownOp, "unknown op \"" + name + "\"", request.id);
    }
    return request;
}

namespace {
constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}

std::string base64Encode(const std::vector<std::uint8_t>& bytes)
{
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
        std::uint32_t v = static_cast<std::uint32_t>(bytes[i]) << 16;
        if (n > 1)
            v |= static_cast<std::uint32_t>(bytes[i + 1]) << 8;
        if (n > 2)
            v |= bytes[i + 2];
        for (std::size_t k = 0; k < 4; ++k)
            out += k <= n ? kBase64[(v >> (18 - 6 * k)) & 0x3f] : '=';
    }
    return out;
}

std::optional<std::vector<std::uint8_t>> base64Decode(std::string_view text)
{
    if (text.size() % 4 != 0)
        return std::nullopt;
    std::vector<std::uint8_t> out;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        std::uint32_t v = 0;
        int pad = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            const char c = text[i + k];
            // Padding only at the end, and at most two.
            if (c == '=' && i + 4 == text.size() && k >= 2) {
                ++pad;
                v <<= 6;
                continue;
            }
            const char* at = c ? std::strchr(kBase64, c) : nullptr;
            if (!at || pad > 0)
                return std::nullopt;
            v = (v << 6) | static_cast<std::uint32_t>(at - kBase64);
        }
        out.push_back(static_cast<std::uint8_t>(v >> 16));
        if (pad < 2)
            out.push_back(static_cast<std::uint8_t>(v >> 8));
        if (pad < 1)
            out.push_back(static_cast<std::uint8_t>(v));
    }
    return out;
}

std::string jsonLine(const Json& message)
{
    return message.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::string errorLine(const ApiError& error)
{
    Json out;
    out["error"] = errorTypeName(error.type);
    out["message"] = error.message;
    if (!error.id.is_null())
        out["id"] = error.id;
    return jsonLine(out);
}

std::string failureLine(ApiErrorType type, const std::string& message, const Json& id, const Json& extra)
{
    Json out;
    out["error"] = errorTypeName(type);
    out["message"] = message;
    if (!id.is_null())
        out["id"] = id;
    if (!extra.is_null())
        for (auto it = extra.begin(); it != extra.end(); ++it)
            out[it.key()] = it.value();
    return jsonLine(out);
}

Json toJson(const controls::JsonScalar& scalar)
{
    return std::visit([](const auto& v) -> Json { return Json(v); }, scalar);
}

} // namespace bm::service

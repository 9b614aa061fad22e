// A JSON Schema check for the tests, over nlohmann/json, for the keywords the
// project's published schemas use: type, enum, const, required, properties,
// additionalProperties, items, minItems, minProperties, oneOf, anyOf, allOf,
// if/then/else and local $ref (with $defs). Annotations ($schema, $id, title,
// description) are skipped. Any other keyword throws: a schema the check does
// not fully understand is never taken as passed.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace bm::test {

class JsonSchema {
public:
    explicit JsonSchema(nlohmann::json root) : root_(std::move(root)) {}

    // True when `instance` is valid against the root schema; otherwise false
    // with `why` naming the first place that failed.
    bool validate(const nlohmann::json& instance, std::string& why) const;
    // The same against a part of the schema given by a local reference ("#/$defs/reply").
    bool validate(const nlohmann::json& instance, const std::string& ref, std::string& why) const;

private:
    bool check(const nlohmann::json& schema, const nlohmann::json& instance, const std::string& at,
               std::string& why) const;
    const nlohmann::json& resolve(const std::string& ref) const;

    nlohmann::json root_;
};

} // namespace bm::test

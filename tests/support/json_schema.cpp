#include "tests/support/json_schema.h"

#include <cmath>
#include <set>
#include <stdexcept>

namespace bm::test {
namespace {

using nlohmann::json;

bool hasType(const json& instance, const std::string& type)
{
    if (type == "object")
        return instance.is_object();
    if (type == "array")
        return instance.is_array();
    if (type == "string")
        return instance.is_string();
    if (type == "boolean")
        return instance.is_boolean();
    if (type == "null")
        return instance.is_null();
    if (type == "number")
        return instance.is_number();
    if (type == "integer")
        return instance.is_number_integer() ||
               (instance.is_number_float() && std::floor(instance.get<double>()) == instance.get<double>());
    throw std::invalid_argument("unknown type in schema: " + type);
}

// JSON equality as the schema means it: 1 and 1.0 are the same number.
bool same(const json& a, const json& b)
{
    if (a.is_number() && b.is_number())
        return a.get<double>() == b.get<double>();
    return a == b;
}

const std::set<std::string>& knownKeywords()
{
    static const std::set<std::string> k = {
        "$schema", "$id", "title", "description", "$defs", "$ref", "type", "enum", "const", "required",
        "properties", "additionalProperties", "items", "minItems", "minProperties", "oneOf", "anyOf", "allOf",
        "if", "then", "else"};
    return k;
}

} // namespace

const json& JsonSchema::resolve(const std::string& ref) const
{
    if (ref.rfind("#", 0) != 0)
        throw std::invalid_argument("only local references are followed: " + ref);
    return root_.at(json::json_pointer(ref.substr(1)));
}

bool JsonSchema::validate(const json& instance, std::string& why) const
{
    return check(root_, instance, "", why);
}

bool JsonSchema::validate(const json& instance, const std::string& ref, std::string& why) const
{
    return check(resolve(ref), instance, "", why);
}

bool JsonSchema::check(const json& schema, const json& instance, const std::string& at, std::string& why) const
{
    if (schema.is_boolean()) {
        if (!schema.get<bool>())
            why = at + ": nothing is allowed here";
        return schema.get<bool>();
    }
    if (!schema.is_object())
        throw std::invalid_argument("a schema is an object or a boolean, at " + at);
    for (auto it = schema.begin(); it != schema.end(); ++it)
        if (!knownKeywords().count(it.key()))
            throw std::invalid_argument("keyword not understood: " + it.key());
    const std::string here = at.empty() ? "(root)" : at;

    if (const auto ref = schema.find("$ref"); ref != schema.end())
        if (!check(resolve(ref->get<std::string>()), instance, at, why))
            return false;
    if (const auto type = schema.find("type"); type != schema.end()) {
        bool any = false;
        if (type->is_string())
            any = hasType(instance, type->get<std::string>());
        else
            for (const json& t : *type)
                any = any || hasType(instance, t.get<std::string>());
        if (!any) {
            why = here + ": " + instance.dump() + " is not of type " + type->dump();
            return false;
        }
    }
    if (const auto e = schema.find("enum"); e != schema.end()) {
        bool found = false;
        for (const json& v : *e)
            found = found || same(v, instance);
        if (!found) {
            why = here + ": " + instance.dump() + " is not one of " + e->dump();
            return false;
        }
    }
    if (const auto c = schema.find("const"); c != schema.end() && !same(*c, instance)) {
        why = here + ": " + instance.dump() + " is not " + c->dump();
        return false;
    }
    if (instance.is_object()) {
        if (const auto req = schema.find("required"); req != schema.end())
            for (const json& name : *req)
                if (!instance.contains(name.get<std::string>())) {
                    why = here + ": " + name.get<std::string>() + " is required";
                    return false;
                }
        if (const auto min = schema.find("minProperties"); min != schema.end() && instance.size() < min->get<std::size_t>()) {
            why = here + ": fewer than " + min->dump() + " members";
            return false;
        }
        const auto props = schema.find("properties");
        const auto extra = schema.find("additionalProperties");
        for (auto it = instance.begin(); it != instance.end(); ++it) {
            const std::string member = at + "/" + it.key();
            if (props != schema.end() && props->contains(it.key())) {
                if (!check((*props)[it.key()], it.value(), member, why))
                    return false;
            } else if (extra != schema.end() && !check(*extra, it.value(), member, why)) {
                return false;
            }
        }
    }
    if (instance.is_array()) {
        if (const auto min = schema.find("minItems"); min != schema.end() && instance.size() < min->get<std::size_t>()) {
            why = here + ": fewer than " + min->dump() + " items";
            return false;
        }
        if (const auto items = schema.find("items"); items != schema.end())
            for (std::size_t i = 0; i < instance.size(); ++i)
                if (!check(*items, instance[i], at + "/" + std::to_string(i), why))
                    return false;
    }
    if (const auto all = schema.find("allOf"); all != schema.end())
        for (const json& s : *all)
            if (!check(s, instance, at, why))
                return false;
    if (const auto any = schema.find("anyOf"); any != schema.end()) {
        bool ok = false;
        std::string first;
        for (const json& s : *any) {
            std::string w;
            ok = ok || check(s, instance, at, w);
            if (first.empty())
                first = w;
        }
        if (!ok) {
            why = here + ": none of anyOf matches (" + first + ")";
            return false;
        }
    }
    if (const auto one = schema.find("oneOf"); one != schema.end()) {
        int matches = 0;
        std::string reasons;
        for (const json& s : *one) {
            std::string w;
            if (check(s, instance, at, w))
                ++matches;
            else
                reasons += (reasons.empty() ? "" : "; ") + w;
        }
        if (matches != 1) {
            why = here + ": " + std::to_string(matches) + " branches of oneOf match" +
                  (matches == 0 ? " (" + reasons + ")" : "");
            return false;
        }
    }
    if (const auto cond = schema.find("if"); cond != schema.end()) {
        std::string ignored;
        const bool holds = check(*cond, instance, at, ignored);
        const auto branch = schema.find(holds ? "then" : "else");
        if (branch != schema.end() && !check(*branch, instance, at, why))
            return false;
    }
    return true;
}

} // namespace bm::test

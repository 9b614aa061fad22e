// The configuration comparison. Both sides are checked configuration files, so
// a file and the unit are compared through the same save code that writes
// files and the same check that reads them.
#include "config/config_diff.h"

#include "config/config_file_io.h"
#include "config/config_save.h"
#include "config/config_units.h"
#include "link/quor_control.h"
#include "model/definition_cache.h"
#include "model/device_model.h"
#include "model/text_fields.h"
#include "platform/prompt.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <utility>

namespace bm {
namespace {

constexpr const char* kNone = "(none)";
constexpr const char* kNotInRom = "(not in this ROM)";

std::string quoted(const std::string& text)
{
    return "\"" + text + "\"";
}

// A name from a file as the unit would keep it: cut to its field, without
// trailing blanks (files written from a unit often hold padded names).
std::string heldName(const std::string& text, std::size_t width)
{
    return std::string(trimName(std::string_view(text).substr(0, width)));
}

std::string hexName(const char* prefix, int id)
{
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "%s_0x%02x", prefix, id);
    return buffer;
}

UnitConfig identityOf(const ConfigFileContents& c)
{
    return UnitConfig::fromBytes(c.header.unitConfig.data());
}

std::string refusalOf(const ConfigFileContents& a, const ConfigFileContents& b)
{
    const UnitConfig ua = identityOf(a);
    const UnitConfig ub = identityOf(b);
    if (ua.ProductId != ub.ProductId)
        return std::string("different products (") + ProductName(ua.ProductId) + " and " +
               ProductName(ub.ProductId) + ")";
    if (ua.timeStampText() != ub.timeStampText())
        return "different ROM timestamps (\"" + ua.timeStampText() + "\" and \"" + ub.timeStampText() +
               "\")";
    return {};
}

// The save's "Save Successful!" is not news when the file is only a means;
// its first complaint is kept, to say why the unit could not be read (the
// save's closing "Failed to save configuration!" says nothing of the cause).
class SilentPrompt : public Prompt {
public:
    PromptAnswer ask(const std::string& text, PromptButtons) override
    {
        if (cause.empty() && text != "Save Successful!" && text != "Failed to save configuration!")
            cause = text;
        return PromptAnswer::Ok;
    }
    std::string cause;
};

// The control that shows parameter `name` as a level or a switch, whose text
// and JSON forms stand on the value alone.
std::optional<controls::Control> controlOfParam(const std::string& name)
{
    const auto c = controls::findControl(name);
    if (!c || c->alias != name || (c->type != controls::Type::Number && c->type != controls::Type::Switch))
        return std::nullopt;
    return c;
}

// A name's text as JSON gives it: the unit's bytes as UTF-8.
controls::JsonScalar nameJson(const std::string& unitText)
{
    return controls::fromUnitText(unitText);
}

} // namespace

DefinitionNames DefinitionNames::fromModel(const DeviceModel& model)
{
    DefinitionNames names;
    const UnitConfig config = model.unitConfig();
    for (int id = 0; id < config.TotalParams; ++id)
        names.params.push_back(model.paramDef(static_cast<std::uint8_t>(id)).nameText());
    for (int id = 0; id < std::min<int>(config.TotalEffects, kEffectTableSize); ++id)
        names.effects.push_back(model.effect(id).nameText());
    return names;
}

DefinitionNames DefinitionNames::fromCache(SettingsStore& settings, const UnitConfig& rom)
{
    DefinitionNames names;
    const auto entry = definition_cache::find(settings, rom.ProductId, rom.timeStampText());
    if (!entry)
        return names;
    const CachedDefinitions held = definition_cache::read(settings, *entry);
    for (const CachedDefinitions::Param& p : held.params)
        names.params.push_back(p.name);
    for (const CachedDefinitions::Effect& e : held.effects)
        names.effects.push_back(e.name);
    return names;
}

std::string DefinitionNames::paramName(int id) const
{
    if (id >= 0 && id < static_cast<int>(params.size()) && !params[id].empty())
        return params[id];
    return hexName("PARAM", id);
}

std::string DefinitionNames::effectName(int id) const
{
    if (id >= 0 && id < static_cast<int>(effects.size()) && !effects[id].empty())
        return effects[id];
    return hexName("EFFECT", id);
}

namespace {

// Pairs the entries of two sides: by index, or (two ROMs) by name, the n-th
// entry of a name with the n-th of the same name on the other side. Each pair
// holds the index on side A and on side B, -1 where that side has none; in
// side A's order, then what only side B has.
std::vector<std::pair<int, int>> pairEntries(int countA, int countB, const std::function<std::string(int)>& nameA,
                                             const std::function<std::string(int)>& nameB, bool byName)
{
    std::vector<std::pair<int, int>> pairs;
    if (!byName) {
        for (int i = 0; i < std::max(countA, countB); ++i)
            pairs.emplace_back(i < countA ? i : -1, i < countB ? i : -1);
        return pairs;
    }
    std::vector<bool> taken(static_cast<std::size_t>(countB), false);
    for (int i = 0; i < countA; ++i) {
        const std::string name = nameA(i);
        int match = -1;
        for (int k = 0; k < countB && match < 0; ++k)
            if (!taken[static_cast<std::size_t>(k)] && nameB(k) == name)
                match = k;
        if (match >= 0)
            taken[static_cast<std::size_t>(match)] = true;
        pairs.emplace_back(i, match);
    }
    for (int k = 0; k < countB; ++k)
        if (!taken[static_cast<std::size_t>(k)])
            pairs.emplace_back(-1, k);
    return pairs;
}

} // namespace

namespace {

// A speaker setting that differs: the difference, and the parameters (each
// side's ids) it stands on.
struct SpeakerDifference {
    ConfigDifference difference;
    std::vector<int> idsA, idsB;
};

std::vector<int> idsOf(const std::vector<NamedParam>& named, const DefinitionNames& names, std::size_t count)
{
    std::vector<int> ids;
    for (NamedParam p : named)
        for (std::size_t id = 0; id < count; ++id)
            if (names.paramName(static_cast<int>(id)) == kNamedParamNames[static_cast<int>(p)])
                ids.push_back(static_cast<int>(id));
    return ids;
}

std::vector<SpeakerDifference> speakerDifferences(const std::vector<std::uint8_t>& va, const std::vector<std::uint8_t>& vb,
                                                  const DefinitionNames& namesA, const DefinitionNames& namesB)
{
    const auto valueIn = [](const std::vector<std::uint8_t>& values, const DefinitionNames& names) {
        return [&values, &names](NamedParam p) -> std::optional<std::uint8_t> {
            const auto ids = idsOf({p}, names, values.size());
            if (ids.empty())
                return std::nullopt;
            return values[static_cast<std::size_t>(ids.front())];
        };
    };
    std::vector<SpeakerDifference> out;
    for (const controls::Control& c : controls::controlTable()) {
        if (c.kind != controls::Kind::Speakers)
            continue;
        const int a = controls::speakerChoiceOf(c, valueIn(va, namesA));
        const int b = controls::speakerChoiceOf(c, valueIn(vb, namesB));
        if (a < 0 || b < 0 || a == b)
            continue;
        SpeakerDifference s;
        s.idsA = idsOf(controls::speakerParamsOf(c), namesA, va.size());
        s.idsB = idsOf(controls::speakerParamsOf(c), namesB, vb.size());
        ConfigDifference& d = s.difference;
        d.kind = ConfigDifference::Kind::Param;
        d.id = s.idsA.empty() ? -1 : s.idsA.front();
        d.label = c.name;
        d.a = controls::formatText(c, {a, {}});
        d.b = controls::formatText(c, {b, {}});
        d.jsonA = controls::formatJson(c, {a, {}});
        d.jsonB = controls::formatJson(c, {b, {}});
        d.params = s.idsA;
        out.push_back(std::move(s));
    }
    return out;
}

// The differing speaker settings a parameter pair belongs to (SIDE_SPKR
// carries both the side speakers' size and their type).
std::vector<std::size_t> speakersOf(const std::vector<SpeakerDifference>& speakers, int ia, int ib)
{
    const auto has = [](const std::vector<int>& ids, int id) {
        return id >= 0 && std::find(ids.begin(), ids.end(), id) != ids.end();
    };
    std::vector<std::size_t> out;
    for (std::size_t k = 0; k < speakers.size(); ++k)
        if (has(speakers[k].idsA, ia) || has(speakers[k].idsB, ib))
            out.push_back(k);
    return out;
}

} // namespace

ConfigComparison compareConfigs(const ConfigFileContents& a, const ConfigFileContents& b,
                                const DefinitionNames& names, bool force)
{
    return compareConfigs(a, b, names, names, force);
}

ConfigComparison compareConfigs(const ConfigFileContents& a, const ConfigFileContents& b,
                                const DefinitionNames& namesA, const DefinitionNames& namesB, bool force)
{
    ConfigComparison result;
    result.refusal = refusalOf(a, b);
    if (!result.refusal.empty() && !force)
        return result;
    auto& out = result.differences;
    // Two ROMs number their parameters and effects each its own way: only
    // their names say which is which.
    const bool byName = !result.refusal.empty() && !namesA.params.empty() && !namesB.params.empty();
    const char* missing = byName ? kNotInRom : kNone;
    const auto side = [byName](bool inA, bool inB) {
        if (!byName || (inA && inB))
            return ConfigDifference::Side::Both;
        return inA ? ConfigDifference::Side::A : ConfigDifference::Side::B;
    };

    for (int i = 0; i < kInputCount; ++i) {
        const std::string na = heldName(a.header.inputNameText(i), kInputNameWidth);
        const std::string nb = heldName(b.header.inputNameText(i), kInputNameWidth);
        if (na != nb) {
            ConfigDifference d{ConfigDifference::Kind::InputName, i, 0, "input-name-" + std::to_string(i + 1),
                               quoted(na), quoted(nb)};
            d.jsonA = nameJson(na);
            d.jsonB = nameJson(nb);
            out.push_back(std::move(d));
        }
    }
    const std::string ca = heldName(a.header.customNameText(), kCustomNameWidth);
    const std::string cb = heldName(b.header.customNameText(), kCustomNameWidth);
    if (ca != cb) {
        ConfigDifference d{ConfigDifference::Kind::CustomName, 0, 0, "custom-name", quoted(ca), quoted(cb)};
        d.jsonA = nameJson(ca);
        d.jsonB = nameJson(cb);
        out.push_back(std::move(d));
    }

    const auto& va = a.system.values;
    const auto& vb = b.system.values;
    const auto params = pairEntries(static_cast<int>(va.size()), static_cast<int>(vb.size()),
                                    [&](int id) { return namesA.paramName(id); },
                                    [&](int id) { return namesB.paramName(id); }, byName);
    // A speaker setting stands on several parameters: where both sides give
    // its choice and the choices differ, it is one difference, in the
    // control's words, in place of its parameters.
    const auto speakers = speakerDifferences(va, vb, namesA, byName ? namesB : namesA);
    std::vector<bool> shown(speakers.size(), false);
    for (const auto& [ia, ib] : params) {
        const bool inA = ia >= 0, inB = ib >= 0;
        if (inA && inB && va[static_cast<std::size_t>(ia)] == vb[static_cast<std::size_t>(ib)])
            continue;
        if (const auto ks = speakersOf(speakers, ia, ib); !ks.empty()) {
            for (std::size_t k : ks)
                if (!shown[k]) {
                    out.push_back(speakers[k].difference);
                    shown[k] = true;
                }
            continue;
        }
        const std::string name = inA ? namesA.paramName(ia) : (byName ? namesB.paramName(ib) : namesA.paramName(ib));
        const ValueUnit unit = unitOfParam(name);
        const auto control = controlOfParam(name);
        // One side's text and JSON value: the control's forms, or the page unit's text and the raw number.
        auto text = [&](bool in, std::uint8_t raw) -> std::string {
            if (!in)
                return missing;
            return control ? controls::formatText(*control, {raw, {}}) : valueText(unit, raw);
        };
        auto json = [&](bool in, std::uint8_t raw) -> controls::JsonScalar {
            if (!in)
                return nullptr;
            return control ? controls::formatJson(*control, {raw, {}}) : controls::JsonScalar(static_cast<long long>(raw));
        };
        const std::uint8_t rawA = inA ? va[static_cast<std::size_t>(ia)] : 0;
        const std::uint8_t rawB = inB ? vb[static_cast<std::size_t>(ib)] : 0;
        ConfigDifference d{ConfigDifference::Kind::Param, inA ? ia : ib, 0, control ? control->name : name,
                           text(inA, rawA), text(inB, rawB), side(inA, inB)};
        d.definition = name;
        d.params = {inA ? ia : ib};
        d.jsonA = json(inA, rawA);
        d.jsonB = json(inB, rawB);
        out.push_back(std::move(d));
    }

    // Effect records by id (two ROMs: by the effect's name); a record one side
    // lacks compares as all (none).
    auto findEffect = [](const ConfigFileContents& c, int id) -> const EffectParamRecord* {
        for (const EffectParamRecord& r : c.effects)
            if (r.effectId == id)
                return &r;
        return nullptr;
    };
    const bool effectsByName = byName && !namesA.effects.empty() && !namesB.effects.empty();
    const auto effects = pairEntries(a.header.totalEffects(), b.header.totalEffects(),
                                     [&](int e) { return namesA.effectName(e); },
                                     [&](int e) { return namesB.effectName(e); }, effectsByName);
    for (const auto& [e1, e2] : effects) {
        const EffectParamRecord* ea = e1 >= 0 ? findEffect(a, e1) : nullptr;
        const EffectParamRecord* eb = e2 >= 0 ? findEffect(b, e2) : nullptr;
        const std::size_t na = ea ? ea->values.size() : 0;
        const std::size_t nb = eb ? eb->values.size() : 0;
        const std::string name = e1 >= 0 ? namesA.effectName(e1) : (effectsByName ? namesB.effectName(e2) : namesA.effectName(e2));
        const char* absent = effectsByName && (e1 < 0 || e2 < 0) ? kNotInRom : kNone;
        for (std::size_t k = 0; k < std::max(na, nb); ++k) {
            const bool inA = k < na;
            const bool inB = k < nb;
            if (inA && inB && ea->values[k] == eb->values[k])
                continue;
            ConfigDifference d{ConfigDifference::Kind::EffectParam, e1 >= 0 ? e1 : e2, static_cast<int>(k),
                               "EFFECT[" + name + "]." + std::to_string(k + 1),
                               inA ? std::to_string(ea->values[k]) : absent,
                               inB ? std::to_string(eb->values[k]) : absent,
                               effectsByName ? side(e1 >= 0, e2 >= 0) : ConfigDifference::Side::Both};
            d.jsonA = inA ? controls::JsonScalar(static_cast<long long>(ea->values[k])) : controls::JsonScalar(nullptr);
            d.jsonB = inB ? controls::JsonScalar(static_cast<long long>(eb->values[k])) : controls::JsonScalar(nullptr);
            out.push_back(std::move(d));
        }
    }
    return result;
}

std::string differenceLine(const ConfigDifference& difference)
{
    return difference.label + ": " + difference.a + " -> " + difference.b;
}

std::string unitNotReadReason(LineState line)
{
    const char* why = line == LineState::Lost || line == LineState::Reconnecting ? "the line was lost"
                      : line == LineState::NotAnswering                          ? "the unit is not answering"
                                                                                 : "a request to the unit went unanswered";
    return std::string("the unit's configuration could not be read: ") + why;
}

namespace {

constexpr std::pair<ConfigDifference::Kind, const char*> kKindWords[] = {
    {ConfigDifference::Kind::Param, "param"},
    {ConfigDifference::Kind::InputName, "input_name"},
    {ConfigDifference::Kind::CustomName, "custom_name"},
    {ConfigDifference::Kind::EffectParam, "effect_param"},
};

} // namespace

const char* kindWord(ConfigDifference::Kind kind)
{
    for (const auto& [k, word] : kKindWords)
        if (k == kind)
            return word;
    return "param";
}

std::optional<ConfigDifference::Kind> kindFromWord(std::string_view word)
{
    for (const auto& [k, w] : kKindWords)
        if (word == w)
            return k;
    return std::nullopt;
}

std::optional<std::vector<std::uint8_t>> saveUnitToMemory(DeviceModel& model, std::string& error)
{
    ConfigFileWriter memory;
    SilentPrompt silent;
    if (!memory.open() || !SaveConfiguration(model, memory, silent)) {
        // Writing to memory cannot fail: a request went unanswered.
        error = silent.cause.empty() ? unitNotReadReason(model.link().line())
                                     : "the unit's configuration could not be read: " + silent.cause;
        return std::nullopt;
    }
    return memory.bytes();
}

std::optional<ConfigFileContents> readUnitConfiguration(DeviceModel& model, std::string& error)
{
    // The save writes to memory; its bytes go through the same check as a
    // file's, so the unit and a file compare on equal terms.
    const auto bytes = saveUnitToMemory(model, error);
    if (!bytes)
        return std::nullopt;
    std::string why;
    auto contents = parseConfigFile(bytes->data(), bytes->size(), &why);
    if (!contents)
        error = "the unit's configuration cannot be compared: " + why;
    return contents;
}

} // namespace bm

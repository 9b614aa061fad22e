// The configuration comparison. Both sides are checked configuration files, so
// a file and the unit are compared through the same save code that writes
// files and the same check that reads them.
#include "config/config_diff.h"

#include "config/config_file_io.h"
#include "config/config_save.h"
#include "config/config_units.h"
#include "model/device_model.h"
#include "model/text_fields.h"
#include "platform/prompt.h"

#include <algorithm>
#include <cstdio>

namespace bm {
namespace {

constexpr const char* kNone = "(none)";

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

// The save's "Save Successful!" is not news when the file is only a means.
class SilentPrompt : public Prompt {
public:
    PromptAnswer ask(const std::string&, PromptButtons) override { return PromptAnswer::Ok; }
};

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

ConfigComparison compareConfigs(const ConfigFileContents& a, const ConfigFileContents& b,
                                const DefinitionNames& names, bool force)
{
    ConfigComparison result;
    result.refusal = refusalOf(a, b);
    if (!result.refusal.empty() && !force)
        return result;
    auto& out = result.differences;

    for (int i = 0; i < kInputCount; ++i) {
        const std::string na = heldName(a.header.inputNameText(i), kInputNameWidth);
        const std::string nb = heldName(b.header.inputNameText(i), kInputNameWidth);
        if (na != nb)
            out.push_back({ConfigDifference::Kind::InputName, i, 0,
                           std::string("INPUT_NAME[") + RecordInputText(static_cast<std::uint8_t>(i)) + "]",
                           quoted(na), quoted(nb)});
    }
    const std::string ca = heldName(a.header.customNameText(), kCustomNameWidth);
    const std::string cb = heldName(b.header.customNameText(), kCustomNameWidth);
    if (ca != cb)
        out.push_back({ConfigDifference::Kind::CustomName, 0, 0, "CUSTOM_NAME", quoted(ca), quoted(cb)});

    const auto& va = a.system.values;
    const auto& vb = b.system.values;
    for (std::size_t id = 0; id < std::max(va.size(), vb.size()); ++id) {
        const bool inA = id < va.size();
        const bool inB = id < vb.size();
        if (inA && inB && va[id] == vb[id])
            continue;
        const std::string name = names.paramName(static_cast<int>(id));
        const ValueUnit unit = unitOfParam(name);
        out.push_back({ConfigDifference::Kind::Param, static_cast<int>(id), 0, name,
                       inA ? valueText(unit, va[id]) : kNone, inB ? valueText(unit, vb[id]) : kNone});
    }

    // Effect records by id; a record one side lacks compares as all (none).
    auto findEffect = [](const ConfigFileContents& c, int id) -> const EffectParamRecord* {
        for (const EffectParamRecord& r : c.effects)
            if (r.effectId == id)
                return &r;
        return nullptr;
    };
    const int effects = std::max(a.header.totalEffects(), b.header.totalEffects());
    for (int e = 0; e < effects; ++e) {
        const EffectParamRecord* ea = findEffect(a, e);
        const EffectParamRecord* eb = findEffect(b, e);
        const std::size_t na = ea ? ea->values.size() : 0;
        const std::size_t nb = eb ? eb->values.size() : 0;
        for (std::size_t k = 0; k < std::max(na, nb); ++k) {
            const bool inA = k < na;
            const bool inB = k < nb;
            if (inA && inB && ea->values[k] == eb->values[k])
                continue;
            out.push_back({ConfigDifference::Kind::EffectParam, e, static_cast<int>(k),
                           "EFFECT[" + names.effectName(e) + "]." + std::to_string(k + 1),
                           inA ? std::to_string(ea->values[k]) : kNone,
                           inB ? std::to_string(eb->values[k]) : kNone});
        }
    }
    return result;
}

std::string differenceLine(const ConfigDifference& difference)
{
    return difference.label + ": " + difference.a + " -> " + difference.b;
}

std::optional<ConfigFileContents> readUnitConfiguration(DeviceModel& model, std::string& error)
{
    // The save writes to memory; its bytes go through the same check as a
    // file's, so the unit and a file compare on equal terms.
    ConfigFileWriter memory;
    SilentPrompt silent;
    if (!memory.open() || !SaveConfiguration(model, memory, silent)) {
        error = "Failed to save configuration!";
        return std::nullopt;
    }
    std::string why;
    auto contents = parseConfigFile(memory.bytes().data(), memory.bytes().size(), &why);
    if (!contents)
        error = "The unit's configuration cannot be compared: " + why;
    return contents;
}

} // namespace bm

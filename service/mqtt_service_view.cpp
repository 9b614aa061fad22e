// The unit view over the unit line. A control becomes what its table row says:
// a level with its scale's range and step in the pages' units, a switch, a
// choice with its texts (effects by the unit's names), a name (text), or a
// reading. Reports are turned into values as the JSON API's events are.
#include "service/mqtt_service_view.h"

#include "model/controls.h"
#include "model/device_model.h"
#include "model/records.h"
#include "service/unit_line.h"
#include "unit/set_pipeline.h"
#include "service/volume_cap.h"
#include "unit/unit_events.h"

#include <chrono>
#include <cmath>
#include <future>
#include <memory>

namespace bm::service {
namespace {

using controls::Control;
using controls::Kind;

// How long a snapshot waits for the line thread (busy with a download or a
// tone ramp) before the last one is given instead.
constexpr auto kSnapshotLimit = std::chrono::seconds(5);
// How long a reconnection's sweep is waited for before the snapshot is taken anyway.
constexpr int kSweepLimitMs = 20000;
constexpr int kSweepSliceMs = 50;

UnitLineState toState(LineState state)
{
    switch (state) {
    case LineState::Connected: return UnitLineState::Connected;
    case LineState::Asleep: return UnitLineState::Asleep;
    case LineState::NotAnswering: return UnitLineState::NotAnswering;
    case LineState::Lost: return UnitLineState::Lost;
    case LineState::Reconnecting: return UnitLineState::Reconnecting;
    }
    return UnitLineState::Lost;
}

double number(const controls::JsonScalar& v)
{
    if (const auto* i = std::get_if<long long>(&v))
        return static_cast<double>(*i);
    if (const auto* d = std::get_if<double>(&v))
        return *d;
    return 0;
}

// "out-front-l" -> "Out front l".
std::string labelOf(const std::string& name)
{
    std::string label = name;
    for (char& c : label)
        if (c == '-')
            c = ' ';
    if (!label.empty())
        label[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(label[0])));
    return label;
}

// The view of one table row, or nothing for the rows the bridge does not
// offer (product and ROM are the device's; the front panel comes as reports).
std::optional<ControlView> viewOf(const Control& c, const DeviceModel& model, std::optional<double> maxVolume)
{
    ControlView v;
    v.name = c.name;
    v.label = labelOf(c.name);
    v.unit = c.unit == "dB" ? "dB" : "";
    switch (c.kind) {
    case Kind::Product:
    case Kind::Rom:
    case Kind::Display1:
    case Kind::Display2:
    case Kind::Param: return std::nullopt;
    default: break;
    }
    if (c.setter == controls::Setter::ReadOnly) {
        v.form = ControlView::Form::Reading;
        return v;
    }
    const auto range = controls::rangeOf(c, &model);
    switch (c.type) {
    case controls::Type::Number: {
        if (!range)
            return std::nullopt;
        // The pages' units: the JSON form of the lowest, the next and the highest raw value.
        const double low = number(controls::formatJson(c, {range->minimum, {}}));
        const double next = number(controls::formatJson(c, {range->minimum + 1, {}}));
        v.form = ControlView::Form::Level;
        v.minimum = low;
        v.maximum = number(controls::formatJson(c, {range->maximum, {}}));
        if (const auto cap = maxVolume; cap && c.kind == Kind::Volume)
            v.maximum = std::min(v.maximum, *cap); // the cap is the slider's end
        v.step = std::abs(next - low);
        return v;
    }
    case controls::Type::Switch: v.form = ControlView::Form::Switch; return v;
    case controls::Type::Text: v.form = ControlView::Form::Text; return v;
    case controls::Type::Choice: break;
    }
    v.form = ControlView::Form::Choice;
    if (c.kind == Kind::Effect) {
        // The unit's effect names that the table can select.
        for (int id = 0; id < model.unitConfig().TotalEffects && id < kEffectTableSize; ++id) {
            const std::string name = controls::fromUnitText(model.effect(id).nameText());
            std::string error;
            if (!name.empty() && controls::parseRequest(c, name, &model, error))
                v.choices.push_back(name);
        }
    } else if (range) {
        for (int raw = range->minimum; raw <= range->maximum; ++raw)
            v.choices.push_back(controls::formatText(c, {raw, {}}));
    }
    if (c.kind == Kind::Power && v.choices.size() == 2)
        v.form = ControlView::Form::Switch; // choices: off ("standby"), on
    return v;
}

// Line thread: the whole view.
UnitSnapshot takeSnapshot(UnitLine& unit)
{
    if (!unit.lineLost())
        unit.freshStatus(); // what the model holds may no longer be the unit's
    DeviceModel& model = unit.model();
    const controls::ReadLog& log = unit.readLog();
    UnitSnapshot s;
    const UnitConfig config = model.unitConfig();
    s.product = ProductName(config.ProductId);
    s.rom = config.timeStampText();
    s.line = toState(unit.lineState());
    for (const Control& c : controls::controlTable()) {
        std::string missing;
        const auto value = controls::readValue(model, c, log, missing);
        if (c.kind == Kind::Display1 || c.kind == Kind::Display2) {
            if (value)
                s.frontPanel[c.kind == Kind::Display1 ? 0 : 1] = value->text;
            continue;
        }
        const auto view = viewOf(c, model, unit.maxVolume());
        if (!view)
            continue;
        s.controls.push_back(*view);
        if (value)
            s.values[c.name] = controls::formatText(c, *value);
    }
    for (const char* key : kRemoteButtons)
        if (controls::irKeyCode(key))
            s.remoteKeys.emplace_back(key);
    return s;
}

CommandOutcome refused(std::string why)
{
    return {controls::Outcome::Invalid, std::move(why)};
}

// Line thread: the command, checked and acted on as brennmark-cli and the JSON API do.
CommandOutcome act(UnitLine& unit, const UnitCommand& command)
{
    unit.beginJob();
    DeviceModel& model = unit.model();
    std::string error;
    if (!unit.awaitAwake(error)) // a waking unit is waited for, bounded
        return {controls::Outcome::NotAnswered, std::string(outcomeText(controls::Outcome::NotAnswered)) + ": " + error};
    if (command.kind == UnitCommand::Kind::Key) {
        const auto key = controls::irKeyCode(command.name);
        if (!key)
            return refused("no IR key named \"" + command.name + "\"");
        const controls::Outcome outcome =
            unit.exchange(DC_CMD_IR, [&unit, code = *key] { unit.model().SendIrKey(code); }, error);
        unit.statusChanged(); // a key changes what the status says
        if (const auto tone = ToneGuard::controlOfKey(*key))
            unit.toneGuard().setBy(ToneGuard::kMqttClient, *tone);
        if (outcome != controls::Outcome::Done)
            return {outcome, std::string(outcomeText(outcome)) + ": " + error};
        return {outcome, {}};
    }
    unit.freshStatus(); // relative changes start from the unit's value
    const unitcore::Plan plan = unitcore::plan(model, unit.readLog(), {{command.name, command.value}});
    if (plan.error)
        return refused(plan.error->message);
    if (const auto over = overVolumeCap(model, plan.changes, unit.maxVolume()))
        return refused(*over);
    const std::vector<unitcore::Applied> applied = unitcore::apply(unit, plan.changes);
    // A frame client's tone step chosen before this set must not land after it.
    if (const auto tone = ToneGuard::controlOfName(plan.changes.front().control.name))
        unit.toneGuard().setBy(ToneGuard::kMqttClient, *tone);
    const unitcore::Applied& last = applied.back();
    if (!unitcore::succeeded(last.result))
        return {last.result.outcome, std::string(outcomeText(last.result.outcome)) + ": " + last.result.error};
    return {last.result.outcome,
            last.result.afterRead ? controls::formatText(last.control, last.result.after) : ""};
}

} // namespace

void ServiceUnitView::attach(UnitLine& unit)
{
    unit_.store(&unit);
}

void ServiceUnitView::tell(const UnitEvent& event)
{
    std::shared_ptr<const Listener> listener;
    {
        std::lock_guard lock(listenerMutex_);
        if (!listener_)
            return;
        listener = listener_;
        ++calling_;
    }
    (*listener)(event);
    {
        std::lock_guard lock(listenerMutex_);
        --calling_;
    }
    listenerIdle_.notify_all();
}

void ServiceUnitView::onUnitPacket(const Packet& p)
{
    UnitLine* unit = unit_.load();
    if (!unit)
        return;
    UnitEvent event;
    switch (p.code()) {
    case DC_PARAM_CHG_MSG: {
        if (p.dataLength() < 2)
            return;
        const std::uint8_t id = p.data()[0];
        const std::uint8_t value = p.data()[1];
        for (const unitcore::ControlChange& c : unitcore::changesOfReport(unit->model(), unit->readLog(), id, value)) {
            if (c.control.kind == Kind::Param)
                continue;
            event.name = c.control.name;
            event.value = controls::formatText(c.control, c.value);
            tell(event);
        }
        return;
    }
    case DC_FPD: {
        const auto lines = controls::displayLines(p.data(), p.dataLength());
        event.kind = UnitEvent::Kind::FrontPanel;
        event.frontPanel[0] = lines[0];
        event.frontPanel[1] = lines[1];
        tell(event);
        return;
    }
    case DC_SLEEP:
    case DC_WAKEUP:
        event.kind = UnitEvent::Kind::Line;
        event.line = p.code() == DC_SLEEP ? UnitLineState::Asleep : UnitLineState::Connected;
        tell(event);
        return;
    default: return;
    }
}

void ServiceUnitView::onLineState(LineState state)
{
    if (!unit_.load())
        return;
    UnitEvent event;
    event.kind = UnitEvent::Kind::Line;
    event.line = toState(state);
    tell(event);
    if (state == LineState::Connected) {
        // Back after a loss: the unit may be another one, or have another ROM;
        // the bridge takes a new snapshot once the sweep has read it all (the
        // status is answered from what is held only then), so that nothing
        // of the unit before shows as live. Another unit read meanwhile has
        // nothing held yet: its status is read at once.
        UnitLine* unit = unit_.load();
        awaitSweep(unit, unit->unitsRead(), std::chrono::steady_clock::now() + std::chrono::milliseconds(kSweepLimitMs));
    }
}

void ServiceUnitView::awaitSweep(UnitLine* unit, unsigned unitsRead, std::chrono::steady_clock::time_point until)
{
    unit->post([this, unit, unitsRead, until] {
        const Packet status = framePacket(DC_CMD_GET_SYS_STATUS);
        auto ready = [unit, &status, unitsRead] {
            return unit->lineState() != LineState::Connected || unit->cachedAnswer(status) ||
                   unit->unitsRead() != unitsRead;
        };
        // A slice at a time: the clients' requests queued meanwhile go first.
        if (!unit->waitFor(ready, kSweepSliceMs) && std::chrono::steady_clock::now() < until) {
            awaitSweep(unit, unitsRead, until);
            return;
        }
        // The sweep's status may already count as stale (a wake-up or a
        // client's command since), or the sweep did not end in time: it is
        // read again rather than leave the bridge without values.
        if (unit->lineState() == LineState::Connected && !unit->cachedAnswer(status))
            unit->freshStatus();
        UnitEvent controls;
        controls.kind = UnitEvent::Kind::Controls;
        tell(controls);
    });
}

UnitSnapshot ServiceUnitView::snapshot() const
{
    UnitLine* unit = unit_.load();
    if (!unit)
        return {};
    auto promise = std::make_shared<std::promise<UnitSnapshot>>();
    auto future = promise->get_future();
    const bool queued = unit->post([unit, promise] { promise->set_value(takeSnapshot(*unit)); });
    std::lock_guard lock(cacheMutex_);
    if (queued && future.wait_for(kSnapshotLimit) == std::future_status::ready)
        cache_ = future.get();
    return cache_;
}

void ServiceUnitView::setListener(Listener listener)
{
    std::unique_lock lock(listenerMutex_);
    listener_ = listener ? std::make_shared<const Listener>(std::move(listener)) : nullptr;
    // No call of the one replaced runs once this returns.
    listenerIdle_.wait(lock, [this] { return calling_ == 0; });
}

void ServiceUnitView::command(const UnitCommand& command, Done done)
{
    UnitLine* unit = unit_.load();
    if (!unit) {
        done({controls::Outcome::LineLost, "the unit is not open"});
        return;
    }
    // A set of a control replaces one of the same control still waiting.
    std::string key;
    if (command.kind == UnitCommand::Kind::Set) {
        const auto control = controls::findControl(command.name);
        // What can be checked without the unit is refused at once, so that a
        // bad value never waits in the queue (nor is taken for superseded).
        std::string error;
        if (control && !controls::parseRequest(*control, command.value, nullptr, error)) {
            done(refused(error));
            return;
        }
        key = "set " + (control ? control->name : command.name);
    }
    auto superseded = [done, key] {
        done({controls::Outcome::Superseded, "a newer " + key + " replaced it"});
    };
    if (!unit->post([unit, command, done] { done(act(*unit, command)); }, key, superseded))
        done({controls::Outcome::Busy, "the service has too many requests waiting for the unit"});
}

} // namespace bm::service

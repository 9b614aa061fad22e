// The service's side of the MQTT bridge: the unit view over brennmarkd's unit
// line. Values, forms and checks are the controls table's, as in brennmark-cli
// and the JSON API; every read of the model and every command runs as a job on
// the line thread, through the same queue as the other clients' requests.
#pragma once

#include "link/link_state.h"
#include "link/packet.h"
#include "service/unit_view.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace bm::service {

class UnitLine;

class ServiceUnitView : public UnitView {
public:
    // Reports before attach() are dropped; attach once the unit has started.
    void attach(UnitLine& unit);

    // The service's hooks (Service::Setup::unitPacket and ::lineState).
    void onUnitPacket(const Packet& packet);
    void onLineState(LineState state);

    UnitSnapshot snapshot() const override;
    void setListener(Listener listener) override;
    void command(const UnitCommand& command, Done done) override;

private:
    void tell(const UnitEvent& event);
    // After a reconnection: waits in short slices on the line's thread, each
    // queued behind the clients' work, until the sweep has read the unit (or
    // another unit has been read, or `until`), then tells the new controls.
    void awaitSweep(UnitLine* unit, unsigned unitsRead, std::chrono::steady_clock::time_point until);

    std::atomic<UnitLine*> unit_{nullptr};
    // Guards listener_ and calling_. A listener is called with no lock held;
    // setListener waits until no call of the one it replaces runs.
    std::mutex listenerMutex_;
    std::condition_variable listenerIdle_;
    std::shared_ptr<const Listener> listener_;
    int calling_ = 0;
    mutable std::mutex cacheMutex_; // guards cache_
    mutable UnitSnapshot cache_;     // the last snapshot, when the line thread is busy too long
};

// The remote's keys offered as buttons.
inline const char* const kRemoteButtons[] = {"ON", "OFF", "BASS_UP", "BASS_DOWN", "TREBLE_UP", "TREBLE_DOWN"};

} // namespace bm::service

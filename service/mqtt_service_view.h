// The service's side of the MQTT bridge: the unit view over brennmarkd's unit
// line. Values, forms and checks are the controls table's, as in brennmark-cli
// and the JSON API; every read of the model and every command runs as a job on
// the line thread, through the same queue as the other clients' requests.
#pragma once

#include "link/link_state.h"
#include "link/packet.h"
#include "service/unit_view.h"

#include <atomic>
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

    std::atomic<UnitLine*> unit_{nullptr};
    std::mutex listenerMutex_; // guards listener_, and keeps it alive while it is called
    Listener listener_;
    mutable std::mutex cacheMutex_; // guards cache_
    mutable UnitSnapshot cache_;     // the last snapshot, when the line thread is busy too long
};

// The remote's keys offered as buttons.
inline const char* const kRemoteButtons[] = {"ON", "OFF", "BASS_UP", "BASS_DOWN", "TREBLE_UP", "TREBLE_DOWN"};

} // namespace bm::service

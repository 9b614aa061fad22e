// The hook through which the device model takes part in the receiver's routing.
// All calls but bindLink() and loadDefinitionCache() come on the reader thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bm {

class CQuorControl;
struct Packet;

class LinkClient {
public:
    virtual ~LinkClient() = default;

    // First step of the link's construction: the client learns its link.
    virtual void bindLink(CQuorControl& link) = 0;
    // Construction step 3, only when the reload flag is clear.
    virtual void loadDefinitionCache() = 0;

    // DC_PARAM_CHG_MSG, step 1: store the value under the id.
    virtual void storeParamValue(std::uint8_t id, std::uint8_t value) = 0;
    // DC_PARAM_CHG_MSG, step 3 (after the suppression decision): status
    // mirrors, the effect request and tone stepping.
    virtual void mirrorParamChange(std::uint8_t id, std::uint8_t value) = 0;
    // DC_FPD: the packet's data (two 21-character display lines).
    virtual void storeFrontPanel(const std::uint8_t* data, std::size_t length) = 0;
    // DC_RESP_EFFECT_DEF, link's handling: the id of the effect whose
    // definition arrived. A client may ignore it: a definition says what an
    // effect is, not that the unit plays it (the device model takes the
    // current effect from the status and "PROGRAM" only).
    virtual void setCurrentEffect(std::uint8_t effectId) = 0;

    // The model's handling of every other routed packet, after the link's own
    // handling (unit configuration, status, definitions, names, values, and the
    // follow-up request of the sweep or the download). Not called for
    // DC_PARAM_CHG_MSG and DC_FPD, whose model part goes through the hooks above.
    virtual void routePacket(const Packet& packet) = 0;
};

} // namespace bm

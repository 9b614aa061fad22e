// Waiting for the unit's answers while a capture flag diverts every valid
// packet to the link's capture queue: the save, the restore and their match rules.
#pragma once

#include "link/packet.h"

#include <cstdint>
#include <functional>
#include <optional>

namespace bm {

class CQuorControl;

using CaptureMatch = std::function<bool(const Packet&)>;

// At most `count` tries; each takes the oldest captured packet, if any, and
// returns it when it matches. A packet that does not match is discarded and
// uses up its try; after every try without a match the caller sleeps
// `intervalMs`. Nothing after `count` tries.
std::optional<Packet> AwaitCaptured(CQuorControl& link, int count, int intervalMs,
                                    const CaptureMatch& match);

// Packets with this code.
CaptureMatch matchCode(std::uint8_t code);
// Packets with this code whose data byte 0 is `first`.
CaptureMatch matchCodeAndFirst(std::uint8_t code, std::uint8_t first);

} // namespace bm

// One pass of the link's receiver without its reader thread, for the code that
// drives a link byte by byte on its own thread (the receiver tests and the fuzz
// harnesses): the program itself never includes this.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bm {

class CQuorControl;

struct ReceiverPass {
    // Inserts the bytes into the ring and handles every whole packet; an empty
    // chunk (null or zero length) is a quiet pass and applies the time-out rule.
    static void run(CQuorControl& link, const std::uint8_t* data, std::size_t length);
};

} // namespace bm

// libFuzzer entry point for the receiver harness.
#include "harnesses.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    bm::fuzz::runReceiverInput(data, size);
    return 0;
}

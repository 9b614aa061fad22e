// libFuzzer entry point for the capture reader and the replay's script.
#include "harnesses.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    bm::fuzz::runCaptureInput(data, size);
    return 0;
}

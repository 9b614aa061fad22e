// libFuzzer entry point for the restore harness.
#include "harnesses.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    bm::fuzz::runRestoreInput(data, size);
    return 0;
}

// libFuzzer entry point for the JSON API's request parser.
#include "harnesses.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    bm::fuzz::runApiInput(data, size);
    return 0;
}

// libFuzzer target: each input is a file image for the PST reader, read the way a scan reads it.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "exercise.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzzpst::exercise(std::vector<uint8_t>(data, data + size));
    return 0;
}

// Member check of tar archives from any bytes.
#include "src/Platform/archive.h"
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    plat::detail::TarDataSafe(std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}

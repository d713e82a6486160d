// Fuzz target: bytes of one serial read from the back board, checked as an
// answer frame for the card in slot 3.
#include "Comm/uartcomm.h"
#include "support/fuzz_support.h"

void FuzzSeeds(std::vector<FuzzInput>& seeds)
{
    // Answer 7 (time) for slot 3, and an empty answer 9.
    seeds.push_back({0x47, 0x47, 0x47, 0x47, 0x03, 0x07, 0x04, 0x00, 0x00, 0x00, 0x00, 0x65, 0xe4, 0x52, 0x47, 0x21});
    seeds.push_back({0x47, 0x47, 0x47, 0x47, 0x03, 0x09, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    ST_ZR_UARTCOMM rec;
    UartComm_ParseData(data, (S32)(size > 4096 ? 4096 : size), 3, &rec);
    return 0;
}

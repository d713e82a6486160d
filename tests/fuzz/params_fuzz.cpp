// The parameter file at start-up: check, load, apply to the live sets, then
// the programming of the chips from them, as the RF start-up ends (the bus
// and chip bring-up before it take nothing from the file and run once). On
// the slave the set also arrives from the master (chip-link command 807).
#include "Common/commonfun.h"
#include "DTMB/dtmb.h"
#include "DTMB/dtmb_param.h"
#include "Driver/RF/rf.h"
#include "Parameter/parameters.h"
#include "Platform/platform.h"
#include "support/fuzz_support.h"
#include <cstddef>

namespace {

constexpr U32 kModes[] = {0, 1, 3, 4, 5, 6};

U32 Crc(const U8* p, size_t n) { return Common_CRC_Calculate(p, (U32)n, PARAMS_CRC_INIT); }

// Gives a record its three CRCs, so that the values inside get past the check.
void Seal(FuzzInput& f)
{
    if (f.size() != sizeof(ST_ZR_PARAMS))
        return;
    ST_ZR_PARAMS rec;
    memcpy(&rec, f.data(), sizeof(rec));
    U8* b = reinterpret_cast<U8*>(&rec);
    rec.st_IPMonitorParams.u32StructCRC =
        Crc(b + offsetof(ST_ZR_PARAMS, st_IPMonitorParams), offsetof(ST_ZR_IPMONITOR, u32StructCRC));
    rec.st_DTMBParams.u32StructCRC = Crc(b + offsetof(ST_ZR_PARAMS, st_DTMBParams), offsetof(ST_ZR_DTMB, u32StructCRC));
    rec.u32StructCRC = Crc(b, offsetof(ST_ZR_PARAMS, u32StructCRC));
    memcpy(f.data(), &rec, sizeof(rec));
}

}  // namespace

void FuzzSetUp()
{
    RF_Config_Slave();
}

void FuzzSeeds(std::vector<FuzzInput>& seeds)
{
    // The factory record of each mode, on the master and on the slave (bit 3),
    // sealed again by the target (bit 4).
    for (U8 m = 0; m < 6; m++) {
        g_u32ModulationMode = kModes[m];
        Master_PARAMS_Factory();
        const U8* rec = reinterpret_cast<const U8*>(PARAMS_GetCurParamsHandler());
        for (U8 flags : {0x10, 0x18}) {
            FuzzInput in{(U8)(m | flags)};
            in.insert(in.end(), rec, rec + sizeof(ST_ZR_PARAMS));
            seeds.push_back(in);
        }
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const U8 flags = data[0];
    g_u32ModulationMode = kModes[(flags & 7) % 6];
    const bool slave = flags & 8;
    FuzzInput file(data + 1, data + size);
    if (flags & 0x10)
        Seal(file);
    plat::WriteFileAtomic(PARAMS_CONFIG_FILE, file.data(), file.size(), false);
    if (slave) {
        Slave_PARAMS_Init();
        SetDTMB_CurPara_Slave(GetDTMBPara_Handle());
        if (file.size() >= offsetof(ST_ZR_PARAMS, st_DTMBParams) + 4 + sizeof(TParameter_DTMB)) {
            TParameter_DTMB received;
            memcpy(&received, file.data() + offsetof(ST_ZR_PARAMS, st_DTMBParams) + 4, sizeof(received));
            SetDTMB_CurPara_Slave(&received);
        }
    } else {
        Master_PARAMS_Init();
        SetDTMB_CurPara(GetDTMBPara_Handle());
    }
    return 0;
}

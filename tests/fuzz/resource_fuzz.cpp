// The back board's resource records: one per slot, relayed to every card,
// and the back board's own, whose chassis-wide settings (time, SI mode, EIT
// board, VLAN tags, connect services) the card applies.
#include "DTMB/dtmb.h"
#include "Parameter/parameters.h"
#include "StatusProcess/resource.h"
#include "support/fuzz_support.h"

namespace {

constexpr U32 kModes[] = {0, 1, 3, 4, 5, 6};

// The state every input starts from: the slot records, the live set and the
// SI mode.
TResource_TS g_slots[SLOT_BB + 1];
TParameter_DTMB g_live;
U8 g_siMode;

}  // namespace

void FuzzSetUp()
{
    Resource_Init();
    // The SSH service's start or stop is recorded; its pause is not waited.
    Resource_TestSetServicePauseMs(0);
    for (U32 i = 0; i <= SLOT_BB; i++)
        g_slots[i] = *Resource_GetHandle(i);
    g_live = *GetDTMBPara_Handle();
    g_siMode = MAC_SI_MODE;
}

void FuzzSeeds(std::vector<FuzzInput>& seeds)
{
    for (U8 mode : {0, 3, 4}) {
        for (U8 slot : {3, 16}) {
            FuzzInput in{(U8)(mode | (slot == 16 ? 0x80 : 0)), slot};
            TResource_TS rec{};
            rec.u8SlotID = slot;
            rec.u8BoardType = slot == 16 ? 0x10 : 0x41;
            rec.u32IPAddress = 0xC0A80A00u + slot;
            rec.u8PortNum = 1;
            const U8* b = reinterpret_cast<const U8*>(&rec);
            in.insert(in.end(), b, b + sizeof(rec));
            seeds.push_back(in);
        }
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    for (U32 i = 0; i <= SLOT_BB; i++)
        *Resource_GetHandle(i) = g_slots[i];
    *GetDTMBPara_Handle() = g_live;
    MAC_SI_MODE = g_siMode;
    g_isFirstInitBackboard = 0;
    g_u8SendResourceOk = 0;
    FuzzReader r(data, size);
    const U8 flags = r.U8();
    g_u32ModulationMode = kModes[(flags & 7) % 6];
    // The slot the record came for: the back board's own, or any other.
    const U32 slot = (flags & 0x80) ? SLOT_BB : r.U8();
    FuzzInput rec = r.Bytes(sizeof(TResource_TS));
    rec.resize(sizeof(TResource_TS), 0);
    // A new time word asks the back board for the time over the serial line,
    // which has no peer here: each such input would wait seconds for nothing.
    auto* in = reinterpret_cast<TResource_TS*>(rec.data());
    const TResource_TS* held = Resource_GetHandle(SLOT_BB);
    if (in->u8SlotID == SLOT_BB && held != nullptr) {
        in->u8NTPZone = held->u8NTPZone;
        in->u8DayLightFlag = held->u8DayLightFlag;
        in->u16GPSOffset = held->u16GPSOffset;
    }
    Resource_SetSlotResource(slot, rec.data());
    return 0;
}

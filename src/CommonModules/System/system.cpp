// Chassis information, under its own mutex, and the conversions between the
// slot numbers users see and the hardware slot numbers.
#include "CommonModules/System/system.h"
#include <cstring>
#include <mutex>

namespace {

std::mutex s_chassisMutex;
zrChassisInfo_s s_stChassisInfo;

// Fixed tables of a non-default chassis without a map from the back board.
const U8 kHwToUi[9] = {2, 1, 0, 5, 3, 4, 6, 255, 16};  // hardware slots 8..16
const U8 kUiToHw[17] = {10, 9, 8, 12, 13, 11, 14, 255, 255, 255, 255, 255, 255, 255, 255, 255, 16};

}  // namespace

void ZRSYS_SetVrnType(U32 u32VrnType)
{
    std::lock_guard<std::mutex> lk(s_chassisMutex);
    s_stChassisInfo.u32VrnType = u32VrnType;
}

U32 ZRSYS_GetVrnType(void)
{
    std::lock_guard<std::mutex> lk(s_chassisMutex);
    return s_stChassisInfo.u32VrnType;
}

U32 ZRSYS_SetSlotMap(U8* aru8SlotMap)
{
    if (aru8SlotMap == nullptr)
        return (U32)-1;
    std::lock_guard<std::mutex> lk(s_chassisMutex);
    memcpy(s_stChassisInfo.aru8SlotMap, aru8SlotMap, ZRSYS_SLOT_MAP_LEN);
    return 0;
}

U32 ZRSYS_GetSlotMap(U8* aru8SlotMap)
{
    if (aru8SlotMap == nullptr)
        return (U32)-1;
    std::lock_guard<std::mutex> lk(s_chassisMutex);
    memcpy(aru8SlotMap, s_stChassisInfo.aru8SlotMap, ZRSYS_SLOT_MAP_LEN);
    return 0;
}

void ZRSYS_SetSlotMapFromeBaseboard(void)
{
    std::lock_guard<std::mutex> lk(s_chassisMutex);
    s_stChassisInfo.isSlotMapFormeBaseboard = 1;
}

BOOL ZRSYS_IsSlotMapFromeBaseboard(void)
{
    std::lock_guard<std::mutex> lk(s_chassisMutex);
    return s_stChassisInfo.isSlotMapFormeBaseboard;
}

void ZRSYS_SetIsKxa200(BOOL isKxa200)
{
    std::lock_guard<std::mutex> lk(s_chassisMutex);
    s_stChassisInfo.isKxa200 = isKxa200;
}

BOOL ZRSYS_GetIsKxa200(void)
{
    std::lock_guard<std::mutex> lk(s_chassisMutex);
    return s_stChassisInfo.isKxa200;
}

U8 ZRSYS_HWSlot2UISlot(U8 u8VRNType, U8 u8Slot)
{
    std::lock_guard<std::mutex> lk(s_chassisMutex);
    if (s_stChassisInfo.isSlotMapFormeBaseboard) {
        for (U8 i = 0; i < ZRSYS_SLOT_MAP_LEN; i++)
            if (s_stChassisInfo.aru8SlotMap[i] == u8Slot)
                return i;
        return u8Slot;
    }
    if (u8VRNType == 0)
        return u8Slot;
    return (u8Slot >= 8 && u8Slot <= 16) ? kHwToUi[u8Slot - 8] : 255;
}

U8 ZRSYS_UISlot2HWSlot(U8 u8VRNType, U8 u8Slot)
{
    std::lock_guard<std::mutex> lk(s_chassisMutex);
    if (s_stChassisInfo.isSlotMapFormeBaseboard)
        return u8Slot < ZRSYS_SLOT_MAP_LEN ? s_stChassisInfo.aru8SlotMap[u8Slot] : u8Slot;
    if (u8VRNType == 0)
        return u8Slot;
    return u8Slot < 17 ? kUiToHw[u8Slot] : 255;
}

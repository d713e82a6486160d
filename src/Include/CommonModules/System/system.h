// Chassis information reported by the back board: chassis type, platform
// model and the map between the slot numbers users see and hardware slots.
#pragma once
#include "Common/types.h"

#define ZRSYS_SLOT_MAP_LEN 17

typedef struct {
    BOOL isSlotMapFormeBaseboard;
    U32 u32VrnType;
    U8 aru8SlotMap[ZRSYS_SLOT_MAP_LEN];
    BOOL isKxa200;
} zrChassisInfo_s;

void ZRSYS_SetVrnType(U32 u32VrnType);
U32 ZRSYS_GetVrnType(void);
U32 ZRSYS_SetSlotMap(U8* aru8SlotMap);
U32 ZRSYS_GetSlotMap(U8* aru8SlotMap);
void ZRSYS_SetSlotMapFromeBaseboard(void);
BOOL ZRSYS_IsSlotMapFromeBaseboard(void);
void ZRSYS_SetIsKxa200(BOOL isKxa200);
BOOL ZRSYS_GetIsKxa200(void);
U8 ZRSYS_HWSlot2UISlot(U8 u8VRNType, U8 u8Slot);
U8 ZRSYS_UISlot2HWSlot(U8 u8VRNType, U8 u8Slot);

// Register access of other widths and byte orders at an address inside a
// mapped block, built on the 32-bit accessors; carried by the register tools.
#pragma once
#include "Common/types.h"

U8 Xil_In8(volatile void* address);
U16 Xil_In16(volatile void* address);
void Xil_Out8(volatile void* address, U8 value);
void Xil_Out16(volatile void* address, U16 value);
U16 Xil_In16BE(volatile void* address);
U32 Xil_In32BE(volatile void* address);
void Xil_Out16BE(volatile void* address, U16 value);
void Xil_Out32BE(volatile void* address, U32 value);
U16 Xil_EndianSwap16(U16 value);
U32 Xil_EndianSwap32(U32 value);

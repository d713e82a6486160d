// 8- and 16-bit and byte-reversed accesses: a narrow access goes through the
// aligned word that holds it (read, and for a write merged and written
// back) with the 32-bit accessors, so that the simulated models see every
// write. Words are little-endian, as on the card's processor.
#include "Driver/FPGA/xil_io.h"
#include "Driver/FPGA/fpga.h"
#include <cstdint>

namespace {

volatile U32* WordOf(volatile void* a)
{
    return reinterpret_cast<volatile U32*>(reinterpret_cast<uintptr_t>(a) & ~(uintptr_t)3);
}
U32 ShiftOf(volatile void* a, U32 align) { return 8 * (U32)(reinterpret_cast<uintptr_t>(a) & (3 & ~(align - 1))); }

void Merge(volatile void* a, U32 mask, U32 value, U32 align)
{
    U32 sh = ShiftOf(a, align);
    volatile U32* w = WordOf(a);
    Xil_Out32(w, (Xil_In32(w) & ~(mask << sh)) | ((value & mask) << sh));
}

}  // namespace

U16 Xil_EndianSwap16(U16 v) { return (U16)((v >> 8) | (v << 8)); }
U32 Xil_EndianSwap32(U32 v) { return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24); }

U8 Xil_In8(volatile void* a) { return (U8)(Xil_In32(WordOf(a)) >> ShiftOf(a, 1)); }
U16 Xil_In16(volatile void* a) { return (U16)(Xil_In32(WordOf(a)) >> ShiftOf(a, 2)); }
void Xil_Out8(volatile void* a, U8 v) { Merge(a, 0xFFu, v, 1); }
void Xil_Out16(volatile void* a, U16 v) { Merge(a, 0xFFFFu, v, 2); }
U16 Xil_In16BE(volatile void* a) { return Xil_EndianSwap16(Xil_In16(a)); }
U32 Xil_In32BE(volatile void* a) { return Xil_EndianSwap32(Xil_In32(WordOf(a))); }
void Xil_Out16BE(volatile void* a, U16 v) { Xil_Out16(a, Xil_EndianSwap16(v)); }
void Xil_Out32BE(volatile void* a, U32 v) { Xil_Out32(WordOf(a), Xil_EndianSwap32(v)); }

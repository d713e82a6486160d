// FPGA register access of the register tools fpgapoke and fpgapeek: their
// own mapping of the register window and the GPIO block, without locks.
#pragma once
#include "Common/types.h"

// Maps a window of regCount registers and the GPIO block, printing the
// outcome. False when either mapping failed (then no register is touched).
bool Reg_Map(U32 regCount);
// One 32-bit access at 16 x register. False when the register lies outside
// the mapped window.
bool FpgaTool_Read(U32 reg, U32* value);
bool FpgaTool_Write(U32 reg, U32 value);
// Parses a register number or value in hexadecimal; false when the text is
// not one.
bool FpgaTool_ParseHex(const char* text, U32* value);

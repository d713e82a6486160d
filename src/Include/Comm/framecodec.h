// The frame of the card links (frame link and chip link): building and
// checking one wire frame. Shared by the card's links and the test peers.
//
// Wire layout, little-endian: slot, 0, command u16, index u32, total u32,
// length L u32, L data bytes, zero padding to a multiple of 4, then the CRC
// over the first 16 + L bytes (CRC routine started from 0x04C11DB7).
#pragma once
#include "Common/err.h"
#include "Common/types.h"
#include <cstddef>

#define IPCOMM_MAX_DATA_LEN 1400
#define IPCOMM_HEADER_LEN 16
#define IPCOMM_MIN_FRAME_LEN 20
#define IPCOMM_MAX_FRAME_LEN (IPCOMM_MAX_DATA_LEN + IPCOMM_MIN_FRAME_LEN)
#define IPCOMM_CRC_INIT 0x04C11DB7u

typedef struct {
    U8 u8SlotID;
    U8 u8Res;
    U16 u16CMD;
    U32 u32CurTansNum;
    U32 u32SumTansNum;
    U32 u32Length;
    U8 pu8Data[IPCOMM_MAX_DATA_LEN];
    U32 u32StructCRC;
} ST_ZR_IPCOMM;

// Bytes of a frame carrying len data bytes.
inline size_t FrameCodec_FrameLen(U32 len) { return (size_t)len + (4 - len % 4) % 4 + IPCOMM_MIN_FRAME_LEN; }

// The frame length a 16-byte header announces, or 0 when its length field
// is above 1,400 (checked before any arithmetic on it).
size_t FrameCodec_ExpectedLen(const U8* header);

// Writes the frame of a filled record (its CRC computed here) into out,
// which holds IPCOMM_MAX_FRAME_LEN bytes. Returns the frame length, or 0
// when the record's length is above 1,400.
size_t FrameCodec_Encode(ST_ZR_IPCOMM* rec, U8* out);

// Checks one received frame and unpacks it. 0; 1286 when shorter than a
// frame, when the length field is above 1,400 or does not match the bytes
// received; 5 on a CRC mismatch. On failure the record is left cleared
// (command 0), except for a buffer shorter than a header, which leaves it
// untouched.
zrErrCode FrameCodec_Decode(const U8* buf, size_t len, ST_ZR_IPCOMM* rec);

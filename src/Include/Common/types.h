// Fixed-width types and chassis identities shared by all modules.
#pragma once
#include <cstdint>
#include <cstddef>

typedef uint8_t U8;
typedef uint16_t U16;
typedef uint32_t U32;
typedef uint64_t U64;
typedef int8_t S8;
typedef int16_t S16;
typedef int32_t S32;
typedef uint8_t BOOL;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

typedef enum {
    SLOT0 = 0, SLOT1, SLOT2, SLOT3, SLOT4, SLOT5, SLOT6, SLOT7,
    SLOT8, SLOT9, SLOT10, SLOT11, SLOT12, SLOT13, SLOT14, SLOT15,
    SLOT_BB = 16,
    MAX_SLOT_NUM = 17
} SLOT_ID;

typedef enum {
    CHIP_TYPE_MAIN = 0,
    CHIP_TYPE_SUB = 1
} CHIP_TYPE;

// Records stored in files or sent on a wire are little-endian byte images;
// the card's ARM cores are little-endian too, so they are used in place.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "record layouts assume a little-endian host");

// Frame codec of the card links: explicit little-endian layout, every
// length checked against 1,400 before it is used.
#include "Comm/framecodec.h"
#include "Common/commonfun.h"
#include <cstring>

namespace {

U32 Get32(const U8* p) { return (U32)p[0] | (U32)p[1] << 8 | (U32)p[2] << 16 | (U32)p[3] << 24; }
void Put32(U8* p, U32 v)
{
    p[0] = (U8)v;
    p[1] = (U8)(v >> 8);
    p[2] = (U8)(v >> 16);
    p[3] = (U8)(v >> 24);
}

void PutHeader(const ST_ZR_IPCOMM* rec, U8* out)
{
    out[0] = rec->u8SlotID;
    out[1] = 0;
    out[2] = (U8)rec->u16CMD;
    out[3] = (U8)(rec->u16CMD >> 8);
    Put32(out + 4, rec->u32CurTansNum);
    Put32(out + 8, rec->u32SumTansNum);
    Put32(out + 12, rec->u32Length);
}

}  // namespace

size_t FrameCodec_ExpectedLen(const U8* header)
{
    U32 len = Get32(header + 12);
    return len > IPCOMM_MAX_DATA_LEN ? 0 : FrameCodec_FrameLen(len);
}

size_t FrameCodec_Encode(ST_ZR_IPCOMM* rec, U8* out)
{
    if (rec == nullptr || out == nullptr || rec->u32Length > IPCOMM_MAX_DATA_LEN)
        return 0;
    U32 len = rec->u32Length;
    size_t total = FrameCodec_FrameLen(len);
    memset(out, 0, total);
    PutHeader(rec, out);
    memcpy(out + IPCOMM_HEADER_LEN, rec->pu8Data, len);
    rec->u32StructCRC = Common_CRC_Calculate(out, IPCOMM_HEADER_LEN + len, IPCOMM_CRC_INIT);
    Put32(out + total - 4, rec->u32StructCRC);
    return total;
}

zrErrCode FrameCodec_Decode(const U8* buf, size_t len, ST_ZR_IPCOMM* rec)
{
    if (buf == nullptr || rec == nullptr)
        return ZR_ERR_PARAMS;
    if (len < IPCOMM_MIN_FRAME_LEN)
        return ZR_ERR_COMM_IP_RECV_MISS;
    memset(rec, 0, sizeof(*rec));
    size_t expected = FrameCodec_ExpectedLen(buf);
    if (expected == 0 || expected != len)
        return ZR_ERR_COMM_IP_RECV_MISS;
    U32 dataLen = Get32(buf + 12);
    U32 crc = Get32(buf + len - 4);
    if (crc != Common_CRC_Calculate(buf, IPCOMM_HEADER_LEN + dataLen, IPCOMM_CRC_INIT))
        return ZR_ERR_CRC;
    rec->u8SlotID = buf[0];
    rec->u16CMD = (U16)(buf[2] | buf[3] << 8);
    rec->u32CurTansNum = Get32(buf + 4);
    rec->u32SumTansNum = Get32(buf + 8);
    rec->u32Length = dataLen;
    memcpy(rec->pu8Data, buf + IPCOMM_HEADER_LEN, dataLen);
    rec->u32StructCRC = crc;
    return ZR_SUCCESS;
}

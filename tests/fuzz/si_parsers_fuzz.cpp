// The section parsers of received SI (NIT, TOT), the NIT merge and split of
// the editors, and what the slave chip takes from the master: SI rows and
// routing-table rows. The first byte picks the parser, the rest is its input.
#include "Common/commonfun.h"
#include "SIprocess/SIconstruct.h"
#include "SIprocess/SIsend.h"
#include "SIprocess/tdttot.h"
#include "TSprocess/tsp_lut.h"
#include "support/fuzz_support.h"
#include <memory>

extern U8 u8PSIEnable[8];

namespace {

enum Pick : U8 { kNIT, kTOT, kMergeSplit, kSubSI, kSubMuxLUT, kSubBypassLUT, kPicks };

// A section with its CRC, from table_id to the last payload byte.
FuzzInput Section(FuzzInput body)
{
    const U32 len = (U32)body.size() + 4 - 3;
    body[1] = (U8)(0xF0 | ((len >> 8) & 0x0F));
    body[2] = (U8)len;
    U32 crc = Common_CRC_Calculate(body.data(), (U32)body.size(), 0xFFFFFFFF);
    for (int s = 24; s >= 0; s -= 8)
        body.push_back((U8)(crc >> s));
    return body;
}

FuzzInput NITSection(U8 u8Number, U8 u8Last)
{
    // Network name descriptor, then one stream with a cable delivery descriptor.
    return Section({0x40, 0, 0, 0x12, 0x34, 0xC3, u8Number, u8Last, 0xF0, 6, 0x40, 4, 'N', 'e', 't', '1',
                    0xF0, 17, 0x00, 0x01, 0x00, 0x02, 0xF0, 13, 0x44, 11, 0x04, 0x74, 0, 0, 0xFF, 0xF2, 3,
                    0x00, 0x68, 0x75, 0x00});
}

}  // namespace

void FuzzSetUp()
{
    for (U8& e : u8PSIEnable)
        e = 0;  // the slave's rows are taken apart, not written to captures
}

void FuzzSeeds(std::vector<FuzzInput>& seeds)
{
    FuzzInput nit = NITSection(0, 0);
    nit.insert(nit.begin(), kNIT);
    seeds.push_back(nit);

    TOTTable_t tot;
    TSP_InitTOT(&tot);
    U8 sec[1024];
    U16 len = 0;
    if (SIP_ConstructTOT(&tot, sizeof(sec), sec, &len) == 0) {
        FuzzInput s{kTOT};
        s.insert(s.end(), sec, sec + len);
        seeds.push_back(s);
    }

    FuzzInput two{kMergeSplit};
    for (U8 n = 0; n < 2; n++) {
        FuzzInput s = NITSection(n, 1);
        two.insert(two.end(), s.begin(), s.end());
    }
    seeds.push_back(two);

    FuzzInput rows{kSubSI};
    for (U8 ch = 4; ch < 6; ch++) {
        FuzzInput r(SI_RECORD_BYTES, 0);
        r[0] = 1;
        r[4] = ch;
        r[8 + 3] = 0x47;
        rows.insert(rows.end(), r.begin(), r.end());
    }
    seeds.push_back(rows);
    seeds.push_back({kSubMuxLUT, 2, 0, 0, 0, 0x10, 0x20, 0, 0, 0x11, 0x20, 0, 0});
    seeds.push_back({kSubBypassLUT, 1, 0, 0, 0, 5, 0, 0, 0});
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const U8 pick = data[0] % kPicks;
    // A private copy of exactly the input's size, so that reading past it is seen.
    FuzzInput in(data + 1, data + size);
    std::unique_ptr<U8[]> buf(new U8[in.size() ? in.size() : 1]);
    if (!in.empty())
        memcpy(buf.get(), in.data(), in.size());
    const U16 len = (U16)(in.size() > 0xFFFF ? 0xFFFF : in.size());
    switch (pick) {
    case kNIT: {
        auto nit = std::make_unique<NITTable_t>();
        SIP_ParseNIT(buf.get(), len, nit.get(), 0);
        break;
    }
    case kTOT: {
        TOTTable_t tot;
        if (SIP_ParseTOT(buf.get(), len, &tot, 0) == 0) {
            U8 out[1024];
            U16 outLen = 0;
            SIP_ConstructTOT(&tot, sizeof(out), out, &outLen);
        }
        break;
    }
    case kMergeSplit: {
        auto inBuf = std::make_unique<NITBuf_t>();
        auto merged = std::make_unique<NITBuf_t>();
        inBuf->u16NITLength = (U16)(len > SIP_NITBUF_LEN ? SIP_NITBUF_LEN : len);
        memcpy(inBuf->aru8OutputNITSection, buf.get(), inBuf->u16NITLength);
        if (SIP_ConstructBigNITSection(inBuf.get(), merged.get()) == 0) {
            auto split = std::make_unique<NITBuf_t>();
            U16 outLen = 0;
            SIP_SplitNITSection(merged->aru8OutputNITSection, merged->u16NITLength, SIP_NITBUF_LEN,
                                split->aru8OutputNITSection, &outLen);
        }
        U16 outLen = 0;
        auto split = std::make_unique<NITBuf_t>();
        SIP_SplitNITSection(buf.get(), len, SIP_NITBUF_LEN, split->aru8OutputNITSection, &outLen);
        break;
    }
    case kSubSI:
        SSD_ReceiveSubSIInfo(buf.get(), (U32)in.size());
        SSD_WriteSubBroadcastSI();
        break;
    case kSubMuxLUT:
        TSP_ReceiveSubFPGAMUXLUTInfo(buf.get(), (U32)in.size());
        break;
    case kSubBypassLUT:
        TSP_ReceiveSubFPGABYPASSLUTInfo(buf.get(), (U32)in.size());
        break;
    }
    return 0;
}

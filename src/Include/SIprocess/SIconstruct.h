// Section codec: PSI/SI table models and the writers and parsers that turn
// them into complete sections (header, body, CRC-32) and back.
#pragma once
#include "Common/err.h"
#include "Common/types.h"
#include <cstddef>

// Result codes of the codec (beside zrErrCode and the TSP_ERR_* values).
#define SIP_ERR_PARAM 0xD0000u  // null pointer, buffer too small, empty table
#define SIP_ERR_RANGE 0xD0002u  // count or length over its limit

// Largest section the card writes, CRC included (section_length <= 1021).
#define SIP_MAX_SECTION_LEN 1024
#define SIP_MAX_SECTION_LENGTH_FIELD 1021

// ---- PAT -------------------------------------------------------------
#define SIP_PAT_MAX_PROGRAM 200
typedef struct {
    U16 u16ServiceId;
    U16 u16PMTPid;
    U16 u16ServiceId1;  // not written to sections
    U16 u16PMTPid1;     // not written to sections
} ProgramInfoInPat_t;

typedef struct {
    U16 u16TransportStreamID;
    U16 u16ProgramCount;  // 0..200
    U8 u8VersionNum;
    ProgramInfoInPat_t arstProgramInfo[SIP_PAT_MAX_PROGRAM];
} PATTable_t;

// ---- CAT -------------------------------------------------------------
#define SIP_CAT_MAX_CASYS 32
#define SIP_CAT_PRIVATE_MAX 99
typedef struct {
    U16 u16CaSysID;
    U16 u16EmmPid;
    U8 u8DesLength;  // CA descriptor's descriptor_length: 4 + private bytes
    U8 u8PrivateDataByte[SIP_CAT_PRIVATE_MAX];
} CatCAInfo_t;

typedef struct {
    U8 u8VersionNum;
    U8 u8Rvd;
    U16 u16CaSysNum;  // 0..32
    CatCAInfo_t arstCaInfo[SIP_CAT_MAX_CASYS];
} CATTable_t;

// ---- SDT actual ------------------------------------------------------
#define SIP_SDT_MAX_SERVICE 100
#define SIP_SDT_NAME_MAX 32
#define SIP_SDT_OTHERINFO_MAX 1024
typedef struct {
    U16 u16ServiceID;
    U8 u8ServiceType;
    U8 u8FreeCAMode;
    U8 u8RunningStatus;
    U8 u8EITScheduleFlag;
    U8 u8EITPresentFollowingFlag;
    U8 aru8Rvd[3];
    U8 u8ProviderNameLen;  // 0..32
    U8 u8ServiceNameLen;   // 0..32
    U8 aru8ProviderName[SIP_SDT_NAME_MAX];
    U8 aru8ServiceName[SIP_SDT_NAME_MAX];
    U16 u16OtherInfoLen;  // 0..1024
    U8 aru8OtherInfo[SIP_SDT_OTHERINFO_MAX];  // further service descriptors, raw
} SDTProgramInfo_t;

typedef struct {
    U16 u16OriginalNetworkId;
    U16 u16TransportStreamID;
    U8 u8VersionNum;
    U8 u8Rvd;
    U16 u16ServiceNum;  // 0..100
    SDTProgramInfo_t arstProgInfo[SIP_SDT_MAX_SERVICE];
} SDTTable_t;

// ---- PMT -------------------------------------------------------------
#define SIP_PMT_MAX_CASYS 20
#define SIP_PMT_MAX_ES 200
#define SIP_PMT_INFO_MAX 1024
typedef struct {
    U16 u16CaSysID;
    U16 u16EcmPid;
} PmtCAInfo_t;

typedef struct {
    U8 u8Type;  // stream_type
    U16 u16Pid;
    U8 u8CaSysNum;
    PmtCAInfo_t arstCaInfo[SIP_PMT_MAX_CASYS];
    U16 u16ESInfoLen;  // 0..1024
    U8 aru8ESInfo[SIP_PMT_INFO_MAX];
} PMTESInfo_t;

typedef struct {
    U16 u16ServiceId;
    U16 u16PCRPID;
    U8 u8VersionNum;
    U8 u8CaSysNum;
    PmtCAInfo_t arstCaInfo[SIP_PMT_MAX_CASYS];
    U16 u16ProgInfoLen;  // 0..1024
    U8 aru8ProgInfo[SIP_PMT_INFO_MAX];
    U8 aru8Rvd[3];
    U8 u8EsNum;  // 0..200
    PMTESInfo_t arstPMTESInfo[SIP_PMT_MAX_ES];
} PMTTable_t;

// ---- ATSC MGT --------------------------------------------------------
#define SIP_MGT_MAX_TABLES 300
#define SIP_MGT_DESC_MAX 500
#define SIP_MGT_TABLE_DESC_MAX 300
typedef struct {
    U16 u16TableType;
    U16 u16TableTypePid;
    U32 u32NumberBytes;
    U8 u8TableTypeVerNum;
    U8 u8Rvd;
    U16 u16TableDescriptorLen;  // 0..300
    U8 aru8Descriptor[SIP_MGT_TABLE_DESC_MAX];
} MGTTablesInfo_t;

typedef struct {
    U8 u8VersionNum;
    U8 u8ProtocolVersion;
    U16 u16DescriptorLength;  // 0..500
    U8 aru8Descriptor[SIP_MGT_DESC_MAX];
    U16 u16TablesDefined;  // 0..300
    MGTTablesInfo_t arstMGTTablesInfo[SIP_MGT_MAX_TABLES];
} MGTTable_t;

// ---- ATSC TVCT / CVCT ------------------------------------------------
#define SIP_VCT_TID_TERRESTRIAL 0xC8
#define SIP_VCT_TID_CABLE 0xC9
#define SIP_VCT_MAX_CHANNELS 100
#define SIP_VCT_ADD_DESC_MAX 500
#define SIP_VCT_CHANNEL_DESC_MAX 300
typedef struct {
    U8 aru8ShortName[14];  // 7 UTF-16 code units, big-endian
    U16 u16Rvd;
    U16 u16MajorChannelNum;
    U16 u16MinorChannelNum;
    U32 u32Frequency;
    U16 u16ChannelTSID;
    U16 u16ProgramNum;
    U8 u8ModulationMode;
    U8 u8ETMLocation;
    U8 u8AccessControlled;
    U8 u8Hidden;
    U8 u8HideGuide;
    U8 u8ServiceType;
    U8 u8PathSelect;
    U8 u8OutOfBand;
    U16 u16SourceId;
    U16 u16DescriptorLength;  // 0..300
    U8 aru8Descriptor[SIP_VCT_CHANNEL_DESC_MAX];
} VCTChannelInfo_t;

typedef struct {
    U16 u16TransportStreamId;
    U8 u8VersionNum;
    U8 u8ProtocolVerNum;
    U16 u16Rvd;
    U16 u16AddDescriptorLen;  // 0..500
    U8 aru8Descriptor[SIP_VCT_ADD_DESC_MAX];  // additional descriptors
    U8 aru8Rvd[3];
    U8 u8ChannelsNum;  // 0..100
    VCTChannelInfo_t arstVCTChannelInfo[SIP_VCT_MAX_CHANNELS];
} VCTTable_t;

// ---- NIT -------------------------------------------------------------
#define SIP_NIT_INFO_MAX 1024
#define SIP_NIT_MAX_TS 96
#define SIP_NITBUF_LEN 40000
typedef struct {
    U16 u16TSID;
    U16 u16OriginalNetId;
    U16 u16DescriptorsLen;  // 0..1024
    U8 aru8Descriptors[SIP_NIT_INFO_MAX];
} TSInfoStruct_t;

// A parsed NIT (all its sections).
typedef struct {
    U8 u8VersionNum;
    U8 u8LastSectionNum;
    U16 u16SectionLen;
    U16 u16NetworkId;
    U16 u16NetworkInfoLen;  // 0..1024
    U8 aru8NetworkInfo[SIP_NIT_INFO_MAX];  // network descriptors, raw
    U16 u16TPNumber;  // 0..96
    TSInfoStruct_t arstTPData[SIP_NIT_MAX_TS];
} NITTable_t;

// NIT sections back to back, or one merged section (the editors' working form).
typedef struct {
    U16 u16NITLength;                // bytes used
    U32 u32OutputNITSectionOffset;   // write position while filling
    U8 aru8OutputNITSection[SIP_NITBUF_LEN];
} NITBuf_t;
static_assert(sizeof(NITBuf_t) == 40008, "NIT scratch buffers are 40008 bytes");

// ---- TDT / TOT -------------------------------------------------------
typedef struct {
    U8 u8SectionLen;  // 5
    U8 aru8UTCTime[5];  // 16-bit MJD, then hour, minute, second in BCD
} TDTTable_t;

// One local_time_offset entry; the layout crosses the chip link (28-byte model).
typedef struct {
    U32 u32CountryCode;  // 24 bits used, first character in bits 23..16
    U8 u8CountryRegID;   // 6 bits
    U8 u8LocalTimeOffsetPol;  // 0 or 1
    U16 u16LocalTimeOffset;   // BCD hhmm
    U8 u8TimeOfChange[5];     // MJD + BCD
    U16 u16NextTimeOffset;    // BCD hhmm
} TOTDesc_t;

typedef struct {
    U8 u8Tag;      // 0x58
    U8 u8DescLen;  // 13 for one entry
    TOTDesc_t arstDes[1];
} TOTDescInfo_t;

typedef struct {
    U8 u8SectionLen;
    U8 aru8UTCTime[5];
    TOTDescInfo_t arstDescInfo;
} TOTTable_t;
static_assert(sizeof(TOTDesc_t) == 16, "TOT entry layout");
static_assert(sizeof(TOTTable_t) == 28, "the TOT model crosses the chip link as 28 bytes");
static_assert(offsetof(TOTTable_t, arstDescInfo) == 8, "TOT model layout");
static_assert(offsetof(TOTTable_t, arstDescInfo.arstDes) == 12, "TOT model layout");
static_assert(offsetof(TOTDesc_t, u16NextTimeOffset) == 14, "TOT entry layout");

// ---- STT tables ------------------------------------------------------
typedef struct {
    U32 u32Index;
    U32 u32Seconds;
} TimeZoneSec_t;
extern const TimeZoneSec_t time_zone_sec[26];
// Per year 2019..2040: March day DST starts, November day it ends.
extern const U8 aru8USADayLight[22][2];

// ---- Writers ---------------------------------------------------------
// Every writer takes the model, the capacity of the caller's buffer, the
// buffer and receives the number of bytes written (all sections).
U32 SIP_ConstructPAT(PATTable_t* pstPAT, U16 u16BufLen, U8* pu8Buf, U16* pu16SectionLen);
U32 SIP_ConstructCAT(CATTable_t* pstCAT, U16 u16BufLen, U8* pu8Buf, U16* pu16SectionLen);
U32 SIP_GETCATTableLen(CATTable_t* pstCAT, U16* pu16Len);
U32 SIP_GetSDTSectionInfo(SDTTable_t* pstSDT, U8* pu8SectionNum, U16* pu16TotalLen);
U32 SIP_ConstructSDT(SDTTable_t* pstSDT, U16 u16BufLen, U8* pu8Buf, U16* pu16SectionLen);
U32 SIP_GETPMTTableLen(PMTTable_t* pstPMT, U16* pu16Len);
// Strips CA descriptors from the model when the output program is not
// descrambled by a CAM; writes stream_type 0x06 as 0x81 in ATSC SI mode.
U32 SIP_ConstructPMT(U16 u16OutProgIndex, PMTTable_t* pstPMT, U16 u16BufLen, U8* pu8Buf, U16* pu16SectionLen);
U32 SIP_ConstructMGT(MGTTable_t* pstMGT, U16 u16BufLen, U8* pu8Buf, U16* pu16SectionLen);
U32 SIP_GetMGTSectionInfo(MGTTable_t* pstMGT, U16* pu16Len);
U32 SIP_GetVCTSectionInfo(VCTTable_t* pstVCT, U8* pu8SectionNum, U16* pu16TotalLen);
U32 SIP_ConstructVCT(VCTTable_t* pstVCT, U8 u8VCTTid, U16 u16BufLen, U8* pu8Buf, U16* pu16SectionLen);
// Reads the clock.
U32 SIP_ConstructSTT(U16 u16GPSOffset, U8 u8DayLightFlag, U8 u8NTPZone, U16 u16BufLen, U8* pu8Buf,
                     U16* pu16SectionLen);
// The STT of a given moment (seconds since 1970 and its UTC date and hour).
U32 SIP_ConstructSTTAt(U32 u32TimeSec, U16 u16Year, U16 u16Month, U16 u16Day, U16 u16Hour, U16 u16GPSOffset,
                       U8 u8DayLightFlag, U8 u8NTPZone, U16 u16BufLen, U8* pu8Buf, U16* pu16SectionLen);
U32 SIP_ConstructTDT(TDTTable_t* pstTDT, U16 u16BufLen, U8* pu8Buf, U16* pu16SectionLen);
zrErrCode SIP_ConstructTOT(TOTTable_t* pstTOT, U16 u16BufLen, U8* pu8Buf, U16* pu16SectionLen);

// ---- Parsers and the NIT working form ---------------------------------
zrErrCode SIP_ParseTOT(U8* pu8Section, U16 u16SectionBuffLen, TOTTable_t* pstTOT, U8 u8SectionNum);
U32 SIP_ParseNIT(U8* pu8Section, U16 u16SectionBuffLen, NITTable_t* pstNIT, U8 u8SectionNum);
U32 SIP_SplitNITSection(U8* pu8BuffIn, U16 u16BuffInLen, U16 u16BuffOutLen, U8* pu8BuffOut, U16* pu16OutLen);
U32 SIP_ConstructBigNITSection(NITBuf_t* pstNITBufIn, NITBuf_t* pstNITBufOut);
// Stores an empty NIT (no descriptors, no transport streams) as the channel's NIT.
U32 SIP_ConstructNITTable(U16 u16Channel, U16 u16NetworkID);

// The checks of a modulation set against what this board runs, shared by the
// web, SNMP and the configuration import, and the values a card derives from
// others (a chip's channels 1-3 from its first channel).
#pragma once
#include "Common/err.h"
#include "DTMB/dtmb_param.h"
#include <cstddef>

// Why a candidate set was refused: the code to answer (774, or 784 for the
// frequency of a channel that its chip derives), whether the value is outside
// what the hardware takes or clashes with a value the card derives, and a
// description that names the field.
enum DTMB_RefusalKind { DTMB_REFUSED_RANGE, DTMB_REFUSED_DERIVED, DTMB_REFUSED_CLASH };
struct DTMB_Refusal {
    zrErrCode enCode;
    DTMB_RefusalKind enKind;
    char acField[160];
};

// Checks every value of the candidate that differs from the set in force
// (an unchanged value is no request) against the card's standard: its range
// or enumeration, the level and frequencies the RF chips take, and the
// values a chip's one modulator core decides for all its channels. Accepted,
// the candidate gets the derived values (DTMB_NormaliseSet); refused, it is
// left as it was and *pstWhy says why.
// Requests (the web, SNMP) take the values the card's MIB offers; a stored
// set (an archive, a JSON parameter file) also keeps a value that earlier
// firmware stored and that the hardware runs as it is, though no request may
// set it now (a DVB-C symbol rate outside 4035..6952, a chip's first
// frequency outside 48000..838000 kHz where its channels follow it).
enum DTMB_Road { DTMB_ROAD_REQUEST, DTMB_ROAD_STORED };
// Besides the values, two carriers in one band are refused: in DTMB, DVB-T,
// DVB-C and ISDB-T the bands of the two chips' channels must not overlap,
// and in ATSC no channel may lie within 6 MHz of another enabled one.
bool DTMB_CheckCandidate(const TParameter_DTMB* pstLive, TParameter_DTMB* pstCand, DTMB_Refusal* pstWhy,
                         DTMB_Road enRoad = DTMB_ROAD_REQUEST);

// Reads a stored set as what the card ran with it: a value the hardware
// changed on its way (a level past the 6-bit attenuator's word) is read as
// what it ran; a value of a channel that its chip's first channel (or channel
// 0) decides is read as the deciding one's, when the store holds that channel
// (pbHeld[c], or every channel for nullptr). A value that cannot be read as
// anything the card runs is taken from pstBase alone with bFallBack, and
// refuses the set without it (false, *pstWhy says why, the set half read).
// Each value read otherwise is logged once, under pcFrom (nullptr: silent).
bool DTMB_ReadStoredSet(const TParameter_DTMB* pstBase, TParameter_DTMB* pstSet, const bool* pbHeld, bool bFallBack,
                        const char* pcFrom, DTMB_Refusal* pstWhy);

// Brings the values the card derives to what it runs: the members a chip's
// first channel (0 or 4) decides for its four channels, those channel 0
// decides for all eight, the programmed frequencies of channels 1-3 and 5-7
// outside the ATSC channel layout, and in J.83 Annex B the bandwidth and the
// symbol rate of the constellation.
void DTMB_NormaliseSet(TParameter_DTMB* pstSet);

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
enum DTMB_RefusalKind { DTMB_REFUSED_RANGE, DTMB_REFUSED_DERIVED };
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
bool DTMB_CheckCandidate(const TParameter_DTMB* pstLive, TParameter_DTMB* pstCand, DTMB_Refusal* pstWhy);

// Brings the values the card derives to what it runs: the members a chip's
// first channel (0 or 4) decides for its four channels, those channel 0
// decides for all eight, the programmed frequencies of channels 1-3 and 5-7
// outside the ATSC channel layout, and in J.83 Annex B the bandwidth and the
// symbol rate of the constellation.
void DTMB_NormaliseSet(TParameter_DTMB* pstSet);

// Indices of the test input card's records (slot 5, source channel 1) in the
// output-stream database; a failed lookup fails the test.
#pragma once
#include "TSprocess/tsp.h"
#include <gtest/gtest.h>

namespace tspwire {

inline U16 StreamOf(U16 ch)
{
    U16 idx = 0xFFFF;
    EXPECT_EQ(TSP_GetOutputTSIndexByTS(ch, &idx), 0u);
    return idx;
}

inline U16 ProgramOf(U16 progId, U16 ch = 0)
{
    U16 idx = 0xFFFF;
    EXPECT_EQ(TSP_GetOutputProgramIndexByPID(5, 1, ch, progId, &idx), 0u);
    return idx;
}

inline U16 PIDOf(U16 pidId, U16 ch = 0)
{
    U16 idx = 0xFFFF;
    EXPECT_EQ(TSP_GetOutputPIDIndexByPID(5, 1, ch, pidId, &idx), 0u);
    return idx;
}

}  // namespace tspwire

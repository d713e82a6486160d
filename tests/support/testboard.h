// Helpers for tests on the simulated board.
#pragma once
#include <string>

// Board root of this test run ($MODCARD_ROOT).
const std::string& TestBoardRoot();

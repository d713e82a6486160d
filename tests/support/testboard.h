// Helpers for tests on the simulated board.
#pragma once
#include <string>

// Board root of this test run ($MODCARD_ROOT).
const std::string& TestBoardRoot();

// Whole-file helpers on real paths (not system paths).
std::string Slurp(const std::string& path);
void Spill(const std::string& path, const std::string& data);
bool FileExists(const std::string& path);

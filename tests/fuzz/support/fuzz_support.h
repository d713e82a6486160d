// What every libFuzzer program of tests/fuzz shares: a private simulated
// board made once per process, quiet logging, a reader of fuzz bytes and the
// optional seed inputs a target offers for its first corpus.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

using FuzzInput = std::vector<uint8_t>;

// Optional hooks of a target (empty defaults when a target leaves them out):
// FuzzSetUp runs once after the board exists; FuzzSeeds adds the inputs that
// scripts/fuzz.sh writes into the target's corpus before the first run.
void FuzzSetUp();
void FuzzSeeds(std::vector<FuzzInput>& seeds);

// Board root of this process ($MODCARD_ROOT).
const std::string& FuzzBoardRoot();

// Web commands whose work is a reboot, shell archives or one-second service
// pauses: a target skips them (their body handling is the shared token
// check, fuzzed through the other commands). The first asks of one command
// and its body; the second of a whole request stream that may name any.
bool FuzzSlowWebCommand(const char* key, const std::string& body);
bool FuzzNamesSlowWebCommand(const std::string& stream);

// Takes values off the front of the input; past the end it gives zeros.
class FuzzReader {
public:
    FuzzReader(const uint8_t* data, size_t size) : p_(data), n_(size) {}
    size_t Left() const { return n_; }
    uint8_t U8() { return n_ ? (--n_, *p_++) : 0; }
    uint16_t U16() { return (uint16_t)(U8() | (U8() << 8)); }
    // Up to max bytes (fewer when the input ends).
    FuzzInput Bytes(size_t max)
    {
        size_t k = max < n_ ? max : n_;
        FuzzInput v(p_, p_ + k);
        p_ += k;
        n_ -= k;
        return v;
    }

private:
    const uint8_t* p_;
    size_t n_;
};

// Helpers for tests on the simulated board.
#pragma once
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <string>

// Board root of this test run ($MODCARD_ROOT).
const std::string& TestBoardRoot();

// How many times longer the card's work takes in this build: 4 under
// ThreadSanitizer or emulation, 2 under AddressSanitizer, else 1. Bounds on
// the card's own work scale with it.
inline double TestSlowness()
{
#if defined(__SANITIZE_THREAD__)
    return 4;
#else
    if (getenv("MODCARD_EMULATED") != nullptr)
        return 4;
#if defined(__SANITIZE_ADDRESS__)
    return 2;
#else
    return 1;
#endif
#endif
}

// Whole-file helpers on real paths (not system paths).
std::string Slurp(const std::string& path);
void Spill(const std::string& path, const std::string& data);
bool FileExists(const std::string& path);
// Standard output of a shell command (empty where it cannot start).
std::string CommandOutput(const std::string& cmd);
// Moves the calling process, before it starts threads, into a network
// namespace of its own with loopback up, so that a peer it binds on a chassis
// address meets no other test's traffic; false where that cannot be done
// (not root), and the process stays where it was.
bool PrivateLoopback();

// Runs a test body in a child process, so that the threads it starts (the
// carousel, its timer, the peer sender) end with it and leave later tests alone.
template <class Body>
void RunInChildProcess(Body body)
{
    EXPECT_EXIT(
        {
            // The child's failures are written where the parent shows them.
            ::testing::TestPartResultArray results;
            {
                ::testing::ScopedFakeTestPartResultReporter keep(
                    ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ALL_THREADS, &results);
                body();
            }
            bool failed = false;
            for (int i = 0; i < results.size(); ++i) {
                const ::testing::TestPartResult& r = results.GetTestPartResult(i);
                failed |= r.failed();
                if (r.failed())
                    fprintf(stderr, "%s:%d: %s\n", r.file_name() ? r.file_name() : "?", r.line_number(),
                            r.message());
            }
            std::exit(failed ? 1 : 0);
        },
        ::testing::ExitedWithCode(0), "");
}

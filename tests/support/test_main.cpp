// Every unit test runs on a private simulated board.
#include "Driver/FPGA/fpga.h"
#include "Log/log.h"
#include "Platform/board_state.h"
#include "support/testboard.h"
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

static std::string g_root;

const std::string& TestBoardRoot() { return g_root; }

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    // Tests that start long-lived threads run in a child process of their
    // own (IN_CHILD_PROCESS); the child works on its parent's board.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const char* inherited = getenv("MODCARD_TEST_BOARD");
    bool ownRoot = inherited == nullptr;
    if (ownRoot) {
        char tmpl[] = "/tmp/modcard-test-XXXXXX";
        if (mkdtemp(tmpl) == nullptr) {
            perror("mkdtemp");
            return 1;
        }
        g_root = tmpl;
        if (!simboard::CreateBoard(g_root, simboard::DefaultProfile())) {
            fprintf(stderr, "cannot create the test board\n");
            return 1;
        }
        setenv("MODCARD_TEST_BOARD", tmpl, 1);
    } else {
        g_root = inherited;
    }
    setenv("MODCARD_ROOT", g_root.c_str(), 1);
    log_Init((U8*)LOG_FILE_PATH);
    Log_SetOutputMode(LOG_OUTPUT_SYSLOG);  // quiet console; lines still reach the logs
    FPGA_Init();
    int rc = RUN_ALL_TESTS();
    // Removed in this process: a shell started at exit is one more child
    // that an emulated run must fork while the program ends.
    if (ownRoot && rc == 0 && getenv("MODCARD_KEEP_TEST_ROOT") == nullptr) {
        std::error_code ec;
        std::filesystem::remove_all(g_root, ec);
        if (ec)
            fprintf(stderr, "could not remove %s: %s\n", g_root.c_str(), ec.message().c_str());
    }
    return rc;
}

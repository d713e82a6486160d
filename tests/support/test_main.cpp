// Every unit test runs on a private simulated board.
#include "Driver/FPGA/fpga.h"
#include "Log/log.h"
#include "Platform/board_state.h"
#include "support/testboard.h"
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

static std::string g_root;

const std::string& TestBoardRoot() { return g_root; }

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    char tmpl[] = "/tmp/modcard-test-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        perror("mkdtemp");
        return 1;
    }
    g_root = tmpl;
    setenv("MODCARD_ROOT", tmpl, 1);
    if (!simboard::CreateBoard(g_root, simboard::DefaultProfile())) {
        fprintf(stderr, "cannot create the test board\n");
        return 1;
    }
    log_Init((U8*)LOG_FILE_PATH);
    Log_SetOutputMode(LOG_OUTPUT_SYSLOG);  // quiet console; lines still reach the logs
    FPGA_Init();
    int rc = RUN_ALL_TESTS();
    if (rc == 0 && getenv("MODCARD_KEEP_TEST_ROOT") == nullptr) {
        std::string cmd = "rm -rf '" + g_root + "'";
        if (system(cmd.c_str()) != 0)
            fprintf(stderr, "could not remove %s\n", g_root.c_str());
    }
    return rc;
}

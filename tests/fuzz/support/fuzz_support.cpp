// libFuzzer's start-up hook for every target: the board, the logging, and
// the seed writer that scripts/fuzz.sh calls with MODCARD_FUZZ_SEEDS=<dir>.
#include "support/fuzz_support.h"
#include "Driver/FPGA/fpga.h"
#include "Log/log.h"
#include "Platform/board_state.h"
#include <cjson/cJSON.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

__attribute__((weak)) void FuzzSetUp() {}
__attribute__((weak)) void FuzzSeeds(std::vector<FuzzInput>&) {}

namespace {

std::string g_root;

void RemoveBoard()
{
    std::error_code ec;
    std::filesystem::remove_all(g_root, ec);
}

// Writes the target's seeds as seed-<n> files; an existing file is kept.
int WriteSeeds(const char* dir)
{
    std::vector<FuzzInput> seeds;
    FuzzSeeds(seeds);
    std::filesystem::create_directories(dir);
    for (size_t i = 0; i < seeds.size(); i++) {
        std::ofstream f(std::string(dir) + "/seed-" + std::to_string(i), std::ios::binary | std::ios::trunc);
        f.write(reinterpret_cast<const char*>(seeds[i].data()), (std::streamsize)seeds[i].size());
        if (!f)
            return 1;
    }
    printf("%zu seeds written to %s\n", seeds.size(), dir);
    return 0;
}

}  // namespace

const std::string& FuzzBoardRoot() { return g_root; }

static const char* const kSlowWebCommands[] = {"Reboot.w",  "ExportLogs.w", "SaveLog.w",
                                               "ExportMibs.w", "ClearLogs.w", "Default.w"};

bool FuzzSlowWebCommand(const char* key, const std::string& body)
{
    for (const char* k : kSlowWebCommands)
        if (strcmp(key, k) == 0)
            return true;
    if (strcmp(key, "Debug.w") == 0) {
        cJSON* j = cJSON_Parse(body.c_str());
        const cJSON* t = cJSON_GetObjectItem(j, "type");
        bool slow = cJSON_IsNumber(t) && ((U8)t->valueint == 14 || (U8)t->valueint == 15 || (U8)t->valueint == 24);
        cJSON_Delete(j);
        return slow;
    }
    return false;
}

bool FuzzNamesSlowWebCommand(const std::string& stream)
{
    for (const char* k : kSlowWebCommands)
        if (stream.find(k) != std::string::npos)
            return true;
    return stream.find("Debug.w") != std::string::npos;
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // In memory where the machine has it: the firmware syncs every file it
    // saves, which on a disk would cost more than the rest of a run.
    std::string where = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = where + "/modcard-fuzz-XXXXXX";
    std::vector<char> tmpl(pattern.begin(), pattern.end());
    tmpl.push_back('\0');
    if (mkdtemp(tmpl.data()) == nullptr || !simboard::CreateBoard(tmpl.data(), simboard::DefaultProfile())) {
        fprintf(stderr, "cannot create a board for the fuzz target\n");
        exit(1);
    }
    g_root = tmpl.data();
    atexit(RemoveBoard);
    setenv("MODCARD_ROOT", g_root.c_str(), 1);
    log_Init((U8*)LOG_FILE_PATH);
    // Messages are still formatted (their arguments are checked) but written
    // nowhere: file output per message would starve the fuzzer.
    Log_SetOutputMode(0);
    FPGA_Init();
    FuzzSetUp();
    if (const char* dir = getenv("MODCARD_FUZZ_SEEDS"))
        exit(WriteSeeds(dir));
    return 0;
}

// The readers of the card's own log files: the program log that the web's
// log view reads, the device log in which a repeated message is merged, and
// the 12-byte log settings file. The files are written from the input.
#include "Log/log.h"
#include "Platform/platform.h"
#include "support/fuzz_support.h"
#include <string>

namespace {

enum Pick : U8 { kProgramLog, kDeviceLog, kSettings, kPicks };

void Put(const char* path, const FuzzInput& v) { plat::WriteFileAtomic(path, v.data(), v.size(), false); }

FuzzInput Text(const std::string& s) { return FuzzInput(s.begin(), s.end()); }

// The log filter every input starts from (a settings file changes it).
U32 g_module, g_level;

}  // namespace

void FuzzSetUp()
{
    g_module = Log_GetModule();
    g_level = Log_GetLevel();
}

void FuzzSeeds(std::vector<FuzzInput>& seeds)
{
    FuzzInput prog = Text("Dec  9 03:00:00 card user.info [K9_Modulate]: [INFO][SYS]started\n"
                          "Dec  9 03:00:01 card user.err [K9_Modulate]: [ERROR][TSP]apply failed\n");
    prog.insert(prog.begin(), {kProgramLog, 0});
    seeds.push_back(prog);
    // Message length, the message, then the device log it meets.
    std::string msg = "[ERROR][TSP]apply failed";
    FuzzInput dev{kDeviceLog, (U8)msg.size()};
    FuzzInput m = Text(msg + "Dec 09 03:00:00 Dec 09 03:00:05 0002  " + msg + "\n");
    dev.insert(dev.end(), m.begin(), m.end());
    seeds.push_back(dev);
    seeds.push_back({kSettings, 14, 0, 0, 0, 0xFF, 0xFF, 0, 0, 0xFF, 0, 0, 0});
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Log_SetModule(g_module);
    Log_SetLevel(g_level);
    FuzzReader r(data, size);
    const U8 pick = r.U8() % kPicks;
    switch (pick) {
    case kProgramLog: {
        const U8 again = r.U8();
        Put(LOG_FILE_PATH, r.Bytes(r.Left()));
        Log_CacheRead(0);
        if (again & 1)
            Log_CacheRead(1);
        break;
    }
    case kDeviceLog: {
        FuzzInput msg = r.Bytes(r.U8());
        Put(LOG_DEVICE_PATH, r.Bytes(r.Left()));
        Put(LOG_FILE_PATH, {});  // the program log gets the line too: keep it short
        std::string text(msg.begin(), msg.end());
        // Only this message reaches the device log.
        Log_SetOutputMode(LOG_OUTPUT_SYSLOG);
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%s", text.c_str());
        Log_SetOutputMode(0);
        break;
    }
    case kSettings:
        Put(LOG_SETTING_PATH, r.Bytes(r.Left()));
        Log_RestoreParam();
        Log_SetOutputMode(0);
        break;
    }
    return 0;
}

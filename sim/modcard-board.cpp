// Creates the board root of a simulated card chip.
//
//   modcard-board ROOT [--board-type N] [--chip 0|1] [--slot N] [--logic V]
//                 [--hw-pins A,B,C] [--phy 88E1510|88E1111|YT8521|unknown]
//                 [--slave-chip 0|1] [--mac XX:XX:XX:XX:XX:XX] [--packets N]
//                 [--mdio-never-idle 0|1]
#include "Platform/board_state.h"
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

static void Usage()
{
    fprintf(stderr,
            "usage: modcard-board ROOT [--board-type N] [--chip 0|1] [--slot N] [--logic V] [--hw-pins A,B,C]\n"
            "                     [--phy 88E1510|88E1111|YT8521|unknown] [--slave-chip 0|1] [--mac XX:XX:XX:XX:XX:XX]\n"
            "                     [--packets N] [--mdio-never-idle 0|1]\n");
    exit(2);
}

int main(int argc, char** argv)
{
    if (argc < 2 || argv[1][0] == '-')
        Usage();
    std::string root = argv[1];
    simboard::Profile p = simboard::DefaultProfile();
    for (int i = 2; i < argc; i++) {
        std::string opt = argv[i];
        if (i + 1 >= argc)
            Usage();
        const char* v = argv[++i];
        if (opt == "--board-type")
            p.boardType = (U32)strtoul(v, nullptr, 0);
        else if (opt == "--chip")
            p.chipType = (U32)strtoul(v, nullptr, 0);
        else if (opt == "--slot")
            p.slotId = (U32)strtoul(v, nullptr, 0);
        else if (opt == "--logic")
            p.logicVersion = (U32)strtoul(v, nullptr, 0);
        else if (opt == "--hw-pins") {
            if (sscanf(v, "%u,%u,%u", &p.hwVersionPins[0], &p.hwVersionPins[1], &p.hwVersionPins[2]) != 3)
                Usage();
        } else if (opt == "--phy") {
            std::string s = v;
            p.phyType = s == "88E1111"   ? simboard::PHY_88E1111
                        : s == "YT8521"  ? simboard::PHY_YT8521
                        : s == "unknown" ? simboard::PHY_UNKNOWN
                                         : simboard::PHY_88E1510;
        } else if (opt == "--slave-chip")
            p.hasSlave = (U32)strtoul(v, nullptr, 0) ? 1 : 0;
        else if (opt == "--mac") {
            unsigned m[6];
            if (sscanf(v, "%x:%x:%x:%x:%x:%x", &m[0], &m[1], &m[2], &m[3], &m[4], &m[5]) != 6)
                Usage();
            for (int k = 0; k < 6; k++)
                p.mac[k] = (U8)m[k];
        } else if (opt == "--packets") {
            for (U32& c : p.channelPackets)
                c = (U32)strtoul(v, nullptr, 0);
        } else if (opt == "--mdio-never-idle")
            p.mdioNeverIdle = (U32)strtoul(v, nullptr, 0) ? 1 : 0;
        else
            Usage();
    }
    if (!simboard::CreateBoard(root, p)) {
        perror("modcard-board");
        return 1;
    }
    // What the application image ships about the card: its MAC address and
    // whether the slave chip is fitted.
    char conf[128];
    int n = snprintf(conf, sizeof(conf), "mac=%02x:%02x:%02x:%02x:%02x:%02x\nslave_chip=%u\n", p.mac[0], p.mac[1],
                     p.mac[2], p.mac[3], p.mac[4], p.mac[5], p.hasSlave);
    std::string file = root + "/tarvex_app/app/card.conf";
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || write(fd, conf, (size_t)n) != n) {
        perror("modcard-board: card.conf");
        return 1;
    }
    close(fd);
    printf("board root %s: board type %u, chip %u, slot %u\n", root.c_str(), p.boardType, p.chipType, p.slotId);
    return 0;
}

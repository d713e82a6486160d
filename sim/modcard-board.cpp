// Creates the board root of a simulated card chip; --help lists the options.
#include "Platform/board_state.h"
#include <filesystem>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

// The SNMP agent's configuration: the chip's own address, managers and the
// trap receiver on loopback only.
static bool WriteSnmpdConf(const std::string& root, U32 slot, U32 port)
{
    char conf[512];
    int n = snprintf(conf, sizeof(conf),
                     "agentaddress udp:127.168.1.%u:%u\n"
                     "rocommunity public 127.0.0.0/8\n"
                     "rwcommunity private 127.0.0.0/8\n"
                     "trap2sink 127.0.0.1:16162 public\n",
                     11 + slot, port);
    std::string file = root + "/tarvex_app/app/snmpd.conf";
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    bool ok = fd >= 0 && write(fd, conf, (size_t)n) == n;
    if (fd >= 0)
        close(fd);
    return ok;
}

static bool WriteFile(const std::string& file, const std::string& text)
{
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    bool ok = fd >= 0 && write(fd, text.data(), text.size()) == (ssize_t)text.size();
    if (fd >= 0)
        close(fd);
    return ok;
}

// The port of an existing root's SNMP agent (0: none found).
static U32 SnmpPortOf(const std::string& root)
{
    U32 port = 0;
    if (FILE* f = fopen((root + "/tarvex_app/app/snmpd.conf").c_str(), "r")) {
        if (fscanf(f, "agentaddress udp:%*[0-9.]:%u", &port) != 1)
            port = 0;
        fclose(f);
    }
    return port;
}

// The HTTP server of the card: its configuration (the port, the document
// folder with a placeholder index, the modules, mime types, request-size
// limit, uploads that expect 100 Continue and error log) and its module files. Modules that a running chip may
// have loaded are only replaced when the root is made anew (replace).
static bool WriteHttpd(const std::string& root, U32 port, bool replace)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    for (const char* dir : {"/tarvex_app/tools/httpd/config", "/tarvex_app/tools/httpd/lib", "/tarvex_app/web",
                            "/var/volatile"})
        fs::create_directories(root + dir, ec);
    std::string conf = "# HTTP server of the card\n"
                       "server.document-root = \"/tarvex_app/web\"\n"
                       "server.port = " + std::to_string(port) + "\n"
                       "server.errorlog = \"/var/volatile/httpd_error.log\"\n"
                       "server.max-request-size = 65536\n"
                       // Uploads that ask leave first (curl does past 1 MiB) get 100 Continue.
                       "server.reject-expect-100-with-417 = \"disable\"\n"
                       "server.upload-dirs = ( \"/var/volatile\" )\n"
                       "index-file.names = ( \"index.html\" )\n"
                       "mimetype.assign = (\n"
                       "  \".html\" => \"text/html\",\n"
                       "  \".htm\" => \"text/html\",\n"
                       "  \".css\" => \"text/css\",\n"
                       "  \".js\" => \"application/javascript\",\n"
                       "  \".json\" => \"application/json\",\n"
                       "  \".txt\" => \"text/plain\",\n"
                       "  \".xml\" => \"text/xml\",\n"
                       "  \".png\" => \"image/png\",\n"
                       "  \".jpg\" => \"image/jpeg\",\n"
                       "  \".gif\" => \"image/gif\",\n"
                       "  \".svg\" => \"image/svg+xml\",\n"
                       "  \".ico\" => \"image/x-icon\",\n"
                       "  \".conf\" => \"text/plain\",\n"
                       "  \".gz\" => \"application/x-gzip\",\n"
                       "  \".tar\" => \"application/x-tar\",\n"
                       "  \".bin\" => \"application/octet-stream\"\n"
                       ")\n";
    if (!WriteFile(root + "/tarvex_app/tools/httpd/config/httpd.conf", conf))
        return false;
    std::string index = root + "/tarvex_app/web/index.html";
    if (!fs::exists(index) &&
        !WriteFile(index, "<!DOCTYPE html>\n<html><head><title>modcard</title></head>"
                          "<body><h1>modcard</h1></body></html>\n"))
        return false;
    for (const char* mod : {"mod_index", "mod_dirlist", "mod_static"}) {
        std::string from = std::string(MODCARD_HTTPD_MODULE_DIR) + "/" + mod + ".so";
        std::string to = root + "/tarvex_app/tools/httpd/lib/" + mod + ".so";
        if (!replace && fs::exists(to, ec))
            continue;
        if (!fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec)) {
            fprintf(stderr, "modcard-board: %s: %s\n", from.c_str(), ec.message().c_str());
            return false;
        }
    }
    return true;
}

static const char kOptions[] =
    "usage: modcard-board ROOT [options]\n"
    "Creates the board root ROOT of one simulated chip. On a root that has its\n"
    "register file (ROOT/board.state) already, changes only what the options given\n"
    "name, in place, and a chip running on it goes on; remove board.state first for\n"
    "a new register file, as at power-up. What the card saved under ROOT stays.\n"
    "  --board-type N   FPGA board type: 0 DTMB, 1 or 10 DVB-T, 2 DVB-C,\n"
    "                   3 J.83 Annex B, 4 ISDB-T, 5 ATSC 8VSB (default 0)\n"
    "  --chip 0|1       chip type: 0 master, channels 0-3 (default); 1 slave, channels 4-7\n"
    "  --slot N         chassis slot the FPGA reports, 0..15 (default 3)\n"
    "  --slave-chip 0|1 1: the card carries the slave chip, 8 channels (default); 0: master alone\n"
    "  --logic V        FPGA logic version (register 0)\n"
    "  --hw-pins A,B,C  levels of the three hardware-version pins\n"
    "  --phy NAME       Ethernet PHY: 88E1510 (default), 88E1111, YT8521 or unknown\n"
    "  --mdio-never-idle 0|1  1: the PHY management interface never goes idle\n"
    "  --snmp-port N    UDP port of the SNMP agent (default 16161)\n"
    "  --http-port N    TCP port of the HTTP server (default 8080)\n"
    "  --mac XX:XX:XX:XX:XX:XX  the card's MAC address\n"
    "  --packets N      packets per gate the bit-rate counters report on every channel\n"
    "  --channel-packets CH:N    packets per gate of one channel's counter\n"
    "  --pid-packets CH:PID:N    packets per gate of one PID on one channel (up to 32)\n"
    "  --spi-peer DIR   the SPI chip link's wire: this chip's spidev master reaches the\n"
    "                   SPI controller of the board root DIR (the other chip)\n"
    "  --help           this text\n";

[[noreturn]] static void Usage()
{
    fputs(kOptions, stderr);
    exit(2);
}

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            fputs(kOptions, stdout);
            return 0;
        }
    }
    if (argc < 2 || argv[1][0] == '-')
        Usage();
    std::string root = argv[1];
    simboard::Profile p = simboard::DefaultProfile();
    const bool existing = simboard::ReadBoardProfile(root, &p);
    U32 snmpPort = 16161;
    U32 httpPort = 8080;
    std::string spiPeer;
    // Which of the files beside the register file the options touch.
    bool slotAsked = false, snmpPortAsked = false, httpAsked = false, cardAsked = false;
    for (int i = 2; i < argc; i++) {
        std::string opt = argv[i];
        if (i + 1 >= argc)
            Usage();
        const char* v = argv[++i];
        if (opt == "--board-type")
            p.boardType = (U32)strtoul(v, nullptr, 0);
        else if (opt == "--chip")
            p.chipType = (U32)strtoul(v, nullptr, 0);
        else if (opt == "--slot") {
            p.slotId = (U32)strtoul(v, nullptr, 0);
            slotAsked = true;
        } else if (opt == "--logic")
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
        } else if (opt == "--slave-chip") {
            p.hasSlave = (U32)strtoul(v, nullptr, 0) ? 1 : 0;
            cardAsked = true;
        } else if (opt == "--mac") {
            unsigned m[6];
            if (sscanf(v, "%x:%x:%x:%x:%x:%x", &m[0], &m[1], &m[2], &m[3], &m[4], &m[5]) != 6)
                Usage();
            for (int k = 0; k < 6; k++)
                p.mac[k] = (U8)m[k];
            cardAsked = true;
        } else if (opt == "--packets") {
            for (U32& c : p.channelPackets)
                c = (U32)strtoul(v, nullptr, 0);
        } else if (opt == "--mdio-never-idle") {
            p.mdioNeverIdle = (U32)strtoul(v, nullptr, 0) ? 1 : 0;
        } else if (opt == "--snmp-port") {
            snmpPort = (U32)strtoul(v, nullptr, 0);
            if (snmpPort == 0 || snmpPort > 65535)
                Usage();
            snmpPortAsked = true;
        } else if (opt == "--channel-packets") {  // CH:N, one channel's counter
            unsigned ch = 0, n = 0;
            if (sscanf(v, "%u:%u", &ch, &n) != 2 || ch >= 8)
                Usage();
            p.channelPackets[ch] = n;
        } else if (opt == "--pid-packets") {  // CH:PID:N, one PID's counter
            unsigned ch = 0, pid = 0, n = 0, k = 0;
            if (sscanf(v, "%u:%i:%u", &ch, (int*)&pid, &n) != 3)
                Usage();
            // A PID that has a counter already gets the new count in its entry.
            while (k < 32 && p.pidRates[k].used && !(p.pidRates[k].channel == ch && p.pidRates[k].pid == pid))
                k++;
            if (k == 32)
                Usage();
            p.pidRates[k] = {(U16)ch, (U16)pid, n, 1, {0, 0, 0}};
        } else if (opt == "--spi-peer") {
            spiPeer = v;
        } else if (opt == "--http-port") {
            httpPort = (U32)strtoul(v, nullptr, 0);
            if (httpPort == 0 || httpPort > 65535)
                Usage();
            httpAsked = true;
        } else
            Usage();
    }
    if (existing ? !simboard::UpdateBoard(root, p) : !simboard::CreateBoard(root, p)) {
        perror("modcard-board");
        return 1;
    }
    // What the application image ships about the card: its MAC address and
    // whether the slave chip is fitted.
    char conf[128];
    int n = snprintf(conf, sizeof(conf), "mac=%02x:%02x:%02x:%02x:%02x:%02x\nslave_chip=%u\n", p.mac[0], p.mac[1],
                     p.mac[2], p.mac[3], p.mac[4], p.mac[5], p.hasSlave);
    std::string file = root + "/tarvex_app/app/card.conf";
    if (!existing || cardAsked) {
        int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || write(fd, conf, (size_t)n) != n) {
            perror("modcard-board: card.conf");
            return 1;
        }
        close(fd);
    }
    if (!spiPeer.empty()) {
        std::error_code ec;
        std::string peer = std::filesystem::absolute(spiPeer, ec).string() + "\n";
        std::string dev = root + "/dev/spidev1.0";
        int sfd = open(dev.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (ec || sfd < 0 || write(sfd, peer.data(), peer.size()) != (ssize_t)peer.size()) {
            perror("modcard-board: spidev");
            return 1;
        }
        close(sfd);
    }
    // A new slot keeps the agent's port unless a new one is given.
    if (existing && !snmpPortAsked && SnmpPortOf(root) != 0)
        snmpPort = SnmpPortOf(root);
    if ((!existing || slotAsked || snmpPortAsked) && (p.slotId > 244 || !WriteSnmpdConf(root, p.slotId, snmpPort))) {
        fprintf(stderr, "modcard-board: snmpd.conf: slot %u\n", p.slotId);
        return 1;
    }
    if ((!existing || httpAsked) && !WriteHttpd(root, httpPort, !existing)) {
        fprintf(stderr, "modcard-board: httpd set-up failed\n");
        return 1;
    }
    printf("board root %s: board type %u, chip %u, slot %u\n", root.c_str(), p.boardType, p.chipType, p.slotId);
    return 0;
}

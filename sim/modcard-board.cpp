// Creates the board root of a simulated card chip; --help lists the options.
#include "Platform/board_state.h"
#include <filesystem>
#include <cctype>
#include <cstdio>
#include <initializer_list>
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
    return port <= 65535 ? port : 0;
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

// The port of an existing root's HTTP server (0: none found).
static U32 HttpPortOf(const std::string& root)
{
    U32 port = 0;
    if (FILE* f = fopen((root + "/tarvex_app/tools/httpd/config/httpd.conf").c_str(), "r")) {
        char line[256];
        while (fgets(line, sizeof(line), f))
            if (sscanf(line, "server.port = %u", &port) == 1)
                break;
        fclose(f);
    }
    return port <= 65535 ? port : 0;
}

static const char kOptions[] =
    "usage: modcard-board ROOT [options]\n"
    "Creates the board root ROOT of one simulated chip. On a root that has its\n"
    "register file (ROOT/board.state) already, changes only what the options given\n"
    "name, in place, and a chip running on it goes on. What the card saved under\n"
    "ROOT stays. Every option is checked before anything is written.\n"
    "  --power-up       the register file is made anew, as when the board is powered up\n"
    "                   (what the device models held is gone), and the files of the\n"
    "                   board tool written again; the root's profile and ports are\n"
    "                   kept, with the changes the other options name\n"
    "  --board-type N   FPGA board type: 0 DTMB, 1 or 10 DVB-T, 2 DVB-C,\n"
    "                   3 J.83 Annex B, 4 ISDB-T, 5 ATSC 8VSB (default 0)\n"
    "  --chip 0|1       chip type: 0 master, channels 0-3 (default); 1 slave, channels 4-7\n"
    "  --slot N         chassis slot the FPGA reports, 0..15 (default 3)\n"
    "  --slave-chip 0|1 1: the card carries the slave chip, 8 channels (default); 0: master alone\n"
    "  --logic V        FPGA logic version (register 0), a 32-bit number (0x for hexadecimal)\n"
    "  --hw-pins A,B,C  levels (0 or 1) of the three hardware-version pins\n"
    "  --phy NAME       Ethernet PHY: 88E1510 (default), 88E1111, YT8521 or unknown\n"
    "  --mdio-never-idle 0|1  1: the PHY management interface never goes idle\n"
    "  --snmp-port N    UDP port of the SNMP agent, 1..65535 (default 16161)\n"
    "  --http-port N    TCP port of the HTTP server, 1..65535 (default 8080)\n"
    "  --mac XX:XX:XX:XX:XX:XX  the card's MAC address\n"
    "  --packets N      packets per gate the bit-rate counters report on every channel\n"
    "  --channel-packets CH:N    packets per gate of one channel's counter (CH 0..7)\n"
    "  --pid-packets CH:PID:N    packets per gate of one PID (0..8191) on one channel (up to 32)\n"
    "  --trace-limit N  bytes past which a file of trace/ (a capture, a log) moves to\n"
    "                   <name>.0, one older generation kept; at least 4096 (default 8 MiB)\n"
    "  --spi-peer DIR   the SPI chip link's wire: this chip's spidev master reaches the\n"
    "                   SPI controller of the board root DIR (the other chip)\n"
    "  --help           this text\n";

[[noreturn]] static void Usage()
{
    fputs(kOptions, stderr);
    exit(2);
}

[[noreturn]] static void Refuse(const std::string& opt, const char* takes, const char* v)
{
    fprintf(stderr, "modcard-board: %s takes %s, not '%s'\n", opt.c_str(), takes, v);
    exit(2);
}

// A whole decimal or 0x-hexadecimal number of at most max; false for
// anything else (signs, spaces, trailing text, overflow).
static bool Number(const char* v, U32 max, U32* out)
{
    const bool hex = v[0] == '0' && (v[1] == 'x' || v[1] == 'X');
    const char* d = hex ? v + 2 : v;
    if (*d == '\0')
        return false;
    unsigned long long n = 0;
    for (; *d; d++) {
        int k = *d >= '0' && *d <= '9' ? *d - '0'
                : hex && *d >= 'a' && *d <= 'f' ? *d - 'a' + 10
                : hex && *d >= 'A' && *d <= 'F' ? *d - 'A' + 10
                                                : -1;
        if (k < 0)
            return false;
        n = n * (hex ? 16 : 10) + (unsigned)k;
        if (n > max)
            return false;
    }
    *out = (U32)n;
    return true;
}

// Fields of a list "A<sep>B<sep>C", each a Number of at most its max.
static bool Fields(const char* v, char sep, std::initializer_list<U32> max, U32* out)
{
    std::string s = v;
    size_t k = 0, pos = 0;
    for (U32 m : max) {
        size_t end = k + 1 < max.size() ? s.find(sep, pos) : s.size();
        if (end == std::string::npos || !Number(s.substr(pos, end - pos).c_str(), m, &out[k]))
            return false;
        pos = end + 1;
        k++;
    }
    return true;
}

static bool Mac(const char* v, U8* mac)
{
    if (strlen(v) != 17)
        return false;
    for (int k = 0; k < 6; k++) {
        const char* h = v + 3 * k;
        if (!isxdigit((unsigned char)h[0]) || !isxdigit((unsigned char)h[1]) || (k < 5 && h[2] != ':'))
            return false;
        mac[k] = (U8)strtoul(std::string(h, 2).c_str(), nullptr, 16);
    }
    return true;
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
    bool powerUp = false;
    // Which of the files beside the register file the options touch.
    bool slotAsked = false, snmpPortAsked = false, httpAsked = false, cardAsked = false;
    for (int i = 2; i < argc; i++) {
        std::string opt = argv[i];
        if (opt == "--power-up") {
            powerUp = true;
            continue;
        }
        if (i + 1 >= argc) {
            fprintf(stderr, "modcard-board: %s needs a value\n", opt.c_str());
            Usage();
        }
        const char* v = argv[++i];
        U32 f[3] = {0, 0, 0};
        if (opt == "--board-type") {
            if (!Number(v, 10, &f[0]) || (f[0] > 5 && f[0] != 10))
                Refuse(opt, "0, 1, 10, 2, 3, 4 or 5", v);
            p.boardType = f[0];
        } else if (opt == "--chip") {
            if (!Number(v, 1, &p.chipType))
                Refuse(opt, "0 or 1", v);
        } else if (opt == "--slot") {
            if (!Number(v, 15, &p.slotId))
                Refuse(opt, "a card slot 0..15", v);
            slotAsked = true;
        } else if (opt == "--logic") {
            if (!Number(v, 0xFFFFFFFFu, &p.logicVersion))
                Refuse(opt, "a 32-bit number", v);
        } else if (opt == "--hw-pins") {
            if (!Fields(v, ',', {1, 1, 1}, f))
                Refuse(opt, "three levels 0 or 1, as A,B,C", v);
            memcpy(p.hwVersionPins, f, sizeof(p.hwVersionPins));
        } else if (opt == "--phy") {
            std::string s = v;
            if (s == "88E1510")
                p.phyType = simboard::PHY_88E1510;
            else if (s == "88E1111")
                p.phyType = simboard::PHY_88E1111;
            else if (s == "YT8521")
                p.phyType = simboard::PHY_YT8521;
            else if (s == "unknown")
                p.phyType = simboard::PHY_UNKNOWN;
            else
                Refuse(opt, "88E1510, 88E1111, YT8521 or unknown", v);
        } else if (opt == "--slave-chip") {
            if (!Number(v, 1, &p.hasSlave))
                Refuse(opt, "0 or 1", v);
            cardAsked = true;
        } else if (opt == "--mac") {
            if (!Mac(v, p.mac))
                Refuse(opt, "six hexadecimal bytes XX:XX:XX:XX:XX:XX", v);
            cardAsked = true;
        } else if (opt == "--packets") {
            if (!Number(v, 0xFFFFFFFFu, &f[0]))
                Refuse(opt, "a 32-bit number", v);
            for (U32& c : p.channelPackets)
                c = f[0];
        } else if (opt == "--mdio-never-idle") {
            if (!Number(v, 1, &p.mdioNeverIdle))
                Refuse(opt, "0 or 1", v);
        } else if (opt == "--snmp-port") {
            if (!Number(v, 65535, &snmpPort) || snmpPort == 0)
                Refuse(opt, "a port 1..65535", v);
            snmpPortAsked = true;
        } else if (opt == "--channel-packets") {  // CH:N, one channel's counter
            if (!Fields(v, ':', {7, 0xFFFFFFFFu}, f))
                Refuse(opt, "CH:N (CH 0..7)", v);
            p.channelPackets[f[0]] = f[1];
        } else if (opt == "--pid-packets") {  // CH:PID:N, one PID's counter
            if (!Fields(v, ':', {7, 0x1FFF, 0xFFFFFFFFu}, f))
                Refuse(opt, "CH:PID:N (CH 0..7, PID 0..8191)", v);
            // A PID that has a counter already gets the new count in its entry.
            unsigned k = 0;
            while (k < 32 && p.pidRates[k].used && !(p.pidRates[k].channel == f[0] && p.pidRates[k].pid == f[1]))
                k++;
            if (k == 32)
                Refuse(opt, "at most 32 PIDs", v);
            p.pidRates[k] = {(U16)f[0], (U16)f[1], f[2], 1, {0, 0, 0}};
        } else if (opt == "--trace-limit") {
            if (!Number(v, 0xFFFFFFFFu, &p.traceLimit) || p.traceLimit < simboard::kTraceLimitMin)
                Refuse(opt, "a size of 4096 bytes or more", v);
        } else if (opt == "--spi-peer") {
            if (*v == '\0')
                Refuse(opt, "a folder", v);
            spiPeer = v;
        } else if (opt == "--http-port") {
            if (!Number(v, 65535, &httpPort) || httpPort == 0)
                Refuse(opt, "a port 1..65535", v);
            httpAsked = true;
        } else {
            fprintf(stderr, "modcard-board: unknown option %s\n", opt.c_str());
            Usage();
        }
    }
    // The ports a root's files name are kept unless new ones are given.
    if (!snmpPortAsked && SnmpPortOf(root) != 0)
        snmpPort = SnmpPortOf(root);
    if (!httpAsked && HttpPortOf(root) != 0)
        httpPort = HttpPortOf(root);
    // A root made anew, or powered up, gets every file; else only what the options name.
    const bool all = !existing || powerUp;
    if (existing && !powerUp ? !simboard::UpdateBoard(root, p) : !simboard::CreateBoard(root, p)) {
        perror("modcard-board");
        return 1;
    }
    // What the application image ships about the card: its MAC address and
    // whether the slave chip is fitted.
    char conf[128];
    int n = snprintf(conf, sizeof(conf), "mac=%02x:%02x:%02x:%02x:%02x:%02x\nslave_chip=%u\n", p.mac[0], p.mac[1],
                     p.mac[2], p.mac[3], p.mac[4], p.mac[5], p.hasSlave);
    std::string file = root + "/tarvex_app/app/card.conf";
    if (all || cardAsked) {
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
    if ((all || slotAsked || snmpPortAsked) && !WriteSnmpdConf(root, p.slotId, snmpPort)) {
        fprintf(stderr, "modcard-board: snmpd.conf: slot %u\n", p.slotId);
        return 1;
    }
    // At power-up no chip runs on the root yet: its modules may be replaced.
    if ((all || httpAsked) && !WriteHttpd(root, httpPort, all)) {
        fprintf(stderr, "modcard-board: httpd set-up failed\n");
        return 1;
    }
    printf("board root %s: board type %u, chip %u, slot %u, slave chip %u, http port %u, snmp port %u\n",
           root.c_str(), p.boardType, p.chipType, p.slotId, p.hasSlave, httpPort, snmpPort);
    return 0;
}

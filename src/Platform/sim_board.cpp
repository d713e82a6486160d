// Creation of a simulated board root.
#ifndef MODCARD_CARD
#include "Platform/board_state.h"
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace simboard {

Profile DefaultProfile()
{
    Profile p;
    memset(&p, 0, sizeof(p));
    memcpy(p.magic, kMagic, sizeof(p.magic));
    p.version = kVersion;
    p.boardType = 0;
    p.chipType = 0;
    p.slotId = 3;
    p.logicVersion = 0x20230421;
    p.phyType = PHY_88E1510;
    p.hasSlave = 1;
    const U8 mac[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x03};
    memcpy(p.mac, mac, 6);
    for (U32& c : p.channelPackets)
        c = 1000;  // 1504 kbit/s: above the 500 kbit/s at which PSI insertion stops
    p.pidPackets = 100;
    return p;
}

static bool MkdirP(const std::string& path)
{
    for (size_t pos = 1; pos <= path.size(); pos++) {
        if (pos == path.size() || path[pos] == '/') {
            std::string part = path.substr(0, pos);
            if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
                return false;
        }
    }
    return true;
}

static bool WriteText(const std::string& path, const std::string& text)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool ok = ::write(fd, text.data(), text.size()) == (ssize_t)text.size();
    ::close(fd);
    return ok;
}

bool CreateBoard(const std::string& root, const Profile& profile)
{
    static const char* dirs[] = {
        "/tarvex_data/log", "/tarvex_app/app", "/tarvex_app/web/download", "/tarvex_app/tools/httpd/config",
        "/tarvex_app/tools/httpd/lib", "/var/volatile", "/var/tmp", "/tmp", "/dev", "/sys/class/gpio",
        "/sys/class/net/eth0", "/trace", "/backboard_ftp", "/etc/init.d"};
    for (const char* d : dirs)
        if (!MkdirP(root + d))
            return false;
    WriteText(root + "/sys/class/net/eth0/operstate", "up\n");
    WriteText(root + "/dev/null", "");
    // I2C buses: opened like the card's device nodes, answered by the models.
    WriteText(root + "/dev/i2c-0", "");
    WriteText(root + "/dev/i2c-1", "");

    std::string file = root + "/" + kStateFile;
    int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    std::vector<U8> img(kStateSize, 0);
    Profile p = profile;
    memcpy(p.magic, kMagic, sizeof(p.magic));
    p.version = kVersion;
    memcpy(img.data() + kProfileOffset, &p, sizeof(p));
    auto reg = [&](U32 n, U32 v) { memcpy(img.data() + kFpgaOffset + (size_t)n * 16, &v, 4); };
    reg(0, p.logicVersion);
    reg(5, p.boardType);
    reg(16, p.slotId);
    reg(17, p.chipType);
    // Ethernet controller: management interface idle.
    U32 idle = 4;
    memcpy(img.data() + kEthOffset + 0x08, &idle, 4);
    // PHY identifier registers 2 and 3 of PHY address 0.
    U32 id = p.phyType == PHY_88E1111 ? 0x01410CC2u
             : p.phyType == PHY_YT8521 ? 0x0000011Au
             : p.phyType == PHY_UNKNOWN ? kUnknownPhyId
                                        : 0x01410DD1u;
    ModelArea* m = reinterpret_cast<ModelArea*>(img.data() + kModelOffset);
    for (int pg = 0; pg < 8; pg++) {
        m->mdio[0][pg][2] = (U16)(id >> 16);
        m->mdio[0][pg][3] = (U16)id;
    }
    InitSpiCtrl(img.data());
    bool ok = ::write(fd, img.data(), img.size()) == (ssize_t)img.size();
    ::close(fd);
    return ok;
}

}  // namespace simboard
#endif

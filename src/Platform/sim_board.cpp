// Creation of a simulated board root, and changes of an existing one in place.
#ifndef MODCARD_CARD
#include "Platform/board_state.h"
#include <cerrno>
#include <cstddef>
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

// Identifier registers 2 and 3 of the PHY, as one word.
static U32 PhyId(U32 type)
{
    return type == PHY_88E1111 ? 0x01410CC2u
           : type == PHY_YT8521 ? 0x0000011Au
           : type == PHY_UNKNOWN ? kUnknownPhyId
                                 : 0x01410DD1u;
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

    // A new register file takes the name in one step: a chip still running on
    // the root keeps the file it mapped, and a crash leaves the old one whole.
    std::string file = root + "/" + kStateFile, tmp = file + ".new";
    int fd = ::open(tmp.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
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
    U32 id = PhyId(p.phyType);
    ModelArea* m = reinterpret_cast<ModelArea*>(img.data() + kModelOffset);
    for (int pg = 0; pg < 8; pg++) {
        m->mdio[0][pg][2] = (U16)(id >> 16);
        m->mdio[0][pg][3] = (U16)id;
    }
    InitSpiCtrl(img.data());
    bool ok = ::write(fd, img.data(), img.size()) == (ssize_t)img.size() && ::fsync(fd) == 0;
    ::close(fd);
    ok = ok && ::rename(tmp.c_str(), file.c_str()) == 0;
    if (!ok) {
        ::unlink(tmp.c_str());
        return false;
    }
    int dir = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

static bool PwriteAll(int fd, const void* data, size_t len, off_t at)
{
    return ::pwrite(fd, data, len, at) == (ssize_t)len;
}

bool ReadBoardProfile(const std::string& root, Profile* out)
{
    int fd = ::open((root + "/" + kStateFile).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    Profile p;
    bool ok = fstat(fd, &st) == 0 && (size_t)st.st_size >= kStateSize &&
              ::pread(fd, &p, sizeof(p), kProfileOffset) == (ssize_t)sizeof(p) &&
              memcmp(p.magic, kMagic, sizeof(p.magic)) == 0 && p.version == kVersion;
    ::close(fd);
    if (ok)
        *out = p;
    return ok;
}

bool UpdateBoard(const std::string& root, const Profile& profile)
{
    // No truncation and no rewrite of the whole file: a chip running on the
    // root maps it, and every register and model it holds stays as it is.
    int fd = ::open((root + "/" + kStateFile).c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return false;
    Profile old;
    bool ok = ::pread(fd, &old, sizeof(old), kProfileOffset) == (ssize_t)sizeof(old);
    const U8* was = reinterpret_cast<const U8*>(&old);
    const U8* now = reinterpret_cast<const U8*>(&profile);
    for (size_t i = 0; ok && i < sizeof(Profile);) {
        if (was[i] == now[i]) {
            i++;
            continue;
        }
        size_t end = i;
        while (end < sizeof(Profile) && was[end] != now[end])
            end++;
        ok = PwriteAll(fd, now + i, end - i, (off_t)(kProfileOffset + i));
        i = end;
    }
    // The registers the FPGA reports from the profile, for the fields that changed.
    auto reg = [&](U32 n, U32 before, U32 after) {
        if (ok && before != after)
            ok = PwriteAll(fd, &after, 4, (off_t)(kFpgaOffset + (size_t)n * 16));
    };
    reg(0, old.logicVersion, profile.logicVersion);
    reg(5, old.boardType, profile.boardType);
    reg(16, old.slotId, profile.slotId);
    reg(17, old.chipType, profile.chipType);
    if (ok && old.phyType != profile.phyType) {
        U32 id = PhyId(profile.phyType);
        U16 words[2] = {(U16)(id >> 16), (U16)id};
        for (int pg = 0; ok && pg < 8; pg++)
            ok = PwriteAll(fd, words, sizeof(words),
                           (off_t)(kModelOffset + offsetof(ModelArea, mdio) + ((size_t)pg * 32 + 2) * sizeof(U16)));
    }
    ::close(fd);
    return ok;
}

}  // namespace simboard
#endif

// Fuzz target: a firmware image installed as the card installs one received
// from the back board (header, version gate, payload CRC, the archive check
// and unpacking, the scripts, the version file and its read-back), or an
// installed version file as the card reads it. Each input starts from the
// same progress record and version file, with no unpacked image left.
//
// Input: [u8 flags][20 bytes version text][archive...]. Flags: bit 0 a
// version file of the rest instead of an image; bit 1 a wrong CRC, bit 2 a
// length past the file, bit 3 a wrong board type, bit 4 the version text as
// it comes (else "V1.<a>.<b>" from its first bytes, which the gate passes).
#include "Common/commonfun.h"
#include "Driver/PHY/phy.h"
#include "Platform/platform.h"
#include "StatusProcess/resource.h"
#include "Upgrade/upgrade.h"
#include "support/fuzz_support.h"
#include "support/seed_files.h"
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char kVersionFile[] = "{\"MachineType\":26,\"BoardType\":34,\"BigVerNum\":1,\"MidVerNum\":2,\"MinVerNum\":2}";

FuzzInput Input(U8 flags, const std::string& version, const FuzzInput& archive)
{
    FuzzInput in{flags};
    std::string v = version;
    v.resize(20, '\0');
    in.insert(in.end(), v.begin(), v.end());
    in.insert(in.end(), archive.begin(), archive.end());
    return in;
}

}  // namespace

void FuzzSetUp()
{
    upgrade_TestSetSecondMs(0);
    upgrade_TestSetPhyChipType((int)Phy88E1510);
    Resource_getSelfHandle()->u8BoardType = RESOURCE_BOARD_TYPE_SELF;
    plat::MakeDirs("/var/volatile");
    plat::MakeDirs("/tarvex_data");
}

void FuzzSeeds(std::vector<FuzzInput>& seeds)
{
    FuzzInput good = FuzzTarMember("zz.zz", '0', "z");
    FuzzInput run = FuzzTarMember("run.sh", '0', "#!/bin/sh\nexit 0\n");
    good.insert(good.end(), run.begin(), run.end());
    FuzzInput end = FuzzTarEnd();
    FuzzInput unsafe = good, link = FuzzTarMember("../x", '0', "x");
    good.insert(good.end(), end.begin(), end.end());
    unsafe.insert(unsafe.end(), link.begin(), link.end());
    unsafe.insert(unsafe.end(), end.begin(), end.end());
    seeds.push_back(Input(0, "\x05\x07", good));
    seeds.push_back(Input(0x10, "V1.5.7", good));
    seeds.push_back(Input(0, "\x05\x07", unsafe));
    seeds.push_back(Input(0x10, "V0.9.9", good));
    seeds.push_back(Input(1, "", FuzzInput(kVersionFile, kVersionFile + sizeof(kVersionFile) - 1)));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzReader r(data, size);
    U8 flags = r.U8();
    FuzzInput version = r.Bytes(20);
    version.resize(20, 0);
    FuzzInput rest = r.Bytes(r.Left());

    // The same start for every input.
    FTP_UpgradeProfileInit();
    plat::System("rm -rf /var/volatile/upgrade");
    if (flags & 1) {
        plat::WriteFileAtomic(UPGRADE_VERSION_FILE, rest.data(), rest.size(), false);
        U32 v = 0;
        Resource_GetSoftVersion(&v);
        return 0;
    }
    plat::WriteFileAtomic(UPGRADE_VERSION_FILE, kVersionFile, sizeof(kVersionFile) - 1, false);

    ImageHeader_t h;
    memset(&h, 0, sizeof(h));
    h.SyncFlag = UPGRADE_SYNC_FLAG;
    h.HeaderVersion = 1;
    h.HeaderLength = UPGRADE_HEADER_LEN;
    h.BoardType = (flags & 8) ? 35 : UPGRADE_BOARD_TYPE;
    h.MachineType = UPGRADE_MACHINE_TYPE;
    h.DataLength = (U32)rest.size() + ((flags & 4) ? 1000 : 0);
    h.DataCRC32 = Common_CRCCalculate(rest.data(), (U32)rest.size(), 0) ^ ((flags & 2) ? 1 : 0);
    if (flags & 0x10)
        memcpy(h.ucSoftwareVersion, version.data(), sizeof(h.ucSoftwareVersion));
    else
        snprintf(reinterpret_cast<char*>(h.ucSoftwareVersion), sizeof(h.ucSoftwareVersion), "V1.%u.%u",
                 3u + version[0] % 2, (unsigned)version[1]);
    FuzzInput image(UPGRADE_HEADER_LEN, 0);
    memcpy(image.data(), &h, sizeof(h));
    image.insert(image.end(), rest.begin(), rest.end());
    plat::WriteFileAtomic(UPGRADE_FILE, image.data(), image.size(), false);
    upgrade_UpgradeSystem(reinterpret_cast<const U8*>(UPGRADE_FILE));

    // The simulated shell's record of the installation steps stays small.
    static const std::string shell = FuzzBoardRoot() + "/trace/shell.log";
    struct stat st;
    if (stat(shell.c_str(), &st) == 0 && st.st_size > (1 << 20) && truncate(shell.c_str(), 0) != 0)
        abort();
    return 0;
}

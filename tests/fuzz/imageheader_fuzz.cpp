// Image files from any bytes: header, announced length and payload CRC,
// the version text, and the multipart envelope of an uploaded file.
#include "Common/commonfun.h"
#include "Platform/platform.h"
#include "StatusProcess/resource.h"
#include "Upgrade/upgrade.h"
#include "support/seed_files.h"
#include <cstdint>
#include <string>

void FuzzSeeds(std::vector<FuzzInput>& seeds)
{
    // A good image: header, then a one-member archive as its payload.
    FuzzInput payload = FuzzTarMember("zz.zz", '0', "z");
    FuzzInput end = FuzzTarEnd();
    payload.insert(payload.end(), end.begin(), end.end());
    ImageHeader_t h{};
    h.SyncFlag = UPGRADE_SYNC_FLAG;
    h.HeaderVersion = 1;
    h.HeaderLength = UPGRADE_HEADER_LEN;
    h.BoardType = UPGRADE_BOARD_TYPE;
    h.MachineType = UPGRADE_MACHINE_TYPE;
    h.DataLength = (U32)payload.size();
    h.DataCRC32 = Common_CRCCalculate(payload.data(), (U32)payload.size(), 0);
    memcpy(h.ucFirmwareVersion, "fw", 2);
    memcpy(h.ucSoftwareVersion, "V1.5.0", 6);
    FuzzInput image(reinterpret_cast<const U8*>(&h), reinterpret_cast<const U8*>(&h) + sizeof(h));
    image.insert(image.end(), payload.begin(), payload.end());
    seeds.push_back(image);

    const std::string form = "------b\r\nContent-Disposition: form-data; name=\"f\"; filename=\"n\"\r\n\r\n"
                             "DATA\r\n------b--\r\n";
    seeds.emplace_back(form.begin(), form.end());
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const U8* file = reinterpret_cast<const U8*>(UPGRADE_FILE);
    plat::WriteFileAtomic(UPGRADE_FILE, data, size, false);
    upgrade_CheckImageFile(UPGRADE_FILE);
    U32 version = 0;
    GetUpgradeFileSwVersion(file, &version);
    plat::WriteFileAtomic(UPGRADE_FILE, data, size, false);
    upgrade_DelNetHeader(file);
    return 0;
}

// Configuration export checked by an independent reader (python's tarfile
// and crcmod), the import checks, and the raw backup and its restore.
#include "Common/oid/oiddata.h"
#include "Parameter/paramexport.h"
#include "Parameter/parameters.h"
#include "Parameter/recoverdata.h"
#include "Platform/platform.h"
#include "StatusProcess/resource.h"
#include "StatusProcess/status.h"
#include "support/testboard.h"
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <string>
#include <sys/wait.h>

namespace {

std::string RandomBytes(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s)
        c = (char)rng();
    return s;
}

std::string Archive() { return plat::Path("/var/volatile/" + std::to_string(Status_GetSlotID()) + "conf.tar"); }

class ParamExport : public ::testing::Test {
protected:
    void SetUp() override
    {
        Resource_getSelfHandle()->u8BoardType = RESOURCE_BOARD_TYPE_SELF;
        json_ = RandomBytes(1500, 1);
        dump_ = RandomBytes(90002, 2);
        Spill(plat::Path(TARVEX_OID_JSON_FILE), json_);
        Spill(plat::Path(TARVEX_OID_FILE), dump_);
    }
    std::string json_, dump_;
};

// Unpacks the archive with python and checks the export file in it; prints
// "ok" or what is wrong.
std::string PythonCheck(const std::string& archive, const std::string& json, const std::string& dump)
{
    static const char* kScript = R"PY(
import struct, sys, tarfile, crcmod
crc = crcmod.mkCrcFun(0x104C11DB7, initCrc=0x04C11DB7, rev=False, xorOut=0)
t = tarfile.open(sys.argv[1], 'r:gz')
names = t.getnames()
d = t.extractfile('param_new.conf').read()
word = lambda o: struct.unpack_from('<I', d, o)[0]
want = open(sys.argv[2], 'rb').read() + open(sys.argv[3], 'rb').read()
checks = [('names', names == ['param_new.conf']), ('size', len(d) == 91630), ('start', d[0:4] == b'ARAP'),
          ('board', d[4] == 0x22), ('total', word(8) == 91502), ('sys', word(12) == 1500),
          ('ts', word(16) == 90002), ('zero', d[20:120] == bytes(100)), ('crc', word(120) == crc(d[128:])),
          ('end', d[124:128] == b'DNET'), ('payload', d[128:] == want)]
bad = [n for n, ok in checks if not ok]
print('bad: ' + ', '.join(bad) if bad else 'ok')
)PY";
    std::string dir = TestBoardRoot();
    std::ofstream(dir + "/check_export.py") << kScript;
    Spill(dir + "/want_json", json);
    Spill(dir + "/want_dump", dump);
    std::string cmd = "/usr/bin/python3 '" + dir + "/check_export.py' '" + archive + "' '" + dir + "/want_json' '" +
                      dir + "/want_dump'";
    return CommandOutput(cmd);
}

// An export image with its header fixed up by a change.
template <class Change>
std::string Image(const std::string& json, const std::string& dump, Change change)
{
    ST_CONFIGPARA h;
    EXPECT_EQ(PARAM_InitConfigPara(&h), ZR_SUCCESS);
    change(h);
    std::string out(reinterpret_cast<const char*>(&h), sizeof(h));
    return out + json + dump;
}

}  // namespace

TEST_F(ParamExport, ExportIsReadByAnIndependentReader)
{
    ST_CONFIGPARA h;
    ASSERT_EQ(PARAM_InitConfigPara(&h), ZR_SUCCESS);
    ASSERT_EQ(PARAM_CompressConfigFile(&h), ZR_SUCCESS);
    EXPECT_FALSE(FileExists(plat::Path(PARAM_EXPORT_FILE)));
    EXPECT_EQ(PythonCheck(Archive(), json_, dump_), "ok\n");

    // Without a dump nothing is exported, and no stale archive passes.
    ::unlink(plat::Path(TARVEX_OID_FILE).c_str());
    EXPECT_EQ(PARAM_InitConfigPara(&h), ZR_ERR_END);
    EXPECT_EQ(PARAM_CompressConfigFile(&h), ZR_ERR_FAILURE);
}

TEST_F(ParamExport, ImportChecksRefuseAndDeleteBadFiles)
{
    const std::string file = plat::Path(PARAM_EXPORT_FILE);
    auto check = [&](const std::string& data) {
        Spill(file, data);
        zrErrCode rc = PARAM_CheckConfigFile(PARAM_EXPORT_FILE);
        EXPECT_EQ(FileExists(file), rc == ZR_SUCCESS);
        return rc;
    };
    EXPECT_EQ(check(Image(json_, dump_, [](ST_CONFIGPARA&) {})), ZR_SUCCESS);
    EXPECT_EQ(check(Image(json_, dump_, [](ST_CONFIGPARA& h) { h.u8BoardType = 0x23; })), ZR_ERR_FAILURE);
    EXPECT_EQ(check(Image(json_, dump_, [](ST_CONFIGPARA&) {}).substr(0, 100)), ZR_ERR_FAILURE);
    EXPECT_EQ(check(Image(json_, dump_, [](ST_CONFIGPARA&) {}) + "x"), ZR_ERR_FAILURE);
    // The part lengths lie, the CRC (over the payload only) does not see it.
    EXPECT_EQ(check(Image(json_, dump_, [](ST_CONFIGPARA& h) { h.u32SysParamsLen += 90000; })), ZR_ERR_FAILURE);
    std::string bad = Image(json_, dump_, [](ST_CONFIGPARA&) {});
    bad[200] ^= 1;
    EXPECT_EQ(check(bad), ZR_ERR_FAILURE);

    // A good file of this card's standard gives back both files; the same
    // file made by a card of another standard changes nothing.
    PARAMS_InitParametersSem();
    ASSERT_EQ(Master_PARAMS_Factory(), ZR_SUCCESS);  // a set the card runs
    ASSERT_EQ(DATA_Save(), ZR_SUCCESS);
    const std::string doc = Slurp(plat::Path(TARVEX_OID_JSON_FILE));
    const std::string good = Image(doc, dump_, [](ST_CONFIGPARA&) {});
    Spill(file, Image(doc, dump_, [](ST_CONFIGPARA& h) { h.u8res[0] = (U8)(PARAMS_GetModulationMod() == 0 ? 2 : 1); }));
    ::unlink(plat::Path(TARVEX_OID_FILE).c_str());
    Spill(plat::Path(TARVEX_OID_JSON_FILE), "{}");
    EXPECT_EQ(PARAM_ImportConfigFile(PARAM_EXPORT_FILE), ZR_ERR_HARDWAREVER);
    EXPECT_EQ(Slurp(plat::Path(TARVEX_OID_JSON_FILE)), "{}");
    EXPECT_FALSE(FileExists(plat::Path(TARVEX_OID_FILE)));
    Spill(file, good);
    EXPECT_EQ(PARAM_ImportConfigFile(PARAM_EXPORT_FILE), ZR_SUCCESS);
    EXPECT_EQ(Slurp(plat::Path(TARVEX_OID_JSON_FILE)), doc);
    EXPECT_EQ(Slurp(plat::Path(TARVEX_OID_FILE)), dump_);
}

TEST_F(ParamExport, RawBackupRestoresCheckedImagesOrNothing)
{
    // A backup of the card's own files, then other files in their place.
    PARAMS_InitParametersSem();
    ASSERT_EQ(Master_PARAMS_Factory(), ZR_SUCCESS);
    ASSERT_EQ(PARAMS_SaveCurParam(), ZR_SUCCESS);
    ASSERT_EQ(PARAMS_TSPParametersSave(), ZR_SUCCESS);
    auto blob = std::make_unique<ST_BACKUPPARA>();
    ASSERT_EQ(PARAM_BackUpPara(blob.get()), ZR_SUCCESS);
    const std::string ts = Slurp(plat::Path(PARAM_TSP_CONFIG_FILE)), sys = Slurp(plat::Path(PARAMS_CONFIG_FILE));
    ASSERT_EQ(sys.size(), 868u);
    Spill(plat::Path(PARAM_TSP_CONFIG_FILE), "old ts");
    Spill(plat::Path(PARAMS_CONFIG_FILE), "old sys");
    auto kept = [] {
        return Slurp(plat::Path(PARAM_TSP_CONFIG_FILE)) == "old ts" && Slurp(plat::Path(PARAMS_CONFIG_FILE)) == "old sys";
    };

    // Refused with both files kept: all zeros, a length word beyond the
    // blob, a damaged output-stream image, a damaged parameter record.
    auto bad = std::make_unique<ST_BACKUPPARA>();
    memset(bad.get(), 0, sizeof(*bad));
    EXPECT_EQ(PARAM_WriteParaFile(bad.get()), ZR_ERR_FAILURE);
    EXPECT_TRUE(kept());
    for (size_t at : {(size_t)4, ts.size() / 2, PARAM_TS_PARA_SIZE + (size_t)10}) {
        memcpy(bad.get(), blob.get(), sizeof(*bad));
        if (at == 4) {
            U32 len = PARAM_TS_PARA_SIZE + 1;
            memcpy(bad->u8TsPara + 4, &len, 4);
        } else if (at < PARAM_TS_PARA_SIZE) {
            bad->u8TsPara[at] ^= 1;
        } else {
            bad->u8SysPara[at - PARAM_TS_PARA_SIZE] ^= 1;
        }
        EXPECT_EQ(PARAM_WriteParaFile(bad.get()), ZR_ERR_FAILURE) << at;
        EXPECT_TRUE(kept()) << at;
    }

    // The good backup gives both files back, exactly its length.
    ASSERT_EQ(PARAM_WriteParaFile(blob.get()), ZR_SUCCESS);
    const std::string tsFile = Slurp(plat::Path(PARAM_TSP_CONFIG_FILE));
    EXPECT_EQ(tsFile, ts);
    EXPECT_EQ(Slurp(plat::Path(PARAMS_CONFIG_FILE)), sys);

    // The uncalled builders give the same two files back.
    auto again = std::make_unique<ST_BACKUPPARA>();
    ASSERT_EQ(PARAM_BackUpPara(again.get()), ZR_SUCCESS);
    EXPECT_EQ(0, memcmp(again->u8TsPara, tsFile.data(), tsFile.size()));
    ASSERT_EQ(PARAM_CompressBackUpPara(again.get()), ZR_SUCCESS);
    EXPECT_TRUE(FileExists(Archive()));
    EXPECT_FALSE(FileExists(plat::Path(PARAM_BACKUP_FILE)));
}

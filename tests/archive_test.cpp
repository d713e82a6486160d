// Archives are checked member by member before they are unpacked, on the
// card's path (ArchiveIsSafe) and in the simulated shell's tar; image
// scripts are recorded, FTP stays with the chassis' own addresses.
#include "Platform/platform.h"
#include "support/testboard.h"
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// Members "<type>:<name>[:<target>]": f file, d folder, l symbolic link,
// h hard link, c character device, p fifo. format: gnu, pax or ustar.
void MakeTar(const std::string& sysPath, const std::vector<std::string>& members, bool gz = false,
             const std::string& format = "gnu")
{
    static const char* kScript = R"PY(
import io, sys, tarfile
out, gz, fmt = sys.argv[1], sys.argv[2] == '1', sys.argv[3]
f = {'gnu': tarfile.GNU_FORMAT, 'pax': tarfile.PAX_FORMAT, 'ustar': tarfile.USTAR_FORMAT}[fmt]
t = tarfile.open(out, 'w:gz' if gz else 'w', format=f)
types = {'f': tarfile.REGTYPE, 'd': tarfile.DIRTYPE, 'l': tarfile.SYMTYPE, 'h': tarfile.LNKTYPE,
         'c': tarfile.CHRTYPE, 'p': tarfile.FIFOTYPE}
for m in sys.argv[4:]:
    parts = m.split(':')
    i = tarfile.TarInfo(parts[1]); i.type = types[parts[0]]
    if len(parts) > 2: i.linkname = parts[2]
    data = b'data' if parts[0] == 'f' else b''
    i.size = len(data)
    t.addfile(i, io.BytesIO(data))
t.close()
)PY";
    std::string script = TestBoardRoot() + "/mktar.py";
    std::ofstream(script) << kScript;
    std::string cmd = "/usr/bin/python3 '" + script + "' '" + plat::Path(sysPath) + "' " + (gz ? "1 " : "0 ") + format;
    for (const std::string& m : members)
        cmd += " '" + m + "'";
    ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
}

}  // namespace

TEST(Archives, OnlyRegularFilesAndFoldersInsideTheTargetPass)
{
    const std::string a = "/tmp/a.tar";
    std::string longName(150, 'n');
    MakeTar(a, {"d:dir", "f:dir/x", "f:./y", "f:dir/" + longName});
    EXPECT_TRUE(plat::ArchiveIsSafe(a));
    MakeTar(a, {"f:dir/" + longName + "/" + longName}, true, "pax");
    EXPECT_TRUE(plat::ArchiveIsSafe(a));
    MakeTar(a, {"f:" + std::string(90, 'p') + "/" + std::string(90, 'q')}, false, "ustar");
    EXPECT_TRUE(plat::ArchiveIsSafe(a));
    for (const std::vector<std::string>& bad :
         std::vector<std::vector<std::string>>{{"f:ok", "f:../x"}, {"f:/etc/x"}, {"f:a/../../x"}, {"l:esc:/tmp"},
                                               {"f:ok", "h:hard:ok"}, {"c:tty"}, {"p:fifo"},
                                               {"f:" + longName + "/../../x"}}) {
        MakeTar(a, bad, bad.size() == 1);
        EXPECT_FALSE(plat::ArchiveIsSafe(a)) << bad.back();
        MakeTar(a, bad, false, "pax");
        EXPECT_FALSE(plat::ArchiveIsSafe(a)) << bad.back() << " (pax)";
    }
    // Cut short, or not an archive at all.
    MakeTar(a, {"f:x", "f:y"});
    std::string whole = Slurp(plat::Path(a));
    Spill(plat::Path(a), whole.substr(0, 700));
    EXPECT_FALSE(plat::ArchiveIsSafe(a));
    Spill(plat::Path(a), "not a tar");
    EXPECT_FALSE(plat::ArchiveIsSafe(a));
    EXPECT_FALSE(plat::ArchiveIsSafe("/tmp/none.tar"));
}

TEST(Archives, ShellTarRefusesAnArchiveWithALinkOut)
{
    // A link to a folder of the machine, then a file written through it.
    std::string outside = "/tmp/modcard-link-probe-" + std::to_string(getpid());
    MakeTar("/tmp/l.tar", {"l:esc:" + outside, "f:esc/f"});
    ASSERT_EQ(plat::System("mkdir -p /tmp/out"), 0);
    for (const char* c : {"tar xf /tmp/l.tar -C /tmp/out", "tar -xvf /tmp/l.tar -C /tmp/out",
                          "tar --extract --file=/tmp/l.tar -C /tmp/out", "tar -x -f l.tar -C out"}) {
        EXPECT_EQ(plat::System(c, "/tmp"), -1) << c;
    }
    EXPECT_EQ(plat::System("tar -x -C /tmp/out"), -1);  // would read its input
    EXPECT_FALSE(FileExists(plat::Path("/tmp/out/esc")));
    EXPECT_FALSE(FileExists(outside + "/f"));
    MakeTar("/tmp/g.tar.gz", {"f:../x"}, true);
    EXPECT_EQ(plat::System("tar -zxvf /tmp/g.tar.gz", "/tmp/out"), -1);

    MakeTar("/tmp/g.tar.gz", {"d:d", "f:d/f"}, true);
    EXPECT_EQ(plat::System("tar -zxvf /tmp/g.tar.gz", "/tmp/out"), 0);
    EXPECT_EQ(Slurp(plat::Path("/tmp/out/d/f")), "data");
    EXPECT_EQ(plat::System("tar -zcvf /tmp/c.tar.gz d", "/tmp/out"), 0);  // packing is not checked
}

TEST(Archives, ImageScriptsAreRecordedAndFtpStaysInTheChassis)
{
    Spill(plat::Path("/tmp/s.sh"), "#!/bin/sh\necho ran > /tmp/ran\n");
    EXPECT_EQ(plat::System("chmod +x /tmp/s.sh"), 0);
    EXPECT_EQ(plat::System("/tmp/s.sh"), 0);
    EXPECT_FALSE(FileExists(plat::Path("/tmp/ran")));
    EXPECT_NE(Slurp(TestBoardRoot() + "/trace/shell.log").find("RECORD /tmp/s.sh"), std::string::npos);
    EXPECT_EQ(plat::System("/bin/sh /tmp/s.sh"), -1);
    Spill(TestBoardRoot() + "/backboard_ftp/f", "x");
    EXPECT_EQ(plat::System("ftpget 8.8.8.8 f", "/tmp"), -1);
    EXPECT_EQ(plat::System("ftpput 10.1.1.1 f", "/tmp"), -1);
    EXPECT_EQ(plat::System("ftpget 192.168.1.10 f", "/tmp"), 0);
    EXPECT_EQ(Slurp(plat::Path("/tmp/f")), "x");
}

"""FTP upgrades of a DVB-C card (master and slave chip, each store a small
tmpfs over its tarvex_data) as the back board sends them. With the master's
store full, or the slave's, the back board never gets the final stage, only
the failure with its code. Once space is freed a good upgrade goes through
to the final stage, every record it sends carries error code 0 (nothing of
the failed ones), and both chips record its version.

Usage: python3 upgrade_store.py BUILD_DIR

Runs in a mount namespace of its own; skipped where one cannot be made.
"""
import os
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import peers  # noqa: E402
import snmp_agent as sa  # noqa: E402
import store_full  # noqa: E402
import webcard  # noqa: E402
from snmp_agent import check  # noqa: E402
from webcard import wait_for  # noqa: E402

SLOT = 7
CARD = "192.168.1.18"
NOT_SAVED, SLAVE_FAILED = 19, 2566


def main():
    store_full.own_mount_namespace()
    build = os.path.abspath(sys.argv[1])
    top = tempfile.mkdtemp(prefix="modcard-upgradestore-")
    master = slave = None
    stores = []
    try:
        master = sa.Card(build, top, "master", 2, slot=SLOT)
        slave_root = os.path.join(top, "slave")
        subprocess.run([os.path.join(build, "modcard-board"), slave_root, "--chip", "1", "--board-type", "2",
                        "--slot", str(SLOT)], check=True, stdout=subprocess.DEVNULL)
        for root in (master.root, slave_root):
            stores.append(os.path.join(root, "tarvex_data"))
            store_full.mount_store(stores[-1], 4 << 20)
        slave = subprocess.Popen([os.path.join(build, "modcard")], env=dict(os.environ, MODCARD_ROOT=slave_root),
                                 stdout=open(slave_root + ".console", "w"), stderr=subprocess.STDOUT)
        master.start(wait_agent=False)
        check(wait_for(lambda: "Slave chip is working now!!!" in master.log() and
                       "This version is a universal version" in master.log(), 60),
              "the master finds its slave and reaches its idle loop")

        def upgrade(version):
            """3843 for an image in the back board's FTP folder; the (stage,
            error code) of each progress record (3847) sent up to a final one."""
            image = os.path.join(master.root, "backboard_ftp", "upgradefile")
            peers.make_image(image, version)
            mark = len(sa.BACK.frames)

            def records():
                with sa.BACK.lock:
                    frames = sa.BACK.frames[mark:]
                return [(f[4][14], struct.unpack_from("<I", f[4], 8)[0]) for f in frames
                        if f[1] == peers.SEND_PROCESS_UPGRADE and f[0] == SLOT and len(f[4]) >= 40]
            r = peers.exchange(CARD, peers.build_frame(16, 3843, 0, 1, struct.pack(">I", os.path.getsize(image))))
            check(r is not None and r[1] == peers.SUCCESS, "%s: 3843 answered 1" % version)
            wait_for(lambda: {2, 10} & {s for s, _ in records()}, 90)
            return records()

        # Either chip's store full: its version file is not written.
        for i, (full, code) in enumerate(((0, NOT_SAVED), (1, SLAVE_FAILED))):
            version, who = "V1.6.%d" % (i + 1), ("master", "slave")[full]
            filler = store_full.fill(stores[full])
            got = upgrade(version)
            os.unlink(filler)
            check(got and got[-1] == (2, code) and 10 not in [s for s, _ in got],
                  "%s, the %s's store full: the back board gets the failure with code %d, never 10: %s"
                  % (version, who, code, got))
            check(peers.installed((master.root, slave_root)[full]) != version,
                  "%s: the %s records no new version" % (version, who))

        got = upgrade("V1.6.3")
        check(got and got[-1][0] == 10 and all(c == 0 for _, c in got) and 2 not in [s for s, _ in got],
              "V1.6.3, space freed: the stages go up to 10, every record with error code 0: %s" % got)
        check(peers.installed(master.root) == peers.installed(slave_root) == "V1.6.3",
              "V1.6.3: both chips record it (master %s, slave %s)" % (peers.installed(master.root),
                                                                      peers.installed(slave_root)))
        check(master.proc.poll() is None and slave.poll() is None, "both chips still run")
    finally:
        if master is not None:
            master.stop()
            master.line.stop()
        if slave is not None:
            webcard.stop(slave)
        for d in stores:
            subprocess.run(["umount", "-l", d], capture_output=True)
    sa.finish(top)


if __name__ == "__main__":
    main()

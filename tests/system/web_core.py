"""The web back end of a running simulated master chip over HTTP, driven with
curl and Python: dispatch, errors, modulation round trip, registers, log
settings, log view and export, reboot and board names in shell commands.

Usage: python3 web_core.py BUILD_DIR

The card runs on slot 15 (own address 127.168.1.26). When the board tool has
no --http-port or the server does not answer, the test says why and passes.
"""
import json
import os
import shutil
import struct
import subprocess
import sys
import tarfile
import tempfile
import time
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import peers  # noqa: E402
import webcard  # noqa: E402

LINES = []  # serial peers of the cards, kept while they run

SLOT = 15
ADDR = "127.168.1.26"
PORT = 18026
build = os.path.abspath(sys.argv[1])
failed = 0


def check(ok, what):
    global failed
    print(("ok   " if ok else "FAIL ") + what)
    failed += 0 if ok else 1


def post(key, body, headers=None, path=None):
    """POSTs a body; returns (status, text)."""
    req = urllib.request.Request("http://%s:%d/%s" % (ADDR, PORT, path or key), data=body.encode(), method="POST",
                                 headers=headers or {})
    try:
        with urllib.request.urlopen(req, timeout=30) as r:
            return r.status, r.read().decode(errors="replace")
    except urllib.error.HTTPError as e:
        return e.code, e.read().decode(errors="replace")


def call(key, **members):
    members.setdefault("token", "t")
    status, text = post(key, json.dumps(members))
    try:
        return status, json.loads(text)
    except ValueError:
        return status, None


def read(root, path, mode="r"):
    try:
        with open(os.path.join(root, path), mode) as f:
            return f.read()
    except OSError:
        return b"" if "b" in mode else ""


def skip(reason):
    print("skip: " + reason)
    sys.exit(0)


def start_card(root, board_type, extra=()):
    tool = os.path.join(build, "modcard-board")
    helptext = subprocess.run([tool, "--help"], capture_output=True, text=True).stdout + \
        subprocess.run([tool, "--help"], capture_output=True, text=True).stderr
    if "--http-port" not in helptext:
        skip("the board tool has no --http-port yet, so no HTTP server can be reached")
    subprocess.run([tool, root, "--board-type", str(board_type), "--slot", str(SLOT), "--http-port", str(PORT)] +
                   list(extra), check=True, stdout=subprocess.DEVNULL)
    LINES.append(peers.chassis_for(root, SLOT))
    console = open(root + ".console", "w")
    proc = subprocess.Popen([os.path.join(build, "modcard")], env=dict(os.environ, MODCARD_ROOT=root),
                            stdout=console, stderr=subprocess.STDOUT)
    deadline = time.monotonic() + 30 * peers.slowness(build)
    while time.monotonic() < deadline and proc.poll() is None:
        try:
            if post("Beat.w", "")[0] == 200:
                return proc
        except OSError:
            pass
        time.sleep(0.3)
    proc.kill()
    proc.wait()
    skip("the HTTP server of the card does not answer on %s:%d" % (ADDR, PORT))


stop = webcard.stop


def case_core_and_modulation(top):
    root = os.path.join(top, "dvbc")
    # The master alone: a card whose slave chip is missing answers every
    # change it cannot pass on with 1539.
    proc = start_card(root, 2, ["--slave-chip", "0"])
    try:
        status, _ = post("Nothing.w", "{}")
        check(status == 404, "an unknown key is answered 404")
        status, text = post("GetSubboardDetail.w", "{}")
        check(status == 200 and json.loads(text)["code"] == 774, "{} to GetSubboardDetail.w: 200 with 774")
        status, text = post("", "{\"token\":\"t\"}", headers={"Referer": "http://x/Beat.w"})
        check(status == 200 and json.loads(text) == {"code": 0, "description": None, "data": {}},
              "a path naming no command with a Referer naming Beat.w runs Beat")
        status = subprocess.run(["curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", "-d", "{}",
                                 "http://%s:%d/Beat.w" % (ADDR, PORT)], capture_output=True, text=True).stdout
        check(status == "200", "curl reaches Beat.w")

        # Round trip of a frequency: reply, oid.json, parameter file, AD9789.
        _, got = post("GetSubboardParam.w", "{\"token\":\"t\"}")
        pairs = json.loads(got, object_pairs_hook=lambda p: p)
        data = dict(pairs)["data"]
        check([k for k, _ in dict(dict(data)["portlist"][0])["channellist"][1]].count("Interweave") == 2,
              "a DVB-C channel object carries Interweave twice")
        spi_before = len(read(root, "trace/spi.log"))
        # Channel 1 follows channel 0 at the 8 MHz spacing.
        _, reply = call("SetSubboardParam.w", psiinterval=100,
                        portlist=[{"port": 0, "channellist": [{"channel": 0, "frequency": 642000}]}])
        check(reply and reply["code"] == 0, "SetSubboardParam.w accepts a frequency")
        _, again = call("GetSubboardParam.w")
        freq = again["data"]["portlist"][0]["channellist"][1]["frequency"]
        check(freq == 650000, "GetSubboardParam.w reads it back")
        check("650000" in read(root, "tarvex_data/oid.json"), "oid.json holds the new frequency")
        conf = read(root, "tarvex_data/K9_DTMB.conf", "rb")
        check(len(conf) == 868 and struct.unpack_from("<I", conf, 88 + 128 + 4)[0] == 650000,
              "the parameter file holds the new frequency")
        check("AD9789 write" in read(root, "trace/spi.log")[spi_before:], "the AD9789 model is reprogrammed")

        for bad in (0, 65536):
            _, r = call("SetSubboardParam.w", psiinterval=bad,
                        portlist=[{"port": 0, "channellist": [{"channel": 0, "frequency": 650000}]}])
            _, after = call("GetSubboardParam.w")
            check(r["code"] == 774 and after["data"]["psiinterval"] == 100 and
                  after["data"]["portlist"][0]["channellist"][1]["frequency"] == 650000,
                  "psiinterval %d is refused with 774 and nothing changes" % bad)

        # The path names the command; keys in other header lines do not run.
        status, text = post("GetNIT.w", "{\"token\":\"t\",\"port\":0,\"channel\":0}",
                            headers={"Referer": "http://x/Default.w", "X-Note": "Reboot.w"})
        check(status == 200 and "defaultDelay" not in text and "delay" not in text,
              "POST /GetNIT.w with Default.w and Reboot.w in its headers runs GetNIT: " + text[:80])
        time.sleep(1)
        _, again = call("GetSubboardParam.w")
        check(proc.poll() is None and again and again["data"]["portlist"][0]["channellist"][1]["frequency"] == 650000,
              "the card neither reset to factory settings nor rebooted")

        _, r = call("WriteReg.w", address=40, value=4660)
        _, r2 = call("ReadReg.w", address=40)
        check(r["code"] == 0 and r2["data"]["value"] == 4660, "WriteReg.w/ReadReg.w round-trip a register")
        _, r3 = call("ReadReg.w", address=70000)
        check(r3["code"] == 774, "register 70000 is refused")

        _, r = call("SetModulesAndlevel.w", modulelist=[{"id": 8, "value": 0}], error=1, warning=1, info=0, debug=0)
        _, mods = call("GetModules")
        web = [m for m in mods["data"]["modulelist"] if m["id"] == 8]
        check(r["code"] == 0 and web and web[0]["value"] == 0, "SetModulesAndlevel then GetModules round-trips")
        setting = read(root, "tarvex_data/logSetting.config", "rb")
        check(len(setting) == 12 and struct.unpack("<I", setting[:4])[0] == 12
              and not (struct.unpack("<I", setting[4:8])[0] >> 8) & 1,
              "logSetting.config holds the level mask and the module mask without the web bit")

        _, log = call("GetLog.w", prelasttime=0)
        check(log["code"] == 0 and isinstance(log["data"]["log_content"], list) and log["data"]["log_content"],
              "GetLog.w returns the program log's lines")

        _, exp = call("ExportLogs.w")
        uri = exp["data"]["uri"] if exp and exp.get("data") else ""
        names = subprocess.run(["tar", "-tzf", os.path.join(root, "tarvex_app/web", uri)], capture_output=True,
                               text=True).stdout if uri else ""
        check("K9_Modulate.log" in names, "the exported archive holds the program log")

    finally:
        stop(proc)


def case_reboot(top):
    # A card whose master chip works alone reboots at once (recorded only);
    # a two-chip card first tells its slave chip.
    root = os.path.join(top, "reboot4")
    proc = start_card(root, 0, ["--slave-chip", "0"])
    try:
        try:
            _, answer = call("Reboot.w")
        except OSError as e:
            answer = str(e)
        check(answer == {"code": 0, "description": None, "data": {"delay": 70}},
              "Reboot.w answers {\"delay\":70} before the card goes down: %s" % answer)
        try:
            rc = proc.wait(10)
        except subprocess.TimeoutExpired:
            rc = None
        shell = read(root, "trace/shell.log")
        check(rc == 77 and "RECORD reboot" in shell, "Reboot.w only records a reboot, and the card goes down")
    finally:
        stop(proc)


def case_8vsb_and_board_name(top):
    root = os.path.join(top, "atsc")
    proc = start_card(root, 5)
    try:
        _, before = call("GetSubboardParam.w")
        chans = [{"channel": n, "enable": 1, "frequency": f} for n, f in enumerate((474000, 482000, 490000, 578000))]
        _, r = call("SetSubboardParam.w", psiinterval=222, channelstandard=0,
                    portlist=[{"port": 0, "channellist": chans}])
        _, after = call("GetSubboardParam.w")
        check(r["code"] == 831, "8VSB channels 72 MHz apart answer 831")
        check(after["data"]["psiinterval"] == 222, "the PSI interval changed anyway")
        check(after["data"]["portlist"] == before["data"]["portlist"], "the channel set is unchanged")
    finally:
        stop(proc)


def main():
    top = tempfile.mkdtemp(prefix="web_core.")
    try:
        case_core_and_modulation(top)
        case_8vsb_and_board_name(top)
        case_reboot(top)
    finally:
        shutil.rmtree(top, ignore_errors=True)
    print("%s" % ("FAILED %d" % failed if failed else "all passed"))
    sys.exit(1 if failed else 0)


main()

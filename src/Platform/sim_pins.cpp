// Pin-level models of the simulated board: the sysfs GPIO folder, the RF
// chips on the two bit-banged buses (decoded from pin changes) and the
// AD5321 gain DAC on I2C bus 1. Chip state lives in the board's state file,
// so every process that drives the pins sees the same chips.
#ifndef MODCARD_CARD
#include "Platform/board_state.h"
#include "Platform/platform.h"
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/i2c.h>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace simboard {

namespace {

std::mutex g_pinMutex;  // one pin change is decoded at a time in this process

// The "value" (0) and "direction" (1) files of each line. Inside a batch a
// write waits in `pending` until the thread's outermost batch ends or the
// process exits: one bus transaction changes pins thousands of times.
// `written` is what this process last put in the file: most lines end a
// transaction as they began it, and their files need no write. Guarded by
// g_pinMutex.
struct PinText {
    char text[16];
    U8 len;
    bool set;
    bool Is(std::string_view v) const { return set && v == std::string_view(text, len); }
    void Put(std::string_view v)
    {
        len = (U8)std::min(v.size(), sizeof(text));
        memcpy(text, v.data(), len);
        set = true;
    }
};
struct PinFiles {
    PinText pending[2];
    PinText written[2];
};
PinFiles g_files[256];
const char* const kAttrName[2] = {"value", "direction"};
thread_local int t_batchDepth = 0;
// Lines whose folder this process has seen; only trusted inside a batch.
bool g_lineSeen[256];

// Linux GPIO numbers of the bus lines (EMIO pin + 960) and the version pins
// (MIO pin + 906).
constexpr U32 kEmio = 960;
constexpr U32 kMio = 906;
struct BusLines {
    U32 clk, mosi, miso, dacSelect;
};
constexpr BusLines kBusLines[2] = {{kEmio + 15, kEmio + 17, kEmio + 16, kEmio + 18},
                                   {kEmio + 19, kEmio + 21, kEmio + 20, kEmio + 12}};
constexpr U32 kAdfLatch = kEmio + 13;
constexpr U32 kRfdaLatch = kEmio + 14;
constexpr U32 kHwPinFirst = kMio + 24;

const char* kGpioDir = "/sys/class/gpio";

bool LineOk(U32 n) { return n >= kGpioFirst && n < kGpioFirst + kGpioLines; }
U32 Idx(U32 n) { return n - kGpioFirst; }

std::string PinDir(U32 n) { return plat::Path(std::string(kGpioDir) + "/gpio" + std::to_string(n)); }

void WritePinFile(U32 n, int a, const PinText& t)
{
    std::string f = PinDir(n) + "/" + kAttrName[a];
    int fd = ::open(f.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    ssize_t w = ::pwrite(fd, t.text, t.len, 0);  // in place: see plat::WriteAttr
    if (w >= 0 && ::ftruncate(fd, w) != 0)
        w = -1;
    ::close(fd);
}

// Writes one waiting file back, unless it already holds that text.
void FlushOne(U32 idx, int a)
{
    PinFiles& pf = g_files[idx];
    if (!pf.pending[a].set)
        return;
    if (!pf.written[a].Is(std::string_view(pf.pending[a].text, pf.pending[a].len))) {
        WritePinFile(idx + kGpioFirst, a, pf.pending[a]);
        pf.written[a] = pf.pending[a];
    }
    pf.pending[a].set = false;
}

void FlushLocked()
{
    for (U32 i = 0; i < kGpioLines; i++)
        for (int a = 0; a < 2; a++)
            FlushOne(i, a);
}

int AttrIndex(const char* attr)
{
    if (strcmp(attr, "value") == 0)
        return 0;
    return strcmp(attr, "direction") == 0 ? 1 : -1;
}

// Replaces a file of an exported pin (never creates the pin).
void PutPinFile(U32 n, const char* name, const char* text)
{
    const int a = AttrIndex(name);
    if (t_batchDepth > 0 && a >= 0) {
        g_files[Idx(n)].pending[a].Put(text);
        return;
    }
    if (a >= 0) {
        g_files[Idx(n)].pending[a].set = false;
        g_files[Idx(n)].written[a].Put(text);
    }
    std::string f = PinDir(n) + "/" + name;
    int fd = ::open(f.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    ssize_t w = ::pwrite(fd, text, strlen(text), 0);  // in place: see plat::WriteAttr
    if (w >= 0 && ::ftruncate(fd, w) != 0)
        w = -1;
    ::close(fd);
}

// What reading the line gives while it is an input.
U32 InputLevel(const RfChipModels& m, U32 n)
{
    for (int b = 0; b < 2; b++)
        if (n == kBusLines[b].miso)
            return m.bus[b].misoLevel;
    if (n >= kHwPinFirst && n < kHwPinFirst + 3) {
        Profile* p = GetProfile();
        return (p && p->hwVersionPins[n - kHwPinFirst]) ? 1 : 0;
    }
    return m.level[Idx(n)];
}

// Keeps the "value" file showing the line's level; rewritten only on change,
// since every bus bit costs several pin writes.
void ShowLevel(RfChipModels& m, U32 n, U32 v, bool force = false)
{
    if (!force && m.shown[Idx(n)] == v)
        return;
    PutPinFile(n, "value", v ? "1\n" : "0\n");
    m.shown[Idx(n)] = (U8)v;
}

void DriveMiso(RfChipModels& m, int bus, U32 bit)
{
    m.bus[bus].misoLevel = bit;
    U32 n = kBusLines[bus].miso;
    if (!m.output[Idx(n)])
        ShowLevel(m, n, bit);
}

// ---- AD9789: 16-bit instruction (bit 15 read, bits 12-0 address), then 8
// data bits, most significant first; a read drives its data out on the
// falling clock edges that follow the instruction.
U32 DacAddr(const Ad9789Model& d) { return d.instr & (kAd9789Regs - 1); }
bool DacReading(const Ad9789Model& d) { return d.bits >= 16 && (d.instr & 0x8000) != 0; }

void DacSelect(Ad9789Model& d)
{
    d.selected = 1;
    d.bits = 0;
    d.instr = 0;
    d.data = 0;
    d.readBits = 0;
}

void DacDeselect(Ad9789Model& d, int bus)
{
    if (d.selected && d.bits != 0 && d.bits < 16)
        plat::Trace("spi.log", "bus %d AD9789 transfer cut short after %u bits", bus + 1, d.bits);
    else if (d.selected && !DacReading(d) && d.bits > 16 && d.bits < 24)
        plat::Trace("spi.log", "bus %d AD9789 write 0x%04x cut short after %u bits", bus + 1, DacAddr(d), d.bits);
    d.selected = 0;
}

void DacRise(Ad9789Model& d, int bus, U32 bit)
{
    d.bits++;
    if (d.bits <= 16) {
        d.instr = ((d.instr << 1) | bit) & 0xFFFF;
        if (d.bits == 16 && DacReading(d)) {
            d.reads++;
            plat::Trace("spi.log", "bus %d AD9789 read 0x%04x -> 0x%02x", bus + 1, DacAddr(d), d.regs[DacAddr(d)]);
        }
        return;
    }
    if (DacReading(d) || d.bits > 24)
        return;
    d.data = ((d.data << 1) | bit) & 0xFF;
    if (d.bits == 24) {
        // The write takes effect here even though the driver leaves the
        // chip selected.
        d.regs[DacAddr(d)] = (U8)d.data;
        d.writes++;
        plat::Trace("spi.log", "bus %d AD9789 write 0x%04x := 0x%02x", bus + 1, DacAddr(d), d.data);
    }
}

void DacFall(RfChipModels& m, Ad9789Model& d, int bus)
{
    if (!DacReading(d) || d.readBits >= 8)
        return;
    U32 bit = (d.regs[DacAddr(d)] >> (7 - d.readBits)) & 1;
    d.readBits++;
    DriveMiso(m, bus, bit);
}

// ---- ADF4351 and RFDA0016: bits shift in while the latch enable is low;
// its rising edge latches the last word.
void Shift(LatchedShift& s, U32 bit)
{
    s.shift = (s.shift << 1) | bit;
    s.count++;
}

void LatchAdf(Adf4351Model& p)
{
    if (p.sr.count >= 32) {
        U32 word = p.sr.shift;
        U32 r = word & 7;
        if (r < 6) {
            p.regs[r] = word;
            plat::Trace("spi.log", "bus 1 ADF4351 R%u := 0x%08x", r, word);
        } else {
            plat::Trace("spi.log", "bus 1 ADF4351 word 0x%08x names no register", word);
        }
        p.sr.latches++;
    } else if (p.sr.count != 0) {
        plat::Trace("spi.log", "bus 1 ADF4351 latch after %u bits ignored", p.sr.count);
    }
    p.sr.count = 0;
}

void LatchRfda(Rfda0016Model& a)
{
    if (a.sr.count >= 6) {
        a.value = a.sr.shift & 0x3F;
        char bits[7];
        for (int k = 0; k < 6; k++)
            bits[k] = (a.value >> (5 - k)) & 1 ? '1' : '0';
        bits[6] = '\0';
        plat::Trace("spi.log", "bus 1 RFDA0016 := 0x%02x (bits %s)", a.value, bits);
        a.sr.latches++;
    } else if (a.sr.count != 0) {
        plat::Trace("spi.log", "bus 1 RFDA0016 latch after %u bits ignored", a.sr.count);
    }
    a.sr.count = 0;
}

void Edge(RfChipModels& m, U32 n, U32 v)
{
    for (int b = 0; b < 2; b++) {
        const BusLines& l = kBusLines[b];
        Ad9789Model& dac = m.dac[b];
        if (n == l.clk) {
            if (v) {
                m.bus[b].risingEdges++;
                U32 bit = m.level[Idx(l.mosi)];
                if (dac.selected)
                    DacRise(dac, b, bit);
                if (b == 0) {
                    if (!m.level[Idx(kAdfLatch)])
                        Shift(m.pll.sr, bit);
                    if (!m.level[Idx(kRfdaLatch)])
                        Shift(m.att.sr, bit);
                }
            } else if (dac.selected) {
                DacFall(m, dac, b);
            }
            return;
        }
        if (n == l.dacSelect) {
            if (v)
                DacDeselect(dac, b);
            else
                DacSelect(dac);
            return;
        }
    }
    if (n == kAdfLatch && v)
        LatchAdf(m.pll);
    else if (n == kRfdaLatch && v)
        LatchRfda(m.att);
}

void Drive(RfChipModels& m, U32 n, U32 v)
{
    U32 old = m.level[Idx(n)];
    m.level[Idx(n)] = (U8)v;
    if (old != v)
        Edge(m, n, v);
}

void Export(RfChipModels& m, std::string_view text)
{
    char buf[32];
    size_t len = std::min(text.size(), sizeof(buf) - 1);
    memcpy(buf, text.data(), len);
    buf[len] = '\0';
    char* end = nullptr;
    unsigned long n = strtoul(buf, &end, 10);
    if (end == buf || !LineOk((U32)n))
        return;  // the kernel refuses a number that is no line
    std::string dir = PinDir((U32)n);
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
        return;
    for (const char* f : {"/direction", "/value"}) {
        int fd = ::open((dir + f).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0)
            ::close(fd);
    }
    m.output[Idx((U32)n)] = 0;
    g_lineSeen[Idx((U32)n)] = true;
    PutPinFile((U32)n, "direction", "in\n");
    ShowLevel(m, (U32)n, InputLevel(m, (U32)n), true);
}

// A write to a pin's "direction" or "value" reaches the line.
void OnAttr(RfChipModels* m, U32 n, const char* attr, std::string_view text)
{
    std::string t(text);
    while (!t.empty() && (t.back() == '\n' || t.back() == ' '))
        t.pop_back();
    if (strcmp(attr, "direction") == 0) {
        if (t == "out" || t == "low" || t == "high") {
            // "out" drives the line low, as the kernel does.
            m->output[Idx(n)] = 1;
            U32 v = t == "high" ? 1 : 0;
            ShowLevel(*m, n, v);
            Drive(*m, n, v);
        } else if (t == "in") {
            m->output[Idx(n)] = 0;
            ShowLevel(*m, n, InputLevel(*m, n));
        }
    } else if (strcmp(attr, "value") == 0) {
        if (!m->output[Idx(n)]) {
            ShowLevel(*m, n, InputLevel(*m, n), true);  // an input ignores writes
            return;
        }
        U32 v = (t.empty() || t == "0") ? 0 : 1;
        m->shown[Idx(n)] = (U8)v;  // the write itself put it in the file
        Drive(*m, n, v);
    }
}

bool ParseAttrPath(const std::string& path, unsigned* n, char (&attr)[32])
{
    return sscanf(path.c_str(), "/sys/class/gpio/gpio%u/%31s", n, attr) == 2 && LineOk(*n);
}

// The line and file index of a pin attribute path; false for any other path.
bool PinFileOf(std::string_view sysPath, unsigned* n, int* a)
{
    char attr[32] = "";
    if (sysPath.size() > 64 || !ParseAttrPath(std::string(sysPath), n, attr))
        return false;
    *a = AttrIndex(attr);
    return *a >= 0;
}

}  // namespace

void OnSysfsWrite(std::string_view sysPath, std::string_view text)
{
    RfChipModels* m = GetRfChips();
    if (m == nullptr)
        return;
    std::lock_guard<std::mutex> lk(g_pinMutex);
    std::string path(sysPath);
    if (path == std::string(kGpioDir) + "/export") {
        Export(*m, text);
        return;
    }
    unsigned n = 0;
    char attr[32] = "";
    if (!ParseAttrPath(path, &n, attr))
        return;
    g_lineSeen[Idx(n)] = true;  // its file could be opened
    const int a = AttrIndex(attr);
    if (a >= 0) {  // plat::WriteAttr wrote it
        g_files[Idx(n)].pending[a].set = false;
        g_files[Idx(n)].written[a].Put(text);
    }
    OnAttr(m, n, attr, text);
}

void PinBatch(bool bBegin)
{
    if (bBegin) {
        t_batchDepth++;
        return;
    }
    if (t_batchDepth == 0 || --t_batchDepth > 0)
        return;
    std::lock_guard<std::mutex> lk(g_pinMutex);
    FlushLocked();
}

bool DeferPinWrite(std::string_view sysPath, std::string_view text)
{
    if (t_batchDepth == 0 || text.size() > sizeof(PinText::text))
        return false;
    RfChipModels* m = GetRfChips();
    unsigned n = 0;
    int a = -1;
    if (m == nullptr || !PinFileOf(sysPath, &n, &a))
        return false;
    std::lock_guard<std::mutex> lk(g_pinMutex);
    if (!g_lineSeen[Idx(n)])
        return false;
    static bool s_atExit = [] { return atexit(FlushPinFiles) == 0; }();
    (void)s_atExit;
    // The driver's own write, then what the line makes of it.
    g_files[Idx(n)].pending[a].Put(text);
    OnAttr(m, n, kAttrName[a], text);
    return true;
}

void FlushPinFiles()
{
    std::lock_guard<std::mutex> lk(g_pinMutex);
    FlushLocked();
}

void FlushPinFile(std::string_view sysPath)
{
    unsigned n = 0;
    int a = -1;
    if (sysPath.rfind(kGpioDir, 0) != 0 || !PinFileOf(sysPath, &n, &a))
        return;
    std::lock_guard<std::mutex> lk(g_pinMutex);
    FlushOne(Idx(n), a);
}

bool ReadPinAttr(std::string_view sysPath, void* buf, size_t len, ssize_t* pn)
{
    unsigned n = 0;
    int a = -1;
    if (t_batchDepth == 0 || !PinFileOf(sysPath, &n, &a))
        return false;
    std::lock_guard<std::mutex> lk(g_pinMutex);
    const PinFiles& pf = g_files[Idx(n)];
    const PinText& t = pf.pending[a].set ? pf.pending[a] : pf.written[a];
    if (!t.set)
        return false;
    size_t k = std::min(len, (size_t)t.len);
    memcpy(buf, t.text, k);
    *pn = (ssize_t)k;
    return true;
}

bool PinLineKnown(std::string_view sysPath, bool bExists)
{
    unsigned n = 0;
    char extra = 0;
    std::string path(sysPath);
    int got = sscanf(path.c_str(), "/sys/class/gpio/gpio%u%c", &n, &extra);
    if (!(got == 1 || (got == 2 && extra == '/' && path.back() == '/')) || !LineOk(n))
        return false;
    std::lock_guard<std::mutex> lk(g_pinMutex);
    if (bExists)
        g_lineSeen[Idx(n)] = true;
    return t_batchDepth > 0 && g_lineSeen[Idx(n)];
}

// AD5321 at 7-bit address 0x0C on bus 1: two bytes, the power-down bits and
// the top four bits of the 12-bit code, then its low eight bits.
int OnI2cTransfer(U32 bus, struct ::i2c_msg* msgs, U32 count)
{
    I2cChipModels* m = GetI2cChips();
    if (m == nullptr || msgs == nullptr) {
        errno = EINVAL;
        return -1;
    }
    std::lock_guard<std::mutex> lk(g_pinMutex);
    for (U32 k = 0; k < count; k++) {
        struct ::i2c_msg& msg = msgs[k];
        if (bus != 1 || msg.addr != 0x0C || (msg.flags & I2C_M_TEN)) {
            plat::Trace("i2c.log", "bus %u address 0x%02x: no acknowledge", bus, msg.addr);
            errno = ENXIO;
            return -1;
        }
        if (msg.len != 2 || msg.buf == nullptr) {
            plat::Trace("i2c.log", "bus %u AD5321 transfer of %u bytes refused", bus, msg.len);
            errno = EIO;
            return -1;
        }
        if (msg.flags & I2C_M_RD) {
            msg.buf[0] = m->ad5321[0];
            msg.buf[1] = m->ad5321[1];
            m->reads++;
            plat::Trace("i2c.log", "bus %u AD5321 read %02x %02x", bus, msg.buf[0], msg.buf[1]);
        } else {
            m->ad5321[0] = msg.buf[0] & 0x3F;
            m->ad5321[1] = msg.buf[1];
            m->writes++;
            plat::Trace("i2c.log", "bus %u AD5321 write %02x %02x (code 0x%03x)", bus, msg.buf[0], msg.buf[1],
                        ((msg.buf[0] & 0x0F) << 8) | msg.buf[1]);
        }
    }
    return (int)count;
}

}  // namespace simboard
#endif

// Device models of the simulated board. Each reacts to one register write in
// constant time and never makes the firmware wait.
#ifndef MODCARD_CARD
#include "Platform/board_state.h"
#include "Platform/platform.h"
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace simboard {

namespace {

bool Rising(U32 oldValue, U32 value) { return oldValue == 0 && value == 1; }

// SI packet mailbox (801-804): words are staged by index (803) and value
// (804) on a write pulse of 802; a send pulse of 801 emits the record.
struct Mailbox {
    std::mutex m;
    U32 words[64] = {};
} g_mailbox;

void MailboxSend()
{
    U8 rec[196];
    {
        std::lock_guard<std::mutex> lk(g_mailbox.m);
        for (int k = 0; k < 49; k++) {
            U32 w = g_mailbox.words[k];
            rec[4 * k] = (U8)(w >> 24);
            rec[4 * k + 1] = (U8)(w >> 16);
            rec[4 * k + 2] = (U8)(w >> 8);
            rec[4 * k + 3] = (U8)w;
        }
    }
    U32 channel = rec[1];
    if (channel > 7 || rec[8] != 0x47) {
        plat::Trace("mailbox.log", "dropped record: channel %u, sync 0x%02x", channel, rec[8]);
        return;
    }
    AppendTrace("si_ch" + std::to_string(channel) + ".ts", rec + 8, 188, 188);
}

// Routing tables (768-772): 770 address, 771 bits 32-63, 772 bits 0-31,
// 769 entry strobe, 768 commit strobe. Mux entries carry 0x800 in the address.
void RoutingEntry()
{
    ModelArea* m = GetModels();
    if (!m)
        return;
    U32 addr = PeekReg(770);
    U64 entry = ((U64)PeekReg(771) << 32) | PeekReg(772);
    if (addr & 0x800) {
        if ((addr & 0x7FF) < 2048)
            m->routing.muxPending[addr & 0x7FF] = entry;
    } else if (addr < 256) {
        m->routing.bypassPending[addr] = entry;
    }
}

void RoutingCommit()
{
    ModelArea* m = GetModels();
    if (!m)
        return;
    memcpy(m->routing.muxCommitted, m->routing.muxPending, sizeof(m->routing.muxCommitted));
    memcpy(m->routing.bypassCommitted, m->routing.bypassPending, sizeof(m->routing.bypassCommitted));
    m->routing.commits++;
    plat::Trace("routing.log", "commit %u", m->routing.commits);
}

Profile* Prof() { return GetProfile(); }

// J.83 Annex B modulator cores (1816-1821): each of the four output ports has
// a register file of 256 words, kept at the start of ModelArea::fpgaCores.
// 1816 selects ports (bit n for port n), 1819 is the core address, 1820 the
// write data, a strobe of 1818 writes the selected cores and, while 1817 is
// set, 1821 shows the lowest selected port's register.
constexpr U32 kCorePorts = 4;
constexpr U32 kCoreRegs = 256;
static_assert(sizeof(U32) * kCorePorts * kCoreRegs <= sizeof(ModelArea::fpgaCores), "core register files fit");

U32* CoreRegs()
{
    ModelArea* m = GetModels();
    return m ? reinterpret_cast<U32*>(m->fpgaCores) : nullptr;
}

void CoreWrite()
{
    U32* regs = CoreRegs();
    if (!regs)
        return;
    U32 select = PeekReg(1816);
    U32 addr = PeekReg(1819) & (kCoreRegs - 1);
    U32 data = PeekReg(1820);
    for (U32 port = 0; port < kCorePorts; port++)
        if (select & (1u << port))
            regs[port * kCoreRegs + addr] = data;
}

void CoreReadPort()
{
    U32* regs = CoreRegs();
    if (!regs || PeekReg(1817) == 0)
        return;
    U32 select = PeekReg(1816) & ((1u << kCorePorts) - 1);
    if (select == 0)
        return;
    U32 port = (U32)__builtin_ctz(select);
    PokeReg(1821, regs[port * kCoreRegs + (PeekReg(1819) & (kCoreRegs - 1))]);
}

// TS-rate words: a strobe of 868 loads the word in 870 for the channel in
// 869. The loaded words of the eight channels follow the core register files.
constexpr size_t kTSRateOffset = sizeof(U32) * kCorePorts * kCoreRegs;
static_assert(kTSRateOffset + 8 * sizeof(U32) <= sizeof(ModelArea::fpgaCores), "rate words fit");

void TSRateLoad()
{
    ModelArea* m = GetModels();
    U32 channel = PeekReg(869);
    if (!m || channel >= 8)
        return;
    reinterpret_cast<U32*>(m->fpgaCores + kTSRateOffset)[channel] = PeekReg(870);
}

}  // namespace

U32 TSRateWord(U32 channel)
{
    ModelArea* m = GetModels();
    if (!m || channel >= 8)
        return 0;
    return reinterpret_cast<const U32*>(m->fpgaCores + kTSRateOffset)[channel];
}

U32 CoreRegister(U32 port, U32 reg)
{
    U32* regs = CoreRegs();
    if (!regs || port >= kCorePorts || reg >= kCoreRegs)
        return 0;
    return regs[port * kCoreRegs + reg];
}

void OnFpgaWrite(U32 reg, U32 oldValue, U32 value)
{
    switch (reg) {
    case 21:  // status LED
        if (oldValue != value)
            plat::Trace("led.log", "LED %s", value == 0 ? "RED" : value == 1 ? "GREEN" : value == 3 ? "OFF" : "?");
        break;
    case 802:
        if (Rising(oldValue, value)) {
            U32 idx = PeekReg(803);
            std::lock_guard<std::mutex> lk(g_mailbox.m);
            if (idx < 64)
                g_mailbox.words[idx] = PeekReg(804);
        }
        break;
    case 801:
        if (Rising(oldValue, value)) {
            ModelClock clock;  // only the models that reach files are timed: the clock is not free
            MailboxSend();
        }
        break;
    case 839: {  // channel select of the bit-rate counters
        Profile* p = Prof();
        U32 count = (p && value < 8) ? p->channelPackets[value] : 0;
        PokeReg(840, count);
        PokeReg(841, count);
        break;
    }
    case 836: {  // PID select of the per-PID counters (channel in 833)
        Profile* p = Prof();
        U32 count = p ? p->pidPackets : 0;
        for (U32 i = 0; p && i < sizeof(p->pidRates) / sizeof(p->pidRates[0]); i++)
            if (p->pidRates[i].used && p->pidRates[i].channel == PeekReg(833) && p->pidRates[i].pid == value)
                count = p->pidRates[i].packets;
        PokeReg(837, count);
        break;
    }
    case 835:
        if (Rising(oldValue, value))
            PokeReg(838, 0);
        break;
    case 769:
        if (Rising(oldValue, value))
            RoutingEntry();
        break;
    case 768:
        if (Rising(oldValue, value)) {
            ModelClock clock;
            RoutingCommit();
        }
        break;
    case 868:
        if (Rising(oldValue, value))
            TSRateLoad();
        break;
    case 1818:
        if (oldValue == 0 && value != 0)
            CoreWrite();
        break;
    case 1816:
    case 1817:
    case 1819:
        CoreReadPort();
        break;
    default:
        break;
    }
}

namespace {
// Zynq Ethernet controller: 0x08 network status (bit value 4: management
// idle), 0x34 PHY maintenance (clause-22 frames).
void MdioFrame(volatile U32* eth, U32 frame)
{
    ModelArea* m = GetModels();
    Profile* p = Prof();
    if (!m || !p)
        return;
    U32 op = (frame >> 28) & 3;
    U32 phy = (frame >> 23) & 0x1F;
    U32 reg = (frame >> 18) & 0x1F;
    bool marvell = p->phyType != PHY_YT8521;
    U32 pageReg = marvell ? 22 : 30;
    if (phy >= 4) {
        if (op == 2)
            eth[0x34 / 4] = (frame & 0xFFFF0000u) | 0xFFFF;
        return;
    }
    U32 page = m->mdio[phy][0][pageReg] & 7;
    if (reg == pageReg)
        page = 0;  // the page register itself is on every page
    if (op == 1) {
        if (reg == pageReg)
            for (int pg = 0; pg < 8; pg++)
                m->mdio[phy][pg][pageReg] = (U16)frame;
        else
            m->mdio[phy][page][reg] = (U16)frame;
    } else if (op == 2) {
        eth[0x34 / 4] = (frame & 0xFFFF0000u) | m->mdio[phy][page][reg];
    }
}
}  // namespace

void OnBlockWrite(U64 physBase, U32 offset, U32 oldValue, U32 value)
{
    if (physBase == kSpiPhys)
        OnSpiCtrlWrite(offset, value);
    if (physBase == kEthPhys) {
        volatile U32* eth = plat::MapPhys(kEthPhys, kBlockLen);
        if (!eth)
            return;
        if (offset == 0x34)
            MdioFrame(eth, value);
        Profile* p = Prof();
        if (offset == 0x34 && p && p->mdioNeverIdle)
            eth[0x08 / 4] = eth[0x08 / 4] & ~4u;  // a hung management interface
        else
            eth[0x08 / 4] = eth[0x08 / 4] | 4;  // the management interface is idle again at once
    }
}

}  // namespace simboard
#endif

// Fuzz target: SNMP requests of a station, as datagrams to the card's agent
// (net-snmp's agent library on its thread, as modcard runs it): GET,
// GETNEXT, GETBULK and SET of the MIB's scalars (PSI interval, reboot) and
// of the cells of baseInfoTable and settingTable, in every modulation mode,
// with values of any type and bytes. Each input starts from the same live
// set, PSI interval and mode.
//
// Input: [u8 op][u8 mode] then repeated [u8 oid][u8 row][u8 type][u8 len]
// [len bytes]: op picks the PDU (and GETBULK's repetitions), mode the
// modulation mode (low nibble % 6) and, in bits 4-5, the channel plan the set starts
// with (the names of J.83 Annex B channels exist in plans 1-3 only), oid
// the object (a scalar, a column of either table; bit 7 drops the
// instance), type the value's ASN.1 type.
#include "Comm/maccomm.h"
#include "DTMB/dtmb.h"
#include "Parameter/parameters.h"
#include "Platform/platform.h"
#include "Common/thread.h"
#include "SIprocess/SIsend.h"
#include "main/startup.h"
#include "support/fuzz_support.h"
#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr U32 kModes[] = {0, 1, 3, 4, 5, 6};
const std::vector<U32> kArc = {1, 3, 6, 1, 4, 1, 32473, 8};

int g_fd = -1;
sockaddr_in g_agent{};
TParameter_DTMB g_factory;
U16 g_psi = 0;

using Bytes = std::vector<uint8_t>;

void Len(Bytes& out, size_t n)
{
    if (n < 0x80) {
        out.push_back((uint8_t)n);
    } else if (n < 0x100) {
        out.insert(out.end(), {0x81, (uint8_t)n});
    } else {
        out.insert(out.end(), {0x82, (uint8_t)(n >> 8), (uint8_t)n});
    }
}

Bytes Tlv(uint8_t tag, const Bytes& content)
{
    Bytes out{tag};
    Len(out, content.size());
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

Bytes Int(long v)
{
    Bytes b;
    for (int i = 7; i > 0; i--) {
        int top = (int)((v >> (8 * i)) & 0xFF), next = (int)((v >> (8 * i - 1)) & 0x80);
        if (!b.empty() || !((top == 0 && next == 0) || (top == 0xFF && next == 0x80)))
            b.push_back((uint8_t)top);
    }
    b.push_back((uint8_t)v);
    return Tlv(0x02, b);
}

Bytes Oid(const std::vector<U32>& arcs)
{
    Bytes b{(uint8_t)(arcs[0] * 40 + arcs[1])};
    for (size_t i = 2; i < arcs.size(); i++) {
        U32 a = arcs[i];
        Bytes rev{(uint8_t)(a & 0x7F)};
        for (a >>= 7; a; a >>= 7)
            rev.push_back((uint8_t)(0x80 | (a & 0x7F)));
        b.insert(b.end(), rev.rbegin(), rev.rend());
    }
    return Tlv(0x06, b);
}

// The object one selector names: 0 psiInterval, 1 reboot, 2-3 baseInfoTable
// columns 1-2, 4-31 settingTable columns 0-27 (0 names none).
std::vector<U32> Object(uint8_t sel, uint8_t row)
{
    std::vector<U32> o = kArc;
    U32 k = sel & 0x1F;
    if (k == 0)
        o.insert(o.end(), {2, 1, 0});
    else if (k == 1)
        o.insert(o.end(), {10, 1, 0});
    else if (k < 4)
        o.insert(o.end(), {1, 1, 1, k - 1, (U32)(row % 10)});
    else
        o.insert(o.end(), {2, 2, 1, k - 4, (U32)(row % 10)});
    if (sel & 0x80)
        o.pop_back();
    return o;
}

void StartAgent()
{
    // An address of this process alone: fuzzers run side by side.
    unsigned pid = (unsigned)getpid();
    char addr[32];
    snprintf(addr, sizeof(addr), "127.77.%u.%u", (pid >> 8) & 0xFF, (pid & 0xFF) | 1);
    std::string conf = std::string("agentaddress udp:") + addr + ":16161\nrocommunity public 127.0.0.0/8\n"
                       "rwcommunity private 127.0.0.0/8\n";
    plat::MakeDirs("/tarvex_app/app");
    plat::WriteFileAtomic("/tarvex_app/app/snmpd.conf", conf.data(), conf.size(), false);
    pthread_t t;
    if (pthread_create(&t, nullptr, Snmpd_Server, nullptr) != 0)
        abort();
    pthread_detach(t);
    g_fd = socket(AF_INET, SOCK_DGRAM, 0);
    timeval tv{1, 0};
    setsockopt(g_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    g_agent.sin_family = AF_INET;
    g_agent.sin_port = htons(16161);
    inet_pton(AF_INET, addr, &g_agent.sin_addr);
}

// Sends one request and waits for its own answer (false: none came). An
// answer of an earlier request (the start-up's polls answered late) is
// skipped: taking it would end the input before the agent has handled it.
bool Exchange(const Bytes& msg, int reqId)
{
    if (sendto(g_fd, msg.data(), msg.size(), 0, reinterpret_cast<sockaddr*>(&g_agent), sizeof(g_agent)) < 0)
        return false;
    Bytes id = Int(reqId);
    uint8_t buf[65536];
    for (int i = 0; i < 8; i++) {
        ssize_t n = recv(g_fd, buf, sizeof(buf), 0);
        if (n <= 0)
            return false;
        if (std::search(buf, buf + n, id.begin(), id.end()) != buf + n)
            return true;
    }
    return false;
}

Bytes Request(uint8_t pduTag, const char* community, int reqId, long a, long b, const Bytes& binds)
{
    Bytes pdu = Int(reqId), t = Int(a), u = Int(b), l = Tlv(0x30, binds);
    pdu.insert(pdu.end(), t.begin(), t.end());
    pdu.insert(pdu.end(), u.begin(), u.end());
    pdu.insert(pdu.end(), l.begin(), l.end());
    Bytes msg = Int(1), c = Tlv(0x04, Bytes(community, community + strlen(community))), p = Tlv(pduTag, pdu);
    msg.insert(msg.end(), c.begin(), c.end());
    msg.insert(msg.end(), p.begin(), p.end());
    return Tlv(0x30, msg);
}

}  // namespace

void FuzzSetUp()
{
    // The set's apply prints to the console on every SET.
    if (freopen("/dev/null", "w", stdout) == nullptr)
        abort();
    SLAVE_CHIP_IS_EXIST = 0;
    PARAMS_InitParametersSem();
    Master_PARAMS_Factory();
    g_factory = *GetDTMBPara_Handle();
    TSP_GetPSIInterval(&g_psi);
    StartAgent();
    // The agent answers once it is up.
    for (int i = 0; i < 100; i++) {
        Bytes vb = Oid({1, 3, 6, 1, 2, 1, 1, 3, 0});
        vb.insert(vb.end(), {0x05, 0x00});
        if (Exchange(Request(0xA0, "public", 1, 0, 0, Tlv(0x30, vb)), 1))
            return;
        usleep(100000);
    }
    fprintf(stderr, "the agent does not answer\n");
    abort();
}

void FuzzSeeds(std::vector<FuzzInput>& seeds)
{
    // GET of row 1's first columns; SET of a frequency and a channel name; a walk step.
    seeds.push_back({0, 3, 4, 1, 2, 0, 5, 1, 2, 0, 8, 1, 2, 0, 0, 0, 2, 0, 2, 1, 2, 0});
    seeds.push_back({2, 1, 8, 1, 0, 3, 0x07, 0x3B, 0x10, 12, 1, 0, 1, 2});
    seeds.push_back({2, 4, 20, 1, 1, 9, 'C', 'H', '2', '-', '5', '7', 'M', 'H', 'z', 0, 0, 0, 1, 100});
    seeds.push_back({1, 2, 0x84, 0, 2, 0});
    // Channel names: J.83 Annex B (column 16) in the standard cable plan, by
    // name and by its frequency part, and 8VSB (column 26) in the off-air
    // plan, one too close to channel 1, then enabling a plan channel
    // (column 3) and choosing a plan (column 25).
    seeds.push_back({2, 3 | 1 << 4, 20, 1, 1, 9, 'C', 'H', '2', '-', '5', '7', 'M', 'H', 'z', 20, 3, 1, 3, '6', '5', '1'});
    seeds.push_back({2, 5, 30, 1, 1, 9, 'C', 'H', '4', '-', '6', '9', 'M', 'H', 'z', 30, 2, 1, 2, '6', '3'});
    seeds.push_back({2, 5 | 3 << 4, 30, 5, 1, 6, '4', '7', '1', '.', '7', '5', 7, 1, 0, 1, 1, 29, 1, 0, 1, 2});
    seeds.push_back({0x3B, 5, 0x84, 0, 2, 0, 0x82, 0, 2, 0});
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const uint8_t kTypes[] = {0x02, 0x04, 0x05, 0x06, 0x40, 0x41, 0x42, 0x43, 0x46};
    static const uint8_t kPdus[] = {0xA0, 0xA1, 0xA3, 0xA5};
    FuzzReader r(data, size);
    uint8_t op = r.U8(), mode = r.U8();
    {
        CARD_STATE_LOCK();
        g_u32ModulationMode = kModes[(mode & 0x0F) % 6];
        *GetDTMBPara_Handle() = g_factory;
        GetDTMBPara_Handle()->u32ATSCChannelMode = (mode >> 4) & 3;
        TSP_SetPSIInterval(g_psi);
    }
    Bytes binds;
    for (int n = 0; n < 16 && r.Left() > 0; n++) {
        uint8_t sel = r.U8(), row = r.U8(), type = kTypes[r.U8() % sizeof(kTypes)];
        FuzzInput value = r.Bytes(r.U8());
        // Values are well-formed BER (a malformed one never reaches the MIB).
        long num = 0;
        for (size_t i = 0; i < value.size() && i < 8; i++)
            num = (long)((unsigned long)num << 8 | value[i]);
        Bytes v;
        switch (type) {
        case 0x02: v = Int(num); break;
        case 0x04: v = Tlv(type, value); break;
        case 0x05: v = {0x05, 0x00}; break;
        case 0x06: {
            std::vector<U32> arcs{1, 3};
            arcs.insert(arcs.end(), value.begin(), value.end());
            v = Oid(arcs);
            break;
        }
        case 0x40: value.resize(4); v = Tlv(type, value); break;
        default:
            // Unsigned: a 32-bit value (64 for Counter64), as INTEGER content.
            v = Int(type == 0x46 ? (long)((unsigned long)num >> 1) : (long)(num & 0xFFFFFFFFl));
            v[0] = type;
        }
        // A reboot := 0 would end the process (the card reboots).
        if ((op & 3) == 2 && (sel & 0x9F) == 1 && type == 0x02 && (value.empty() || value == FuzzInput(value.size(), 0)))
            v = Int(1);
        Bytes vb = Oid(Object(sel, row));
        vb.insert(vb.end(), v.begin(), v.end());
        Bytes one = Tlv(0x30, vb);
        binds.insert(binds.end(), one.begin(), one.end());
    }
    static int reqId = 100;
    bool set = (op & 3) == 2;
    // GETBULK: no non-repeaters, up to 15 repetitions.
    long repeat = (op & 3) == 3 ? (op >> 2) % 16 : 0;
    ++reqId;
    Exchange(Request(kPdus[op & 3], set ? "private" : "public", reqId, 0, repeat, binds), reqId);
    return 0;
}

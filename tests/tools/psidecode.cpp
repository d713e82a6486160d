// psidecode: an independent check of PSI/SI sections, built on libdvbpsi.
//
//   psidecode --sections FILE   sections back to back (as the codec writes them)
//   psidecode --ts FILE         188-byte transport stream packets
//
// Prints one line per section seen ("SECTION ... crc=ok|bad|none") and one
// block per table that libdvbpsi decoded, in "KEYWORD key=value ..." lines.
// Exit status 0 when the input could be read, 2 on a usage or file error.
// Knows nothing of the firmware: only the standards and the library.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>
#include <stdbool.h>

extern "C" {
#include <dvbpsi/dvbpsi.h>
#include <dvbpsi/psi.h>
#include <dvbpsi/descriptor.h>
#include <dvbpsi/demux.h>
#include <dvbpsi/pat.h>
#include <dvbpsi/pmt.h>
#include <dvbpsi/cat.h>
#include <dvbpsi/sdt.h>
#include <dvbpsi/nit.h>
#include <dvbpsi/tot.h>
#include <dvbpsi/atsc_mgt.h>
#include <dvbpsi/atsc_vct.h>
#include <dvbpsi/atsc_stt.h>
}

namespace {

uint32_t Crc32Mpeg(const uint8_t* p, size_t n)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; i++) {
        crc ^= (uint32_t)p[i] << 24;
        for (int b = 0; b < 8; b++)
            crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return crc;
}

std::string Hex(const uint8_t* p, size_t n)
{
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; i++) {
        snprintf(b, sizeof(b), "%02x", p[i]);
        s += b;
    }
    return s.empty() ? "-" : s;
}

std::string Quote(const uint8_t* p, size_t n)
{
    std::string s = "\"";
    char b[5];
    for (size_t i = 0; i < n; i++) {
        if (p[i] >= 0x20 && p[i] < 0x7F && p[i] != '"' && p[i] != '\\') {
            s += (char)p[i];
        } else {
            snprintf(b, sizeof(b), "\\x%02x", p[i]);
            s += b;
        }
    }
    return s + "\"";
}

void PrintDescriptors(const char* owner, dvbpsi_descriptor_t* d)
{
    for (; d != nullptr; d = d->p_next) {
        printf("DESC owner=%s tag=0x%02x len=%u data=%s\n", owner, d->i_tag, d->i_length,
               Hex(d->p_data, d->i_length).c_str());
        const uint8_t* b = d->p_data;
        unsigned n = d->i_length;
        if (d->i_tag == 0x48 && n >= 3) {  // service_descriptor
            unsigned pl = b[1];
            if (2 + pl + 1 <= n) {
                unsigned sl = b[2 + pl];
                if (3 + pl + sl <= n)
                    printf("SERVICE_DESC type=0x%02x provider=%s name=%s\n", b[0], Quote(b + 2, pl).c_str(),
                           Quote(b + 3 + pl, sl).c_str());
            }
        } else if (d->i_tag == 0x09 && n >= 4) {  // CA_descriptor
            printf("CA_DESC system=0x%04x pid=%u private=%s\n", (b[0] << 8) | b[1], ((b[2] & 0x1F) << 8) | b[3],
                   Hex(b + 4, n - 4).c_str());
        } else if (d->i_tag == 0xA1 && n >= 3) {  // service_location_descriptor
            unsigned cnt = b[2];
            printf("SLD pcr_pid=%u elements=%u\n", ((b[0] & 0x1F) << 8) | b[1], cnt);
            for (unsigned i = 0; i < cnt && 3 + 6 * (i + 1) <= n; i++) {
                const uint8_t* e = b + 3 + 6 * i;
                printf("SLD_ELEMENT type=0x%02x pid=%u lang=%s\n", e[0], ((e[1] & 0x1F) << 8) | e[2],
                       Quote(e + 3, 3).c_str());
            }
        } else if (d->i_tag == 0x58) {  // local_time_offset_descriptor
            for (unsigned i = 0; i + 13 <= n; i += 13) {
                const uint8_t* e = b + i;
                printf("LTO country=%s region=%u polarity=%u offset=0x%04x change=%s next=0x%04x\n",
                       Quote(e, 3).c_str(), e[3] >> 2, e[3] & 1, (e[4] << 8) | e[5], Hex(e + 6, 5).c_str(),
                       (e[11] << 8) | e[12]);
            }
        }
    }
}

// ---- table callbacks -----------------------------------------------------
void OnPAT(void*, dvbpsi_pat_t* pat)
{
    printf("PAT ts_id=%u version=%u current=%d\n", pat->i_ts_id, pat->i_version, pat->b_current_next);
    for (dvbpsi_pat_program_t* p = pat->p_first_program; p; p = p->p_next)
        printf("PAT_PROGRAM number=%u pid=%u\n", p->i_number, p->i_pid);
    dvbpsi_pat_delete(pat);
}

void OnPMT(void*, dvbpsi_pmt_t* pmt)
{
    printf("PMT program=%u version=%u current=%d pcr_pid=%u\n", pmt->i_program_number, pmt->i_version,
           pmt->b_current_next, pmt->i_pcr_pid);
    PrintDescriptors("pmt", pmt->p_first_descriptor);
    for (dvbpsi_pmt_es_t* es = pmt->p_first_es; es; es = es->p_next) {
        printf("PMT_ES program=%u type=0x%02x pid=%u\n", pmt->i_program_number, es->i_type, es->i_pid);
        PrintDescriptors("es", es->p_first_descriptor);
    }
    dvbpsi_pmt_delete(pmt);
}

void OnCAT(void*, dvbpsi_cat_t* cat)
{
    printf("CAT version=%u current=%d\n", cat->i_version, cat->b_current_next);
    PrintDescriptors("cat", cat->p_first_descriptor);
    dvbpsi_cat_delete(cat);
}

void OnSDT(void*, dvbpsi_sdt_t* sdt)
{
    printf("SDT table_id=0x%02x ts_id=%u onid=%u version=%u current=%d\n", sdt->i_table_id, sdt->i_extension,
           sdt->i_network_id, sdt->i_version, sdt->b_current_next);
    for (dvbpsi_sdt_service_t* s = sdt->p_first_service; s; s = s->p_next) {
        printf("SDT_SERVICE id=%u eit_schedule=%d eit_pf=%d running=%u free_ca=%d\n", s->i_service_id,
               s->b_eit_schedule, s->b_eit_present, s->i_running_status, s->b_free_ca);
        PrintDescriptors("service", s->p_first_descriptor);
    }
    dvbpsi_sdt_delete(sdt);
}

void OnNIT(void*, dvbpsi_nit_t* nit)
{
    printf("NIT table_id=0x%02x network_id=%u version=%u current=%d\n", nit->i_table_id, nit->i_network_id,
           nit->i_version, nit->b_current_next);
    PrintDescriptors("network", nit->p_first_descriptor);
    for (dvbpsi_nit_ts_t* t = nit->p_first_ts; t; t = t->p_next) {
        printf("NIT_TS ts_id=%u onid=%u\n", t->i_ts_id, t->i_orig_network_id);
        PrintDescriptors("nit_ts", t->p_first_descriptor);
    }
    dvbpsi_nit_delete(nit);
}

void OnTOT(void*, dvbpsi_tot_t* tot)
{
    printf("%s utc=0x%010llx\n", tot->i_table_id == 0x70 ? "TDT" : "TOT", (unsigned long long)tot->i_utc_time);
    PrintDescriptors("tot", tot->p_first_descriptor);
    dvbpsi_tot_delete(tot);
}

void OnMGT(void*, dvbpsi_atsc_mgt_t* mgt)
{
    printf("MGT version=%u current=%d protocol=%u\n", mgt->i_version, mgt->b_current_next, mgt->i_protocol);
    for (dvbpsi_atsc_mgt_table_t* t = mgt->p_first_table; t; t = t->p_next)
        printf("MGT_TABLE type=0x%04x pid=%u version=%u bytes=%u\n", t->i_table_type, t->i_table_type_pid,
               t->i_table_type_version, t->i_number_bytes);
    PrintDescriptors("mgt", mgt->p_first_descriptor);
    dvbpsi_atsc_DeleteMGT(mgt);
}

void OnVCT(void*, dvbpsi_atsc_vct_t* vct)
{
    printf("VCT table_id=0x%02x ts_id=%u version=%u current=%d cable=%d\n", vct->i_table_id, vct->i_extension,
           vct->i_version, vct->b_current_next, vct->b_cable_vct);
    for (dvbpsi_atsc_vct_channel_t* c = vct->p_first_channel; c; c = c->p_next) {
        std::string name;
        for (int i = 0; i < 7; i++) {
            unsigned u = (c->i_short_name[2 * i] << 8) | c->i_short_name[2 * i + 1];
            if (u == 0)
                break;
            name += (u >= 0x20 && u < 0x7F) ? (char)u : '?';
        }
        printf("VCT_CHANNEL name=\"%s\" major=%u minor=%u modulation=%u frequency=%u tsid=%u program=%u etm=%u "
               "access=%d hidden=%d hide_guide=%d path=%d oob=%d service_type=%u source_id=%u\n",
               name.c_str(), c->i_major_number, c->i_minor_number, c->i_modulation, c->i_carrier_freq,
               c->i_channel_tsid, c->i_program_number, c->i_etm_location, c->b_access_controlled, c->b_hidden,
               c->b_hide_guide, c->b_path_select, c->b_out_of_band, c->i_service_type, c->i_source_id);
        PrintDescriptors("channel", c->p_first_descriptor);
    }
    PrintDescriptors("vct", vct->p_first_descriptor);
    dvbpsi_atsc_DeleteVCT(vct);
}

void OnSTT(void*, dvbpsi_atsc_stt_t* stt)
{
    printf("STT system_time=%u gps_utc_offset=%u daylight=0x%04x\n", stt->i_system_time, stt->i_gps_utc_offset,
           stt->i_daylight_savings);
    dvbpsi_atsc_DeleteSTT(stt);
}

void OnMessage(dvbpsi_t*, const dvbpsi_msg_level_t level, const char* msg)
{
    fprintf(stderr, "libdvbpsi(%d): %s\n", (int)level, msg);
}

// ---- one PID ---------------------------------------------------------------
struct Subtable {
    uint8_t id;
    uint16_t ext;
};

struct Stream {
    dvbpsi_t* h = nullptr;
    int kind = 0;  // 0 none, 1 PAT, 2 CAT, 3 PMT, 4 demux
    std::vector<Subtable> subs;
    std::vector<uint8_t> sec;  // own reassembly, for the SECTION lines
    bool collecting = false;
    uint8_t cc = 0;
};

std::map<unsigned, Stream> g_streams;

void OnNewSubtable(dvbpsi_t* h, uint8_t id, uint16_t ext, void* data)
{
    Stream* s = static_cast<Stream*>(data);
    bool ok = false;
    if (id == 0x40 || id == 0x41)
        ok = dvbpsi_nit_attach(h, id, ext, OnNIT, nullptr);
    else if (id == 0x42 || id == 0x46)
        ok = dvbpsi_sdt_attach(h, id, ext, OnSDT, nullptr);
    else if (id == 0x70 || id == 0x73)
        ok = dvbpsi_tot_attach(h, id, ext, OnTOT, nullptr);
    else if (id == 0xC7)
        ok = dvbpsi_atsc_AttachMGT(h, id, ext, OnMGT, nullptr);
    else if (id == 0xC8 || id == 0xC9)
        ok = dvbpsi_atsc_AttachVCT(h, id, ext, OnVCT, nullptr);
    else if (id == 0xCD)
        ok = dvbpsi_atsc_AttachSTT(h, id, ext, OnSTT, nullptr);
    if (ok)
        s->subs.push_back({id, ext});
}

void Attach(Stream& s, uint8_t tableId, uint16_t ext)
{
    s.h = dvbpsi_new(OnMessage, DVBPSI_MSG_WARN);
    if (tableId == 0x00) {
        s.kind = 1;
        dvbpsi_pat_attach(s.h, OnPAT, nullptr);
    } else if (tableId == 0x01) {
        s.kind = 2;
        dvbpsi_cat_attach(s.h, OnCAT, nullptr);
    } else if (tableId == 0x02) {
        s.kind = 3;
        dvbpsi_pmt_attach(s.h, ext, OnPMT, nullptr);
    } else {
        s.kind = 4;
        dvbpsi_AttachDemux(s.h, OnNewSubtable, &s);
    }
}

void Release(Stream& s)
{
    if (s.h == nullptr)
        return;
    switch (s.kind) {
    case 1: dvbpsi_pat_detach(s.h); break;
    case 2: dvbpsi_cat_detach(s.h); break;
    case 3: dvbpsi_pmt_detach(s.h); break;
    case 4:
        for (const Subtable& t : s.subs) {
            if (t.id == 0x40 || t.id == 0x41)
                dvbpsi_nit_detach(s.h, t.id, t.ext);
            else if (t.id == 0x42 || t.id == 0x46)
                dvbpsi_sdt_detach(s.h, t.id, t.ext);
            else if (t.id == 0x70 || t.id == 0x73)
                dvbpsi_tot_detach(s.h, t.id, t.ext);
            else if (t.id == 0xC7)
                dvbpsi_atsc_DetachMGT(s.h, t.id, t.ext);
            else if (t.id == 0xC8 || t.id == 0xC9)
                dvbpsi_atsc_DetachVCT(s.h, t.id, t.ext);
            else if (t.id == 0xCD)
                dvbpsi_atsc_DetachSTT(s.h, t.id, t.ext);
        }
        dvbpsi_DetachDemux(s.h);
        break;
    }
    dvbpsi_delete(s.h);
    s.h = nullptr;
}

void ReportSection(unsigned pid, const uint8_t* p, size_t len)
{
    uint8_t tid = p[0];
    bool syntax = (p[1] & 0x80) != 0;
    const char* crc = "none";
    if (syntax || tid == 0x73)
        crc = Crc32Mpeg(p, len) == 0 ? "ok" : "bad";
    if (syntax && len >= 8)
        printf("SECTION pid=%u table_id=0x%02x length=%zu ext=%u version=%u number=%u last=%u crc=%s\n", pid, tid,
               len, (p[3] << 8) | p[4], (p[5] >> 1) & 0x1F, p[6], p[7], crc);
    else
        printf("SECTION pid=%u table_id=0x%02x length=%zu crc=%s\n", pid, tid, len, crc);
}

// Reassembles sections from the payload bytes (for the SECTION lines).
void Collect(unsigned pid, Stream& s, const uint8_t* pl, size_t n, bool pusi)
{
    size_t i = 0;
    if (pusi) {
        if (n == 0)
            return;
        size_t ptr = pl[0];
        i = 1;
        if (s.collecting)
            s.sec.insert(s.sec.end(), pl + 1, pl + 1 + (ptr < n - 1 ? ptr : n - 1));
        if (s.collecting && s.sec.size() >= 3) {
            size_t len = (((s.sec[1] & 0x0F) << 8) | s.sec[2]) + 3u;
            if (s.sec.size() >= len)
                ReportSection(pid, s.sec.data(), len);
        }
        s.collecting = false;
        s.sec.clear();
        i = 1 + ptr;
        if (i >= n || pl[i] == 0xFF)
            return;
        s.collecting = true;
    } else if (!s.collecting) {
        return;
    }
    while (i < n) {
        s.sec.push_back(pl[i++]);
        if (s.sec.size() >= 3) {
            size_t len = (((s.sec[1] & 0x0F) << 8) | s.sec[2]) + 3u;
            if (s.sec.size() == len) {
                ReportSection(pid, s.sec.data(), len);
                s.sec.clear();
                if (i >= n || pl[i] == 0xFF) {
                    s.collecting = false;
                    return;
                }
            }
        }
    }
}

void Packet(uint8_t* pkt)
{
    if (pkt[0] != 0x47) {
        printf("BAD_SYNC\n");
        return;
    }
    unsigned pid = ((pkt[1] & 0x1F) << 8) | pkt[2];
    bool pusi = (pkt[1] & 0x40) != 0;
    unsigned afc = (pkt[3] >> 4) & 3;
    if (!(afc & 1))
        return;
    size_t off = 4;
    if (afc == 3)
        off += 1 + pkt[4];
    if (off >= 188)
        return;
    Stream& s = g_streams[pid];
    if (s.h == nullptr) {
        if (!pusi)
            return;
        size_t t = off + 1 + pkt[off];
        if (t + 5 > 188)
            return;
        Attach(s, pkt[t], (uint16_t)((pkt[t + 3] << 8) | pkt[t + 4]));
    }
    Collect(pid, s, pkt + off, 188 - off, pusi);
    dvbpsi_packet_push(s.h, pkt);
}

bool ReadFile(const char* path, std::vector<uint8_t>& out)
{
    FILE* f = fopen(path, "rb");
    if (f == nullptr)
        return false;
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
        out.insert(out.end(), buf, buf + n);
    fclose(f);
    return true;
}

// A PID for each kind of section, so that each reaches its own decoder.
unsigned PidFor(const uint8_t* sec, std::map<unsigned, unsigned>& pmtPids)
{
    uint8_t tid = sec[0];
    switch (tid) {
    case 0x00: return 0x0000;
    case 0x01: return 0x0001;
    case 0x02: {
        unsigned prog = (sec[3] << 8) | sec[4];
        auto it = pmtPids.find(prog);
        if (it == pmtPids.end())
            it = pmtPids.emplace(prog, 0x1000 + (unsigned)pmtPids.size()).first;
        return it->second;
    }
    case 0x40: case 0x41: return 0x0010;
    case 0x42: case 0x46: return 0x0011;
    case 0x70: case 0x73: return 0x0014;
    case 0xC7: case 0xC8: case 0xC9: case 0xCD: return 0x1FFB;
    default: return 0x1FF0;
    }
}

void SectionsToPackets(const std::vector<uint8_t>& data)
{
    std::map<unsigned, unsigned> pmtPids;
    std::map<unsigned, uint8_t> ccs;
    size_t pos = 0;
    while (pos < data.size()) {
        if (data[pos] == 0xFF)
            break;
        if (pos + 3 > data.size()) {
            printf("TRUNCATED offset=%zu\n", pos);
            break;
        }
        size_t len = (((data[pos + 1] & 0x0F) << 8) | data[pos + 2]) + 3u;
        if (pos + len > data.size()) {
            printf("TRUNCATED offset=%zu\n", pos);
            break;
        }
        unsigned pid = PidFor(&data[pos], pmtPids);
        size_t done = 0;
        while (done < len) {
            uint8_t pkt[188];
            memset(pkt, 0xFF, sizeof(pkt));
            pkt[0] = 0x47;
            pkt[1] = (uint8_t)(((pid >> 8) & 0x1F) | (done == 0 ? 0x40 : 0));
            pkt[2] = (uint8_t)pid;
            pkt[3] = (uint8_t)(0x10 | (ccs[pid]++ & 0x0F));
            size_t at = 4;
            if (done == 0)
                pkt[at++] = 0;
            size_t take = len - done < 188 - at ? len - done : 188 - at;
            memcpy(pkt + at, &data[pos + done], take);
            done += take;
            Packet(pkt);
        }
        pos += len;
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3 || (strcmp(argv[1], "--sections") != 0 && strcmp(argv[1], "--ts") != 0)) {
        fprintf(stderr, "usage: %s --sections FILE | --ts FILE\n", argv[0]);
        return 2;
    }
    std::vector<uint8_t> data;
    if (!ReadFile(argv[2], data)) {
        fprintf(stderr, "cannot read %s\n", argv[2]);
        return 2;
    }
    if (strcmp(argv[1], "--ts") == 0) {
        for (size_t pos = 0; pos + 188 <= data.size(); pos += 188)
            Packet(&data[pos]);
    } else {
        SectionsToPackets(data);
    }
    for (auto& it : g_streams)
        Release(it.second);
    return 0;
}

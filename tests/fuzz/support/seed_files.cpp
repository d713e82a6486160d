// Builders of the tar members and the OID dump that seed the archive,
// image, configuration-import and OID-dump targets.
#include "support/seed_files.h"
#include <cstdio>

namespace {

void Octal(FuzzInput& h, size_t off, size_t width, unsigned long long v)
{
    char text[24];
    snprintf(text, sizeof(text), "%0*llo", (int)width - 1, v);
    memcpy(h.data() + off, text, width - 1);
}

void Append(FuzzInput& to, const FuzzInput& v) { to.insert(to.end(), v.begin(), v.end()); }

void PutLE(FuzzInput& to, uint32_t v, int bytes)
{
    for (int i = 0; i < bytes; i++)
        to.push_back((uint8_t)(v >> (8 * i)));
}

}  // namespace

FuzzInput FuzzTarMember(const std::string& name, char type, const std::string& data, bool gnu,
                        const std::string& prefix)
{
    FuzzInput h(512, 0);
    memcpy(h.data(), name.data(), name.size() < 100 ? name.size() : 100);
    Octal(h, 100, 8, type == '5' ? 0755 : 0644);
    Octal(h, 108, 8, 0);
    Octal(h, 116, 8, 0);
    Octal(h, 124, 12, data.size());
    Octal(h, 136, 12, 0);
    h[156] = (uint8_t)type;
    memcpy(h.data() + 257, gnu ? "ustar  " : "ustar\0" "00", 8);
    if (!gnu)
        memcpy(h.data() + 345, prefix.data(), prefix.size() < 155 ? prefix.size() : 155);
    unsigned sum = 0;
    for (size_t i = 0; i < h.size(); i++)
        sum += (i >= 148 && i < 156) ? ' ' : h[i];
    snprintf(reinterpret_cast<char*>(h.data() + 148), 8, "%06o", sum);
    h[155] = ' ';
    h.insert(h.end(), data.begin(), data.end());
    h.resize((h.size() + 511) / 512 * 512, 0);
    return h;
}

FuzzInput FuzzTarEnd() { return FuzzInput(1024, 0); }

FuzzInput FuzzOidDump()
{
    FuzzInput d{0xFF, 0xFF};
    auto record = [&](uint32_t key, uint16_t count, uint16_t unit, const FuzzInput& values) {
        PutLE(d, key, 4);
        PutLE(d, count, 2);
        PutLE(d, unit, 2);
        Append(d, values);
    };
    record(0xDE, 1, 4, {2, 0, 0, 0});
    record(0x5F, 2, 1, {1, 1});
    record(0x61, 2, 2, {0, 0, 1, 0});
    record(0xD1, 1, 4, {'a', 'b', 'c', 'd'});
    record(0xDD, 1, 32, FuzzInput(32, 0));
    record(0x00, 1, 1, {1});
    return d;
}

// Tar archives are checked member by member before anything unpacks them:
// a link, a device file, an absolute name or a ".." component could make
// the unpacking write outside its folder.
#include "archive.h"
#include "Platform/platform.h"
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <string_view>

namespace plat::detail {

namespace {

constexpr size_t kBlock = 512;
constexpr unsigned long long kMaxNameRecord = 1u << 20;  // long-name and pax records

// An octal number field; false for base-256 or garbage.
bool Octal(const char* p, size_t n, unsigned long long* out)
{
    unsigned long long v = 0;
    size_t i = 0;
    while (i < n && (p[i] == ' ' || p[i] == '\0'))
        i++;
    bool any = false;
    for (; i < n && p[i] >= '0' && p[i] <= '7'; i++) {
        v = v * 8 + (unsigned)(p[i] - '0');
        any = true;
        if (v > (1ull << 40))
            return false;
    }
    for (; i < n; i++)
        if (p[i] != ' ' && p[i] != '\0')
            return false;
    *out = v;
    return any;
}

bool NameSafe(std::string_view name)
{
    if (name.empty() || name[0] == '/')
        return false;
    size_t pos = 0;
    while (pos <= name.size()) {
        size_t end = name.find('/', pos);
        if (end == std::string_view::npos)
            end = name.size();
        if (name.substr(pos, end - pos) == "..")
            return false;
        pos = end + 1;
    }
    return true;
}

std::string Field(const char* p, size_t n)
{
    return std::string(p, strnlen(p, n));
}

// Records of a pax header: "<len> <key>=<value>\n". path replaces the next
// member's name; a link target or an unreadable record refuses the archive.
bool PaxHeader(std::string_view data, std::string* path)
{
    size_t pos = 0;
    while (pos < data.size()) {
        size_t sp = data.find(' ', pos);
        if (sp == std::string_view::npos)
            return false;
        size_t len = 0;
        for (size_t i = pos; i < sp; i++) {
            if (data[i] < '0' || data[i] > '9' || len > data.size())
                return false;
            len = len * 10 + (size_t)(data[i] - '0');
        }
        if (len == 0 || len > data.size() - pos || data[pos + len - 1] != '\n')
            return false;
        std::string_view rec = data.substr(sp + 1, pos + len - 1 - (sp + 1));
        size_t eq = rec.find('=');
        if (eq == std::string_view::npos)
            return false;
        std::string_view key = rec.substr(0, eq);
        if (key == "path")
            *path = std::string(rec.substr(eq + 1));
        else if (key == "linkpath")
            return false;
        pos += len;
    }
    return true;
}

}  // namespace

// Reads the archive member by member, keeping only the headers and the
// small records that name members, so a large image costs no memory.
bool TarStreamSafe(FILE* in)
{
    std::string longName, paxPath;
    char h[kBlock];
    for (;;) {
        size_t got = fread(h, 1, kBlock, in);
        if (got == 0)
            return true;  // ends at a block boundary
        if (got != kBlock)
            return false;  // a header cut short
        bool zero = true;
        for (size_t i = 0; i < kBlock && zero; i++)
            zero = h[i] == 0;
        if (zero)
            return true;  // end of archive
        unsigned long long sum = 0, stored = 0, size = 0;
        for (size_t i = 0; i < kBlock; i++)
            sum += (i >= 148 && i < 156) ? (unsigned char)' ' : (unsigned char)h[i];
        if (!Octal(h + 148, 8, &stored) || stored != sum || !Octal(h + 124, 12, &size))
            return false;
        unsigned long long dataLen = (size + kBlock - 1) / kBlock * kBlock;
        char type = h[156];
        bool named = type == 'L' || type == 'x' || type == 'g';
        std::string data;
        if (named) {
            if (size > kMaxNameRecord)
                return false;
            data.resize((size_t)dataLen);
            if (fread(data.data(), 1, data.size(), in) != data.size())
                return false;
            data.resize((size_t)size);
        } else {
            char skip[4096];
            for (unsigned long long left = dataLen; left > 0;) {
                size_t n = (size_t)std::min<unsigned long long>(left, sizeof(skip));
                if (fread(skip, 1, n, in) != n)
                    return false;  // cut short
                left -= n;
            }
        }
        if (type == 'L') {  // long name of the next member
            longName = Field(data.data(), data.size());
            continue;
        }
        if (type == 'x' || type == 'g') {
            std::string p;
            if (!PaxHeader(data, &p))
                return false;
            if (type == 'g' && !p.empty())
                return false;  // a name for every later member
            if (!p.empty())
                paxPath = p;
            continue;
        }
        std::string name = Field(h, 100);
        if (memcmp(h + 257, "ustar", 5) == 0 && h[345] != '\0')
            name = Field(h + 345, 155) + "/" + name;
        if (!longName.empty())
            name = longName;
        if (!paxPath.empty())
            name = paxPath;
        longName.clear();
        paxPath.clear();
        bool regular = type == '0' || type == '\0' || type == '7';
        bool folder = type == '5';
        if (!(regular || folder) || !NameSafe(name))
            return false;
    }
}

bool TarDataSafe(const std::string& tar)
{
    if (tar.empty())
        return true;
    FILE* f = fmemopen(const_cast<char*>(tar.data()), tar.size(), "rb");
    if (f == nullptr)
        return false;
    bool ok = TarStreamSafe(f);
    fclose(f);
    return ok;
}

bool TarFileSafe(const std::string& realPath)
{
    FILE* f = fopen(realPath.c_str(), "rb");
    if (f == nullptr)
        return false;
    int c0 = fgetc(f), c1 = fgetc(f);
    if (c0 != 0x1F || c1 != 0x8B) {
        rewind(f);
        bool ok = TarStreamSafe(f);
        fclose(f);
        return ok;
    }
    fclose(f);
    // Unpacked by the system's gzip, read here as it comes.
    std::string q = "'";
    for (char c : realPath)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    q += "'";
    FILE* p = ::popen(("gzip -dc -- " + q + " 2>/dev/null").c_str(), "r");
    if (p == nullptr)
        return false;
    bool ok = TarStreamSafe(p);
    char drain[4096];
    while (fread(drain, 1, sizeof(drain), p) > 0) {
    }
    return ::pclose(p) == 0 && ok;
}

}  // namespace plat::detail

namespace plat {

bool ArchiveIsSafe(std::string_view sysPath)
{
    return detail::TarFileSafe(Path(sysPath));
}

}  // namespace plat

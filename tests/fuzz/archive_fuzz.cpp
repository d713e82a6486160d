// Member check of tar archives from any bytes.
#include "src/Platform/archive.h"
#include "support/seed_files.h"
#include <cstdint>
#include <string>

namespace {

FuzzInput Archive(std::initializer_list<FuzzInput> members)
{
    FuzzInput a;
    for (const FuzzInput& m : members)
        a.insert(a.end(), m.begin(), m.end());
    FuzzInput end = FuzzTarEnd();
    a.insert(a.end(), end.begin(), end.end());
    return a;
}

}  // namespace

void FuzzSeeds(std::vector<FuzzInput>& seeds)
{
    seeds.push_back(Archive({FuzzTarMember("zz.zz", '0', "z")}));
    seeds.push_back(Archive({FuzzTarMember("dir/", '5', ""), FuzzTarMember("dir/x", '0', "data"),
                             FuzzTarMember("x", '0', "", false, "dir/sub")}));
    seeds.push_back(Archive({FuzzTarMember("././@LongLink", 'L', "dir/" + std::string(120, 'n')),
                             FuzzTarMember("short", '0', "")}));
    seeds.push_back(Archive({FuzzTarMember("pax", 'x', "16 path=dir/pax\n"), FuzzTarMember("pax", '0', "p")}));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    plat::detail::TarDataSafe(std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}

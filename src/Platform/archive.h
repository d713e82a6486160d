// Member check of tar archives, shared by the platform door and the
// simulated shell runner (which has real paths at hand).
#pragma once
#include <string>

namespace plat::detail {
// True when every member of the tar archive (plain or gzip-compressed) at
// this real path is a regular file or a folder with a relative name that
// stays inside the folder it is unpacked into.
bool TarFileSafe(const std::string& realPath);
// The same on archive bytes already in memory (not compressed).
bool TarDataSafe(const std::string& tar);
}  // namespace plat::detail

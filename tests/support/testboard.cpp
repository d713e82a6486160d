#include "support/testboard.h"
#include <cstdio>
#include <fstream>
#include <sstream>
#include <cstring>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

std::string Slurp(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void Spill(const std::string& path, const std::string& data)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << data;
}

bool FileExists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string CommandOutput(const std::string& cmd)
{
    std::string out;
    if (FILE* p = popen(cmd.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof(buf), p)) > 0)
            out.append(buf, n);
        pclose(p);
    }
    return out;
}

bool PrivateLoopback()
{
    if (unshare(CLONE_NEWNET) != 0)
        return false;
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0)
        return false;
    ifreq r{};
    strncpy(r.ifr_name, "lo", sizeof(r.ifr_name) - 1);
    bool up = ioctl(s, SIOCGIFFLAGS, &r) == 0;
    r.ifr_flags |= IFF_UP;
    up = up && ioctl(s, SIOCSIFFLAGS, &r) == 0;
    close(s);
    return up;
}

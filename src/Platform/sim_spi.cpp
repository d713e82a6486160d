// Model of the processor's SPI controller in slave mode and of the wire to
// the other chip's spidev master: FIFOs whose status bits follow the reads
// and writes of the registers, and full-duplex transfers of whole frames.
#ifndef MODCARD_CARD
#include "Platform/board_state.h"
#include "Platform/platform.h"
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace simboard {

namespace {

volatile U32* Reg(U8* state, U32 offset) { return reinterpret_cast<volatile U32*>(state + kSpiOffset + offset); }

SpiCtrlModel* Ctrl(U8* state) { return &reinterpret_cast<ModelArea*>(state + kModelOffset)->spiCtrl; }

// The controller's lock; one that a killed process held is taken over.
struct Locked {
    SpiCtrlModel* c;
    explicit Locked(SpiCtrlModel* m) : c(m)
    {
        if (pthread_mutex_lock(&c->lock) == EOWNERDEAD)
            pthread_mutex_consistent(&c->lock);
    }
    ~Locked() { pthread_mutex_unlock(&c->lock); }
};

U32 Status(U8* state, const SpiCtrlModel* c)
{
    U32 rx = c->rxIn - c->rxOut, tx = c->txIn - c->txOut;
    U32 threshold = *Reg(state, SPI_REG_RX_THRESHOLD);
    if (threshold == 0 || threshold > kSpiFifoLen)
        threshold = 1;
    return (tx >= kSpiFifoLen ? kSpiStatusTxFull : 0) | (rx > 0 ? kSpiStatusRxNotEmpty : 0) |
           (rx >= threshold ? kSpiStatusRxThreshold : 0);
}

U8* MapPeer(const std::string& root)
{
    static std::mutex m;
    static std::map<std::string, U8*> maps;
    std::lock_guard<std::mutex> lk(m);
    auto it = maps.find(root);
    if (it != maps.end())
        return it->second;
    std::string file = root + "/" + kStateFile;
    int fd = ::open(file.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat st;
    void* p = MAP_FAILED;
    if (fstat(fd, &st) == 0 && (size_t)st.st_size >= kStateSize)
        p = mmap(nullptr, kStateSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (p == MAP_FAILED) {
        errno = EINVAL;
        return nullptr;
    }
    maps[root] = static_cast<U8*>(p);
    return static_cast<U8*>(p);
}

}  // namespace

void InitSpiCtrl(U8* image)
{
    pthread_mutexattr_t a;
    pthread_mutexattr_init(&a);
    pthread_mutexattr_setpshared(&a, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&a, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(&Ctrl(image)->lock, &a);
    pthread_mutexattr_destroy(&a);
    *Reg(image, SPI_REG_MODULE_ID) = kSpiModuleId;
}

bool OnBlockRead(U64 physBase, U32 offset, U32* pValue)
{
    U8* s = State();
    if (physBase != kSpiPhys || s == nullptr ||
        (offset != SPI_REG_STATUS && offset != SPI_REG_RXD && offset != SPI_REG_ENABLE))
        return false;
    SpiCtrlModel* c = Ctrl(s);
    Locked lk(c);
    if (offset == SPI_REG_STATUS)
        *pValue = Status(s, c);
    else if (offset == SPI_REG_ENABLE)
        *pValue = c->enabled;
    else if (c->rxIn != c->rxOut)
        *pValue = c->rx[c->rxOut++ % kSpiRxKeep];
    else
        *pValue = 0;
    return true;
}

void OnSpiCtrlWrite(U32 offset, U32 value)
{
    U8* s = State();
    if (s == nullptr)
        return;
    SpiCtrlModel* c = Ctrl(s);
    Locked lk(c);
    if (offset == SPI_REG_TXD && c->enabled && c->txIn - c->txOut < kSpiFifoLen)
        c->tx[c->txIn++ % kSpiFifoLen] = (U8)value;
    if (offset == SPI_REG_ENABLE) {
        c->enabled = value != 0;
        // A disabled controller drops what it had queued for the master.
        if (value == 0)
            c->txOut = c->txIn;
    }
}

int SpiWireTransfer(const std::string& peerRoot, const U8* tx, U8* rx, size_t len)
{
    U8* s = MapPeer(peerRoot);
    if (s == nullptr)
        return -1;
    memset(rx, 0, len);
    SpiCtrlModel* c = Ctrl(s);
    Locked lk(c);
    c->transfers++;
    if (!c->enabled || len > kSpiFifoLen)
        return 0;
    // No room: the oldest frame the controller has not begun to read goes.
    while (kSpiRxKeep - (c->rxIn - c->rxOut) < len) {
        U32 rest = (c->rxIn - c->rxOut) % (U32)len;  // what is left of a frame being read
        if (rest == 0) {
            c->rxOut += (U32)len;
        } else {
            for (U32 i = c->rxOut + rest; i + len < c->rxIn; i++)
                c->rx[i % kSpiRxKeep] = c->rx[(i + len) % kSpiRxKeep];
            c->rxIn -= (U32)len;
        }
        c->overruns++;
    }
    for (size_t i = 0; i < len; i++)
        c->rx[c->rxIn++ % kSpiRxKeep] = tx[i];
    // Only a frame the controller queued whole is clocked out.
    if (c->txIn - c->txOut >= len) {
        for (size_t i = 0; i < len; i++)
            rx[i] = c->tx[c->txOut++ % kSpiFifoLen];
    }
    return 0;
}

}  // namespace simboard
#endif

// Layout of the simulated board's state file ("board.state" in the board
// root). modcard, the register tools and the board tool all map it, so a
// register written by one is read by the others.
#pragma once
#include "Common/types.h"
#include <pthread.h>
#include <string>
#include <string_view>

struct i2c_msg;

namespace simboard {

constexpr const char* kStateFile = "board.state";
constexpr char kMagic[8] = {'M', 'O', 'D', 'C', 'A', 'R', 'D', '1'};
constexpr U32 kVersion = 1;

// Physical windows of the card and where they lie in the state file.
constexpr U64 kFpgaPhys = 0x83C00000ull;
constexpr U64 kFpgaLen = 0x100000;
constexpr U64 kGpioPhys = 0xE000A000ull;
constexpr U64 kEthPhys = 0xE000B000ull;
constexpr U64 kSpiPhys = 0xE0007000ull;
constexpr U64 kBlockLen = 0x1000;

constexpr size_t kProfileOffset = 0;
constexpr size_t kFpgaOffset = 0x1000;
constexpr size_t kGpioOffset = kFpgaOffset + kFpgaLen;
constexpr size_t kEthOffset = kGpioOffset + kBlockLen;
constexpr size_t kSpiOffset = kEthOffset + kBlockLen;
constexpr size_t kModelOffset = kSpiOffset + kBlockLen;
constexpr size_t kModelLen = 0x40000;
constexpr size_t kStateSize = kModelOffset + kModelLen;

enum PhyType : U32 { PHY_88E1510 = 0, PHY_88E1111 = 1, PHY_YT8521 = 2, PHY_UNKNOWN = 3 };
// Identifier an unknown PHY reports (one step off the 88E1510's).
constexpr U32 kUnknownPhyId = 0x01410DD0u;

// Board profile: what the card is. Registers that the FPGA itself reports
// (board type 5, slot 16, chip type 17, logic version 0) are written into
// the window by the board tool; the rest is read by the device models.
struct Profile {
    char magic[8];
    U32 version;
    U32 boardType;       // FPGA register 5
    U32 chipType;        // FPGA register 17
    U32 slotId;          // FPGA register 16
    U32 logicVersion;    // FPGA register 0
    U32 hwVersionPins[3];
    U32 phyType;         // PhyType
    U32 hasSlave;        // 1: the card carries the slave chip (8 channels)
    U8 mac[6];
    U8 pad0[2];
    U32 channelPackets[8];  // packets per gate the bit-rate counters report per channel
    U32 pidPackets;         // packets per gate for any PID not listed below
    U32 mdioNeverIdle;      // 1: the PHY management interface stays busy after a frame
    // Per-PID counters that override pidPackets for one channel and PID.
    struct PidRate {
        U16 channel;
        U16 pid;
        U32 packets;
        U8 used;
        U8 pad[3];
    } pidRates[32];
    // Size past which a trace file (a capture or a log of trace/) moves to
    // "<name>.0"; 0 (a root made before there was one): kTraceLimit.
    U32 traceLimit;
    U8 reserved[4096 - 96 - 32 * 12 - 4];
};
static_assert(sizeof(Profile) == 4096, "profile fills its page");

// Device-model state kept in the file so that every process sees the same
// chips. Each model owns one region.
struct RoutingTables {
    U64 muxPending[2048];       // entries written but not yet committed
    U64 bypassPending[256];
    U64 muxCommitted[2048];     // what the last commit strobe made live
    U64 bypassCommitted[256];
    U32 commits;                // commit strobes seen
    U32 pad;
};

// The processor's SPI controller (register block at kSpiPhys) in slave
// mode: module id at 0xFC, configuration 0x00, status 0x04, enable 0x14,
// transmit data 0x1C, receive data 0x20, receive threshold 0x2C. Its FIFOs
// live here; the other chip's spidev transfers reach them across board
// roots, so the counters are only touched atomically (one writer each).
constexpr U32 kSpiModuleId = 0x90106;
// The transmit FIFO holds one frame. The receive side keeps the newest 32
// frames the master clocked in (its idle reads included), dropping the
// oldest frame not yet begun, so that a request is never lost behind them.
constexpr U32 kSpiFifoLen = 128;
constexpr U32 kSpiRxKeep = 32 * kSpiFifoLen;
enum SpiReg : U32 {
    SPI_REG_CONFIG = 0x00,
    SPI_REG_STATUS = 0x04,
    SPI_REG_ENABLE = 0x14,
    SPI_REG_TXD = 0x1C,
    SPI_REG_RXD = 0x20,
    SPI_REG_RX_THRESHOLD = 0x2C,
    SPI_REG_MODULE_ID = 0xFC,
};
// Status bits: transmit FIFO full, receive FIFO not empty, receive FIFO at
// its threshold.
constexpr U32 kSpiStatusTxFull = 0x08;
constexpr U32 kSpiStatusRxNotEmpty = 0x10;
constexpr U32 kSpiStatusRxThreshold = 0x20;
struct SpiCtrlModel {
    pthread_mutex_t lock;  // process-shared and robust: both chips' processes take it
    U32 rxIn, rxOut;     // bytes clocked in by the master / read by the controller
    U32 txIn, txOut;     // bytes queued by the controller / clocked out to the master
    U32 enabled;         // the enable register as the wire sees it
    U32 transfers;       // full-duplex transfers of the master
    U32 overruns;        // frames dropped to make room for newer ones
    U8 rx[kSpiRxKeep];
    U8 tx[kSpiFifoLen];
};

struct ModelArea {
    U8 spiChips[0x20000];   // RF chips on the SPI buses (AD9789, ADF4351, RFDA0016)
    U8 i2cChips[0x1000];    // AD5321 and other I2C devices
    U16 mdio[4][8][32];     // Ethernet PHY registers: PHY address 0-3, page 0-7
    U8 mdioPad[0x1000 - 4 * 8 * 32 * 2];
    U8 fpgaCores[0x4000];   // register files of FPGA cores reached indirectly
    RoutingTables routing;
    SpiCtrlModel spiCtrl;
    U8 spare[kModelLen - 0x20000 - 0x1000 - 0x1000 - 0x4000 - sizeof(RoutingTables) - sizeof(SpiCtrlModel)];
};
static_assert(sizeof(ModelArea) == kModelLen, "model area size");

// Pin-level models of the RF chips on the two bit-banged buses (kept in
// ModelArea::spiChips) and of the AD5321 on I2C bus 1 (ModelArea::i2cChips).
// Pins are Linux GPIO numbers; index = number - kGpioFirst.
constexpr U32 kGpioFirst = 906;   // MIO pin 0
constexpr U32 kGpioLines = 256;   // covers MIO and EMIO pins 0-128
constexpr U32 kAd9789Regs = 0x2000;  // 13-bit register address

struct Ad9789Model {
    U8 regs[kAd9789Regs];
    U32 selected;     // chip select is low
    U32 bits;         // rising clock edges since the selection
    U32 instr;        // 16-bit instruction as shifted in
    U32 data;         // data bits of a write
    U32 readBits;     // data bits driven out so far in a read
    U32 writes;       // committed writes
    U32 reads;        // decoded reads
};

// Shift register latched by a latch-enable rising edge (ADF4351, RFDA0016).
struct LatchedShift {
    U32 shift;
    U32 count;        // bits shifted since the last latch
    U32 latches;
};

struct Adf4351Model {
    U32 regs[6];      // R0-R5, as latched (control bits included)
    LatchedShift sr;
};

struct Rfda0016Model {
    U32 value;        // 6-bit attenuation word
    LatchedShift sr;
};

struct SpiBusModel {
    U32 risingEdges;  // clock rising edges seen
    U32 misoLevel;    // level the selected chip drives on data-in
};

struct RfChipModels {
    U8 level[kGpioLines];    // level last driven on each line
    U8 output[kGpioLines];   // 1: line set to output
    U8 shown[kGpioLines];    // what the line's "value" file holds
    SpiBusModel bus[2];      // SPI_BUS_1, SPI_BUS_2
    Ad9789Model dac[2];      // bus 1 (select EMIO 18), bus 2 (select EMIO 12)
    Adf4351Model pll;        // bus 1, latch enable EMIO 13
    Rfda0016Model att;       // bus 1, latch enable EMIO 14
};
static_assert(sizeof(RfChipModels) <= sizeof(ModelArea::spiChips), "RF chip models fit their region");

struct I2cChipModels {
    U8 ad5321[2];     // the two bytes last written (power-down bits, 12-bit code)
    U8 pad[2];
    U32 writes;
    U32 reads;
};
static_assert(sizeof(I2cChipModels) <= sizeof(ModelArea::i2cChips), "I2C models fit their region");

// The mapped state file of this process (nullptr on the card or before the
// first mapping). Maps it on first use.
U8* State();
inline Profile* GetProfile() { U8* s = State(); return s ? reinterpret_cast<Profile*>(s + kProfileOffset) : nullptr; }
inline ModelArea* GetModels() { U8* s = State(); return s ? reinterpret_cast<ModelArea*>(s + kModelOffset) : nullptr; }
inline RfChipModels* GetRfChips() { ModelArea* m = GetModels(); return m ? reinterpret_cast<RfChipModels*>(m->spiChips) : nullptr; }
inline I2cChipModels* GetI2cChips() { ModelArea* m = GetModels(); return m ? reinterpret_cast<I2cChipModels*>(m->i2cChips) : nullptr; }
inline volatile U32* FpgaWindow() { U8* s = State(); return s ? reinterpret_cast<volatile U32*>(s + kFpgaOffset) : nullptr; }
// Direct register access for models and tests (no model reaction).
inline U32 PeekReg(U32 reg) { volatile U32* w = FpgaWindow(); return w ? w[reg * 4] : 0; }
inline void PokeReg(U32 reg, U32 v) { volatile U32* w = FpgaWindow(); if (w) w[reg * 4] = v; }

// Creates a board root with a state file from a profile (and the folders
// the firmware expects). False on failure.
bool CreateBoard(const std::string& root, const Profile& profile);
Profile DefaultProfile();
// The profile of an existing board root (false: no state file of this layout).
bool ReadBoardProfile(const std::string& root, Profile* out);
// Changes an existing board root in place: only the profile bytes that differ
// from the file's, and the registers and PHY identifier that mirror changed
// fields; a chip running on the root goes on. False on failure.
bool UpdateBoard(const std::string& root, const Profile& profile);

// What the FPGA models hold, for tests: the TS-rate word last loaded for a
// channel (0-7) and a J.83 Annex B core register (port 0-3, register 0-255).
U32 TSRateWord(U32 channel);
U32 CoreRegister(U32 port, U32 reg);

// Test hook: called with the register and value just before a write into the
// FPGA window lands (null: none), so that a test can act at that moment.
void SetFpgaWriteHook(void (*hook)(U32 reg, U32 value));

// Device models: called by the platform on every write into a mapped window.
// oldValue is what the register held before the write (strobes react to edges).
void OnFpgaWrite(U32 reg, U32 oldValue, U32 value);
void OnBlockWrite(U64 physBase, U32 offset, U32 oldValue, U32 value);
// Reads of a block register that a model answers (the SPI controller's
// status, enable and receive data); false: the register's stored value stands.
bool OnBlockRead(U64 physBase, U32 offset, U32* pValue);
void OnSpiCtrlWrite(U32 offset, U32 value);
// Prepares the controller model of a new state image (its lock, module id).
void InitSpiCtrl(U8* image);
// One full-duplex transfer of the master's spidev with the SPI controller of
// the board root that the device file names: len bytes of tx go to its
// receive FIFO (a whole frame, or none when it has no room or is disabled);
// rx gets a whole frame of its transmit FIFO, zeros when none is queued.
// 0, or -1 (errno set) when that board root cannot be mapped.
int SpiWireTransfer(const std::string& peerRoot, const U8* tx, U8* rx, size_t len);
// Pin-level models: called after a write into a file under "/sys" (system
// path; the file already holds the text).
void OnSysfsWrite(std::string_view sysPath, std::string_view text);
// Pin writes inside a batch (plat::PinBatchBegin): DeferPinWrite takes a GPIO
// attribute write of a known line in memory (false: not taken, write the
// file); the files are written back by FlushPinFiles, or for one file before
// it is opened (FlushPinFile). PinLineKnown answers Exists for a line folder
// seen before, inside a batch only.
void PinBatch(bool bBegin);
bool DeferPinWrite(std::string_view sysPath, std::string_view text);
void FlushPinFiles();
void FlushPinFile(std::string_view sysPath);
bool PinLineKnown(std::string_view sysPath, bool bExists);
// A read of a pin file inside a batch, answered from memory (false: read the file).
bool ReadPinAttr(std::string_view sysPath, void* buf, size_t len, ssize_t* pn);
// I2C devices: one combined transfer on bus N; returns like the I2C_RDWR
// request (messages done, or -1 with errno).
int OnI2cTransfer(U32 bus, struct ::i2c_msg* msgs, U32 count);

// Appends one whole record (a line, a packet) to a file kept open (its
// folder made when missing; a file of fixed-size records loses a torn last
// record when it is opened). A record that takes the file past limit bytes
// moves it to "<file>.0" (the one older generation kept) and the next record
// starts a new file, so a cut falls between records, never inside one.
void AppendBounded(const std::string& file, const void* data, size_t len, size_t record, size_t limit);
// Appends one record to trace/NAME of the board root, bounded by TraceLimit().
void AppendTrace(const std::string& name, const void* data, size_t len, size_t record = 0);
// The bound of every trace file: the profile's, else kTraceLimit (a quarter
// of an hour of a busy channel's capture, days of a blinking LED's trace).
constexpr size_t kTraceLimit = 8u << 20;
constexpr size_t kTraceLimitMin = 4096;
size_t TraceLimit();
// The program log as the card's system logger keeps it: a line that takes
// it past this size moves it to "<log>.0" (the one older generation kept)
// and the next line starts a new file.
constexpr size_t kProgramLogLimit = 4u << 20;
// Time spent in the device models, so that a benchmark can tell the
// firmware's own time from the simulated board's.
struct ModelClock {
    ModelClock();
    ~ModelClock();
    U64 u64Start;
};
U64 ModelTimeNs();

}  // namespace simboard

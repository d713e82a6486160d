// The only door to the operating system and the hardware.
//
// On the card every call passes straight through. On any other build the
// board is simulated: absolute paths live under the board root
// ($MODCARD_ROOT), register windows are one shared state file, device models
// answer register writes, shell commands that would touch the machine are
// only recorded, and network peers are reached on loopback alone.
#pragma once
#include "Common/types.h"
#include <cstdio>
#include <string>
#include <vector>
#include <string_view>
#include <netinet/in.h>
#include <sys/types.h>

struct i2c_msg;

namespace plat {

// True on the simulated board.
bool Simulated();

// ---- Paths -------------------------------------------------------------
// Board root of the simulation ("" on the card).
std::string Root();
// Where an absolute system path really lives ("/tarvex_data/x" ->
// "$MODCARD_ROOT/tarvex_data/x" in the simulation). Relative paths and the
// card build are returned unchanged.
std::string Path(std::string_view sysPath);
// Creates the folders of a system path (like "mkdir -p").
bool MakeDirs(std::string_view sysPath);

// mkstemp on a system path template ("/var/tmp/x-XXXXXX"): the file is made
// where the path really lives and the template gets its six letters. fd or -1.
int MkTemp(std::string& sysPathTemplate);
// open/fopen on system paths.
int Open(std::string_view sysPath, int flags, mode_t mode = 0644);
FILE* Fopen(std::string_view sysPath, const char* mode);
bool Exists(std::string_view sysPath);

// Replaces a whole file so that a crash at any moment leaves either the old
// or the new contents: temporary file, fsync, rename, fsync of the folder.
// Without bSync the data is not forced to disk (scratch files), but the
// replacement is still atomic.
bool WriteFileAtomic(std::string_view sysPath, const void* data, size_t len, bool bSync = true);
// Reads a whole file (at most maxLen bytes). False when it cannot be opened.
bool ReadFile(std::string_view sysPath, std::string& out, size_t maxLen = SIZE_MAX);

// ---- Device files --------------------------------------------------------
// Writes a device attribute file such as a sysfs GPIO "direction" or
// "value": open (never creating it), one write, close. Returns the bytes
// written (fewer than len when the write failed), or -1 when the file cannot
// be opened (errno set). In the simulation the board's pin models see every
// write, as do writes that a command run by System redirects into "/sys/..."
// (such as a GPIO export).
ssize_t WriteAttr(std::string_view sysPath, const void* data, size_t len);
// Reads a device attribute file: open, one read of up to len bytes, close.
// Returns the bytes read, or -1 when it cannot be opened (errno set).
ssize_t ReadAttr(std::string_view sysPath, void* buf, size_t len);
// One combined I2C transfer (the I2C_RDWR request) on an open "/dev/i2c-N".
// Returns like ioctl(2): the messages done, or -1 (errno set). In the
// simulation the devices of that bus answer.
int I2cTransfer(int fd, struct ::i2c_msg* msgs, U32 count);
// A run of pin writes that belong together (one bus transaction). In the
// simulation the pin files are written back once when the outermost run of
// the thread ends, not on every change; on the card these do nothing.
void PinBatchBegin();
void PinBatchEnd();

// ---- Register windows --------------------------------------------------
// Maps len bytes of physical address space (a window the board has: the
// FPGA window at 0x83C00000, the GPIO, Ethernet and SPI blocks). nullptr on
// failure (errno set).
volatile U32* MapPhys(U64 physAddr, size_t len);
// One 32-bit access inside a mapped window; writes reach the device models.
U32 Read32(volatile U32* addr);
void Write32(volatile U32* addr, U32 value);

// Hardware settling delays (microseconds). Skipped in the simulation unless
// MODCARD_REALTIME=1, since the models answer at once.
void HwDelayUs(U64 us);
// How many times slower than the card the chips run: 1 on the card; in the
// simulation MODCARD_SLOWNESS (1-8, default 1), which a board slowed by
// sanitizers or an emulator sets, so that waits on the other chip keep their
// meaning in the code's own time.
U32 Slowness();

// ---- Shell -------------------------------------------------------------
// Runs a command line as the card's shell would. In the simulation it is
// appended to trace/shell.log; file tools run with their absolute paths
// moved into the board root, machine-wide commands (network, clock, mount,
// sync, services, reboot) are recorded only and anything else is refused.
// cwd, when given, is the system path to run in (no process-wide chdir).
// Returns the shell's status like system(3); -1 when refused.
int System(std::string_view cmd, const char* cwd = nullptr);
// Like popen(cmd, "r"): the command's output, read by the caller. A refused
// or recorded-only command gives an empty stream. Close with Pclose.
FILE* Popen(std::string_view cmd, const char* cwd = nullptr);
int Pclose(FILE* f);
// Starts a command under `shell` -c with pipes on the standard streams whose
// pointer is given (the parent's end is returned there; others inherited).
// Returns the child's pid, or -1 when refused (the simulation's rules of
// System apply; recorded-only commands do not start) or when pipe/fork fail.
pid_t SpawnPiped(std::string_view cmd, const char* cwd, const char* shell, int* inFd, int* outFd, int* errFd);
// Runs one program with the given words as its arguments, each passed as one
// word whatever it holds (never re-read by a shell); status like System.
int RunArgv(const std::vector<std::string>& argv, const char* cwd = nullptr);
// Runs a command and returns its output.
std::string RunCapture(std::string_view cmd, const char* cwd = nullptr);
// Checks a tar archive (plain or gzip) before it is unpacked: true when every
// member is a regular file or folder whose relative name stays inside the
// target folder. Links, device files, absolute names and ".." refuse it.
bool ArchiveIsSafe(std::string_view sysPath);
// Exit status of the process after a recorded "reboot" in the simulation,
// so that the supervisor starts it again as it would after a real reboot.
constexpr int kRebootExitStatus = 77;
void Reboot();

// ---- Clock -------------------------------------------------------------
// Sets the system clock (seconds since 1970). Recorded only in the simulation.
void SetClock(U32 seconds);

// ---- Network -----------------------------------------------------------
// The address a peer really has: in the simulation chassis and chip-link
// addresses 192.168.a.b are 127.168.a.b (the chip-link network 192.168.188.b
// is 127.188.<slot>.b, private to the card); loopback stays; any other address
// gives 0 (unreachable). Host byte order in and out.
U32 MapIPv4(U32 hostOrderAddr);
// connect() with the address mapped, a bounded wait (timeoutMs) and receive
// and send time-outs on the socket. Non-loopback targets are refused at once
// in the simulation (errno ENETUNREACH). Returns 0 or -1.
int Connect(int fd, const struct sockaddr_in* addr, int timeoutMs = 5000, int ioTimeoutMs = 60000);
// bind() with the address mapped. INADDR_ANY binds the chip's own address
// (learnt from its interface set-up; before that the chassis default of its
// slot, 192.168.1.(11 + slot)) in the simulation.
int Bind(int fd, const struct sockaddr_in* addr);
// Sets receive/send time-outs on a socket (milliseconds, 0 = none).
void SetSocketTimeouts(int fd, int recvMs, int sendMs);
// Own address of an interface as set through the shell ("ifconfig eth0 A"),
// in host order; 0 when none has been set.
U32 OwnAddress(const char* ifname);
// IPv4 address of a network interface, host order (SIOCGIFADDR on the card,
// OwnAddress in the simulation); 0 when it has none.
U32 InterfaceAddress(const char* ifname);
// I/O base of a network interface as the kernel reports it (SIOCGIFMAP); the
// simulation reports the Ethernet controller blocks (eth0 0xB000, eth1 0xC000).
// 0, or -1 (errno set) when the interface is unknown.
int InterfaceBase(const char* ifname, U32* base);
// Where the SNMP agent listens when its configuration names no address:
// "" on the card (the agent library's default, UDP 161); on the simulated
// board the chip's own mapped address, UDP 16161, never every address.
std::string SnmpDefaultTransport();

// ---- SPI chip link ------------------------------------------------------
// The spidev device of the link's master: mode, bits per word and clock of
// an open "/dev/spidevB.C", and one full-duplex transfer of len bytes (tx
// out, rx in at the same time). 0, or -1 (errno set). In the simulation the
// device file names the other chip's board root, whose SPI controller model
// is at the other end of the wire.
int SpiSetup(int fd, U8 mode, U8 bits, U32 speedHz);
int SpiTransfer(int fd, const U8* tx, U8* rx, size_t len, U32 speedHz, U8 bits);

// ---- System logger -----------------------------------------------------
void OpenLog(const char* ident);
// priority: LOG_DEBUG, LOG_INFO, LOG_WARNING, LOG_ERR of <syslog.h>.
void Syslog(int priority, const char* text);

// ---- Simulation trace ----------------------------------------------------
// Appends one line to trace/<name> in the board root (no-op on the card).
void Trace(const char* name, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

}  // namespace plat

// procguard: keeps the card's main program running. It starts the program
// as its child with the word "start" and, whenever the child ends, starts it
// again with the word "reboot". It shares nothing with the child but the
// process relation.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

static const char* app_file = nullptr;
static const char* app_name = nullptr;
// The signal mask procguard was started with; the child gets it back, since
// the program it runs (and everything that program starts) must not inherit
// procguard's blocked SIGCHLD.
static sigset_t g_startMask;

// Set by the child-status handler; the main loop does the work, since
// fork, perror and printf are not safe inside a signal handler.
static volatile sig_atomic_t g_childSignal = 0;

// Starts one child running path with argv {name, word}. Returns its process
// id, or -1 when fork or exec failed (exec failure is learnt through a
// close-on-exec pipe, so that the caller can pause before trying again).
static int Main_RunProcess(const char* path, const char* name, const char* word)
{
    int fds[2];
    bool havePipe = pipe2(fds, O_CLOEXEC) == 0;
    pid_t pid = fork();
    if (pid < 0) {
        perror("fork err:");
        if (havePipe) {
            close(fds[0]);
            close(fds[1]);
        }
        return -1;
    }
    if (pid == 0) {
        if (havePipe) close(fds[0]);
        sigprocmask(SIG_SETMASK, &g_startMask, nullptr);
        execl(path, name, word, (char*)nullptr);
        int err = errno;
        perror("execl err");
        if (havePipe) {
            ssize_t n = write(fds[1], &err, sizeof err);
            (void)n;
        }
        _exit(-1);
    }
    if (!havePipe) return pid;
    close(fds[1]);
    int err = 0;
    ssize_t n;
    do {
        n = read(fds[0], &err, sizeof err);
    } while (n < 0 && errno == EINTR);
    close(fds[0]);
    return n == (ssize_t)sizeof err ? -1 : pid;
}

static void Main_CaptualSignal(int signum)
{
    if (signum == SIGCHLD) g_childSignal = 1;
}

// Collects every child that changed state. True when one of them ended
// (exited or was killed); stopped or continued children are only reported.
static bool CollectChildren()
{
    bool ended = false;
    for (;;) {
        int status = 0;
        pid_t pid = waitpid(-1, &status, WNOHANG | WUNTRACED | WCONTINUED);
        if (pid < 0) {
            if (errno == EINTR) continue;
            if (errno != ECHILD) perror("==> waitpid err: ");
            break;
        }
        if (pid == 0) break;
        printf("Child Process Exist Status = 0x%x\n", status);
        fflush(stdout);
        if (WIFEXITED(status) || WIFSIGNALED(status)) ended = true;
    }
    return ended;
}

static void PauseOneSecond()
{
    struct timespec pause = {1, 0};
    while (nanosleep(&pause, &pause) < 0 && errno == EINTR) {}
}

static double Now()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

// When the running child was started (monotonic seconds).
static double g_startedAt = 0;

// Starts the program, pausing a second after each failed start so that a
// program that cannot run does not spin the processor.
static void StartUntilRunning(const char* word)
{
    while (Main_RunProcess(app_file, app_name, word) < 0) {
        CollectChildren();
        PauseOneSecond();
        word = "reboot";
    }
    g_startedAt = Now();
}

int main(int argc, char** argv)
{
    struct sigaction sa = {};
    sa.sa_handler = Main_CaptualSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGCHLD, &sa, nullptr);

    if (argc < 3) {
        fputs("usage: ./procguard app_file app_name\n", stderr);
        return -1;
    }
    app_file = argv[1];
    app_name = argv[2];

    // SIGCHLD stays blocked except inside sigsuspend, so no child's end is
    // missed between the check of the flag and the wait.
    sigset_t blockChild, waitMask;
    sigemptyset(&blockChild);
    sigaddset(&blockChild, SIGCHLD);
    sigprocmask(SIG_BLOCK, &blockChild, &waitMask);
    g_startMask = waitMask;
    sigdelset(&waitMask, SIGCHLD);

    StartUntilRunning("start");
    for (;;) {
        while (!g_childSignal) sigsuspend(&waitMask);
        g_childSignal = 0;
        bool ended = CollectChildren();
        fprintf(stderr, "Error: Child Process[%s] Exit...\n", app_name);
        if (!ended) continue;
        // A program that ends at once would otherwise be restarted in a
        // tight loop: one that lived under a second waits a second first.
        if (Now() - g_startedAt < 1.0) PauseOneSecond();
        StartUntilRunning("reboot");
    }
}

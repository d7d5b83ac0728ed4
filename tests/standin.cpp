// A stand-in for an application's main program, as plain as a real one. It writes to the file RECORD_TO what it was
// given: its arguments, LD_LIBRARY_PATH, its directory, SIGPIPE ignored, the signals blocked (but SIGWINCH, which
// zsh blocks for its jobs); then "stdout" and "stderr"; and a line on standard output for each signal it gets, as it
// gets it. It catches SIGHUP, SIGUSR1, SIGUSR2, SIGTERM, SIGWINCH, the real-time signals and those named in CATCH
// (INT, QUIT, TSTP); it blocks 32 and 33, which the C library keeps for itself. Where HOLD_ON names a FIFO, it
// waits for a word there; then it runs THEN with /bin/sh in its place, or exits 0. Set, HELPER gives it a child in its
// group that lives as long as it does.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>

static char lines[65][32];  // the line for each signal, written whole from its handler

static void record(int signal) { (void)!write(STDOUT_FILENO, lines[signal], strlen(lines[signal])); }

int main(int argc, char**) {
    uint64_t blocked = 0;  // as the kernel keeps it: sigprocmask leaves out 32 and 33
    syscall(SYS_rt_sigprocmask, SIG_BLOCK, nullptr, &blocked, sizeof blocked);
    blocked &= ~(1ull << (SIGWINCH - 1));
    struct sigaction pipe {};
    sigaction(SIGPIPE, nullptr, &pipe);
    const uint64_t kept = 3ull << 31;
    syscall(SYS_rt_sigprocmask, SIG_BLOCK, &kept, nullptr, sizeof kept);
    if (getenv("HELPER") != nullptr && fork() == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        for (;;) pause();
    }

    struct sigaction recorder {};
    recorder.sa_handler = record;
    recorder.sa_flags = SA_RESTART;
    char catches[256];
    snprintf(catches, sizeof catches, " HUP USR1 USR2 TERM WINCH %s ",
             getenv("CATCH") != nullptr ? getenv("CATCH") : "");
    for (int signal = 1; signal <= SIGRTMAX; ++signal) {
        const char* const abbreviation = sigabbrev_np(signal);
        char name[16];
        snprintf(name, sizeof name, " %s ", abbreviation != nullptr ? abbreviation : "?");
        if (abbreviation != nullptr) snprintf(lines[signal], sizeof lines[signal], "recorder: SIG%s\n", abbreviation);
        if (abbreviation == nullptr) snprintf(lines[signal], sizeof lines[signal], "recorder: SIG%d\n", signal);
        if (signal >= SIGRTMIN || strstr(catches, name) != nullptr) sigaction(signal, &recorder, nullptr);
    }

    char directory[4096] = "";
    (void)!getcwd(directory, sizeof directory);
    const char* const libraryPath = getenv("LD_LIBRARY_PATH");
    printf("stdout\n");
    fflush(stdout);
    fprintf(stderr, "stderr\n");
    char partial[4096];
    snprintf(partial, sizeof partial, "%s.partial", getenv("RECORD_TO"));
    if (FILE* file = fopen(partial, "w")) {
        fprintf(file, "%d\n%s\n%s\n%s", argc - 1, libraryPath != nullptr ? libraryPath : "", directory,
                pipe.sa_handler == SIG_IGN ? "SIGPIPE ignored\n" : "");
        if (blocked != 0) fprintf(file, "signals blocked: %016llx\n", static_cast<unsigned long long>(blocked));
        fclose(file);
        rename(partial, getenv("RECORD_TO"));
    }

    char text[64];
    for (const int word = getenv("HOLD_ON") != nullptr ? open(getenv("HOLD_ON"), O_RDONLY) : -1;
         word >= 0 && read(word, text, sizeof text) > 0;) {
    }
    if (getenv("THEN") != nullptr) execl("/bin/sh", "sh", "-c", getenv("THEN"), nullptr);
    return 0;
}

// startMorvelin: starts the application's main program, bin/morvelin, from the
// install tree this launcher lies in, with bin/lib as the dynamic loader's only
// library search path. It prints the shell command it runs, hands it to the
// shell, and returns as soon as the program is running in the background;
// where its own end would end the program, it stays until the program has ended.
//
// Every refusal goes through fail(): one line on standard error, exit status 1.

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/auxv.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

// Buffer sizes, each with room for the terminating zero. The kernel reports
// the running file's path in at most PATH_MAX bytes, so the install directory
// fits in PATH_MAX and every path formed from it adds at most "/bin/morvelin".
// Single-quoted, a path grows at most fourfold (each ' becomes '\''), and the
// launch command holds two such paths. They all live on the stack, and no run
// of the launcher needs 80 KiB of it.
constexpr size_t pathSize = PATH_MAX + sizeof "/bin/morvelin" - 1;
constexpr size_t quotedSize = 4 * pathSize;
constexpr size_t commandSize = 2 * quotedSize + sizeof "export LD_LIBRARY_PATH=; &";
constexpr size_t reasonSize = 512;

// Whether the byte at `at` in `text` belongs to a control character: an ASCII
// control byte, or either byte of a C1 control in its UTF-8 form (0xC2 followed
// by 0x80 to 0x9F, such as CSI, 0xC2 0x9B).
static bool isControlByte(const char* text, size_t at) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    // text[i + 1] is read only after a 0xC2, so never past the terminating zero
    const auto isC1 = [&](size_t i) { return byte(i) == 0xc2 && byte(i + 1) >= 0x80 && byte(i + 1) <= 0x9f; };
    return byte(at) < 0x20 || byte(at) == 0x7f || isC1(at) || (at > 0 && isC1(at - 1));
}

// Leaves in `shown` the text `path` as it can be shown on one terminal line: a
// newline as \n, the bytes of other control characters as three octal digits
// each (\033, \302\233), and the backslash as \\. A path too long for `size`
// bytes is shown in part.
static void printable(const char* path, char* shown, size_t size) {
    size_t length = 0;
    for (size_t at = 0; path[at] != '\0' && length + 5 <= size; ++at) {  // 4 bytes and the zero
        const unsigned char c = static_cast<unsigned char>(path[at]);
        if (c == '\n') {
            length += static_cast<size_t>(snprintf(shown + length, 5, "\\n"));
        } else if (c == '\\') {
            length += static_cast<size_t>(snprintf(shown + length, 5, "\\\\"));
        } else if (isControlByte(path, at)) {
            length += static_cast<size_t>(snprintf(shown + length, 5, "\\%03o", c));
        } else {
            shown[length++] = static_cast<char>(c);
        }
    }
    shown[length] = '\0';
}

// Refuses to go on: says on standard error what went wrong with `path`, and
// exits with status 1.
[[noreturn, gnu::format(printf, 2, 3)]] static void fail(const char* path, const char* format, ...) {
    char reason[reasonSize];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(reason, sizeof reason, format, arguments);
    va_end(arguments);
    // "startMorvelin: PATH: REASON", written whole in one write
    constexpr char prefix[] = "startMorvelin: ";
    char line[sizeof prefix + 4 * pathSize + sizeof ": \n" + sizeof reason];
    memcpy(line, prefix, sizeof prefix - 1);
    printable(path, line + sizeof prefix - 1, 4 * pathSize);
    const size_t length = strlen(line);
    snprintf(line + length, sizeof line - length, ": %s\n", reason);
    fputs(line, stderr);
    exit(1);
}

// Leaves in `text` what `format` yields with the arguments that follow it; a
// text that would not fit in `size` bytes is refused, never cut.
[[gnu::format(printf, 3, 4)]] static void formatted(char* text, size_t size, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const int length = vsnprintf(text, size, format, arguments);
    va_end(arguments);
    if (length < 0 || static_cast<size_t>(length) >= size) {
        fail(text, "cannot form a text of more than %zu bytes", size - 1);
    }
}

// Leaves in `fault` why `path`, which `link` reads as, does not lead to the
// file that is running, or the empty text when it does. The link's text is the
// path as seen where the file was reached (another mount namespace, a
// filesystem unmounted since), but opening the link itself always reaches the
// running file, also under a CPU emulator, which answers for the link but not
// for a stat of it.
static void runningFileFault(const char* link, const char* path, char* fault, size_t size) {
    const int running = open(link, O_PATH | O_CLOEXEC);
    if (running < 0) {
        fail(link, "cannot open the link to this program: %s", strerror(errno));
    }
    struct stat runningStatus {};
    struct stat named {};
    const bool followed = fstat(running, &runningStatus) == 0 && stat(path, &named) == 0;
    const int error = errno;
    close(running);
    if (!followed) {
        formatted(fault, size, "reported as this program's path, but it can't be followed: %s", strerror(error));
    } else if (runningStatus.st_dev != named.st_dev || runningStatus.st_ino != named.st_ino) {
        formatted(fault, size, "%s", "reported as this program's path, but it leads to another file");
    } else {
        formatted(fault, size, "%s", "");
    }
}

// What would make the dynamic loader run `file` in its secure-execution
// mode, in which it ignores LD_LIBRARY_PATH, or null when nothing would: a
// set-user-ID or set-group-ID bit that changes who it runs as, or file
// capabilities, which raise the privileges of any user but root. Neither takes
// effect on a filesystem mounted nosuid.
static const char* secureExecutionCause(const char* file, const struct stat& status) {
    struct statvfs filesystem {};
    if (statvfs(file, &filesystem) == 0 && (filesystem.f_flag & ST_NOSUID) != 0) {
        return nullptr;
    }
    if ((status.st_mode & S_ISUID) != 0 && status.st_uid != getuid()) {
        return "it is set-user-ID (chmod u-s clears it)";
    }
    constexpr mode_t setgid = S_ISGID | S_IXGRP;  // S_ISGID without S_IXGRP sets no group
    if ((status.st_mode & setgid) == setgid && status.st_gid != getgid()) {
        return "it is set-group-ID (chmod g-s clears it)";
    }
    if (getuid() != 0 && getxattr(file, "security.capability", nullptr, 0) >= 0) {
        return "it has file capabilities (setcap -r removes them)";
    }
    return nullptr;
}

// Leaves in `path`, of `size` bytes, the directory that holds this program's
// executable file, as the kernel reports it (symbolic links resolved):
// absolute, without a trailing '/', and the empty text for the root directory.
// /proc/self names this process in whatever pid namespace /proc belongs to; its
// pid may name another there.
void getPath(char* path, int size) {
    const char* const link = "/proc/self/exe";
    char target[PATH_MAX];
    ssize_t length = readlink(link, target, sizeof target);
    if (length == static_cast<ssize_t>(sizeof target)) {  // no room left to tell a whole path from a cut one
        length = -1;
        errno = ENAMETOOLONG;
    }
    if (length < 0) {
        const int error = errno;
        fail(link, "cannot read the link to this program: %s%s", strerror(error),
             error == ENAMETOOLONG ? "; its path is too long for the kernel to report" : "; it needs /proc mounted");
    }
    target[length] = '\0';
    char fault[reasonSize];
    runningFileFault(link, target, fault, sizeof fault);
    if (fault[0] != '\0') {
        fail(target, "%s; start it by a path to its install tree that is valid in this mount namespace", fault);
    }
    // Privileges gained by this run would pass to the shell and the program,
    // with the caller's environment.
    if (getauxval(AT_SECURE) != 0) {
        struct stat status {};
        const char* const cause = stat(target, &status) == 0 ? secureExecutionCause(target, status) : nullptr;
        fail(target, "%s, so the shell and the main program would run with privileges that its caller lacks",
             cause != nullptr ? cause : "it gains privileges when run");
    }
    if (char* const lastSlash = strrchr(target, '/')) {
        *lastSlash = '\0';
    }
    formatted(path, static_cast<size_t>(size), "%s", target);
}

// Whether `text` holds a token that the dynamic loader expands in its library
// path: $ORIGIN, $LIB or $PLATFORM, bare (not followed by a letter, digit or
// '_') or in braces.
static bool holdsLoaderToken(const char* text) {
    const auto isNameChar = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    };
    const char* const names[] = {"ORIGIN", "LIB", "PLATFORM"};
    for (const char* at = strchr(text, '$'); at != nullptr; at = strchr(at + 1, '$')) {
        for (const char* const name : names) {
            const size_t n = strlen(name);
            // each comparison reads on only where the one before it matched
            const bool bare = strncmp(at + 1, name, n) == 0 && !isNameChar(at[1 + n]);
            const bool braced = at[1] == '{' && strncmp(at + 2, name, n) == 0 && at[2 + n] == '}';
            if (bare || braced) {
                return true;
            }
        }
    }
    return false;
}

// Leaves in `fault` why `installDir` can't be used, or the empty text when it can.
static void installDirFault(const char* installDir, char* fault, size_t size) {
    for (size_t at = 0; installDir[at] != '\0'; ++at) {
        if (isControlByte(installDir, at)) {
            formatted(fault, size, "%s", "install directory holds a control character");
            return;
        }
        if (installDir[at] == ':' || installDir[at] == ';') {
            formatted(fault, size, "install directory holds '%c', at which the dynamic loader splits its library path",
                      installDir[at]);
            return;
        }
    }
    formatted(fault, size, "%s",
              holdsLoaderToken(installDir)
                  ? "install directory holds $ORIGIN, $LIB or $PLATFORM, which the dynamic loader would expand"
                  : "");
}

// Leaves in `fault` why `program` can't be started, or the empty text when it can.
static void programFault(const char* program, char* fault, size_t size) {
    struct stat status {};
    if (stat(program, &status) != 0) {
        const int error = errno;
        const char* hint = "";
        if (error == ENOENT) {
            hint = lstat(program, &status) == 0 ? "; it is a symbolic link that leads nowhere"
                                                : "; the launcher must lie at the top of its install tree, "
                                                  "beside bin/ (a symbolic link to it may lie anywhere)";
        }
        formatted(fault, size, "%s%s", strerror(error), hint);
    } else if (!S_ISREG(status.st_mode)) {
        formatted(fault, size, "%s", "not a regular file");
    } else if (access(program, X_OK) != 0) {
        formatted(fault, size, "%s", strerror(errno));
    } else if (const char* const cause = secureExecutionCause(program, status)) {
        formatted(fault, size, "%s, so the dynamic loader would ignore LD_LIBRARY_PATH", cause);
    } else {
        formatted(fault, size, "%s", "");
    }
}

// Whether the shell takes `text` as one word as it stands: letters, digits,
// bytes of 0x80 and above, and a few punctuation marks without a meaning to it.
static bool isPlainWord(const char* text) {
    for (; *text != '\0'; ++text) {
        const unsigned char c = static_cast<unsigned char>(*text);
        const bool alphanumeric = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!alphanumeric && c < 0x80 && strchr("/._-+,@%", c) == nullptr) {
            return false;
        }
    }
    return true;
}

// Leaves in `quoted` the text `text` as one shell word in single quotes, inside
// which no byte has a meaning but the single quote itself: that one is written
// '\'' (close the quotes, an escaped quote, reopen). No escape ever follows a
// byte of `text` inside the quotes, where a multibyte locale (GBK, Big5,
// Shift_JIS) could read the two as one character.
static void singleQuoted(const char* text, char* quoted, size_t size) {
    if (4 * strlen(text) + 3 > size) {  // the most it can take: every byte a quote
        fail(text, "cannot form a text of more than %zu bytes", size - 1);
    }
    size_t length = 0;
    quoted[length++] = '\'';
    for (; *text != '\0'; ++text) {
        if (*text == '\'') {
            memcpy(quoted + length, "'\\''", 4);
            length += 4;
        } else {
            quoted[length++] = *text;
        }
    }
    quoted[length++] = '\'';
    quoted[length] = '\0';
}

// Leaves in `command` the shell command that starts `program`, bin/morvelin, in
// the background with the library directory as its only library search path.
// Plain names give the launch format's text exactly; any other name is
// single-quoted, so that it stays one word and nothing in it expands or runs,
// in any shell or locale.
static void launchCommand(const char* binDir, const char* libDir, const char* program, char* command, size_t size) {
    if (isPlainWord(binDir)) {
        formatted(command, size, "export LD_LIBRARY_PATH=\"%s\"; %s/morvelin &", libDir, binDir);
        return;
    }
    // export LD_LIBRARY_PATH='LIBDIR'; 'BINDIR/morvelin' &, each path quoted in place
    size_t length = 0;
    const auto append = [&](const char* text, bool quoted) {
        if (quoted) {
            singleQuoted(text, command + length, size - length);
        } else {
            formatted(command + length, size - length, "%s", text);
        }
        length += strlen(command + length);
    };
    append("export LD_LIBRARY_PATH=", false);
    append(libDir, true);
    append("; ", false);
    append(program, true);
    append(" &", false);
}

// Leaves in `fault` why the shell that `system` ran with `status` failed, or
// the empty text when it did its job. A shell that can't be started shows as
// status 127 with glibc, as -1 and ENOENT with musl.
static void shellFault(int status, char* fault, size_t size) {
    const char* const notStarted =
        "the shell could not be started; is /bin/sh there, and no limit on processes, "
        "open files or memory (ulimit -u, -n, -v) reached?";
    if (status == -1) {
        formatted(fault, size, "%s", errno == ENOENT ? notStarted : strerror(errno));
    } else if (WIFSIGNALED(status)) {
        formatted(fault, size, "the shell was killed by signal %d", WTERMSIG(status));
    } else if (WEXITSTATUS(status) == 127) {
        formatted(fault, size, "%s", notStarted);
    } else if (WEXITSTATUS(status) != 0) {
        formatted(fault, size, "the shell ended with status %d", WEXITSTATUS(status));
    } else {
        formatted(fault, size, "%s", "");
    }
}

// Whether the program would end with the launcher: as process 1 of a pid
// namespace, whose end ends every process in it, or as the leader of a session
// with a controlling terminal, whose end hangs up the terminal's foreground
// process group, which holds the program.
static bool programEndsWithLauncher() {
    if (getpid() == 1) {
        return true;
    }
    if (getsid(0) != getpid()) {
        return false;
    }
    const int terminal = open("/dev/tty", O_RDONLY | O_NOCTTY | O_CLOEXEC);
    if (terminal < 0) {
        return false;
    }
    close(terminal);
    return true;
}

// Passes SIGTERM or SIGHUP sent to the launcher on to its process group, which
// the shell and the program share; the copy that comes back to the launcher
// itself stops here.
static void passOn(int signal, siginfo_t* info, void*) {
    if (info->si_pid != getpid()) {
        kill(0, signal);
    }
}

// Readies the launcher, before the shell runs, to stay with the program: the
// program is handed to it when the shell ends, and the result says whether it
// will be (CPU emulators refuse it). It leads a process group of its own, which
// the shell and the program join, so that the signals it passes on reach
// nothing of its caller's; process 1 would not even get them without a
// handler. The shell starts with these handlers reset to their defaults.
static bool becomeProgramsReaper() {
    const bool reaper = prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
    setpgid(0, 0);  // a session leader leads its group already
    struct sigaction passing {};
    passing.sa_sigaction = passOn;
    passing.sa_flags = SA_SIGINFO | SA_RESTART;
    sigaction(SIGTERM, &passing, nullptr);
    sigaction(SIGHUP, &passing, nullptr);
    return reaper;
}

// Whether a process other than the launcher is in the launcher's process
// group, as /proc lists them. The listing is read straight from the kernel, as
// opendir would need the heap, and with it an allocator in the launcher.
static bool groupHoldsOthers() {
    const int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    char entries[4096];  // each an 8-byte inode, 8-byte offset, 2-byte size, 1-byte type, then the name
    bool found = false;
    long length = 0;
    while (proc >= 0 && !found && (length = syscall(SYS_getdents64, proc, entries, sizeof entries)) > 0) {
        unsigned short size = 0;
        for (long at = 0; at < length && !found; at += size) {
            memcpy(&size, entries + at + 16, sizeof size);
            const pid_t pid = atoi(entries + at + 19);
            found = pid > 0 && pid != getpid() && getpgid(pid) == getpgrp();
        }
    }
    if (proc >= 0) {
        close(proc);
    }
    return found;
}

// Stays until every process handed to the launcher has ended, reaping each;
// where none is handed to it, until its process group holds no other process,
// looked for four times a second. A Ctrl-C, which the program ignores, must not
// end the launcher, and with it the program.
static void awaitProgramsEnd(bool reaper) {
    signal(SIGINT, SIG_IGN);
    signal(SIGQUIT, SIG_IGN);
    while (waitpid(-1, nullptr, 0) > 0 || errno == EINTR) {
    }
    const timespec pause{0, 250000000};
    while (!reaper && groupHoldsOthers()) {
        nanosleep(&pause, nullptr);
    }
}

int main(int, char**) {
    char installDir[PATH_MAX];
    getPath(installDir, sizeof installDir);
    char fault[reasonSize];
    installDirFault(installDir, fault, sizeof fault);
    if (fault[0] != '\0') {
        fail(installDir, "%s; rename or move the directory", fault);
    }
    char binDir[pathSize];
    char libDir[pathSize];
    char program[pathSize];
    formatted(binDir, sizeof binDir, "%s/bin", installDir);
    formatted(libDir, sizeof libDir, "%s/lib", binDir);
    formatted(program, sizeof program, "%s/morvelin", binDir);
    programFault(program, fault, sizeof fault);
    if (fault[0] != '\0') {
        fail(program, "cannot start the main program: %s", fault);
    }

    char command[commandSize];
    launchCommand(binDir, libDir, program, command, sizeof command);
    // A reader gone must give a message, not a silent death; the shell and the
    // program get SIGPIPE as the caller gave it.
    const auto callersSigpipe = signal(SIGPIPE, SIG_IGN);
    if (puts(command) == EOF || fflush(stdout) == EOF) {
        fail("standard output", "cannot print the launch command: %s", strerror(errno));
    }
    signal(SIGPIPE, callersSigpipe);
    // A SIGCHLD ignored by whoever started us would make `system` lose the
    // shell's status and report a failure after a good start.
    signal(SIGCHLD, SIG_DFL);
    const bool stay = programEndsWithLauncher();
    const bool reaper = stay && becomeProgramsReaper();
    shellFault(system(command), fault, sizeof fault);
    if (fault[0] != '\0') {
        fail("/bin/sh", "cannot run the launch command: %s", fault);
    }
    if (stay) {
        awaitProgramsEnd(reaper);
    }
    return 0;
}

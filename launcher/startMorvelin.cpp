// startMorvelin: starts the application's main program, bin/morvelin, from the
// install tree this launcher lies in, with bin/lib as the dynamic loader's only
// library search path. It prints the shell command it runs, hands it to the
// shell, and returns as soon as the program is running in the background;
// where its own end would end the program, it stays, passes on to the program
// every signal it gets, and ends when the program ends, with its status.
//
// Every refusal goes through fail(): one line on standard error, exit status 1.

#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <link.h>
#include <signal.h>
#include <spawn.h>
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

// The launcher's own ELF header, which the linker maps with its program.
extern "C" const char __ehdr_start[];

// Leaves in `fault` why the kernel would not run the ELF program open as
// `file`, of `fileSize` bytes, whose header is `header`: it is cut short of
// what its program headers name, or its dynamic loader can't be run; else the
// empty text.
static void elfFault(int file, const ElfW(Ehdr) & header, off_t fileSize, char* fault, size_t size) {
    const auto within = [&](uint64_t offset, uint64_t length) { return offset + length <= uint64_t(fileSize); };
    const size_t headers = header.e_phnum * sizeof(ElfW(Phdr));
    bool whole = header.e_phentsize == sizeof(ElfW(Phdr)) && within(header.e_phoff, headers);
    formatted(fault, size, "%s", "");
    for (unsigned n = 0; n < header.e_phnum && whole && fault[0] == '\0'; ++n) {
        ElfW(Phdr) segment{};
        char loader[PATH_MAX] = {};
        whole = pread(file, &segment, sizeof segment, off_t(header.e_phoff + n * sizeof segment)) == sizeof segment &&
                within(segment.p_offset, segment.p_filesz);
        if (whole && segment.p_type == PT_INTERP && segment.p_filesz < sizeof loader &&
            pread(file, loader, segment.p_filesz, off_t(segment.p_offset)) == ssize_t(segment.p_filesz) &&
            access(loader, X_OK) != 0) {
            formatted(fault, size, "its dynamic loader, %s, can't be run: %s", loader, strerror(errno));
        }
    }
    if (!whole) {
        formatted(fault, size, "it is cut short, at %lld bytes", static_cast<long long>(fileSize));
    }
}

// Leaves in `fault` why the kernel would not run `program`, a regular file of
// `fileSize` bytes, where its first bytes tell: a script whose interpreter
// can't be run, or a program for this launcher's processor that is cut short
// or whose dynamic loader can't be run; else the empty text. A file that its
// caller may run but not read passes unseen, and so does a program for another
// processor, which an emulator that the kernel knows may run with loaders of
// its own.
static void contentFault(const char* program, off_t fileSize, char* fault, size_t size) {
    formatted(fault, size, "%s", "");
    const int file = open(program, O_RDONLY | O_CLOEXEC);
    char head[256] = {};  // as much as the kernel reads of a script's first line, with room for the zero
    const ssize_t length = file < 0 ? -1 : pread(file, head, sizeof head - 1, 0);
    if (length > 2 && head[0] == '#' && head[1] == '!') {
        char* const interpreter = head + 2 + strspn(head + 2, " \t");
        interpreter[strcspn(interpreter, " \t\n")] = '\0';
        if (access(interpreter, X_OK) != 0) {
            formatted(fault, size, "its interpreter, %s, can't be run: %s", interpreter, strerror(errno));
        }
    } else if (length >= EI_NIDENT && memcmp(head, __ehdr_start, EI_OSABI) == 0) {  // ELF of this class, byte order
        ElfW(Ehdr) header{};
        memcpy(&header, head, sizeof header);
        if (header.e_machine == reinterpret_cast<const ElfW(Ehdr)*>(__ehdr_start)->e_machine) {
            elfFault(file, header, fileSize, fault, size);
        }
    }
    if (file >= 0) {
        close(file);
    }
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
        contentFault(program, status.st_size, fault, size);
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

// Leaves in `fault` why the shell that ended with `status` failed, or the
// empty text when it did its job. A shell that can't be started shows as
// status 127 with glibc's `system`, as -1 with musl's and with posix_spawn,
// with the error `error`.
static void shellFault(int status, int error, char* fault, size_t size) {
    const char* const notStarted =
        "the shell could not be started; is /bin/sh there, and no limit on processes, "
        "open files or memory (ulimit -u, -n, -v) reached?";
    if (status == -1) {
        formatted(fault, size, "%s", error == ENOENT ? notStarted : strerror(error));
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

// Refuses to go on where the shell that ended with `status` (-1: not started,
// for the error `error`) failed.
static void checkShell(int status, int error) {
    char fault[reasonSize];
    shellFault(status, error, fault, sizeof fault);
    if (fault[0] != '\0') {
        fail("/bin/sh", "cannot run the launch command: %s", fault);
    }
}

// Leaves in `text` the file /proc/PID/NAME, cut to `size` bytes with the
// terminating zero; false where it can't be read.
static bool procText(const char* pid, const char* name, char* text, size_t size) {
    char path[64];
    formatted(path, sizeof path, "/proc/%s/%s", pid, name);
    const int file = open(path, O_RDONLY | O_CLOEXEC);
    const ssize_t length = file < 0 ? -1 : read(file, text, size - 1);
    if (file >= 0) {
        close(file);
    }
    text[length > 0 ? length : 0] = '\0';
    return length > 0;
}

// Field `n` (counted from 1) of the /proc/PID/stat `text` as a number, or 0
// where it has fewer fields. Field 2, the name, stands in parentheses and may
// hold blanks and parentheses itself.
static long long statField(const char* text, int n) {
    const char* field = strrchr(text, ')');
    for (int at = 2; field != nullptr && at < n; ++at) {
        field = strchr(field + 1, ' ');
    }
    return field != nullptr ? atoll(field) : 0;
}

// Whether the launcher, whose /proc/PID/stat is `stat`, has a controlling
// terminal.
static bool hasTerminal(const char* stat) { return statField(stat, 7) != 0; }

// Whether the launcher, whose /proc/PID/stat is `stat`, is its terminal's
// command, or runs in its place: its process group is its session leader's,
// which the leader's end hangs up, and holds the terminal's foreground. The
// group, session and foreground group in `stat` agree with each other in
// whatever pid namespace /proc belongs to, and are 0 where they lie outside it;
// no /dev/tty is needed.
static bool isTerminalsCommand(const char* stat) {
    const long long group = statField(stat, 5);
    return group > 0 && group == statField(stat, 6) && group == statField(stat, 8);
}

// Whether the program would end with the launcher: where the launcher's parent
// lies outside its pid namespace (getppid() gives 0), as process 1 of that
// namespace, whose end ends every process in it, or as a process started into
// it from outside (a container of a pod that shares one pid namespace, podman
// exec, nsenter), whose engine ends what is left of it when it ends; as the
// child of process 1 (a container's init, such as tini or dumb-init, which ends
// with its child), but in a systemd service, which systemd expects to return;
// or as a terminal's command (`terminalsCommand`).
static bool programEndsWithLauncher(bool terminalsCommand) {
    const pid_t parent = getppid();
    return parent == 0 || (parent == 1 && getenv("INVOCATION_ID") == nullptr) || terminalsCommand;
}

// Every signal: also 32 to 34, which sigfillset leaves out, as the C libraries
// keep them for threads, of which the launcher has none.
static sigset_t everySignal() {
    sigset_t all;
    memset(&all, 0xff, sizeof all);
    return all;
}

// Sets ignored once more each signal that the launcher's caller gave it
// ignored. The kernel hands that on to the shell and the program by itself, but
// a CPU emulator catches such signals for its own use, unless the program it
// runs sets them ignored itself.
static void ignoredAgain() {
    for (int signal = 1; signal < 65; ++signal) {
        struct sigaction action {};
        if (sigaction(signal, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) {
            sigaction(signal, &action, nullptr);
        }
    }
}

// Sets the launcher's signal mask to `mask` and yields the one before, every
// bit of both, where sigprocmask would leave out what sigfillset leaves out.
static sigset_t swappedMask(const sigset_t& mask) {
    constexpr size_t kernelsSize = 64 / 8;  // the kernel's signal set, on every processor the launcher is built for
    sigset_t before;
    sigemptyset(&before);
    syscall(SYS_rt_sigprocmask, SIG_SETMASK, &mask, &before, kernelsSize);
    return before;
}

// The clock tick that /proc will give as the start of a process started now,
// or an earlier one: taken from the clock that /proc counts in, in the ticks
// it counts.
static long long startTick() {
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);  // the C library picks the kernel call whose time_t it has
    long long ticks = static_cast<long long>(getauxval(AT_CLKTCK));
    ticks = ticks > 0 ? ticks : 100;  // 100 on every processor the launcher is built for
    return now.tv_sec * ticks + now.tv_nsec / (1000000000 / ticks);
}

// Starts the shell on `command` with the signal mask `callers`, in the
// launcher's process group or (`ownGroup`) in a group of its own, which the
// program joins; yields its process id, or refuses to go on.
static pid_t startedShell(const char* command, const sigset_t& callers, bool ownGroup) {
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | (ownGroup ? POSIX_SPAWN_SETPGROUP : 0));
    posix_spawnattr_setsigmask(&attributes, &callers);
    char* const arguments[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>(command), nullptr};
    pid_t shell = -1;
    const int error = posix_spawn(&shell, "/bin/sh", nullptr, &attributes, arguments, environ);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) {
        checkShell(-1, error);
    }
    swappedMask(everySignal());  // posix_spawn gives back a mask without what sigfillset leaves out
    return shell;
}

// The clock tick in which the process /proc/NAME started where it is a child
// of the launcher, whose id /proc gives as `launcher`, and then in `pid` its id
// in the launcher's pid namespace; else -1. Where /proc belongs to an
// enclosing namespace, with ids of its own, the process's id in its own
// namespace stands last on its NSpid line.
static long long childsStart(const char* name, long launcher, pid_t* pid) {
    char text[4096];
    if (!procText(name, "stat", text, sizeof text) || statField(text, 4) != launcher) {
        return -1;
    }
    const long long tick = statField(text, 22);
    *pid = atoi(name);
    if (launcher != getpid()) {
        const char* line = procText(name, "status", text, sizeof text) ? text : nullptr;
        while (line != nullptr && strncmp(line, "NSpid:", 6) != 0) {
            line = strchr(line, '\n');
            line = line != nullptr ? line + 1 : nullptr;
        }
        const char* id = line != nullptr ? strchr(line, '\n') : nullptr;  // the line's end, not cut off
        while (id != nullptr && id > line && id[-1] != '\t') {
            --id;
        }
        *pid = id != nullptr ? atoi(id) : 0;
    }
    return tick;
}

// Calls `visit` with the name in /proc of each process that may be a child of
// the launcher's, whose id /proc gives as `self`: those the kernel lists as its
// children (Linux 3.5 and later, built with CONFIG_PROC_CHILDREN, as the
// distributions' kernels are), else every process that /proc lists. Both are
// read straight from the kernel, as opendir would need the heap, and with it an
// allocator in the launcher.
template <typename Visit>
static void visitChildren(const char* self, const Visit& visit) {
    char path[64];
    formatted(path, sizeof path, "/proc/self/task/%s/children", self);  // the launcher's one thread
    if (const int file = open(path, O_RDONLY | O_CLOEXEC); file >= 0) {
        char names[4096];  // ids, each followed by a blank
        size_t kept = 0;   // the start of an id that the last read cut off
        ssize_t length = 0;
        while ((length = read(file, names + kept, sizeof names - 1 - kept)) > 0) {
            names[kept + static_cast<size_t>(length)] = '\0';
            char* name = names;
            for (char* blank = strchr(name, ' '); blank != nullptr; name = blank + 1, blank = strchr(name, ' ')) {
                *blank = '\0';
                visit(name);
            }
            kept = strlen(name);
            memmove(names, name, kept);
        }
        close(file);
        return;
    }
    const int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    char entries[4096];  // each an 8-byte inode, 8-byte offset, 2-byte size, 1-byte type, then the name
    long length = 0;
    while (proc >= 0 && (length = syscall(SYS_getdents64, proc, entries, sizeof entries)) > 0) {
        unsigned short size = 0;
        for (long at = 0; at < length; at += size) {
            memcpy(&size, entries + at + 16, sizeof size);
            const char* const name = entries + at + 19;
            if (name[0] >= '1' && name[0] <= '9') {
                visit(name);
            }
        }
    }
    if (proc >= 0) {
        close(proc);
    }
}

// The program that the shell, `shell`, started in the process group `group`
// and handed to the launcher as it ended, with its name in /proc left in
// `procName`, of `size` bytes; 0 where there is none. Of the launcher's
// children in that group, the one that started first, as all that the
// program's own children leave behind starts after it. Where the group is the
// launcher's own (`shared`), its children that started before the shell, in a
// clock tick before `shellTick`, or in it with a lower id, are its caller's.
static pid_t handedProgram(pid_t shell, pid_t group, bool shared, long long shellTick, char* procName, size_t size) {
    char self[32] = {};  // the launcher's id as /proc gives it, perhaps in an enclosing pid namespace
    const long launcher = readlink("/proc/self", self, sizeof self - 1) > 0 ? atol(self) : getpid();
    pid_t program = 0;
    long long programTick = 0;
    visitChildren(self, [&](const char* name) {
        pid_t pid = 0;
        const long long tick = childsStart(name, launcher, &pid);
        const bool afterShell = !shared || tick > shellTick || (tick == shellTick && pid > shell);
        if (pid > 0 && getpgid(pid) == group && afterShell &&
            (program == 0 || tick < programTick || (tick == programTick && pid < program))) {
            program = pid;
            programTick = tick;
            formatted(procName, size, "%s", name);
        }
    });
    return program;
}

// Ends the launcher where the shell, which ended with `shellStatus`, handed
// over no program, `program`: as a program's end by the signal that ended the
// shell where the launcher got it too (the stop its caller asked for); with the
// shell's failure; else saying that how the program ended can't be known.
[[noreturn]] static void endWithoutProgram(int shellStatus, const char* program) {
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    if (WIFSIGNALED(shellStatus) && sigismember(&pending, WTERMSIG(shellStatus)) == 1) {
        exit(128 + WTERMSIG(shellStatus));
    }
    checkShell(shellStatus, 0);
    fail(program, "%s",
         "cannot tell how the main program ended: the shell ended without handing it over, so it ended first, "
         "and the shell took its status, or it never started");
}

// Waits until the shell's child /proc/`procName` has become the program, or
// ended: until then it bears the shell's name and keeps the shell's handlers,
// which would take a signal passed on to it and drop it, and what it ignores
// is the shell's.
static void awaitedProgram(const char* procName) {
    char stat[1024];
    const timespec pause{0, 1000000};
    while (procText(procName, "stat", stat, sizeof stat) && strstr(stat, " (sh) ") != nullptr &&
           strstr(stat, " (sh) Z") == nullptr) {
        nanosleep(&pause, nullptr);
    }
}

// Whether the process /proc/NAME ignores `signal`.
static bool ignores(const char* name, int signal) {
    char text[4096];
    const char* const line = procText(name, "status", text, sizeof text) ? strstr(text, "\nSigIgn:\t") : nullptr;
    return line != nullptr && (strtoull(line + 9, nullptr, 16) >> (signal - 1) & 1) != 0;
}

// Passes the signal `got` on to `program` (/proc/`procName`), or to its process
// group, `group`, where the program is in it and the group is its own, not the
// launcher's (`shared`); yields the signal for which it ended the program
// instead, else 0. What the terminal sends to the launcher's group (its keys,
// its hang-up) has reached the program in it already. The shell started the
// program with SIGINT and SIGQUIT ignored, as a background job, while in the
// launcher's place it would end by them: one that ignores them is ended by
// SIGKILL, as by their default action but for a core dump. A stopped program
// given SIGHUP is continued, so that it acts on it, as the kernel continues a
// stopped group that nothing keeps when its terminal hangs up.
static int passedOn(const siginfo_t& got, pid_t program, const char* procName, pid_t group, bool shared, bool stopped) {
    const int signal = got.si_signo;
    const bool inGroup = getpgid(program) == group;
    const bool fromTerminal = shared && got.si_code == SI_KERNEL;
    if (signal == SIGHUP && stopped) {
        kill(program, SIGHUP);
        kill(program, SIGCONT);
    } else if ((signal == SIGINT || signal == SIGQUIT) && (inGroup || !fromTerminal) && ignores(procName, signal)) {
        kill(program, SIGKILL);
        return signal;
    } else if (!fromTerminal) {
        kill(inGroup && !shared ? -group : program, signal);
    }
    return 0;
}

// Reaps every child of the launcher's that has ended, and yields the status of
// `program` where it has ended: its exit code, or 128 + N where signal N ended
// it; else -1. Leaves in `stopped` whether the program is stopped.
static int programsEnd(pid_t program, bool* stopped) {
    int status = 0;
    for (pid_t pid = 0; (pid = waitpid(-1, &status, WNOHANG | WUNTRACED | WCONTINUED)) > 0;) {
        if (pid == program && (WIFSTOPPED(status) || WIFCONTINUED(status))) {
            *stopped = WIFSTOPPED(status);
        } else if (pid == program) {
            return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
        }
    }
    return -1;
}

// Stands for `program` (/proc/`procName`) in `group` until it ends, as a
// container's init stands for its child, and yields its status, or 128 + N
// where the launcher ended it for signal N: passes on each signal that reaches
// the launcher but SIGCHLD, and reaps every child handed to it.
static int standingFor(pid_t program, const char* procName, pid_t group, bool shared) {
    const sigset_t all = everySignal();
    bool stopped = false;
    int endedFor = 0;
    int status = programsEnd(program, &stopped);
    while (status < 0) {
        siginfo_t got{};
        if (const int signal = sigwaitinfo(&all, &got); signal > 0 && signal != SIGCHLD) {
            const int ended = passedOn(got, program, procName, group, shared, stopped);
            endedFor = ended != 0 ? ended : endedFor;
        }
        status = programsEnd(program, &stopped);
    }
    return endedFor != 0 ? 128 + endedFor : status;
}

// Where the launcher can't be made the program's reaper (CPU emulators refuse
// it), it can't learn the program's status: it passes each signal but SIGCHLD
// on to the program's group, `group`, reaps what is handed to it, and looks
// four times a second whether the group still holds a process; once it holds
// none, it says that how the program ended can't be known.
[[noreturn]] static void awaitedGroup(pid_t group, const char* program) {
    const sigset_t all = everySignal();
    const timespec pause{0, 250000000};
    for (;;) {
        if (const int signal = sigtimedwait(&all, nullptr, &pause); signal > 0 && signal != SIGCHLD) {
            kill(-group, signal);
        }
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        if (kill(-group, 0) != 0 && errno != EPERM) {
            fail(program, "%s", "cannot tell how the main program ended: the launcher can't be made its reaper here");
        }
    }
}

// Stays with `program` where its end would come with the launcher's, and
// yields the status to exit with. The shell on `command` runs with the signal
// mask `callers`: where the launcher has a terminal (`inTerminal`), in the
// launcher's process group, where the program would be in its place, so that
// the terminal's keys and foreground are the program's as they would be;
// elsewhere in a group of its own, which tells the program from anything else
// handed to the launcher. Every signal stays held until the program is known.
static int programsStatus(const char* command, const char* program, const sigset_t& callers, bool inTerminal) {
    // Orphans are handed to process 1 anyway; elsewhere the launcher must ask
    // for them, and CPU emulators refuse it.
    const bool reaper = getpid() == 1 || prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
    const bool shared = inTerminal && reaper;  // without, the program's end shows only as its group's end
    const long long shellTick = startTick();
    const pid_t shell = startedShell(command, callers, !shared);
    int shellStatus = 0;
    waitpid(shell, &shellStatus, 0);
    const pid_t group = shared ? getpgrp() : shell;
    if (!reaper) {
        awaitedGroup(group, program);
    }
    char procName[32];
    const pid_t handed = handedProgram(shell, group, shared, shellTick, procName, sizeof procName);
    if (handed == 0) {
        endWithoutProgram(shellStatus, program);
    }
    awaitedProgram(procName);
    return standingFor(handed, procName, group, shared);
}

int main(int, char**) {
    // Signals are held until the launcher knows whether it stays: process 1 of
    // a pid namespace would lose those it has no handler for.
    const sigset_t callers = swappedMask(everySignal());
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
    // A reader gone gives a message, not a silent death, as SIGPIPE is held.
    if (puts(command) == EOF || fflush(stdout) == EOF) {
        fail("standard output", "cannot print the launch command: %s", strerror(errno));
    }
    // A SIGCHLD ignored by whoever started us would make `system` lose the
    // shell's status and report a failure after a good start.
    signal(SIGCHLD, SIG_DFL);
    ignoredAgain();
    char stat[1024];
    procText("self", "stat", stat, sizeof stat);
    if (programEndsWithLauncher(isTerminalsCommand(stat))) {
        return programsStatus(command, program, callers, hasTerminal(stat));
    }
    swappedMask(callers);
    const int status = system(command);
    checkShell(status, errno);
    return 0;
}

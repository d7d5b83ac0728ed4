// startMorvelin: starts the application's main program, bin/morvelin, from the
// install tree this launcher lies in, with bin/lib as the dynamic loader's only
// library search path. It prints the shell command it runs, hands it to the
// shell, and returns as soon as the program is running in the background;
// where its own end would end the program, it stays, passes on to the program
// every signal it gets, and ends when the program ends, with its status.
//
// Every refusal goes through fail(): one line on standard error, exit status 1.

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
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

// Leaves in `fault` why the shell that ended with `status` failed, or the
// empty text when it did its job. A shell that can't be started shows as
// status 127 with glibc's `system`, as -1 and ENOENT with musl's and with
// posix_spawn.
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

// Refuses to go on where the shell that ended with `status` (-1, errno set:
// not started) failed.
static void checkShell(int status) {
    char fault[reasonSize];
    shellFault(status, fault, sizeof fault);
    if (fault[0] != '\0') {
        fail("/bin/sh", "cannot run the launch command: %s", fault);
    }
}

// A descriptor of the launcher's controlling terminal where the launcher runs
// in its session leader's process group and that group is the terminal's
// foreground group, which the leader's end hangs up; else -1. Not where the
// groups lie outside the launcher's pid namespace, which gives both ids as 0,
// nor where a shell without job control started it in the background, with
// SIGINT and SIGQUIT ignored as such a shell starts each background job: that
// shell goes on using the terminal.
static int heldTerminal() {
    const pid_t group = getpgrp();
    struct sigaction interrupt {};
    struct sigaction quit {};
    sigaction(SIGINT, nullptr, &interrupt);
    sigaction(SIGQUIT, nullptr, &quit);
    if (group <= 0 || group != getsid(0) || (interrupt.sa_handler == SIG_IGN && quit.sa_handler == SIG_IGN)) {
        return -1;
    }
    const int terminal = open("/dev/tty", O_RDONLY | O_NOCTTY | O_CLOEXEC);
    if (terminal >= 0 && tcgetpgrp(terminal) != group) {
        close(terminal);
        return -1;
    }
    return terminal;
}

// Whether the program would end with the launcher: where the launcher's parent
// lies outside its pid namespace (getppid() gives 0), as process 1 of that
// namespace, whose end ends every process in it, or as a process started into
// it from outside (a container of a pod that shares one pid namespace, podman
// exec, nsenter), whose engine ends what is left of it when it ends; as the
// child of process 1 (a container's init, such as tini or dumb-init, which ends
// with its child), but in a systemd service, which systemd expects to return;
// or where it holds its session's terminal (`terminal`, else -1).
static bool programEndsWithLauncher(int terminal) {
    const pid_t parent = getppid();
    return parent == 0 || (parent == 1 && getenv("INVOCATION_ID") == nullptr) || terminal >= 0;
}

// Starts the shell on `command` in a process group of its own, which the
// program joins, with the signal mask `callers`; yields its process id, or -1
// with errno set.
static pid_t startedShell(const char* command, const sigset_t& callers) {
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
    posix_spawnattr_setsigmask(&attributes, &callers);
    char* const arguments[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>(command), nullptr};
    pid_t shell = -1;
    errno = posix_spawn(&shell, "/bin/sh", nullptr, &attributes, arguments, environ);
    posix_spawnattr_destroy(&attributes);
    return errno == 0 ? shell : -1;
}

// Whether the program's group, `shell`, was given the foreground of `terminal`
// (-1: none): where the launcher's group still holds it, looked at right
// before, so that the terminal's keys reach the program's group directly, once.
static bool tookTerminal(int terminal, pid_t shell) {
    return terminal >= 0 && tcgetpgrp(terminal) == getpgrp() && tcsetpgrp(terminal, shell) == 0;
}

// Gives the foreground of `terminal` back to the launcher's group, its
// caller's, once the program has ended, as a job-control shell takes it back
// from a job that ended; not where something else has taken it from the
// program's group, `shell`, meanwhile, nor where the launcher leads the session,
// whose end then hangs up what the program left in the foreground. The launcher
// may do this from a background group, as SIGTTOU is blocked.
static void handBack(int terminal, pid_t shell) {
    if (getsid(0) != getpid() && tcgetpgrp(terminal) == shell) {
        tcsetpgrp(terminal, getpgrp());
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

// The text, from the blank before it, of field `n` (counted from 1) of the
// /proc/PID/stat `text`, or null where it has fewer fields. Field 2, the name,
// stands in parentheses and may hold blanks and parentheses itself.
static const char* statField(const char* text, int n) {
    const char* field = strrchr(text, ')');
    for (int at = 2; field != nullptr && at < n; ++at) {
        field = strchr(field + 1, ' ');
    }
    return field;
}

// The clock tick in which the process /proc/NAME started where it is a child
// of the launcher, whose id /proc gives as `launcher`, and then in `pid` its id
// in the launcher's pid namespace; else -1. Where /proc belongs to an
// enclosing namespace, with ids of its own, the process's id in its own
// namespace stands last on its NSpid line.
static long long childsStart(const char* name, long launcher, pid_t* pid) {
    char text[4096];
    const char* const parent = procText(name, "stat", text, sizeof text) ? statField(text, 4) : nullptr;
    const char* const start = statField(text, 22);
    if (parent == nullptr || start == nullptr || atol(parent) != launcher) {
        return -1;
    }
    const long long tick = atoll(start);
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

// The program that the shell started in the background, which the shell's end
// has just handed to the launcher: of the launcher's children that started
// after the shell (in clock tick `shellTick` or later, and there with a later
// id), the one that started first, since all that the program's own children
// leave behind starts after it; 0 where there is none.
static pid_t handedProgram(pid_t shell, long long shellTick) {
    char self[32] = {};  // the launcher's id as /proc gives it, perhaps in an enclosing pid namespace
    const long launcher = readlink("/proc/self", self, sizeof self - 1) > 0 ? atol(self) : getpid();
    pid_t program = 0;
    long long programTick = 0;
    visitChildren(self, [&](const char* name) {
        pid_t pid = 0;
        const long long tick = childsStart(name, launcher, &pid);
        const bool afterShell = tick > shellTick || (tick == shellTick && pid > shell);
        if (pid > 0 && afterShell && (program == 0 || tick < programTick || (tick == programTick && pid < program))) {
            program = pid;
            programTick = tick;
        }
    });
    return program;
}

// Passes `signal` on to the program's process group, `shell`, and to the
// program itself (0: not known yet) where it has left that group, so that each
// gets it once.
static void passOn(int signal, pid_t shell, pid_t program) {
    kill(-shell, signal);
    if (program > 0 && getpgid(program) != shell) {
        kill(program, signal);
    }
}

// Waits, with every signal blocked, for the program to end, and yields its exit
// code, or 128 + N where signal N ended it, and leaves the shell's status in
// `shellStatus`. Each signal that reaches the launcher meanwhile but SIGCHLD,
// its own, is passed on to the program; every process handed to the launcher
// is reaped. Where `resumes`, the launcher is the terminal's command in the
// program's place, and a stop from the terminal (Ctrl-Z) is undone at once, as
// the kernel ignores it for the group of a terminal's command; elsewhere it
// stops the program, and it goes on when the launcher is sent SIGCONT (a
// job-control shell's fg). Where the launcher is not the program's reaper, it
// can't learn the status: it looks four times a second whether the group still
// holds a process, and yields 0 once it holds none.
static int awaitedStatus(pid_t shell, long long shellTick, bool reaper, bool resumes, int* shellStatus) {
    sigset_t all;
    sigfillset(&all);
    const timespec pause{0, 250000000};
    bool shellEnded = false;
    pid_t program = 0;
    for (;;) {
        const int signal = sigtimedwait(&all, nullptr, reaper ? nullptr : &pause);
        if (signal > 0 && signal != SIGCHLD) {
            passOn(signal, shell, program);
        }
        siginfo_t ended{};
        int waited = 0;
        while ((waited = waitid(P_ALL, 0, &ended, WEXITED | WSTOPPED | WNOHANG | WNOWAIT)) == 0 && ended.si_pid != 0) {
            int status = 0;
            if (ended.si_code == CLD_STOPPED) {
                waitid(P_PID, static_cast<id_t>(ended.si_pid), &ended, WSTOPPED | WNOHANG);  // reported once
                if (resumes && ended.si_status == SIGTSTP) {
                    passOn(SIGCONT, shell, program);
                }
            } else if (!shellEnded && waitpid(shell, &status, WNOHANG) == shell) {
                // The shell first: the program is handed over only as the shell ends,
                // so a process that ended while the shell ran is not the program.
                *shellStatus = status;
                shellEnded = true;
                program = reaper ? handedProgram(shell, shellTick) : 0;
                if (reaper && program == 0) {
                    return 0;  // none started, or it ended before the shell did, and the shell reaped it
                }
            } else if (waitpid(ended.si_pid, &status, 0) == program) {
                return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
            }
            ended = {};
        }
        // Left with no child, or, where it can't have them, its group with no process: nothing more to await
        if (shellEnded && (reaper ? waited != 0 : kill(-shell, 0) != 0 && errno != EPERM)) {
            return 0;
        }
    }
}

// Stays with the program where its end would come with the launcher's, and
// yields the status to exit with: runs the shell on `command` in a group of its
// own, which takes the foreground of `terminal` (-1: none) and gives it back
// when the program has ended, and awaits the program's end. The launcher stays
// in its caller's process group, so that a job-control shell's keys and its fg
// reach it where the program's group has not taken the terminal.
static int programsStatus(const char* command, int terminal) {
    // Orphans are handed to process 1 anyway; elsewhere the launcher must ask
    // for them, and CPU emulators refuse it.
    const bool reaper = getpid() == 1 || prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
    sigset_t all;
    sigset_t callers;
    sigfillset(&all);
    sigprocmask(SIG_SETMASK, &all, &callers);
    // The clock tick that /proc will give as the shell's start, or an earlier
    // one: taken from the clock that /proc counts in, in the ticks it counts.
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);  // the C library picks the kernel call whose time_t it has
    long long ticks = static_cast<long long>(getauxval(AT_CLKTCK));
    ticks = ticks > 0 ? ticks : 100;  // 100 on every processor the launcher is built for
    const long long shellTick = now.tv_sec * ticks + now.tv_nsec / (1000000000 / ticks);
    const pid_t shell = startedShell(command, callers);
    if (shell < 0) {
        checkShell(-1);  // before anything else can set errno
    }
    const bool took = tookTerminal(terminal, shell);
    int shellStatus = 0;
    const int status = awaitedStatus(shell, shellTick, reaper, took, &shellStatus);
    if (took) {
        handBack(terminal, shell);
    }
    if (terminal >= 0) {
        close(terminal);
    }
    checkShell(shellStatus);
    return status;
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
    const int terminal = heldTerminal();
    if (programEndsWithLauncher(terminal)) {
        return programsStatus(command, terminal);
    }
    if (terminal >= 0) {
        close(terminal);
    }
    checkShell(system(command));
    return 0;
}

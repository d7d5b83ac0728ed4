// startMorvelin: starts the application's main program, bin/morvelin, from the
// install tree this launcher lies in, with bin/lib as the dynamic loader's only
// library search path. It prints the shell command it runs, hands it to the
// shell, and returns as soon as the program is running in the background;
// where its own end would end the program, it stays until the program has ended.
//
// Every refusal goes through fail(): one line on standard error, exit status 1.

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

// Whether the byte at `at` in `text` belongs to a control character: an ASCII
// control byte, or either byte of a C1 control in its UTF-8 form (0xC2 followed
// by 0x80 to 0x9F, such as CSI, 0xC2 0x9B).
static bool isControlByte(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return i < text.size() ? static_cast<unsigned char>(text[i]) : 0; };
    const auto isC1 = [&](std::size_t i) { return byte(i) == 0xc2 && byte(i + 1) >= 0x80 && byte(i + 1) <= 0x9f; };
    return byte(at) < 0x20 || byte(at) == 0x7f || isC1(at) || (at > 0 && isC1(at - 1));
}

// `path` as it can be shown on one terminal line: a newline as \n, the bytes of
// other control characters as three octal digits each (\033, \302\233), and the
// backslash as \\.
static std::string printable(const std::string& path) {
    std::string shown;
    for (std::size_t at = 0; at < path.size(); ++at) {
        if (path[at] == '\n') {
            shown += "\\n";
        } else if (path[at] == '\\') {
            shown += "\\\\";
        } else if (isControlByte(path, at)) {
            char octal[5];
            std::snprintf(octal, sizeof octal, "\\%03o", static_cast<unsigned char>(path[at]));
            shown += octal;
        } else {
            shown += path[at];
        }
    }
    return shown;
}

[[noreturn]] static void fail(const std::string& path, const std::string& reason) {
    std::fprintf(stderr, "startMorvelin: %s: %s\n", printable(path).c_str(), reason.c_str());
    std::exit(1);
}

// The text `format` yields with `args`, however long it is.
template <typename... Args>
static std::string formatted(const char* format, Args... args) {
    const int length = std::snprintf(nullptr, 0, format, args...);
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    std::snprintf(text.data(), text.size(), format, args...);
    text.pop_back();
    return text;
}

// Why `path`, which `link` reads as, does not lead to the file that is running,
// or the empty text when it does. The link's text is the path as seen where the
// file was reached (another mount namespace, a filesystem unmounted since), but
// opening the link itself always reaches the running file, also under a CPU
// emulator, which answers for the link but not for a stat of it.
static std::string runningFileFault(const char* link, const std::string& path) {
    const int running = open(link, O_PATH | O_CLOEXEC);
    if (running < 0) {
        fail(link, std::string("cannot open the link to this program: ") + std::strerror(errno));
    }
    struct stat runningStatus {};
    struct stat named {};
    const bool followed = fstat(running, &runningStatus) == 0 && stat(path.c_str(), &named) == 0;
    const int error = errno;
    close(running);
    if (!followed) {
        return std::string("reported as this program's path, but it can't be followed: ") + std::strerror(error);
    }
    if (runningStatus.st_dev != named.st_dev || runningStatus.st_ino != named.st_ino) {
        return "reported as this program's path, but it leads to another file";
    }
    return {};
}

// The directory that holds this program's executable file, as the kernel
// reports it (symbolic links resolved): absolute, without a trailing '/', and
// the empty text for the root directory. /proc/self names this process in
// whatever pid namespace /proc belongs to; its pid may name another there.
std::string getPath() {
    const char* const link = "/proc/self/exe";
    std::string target(1024, '\0');
    for (;;) {
        const ssize_t length = readlink(link, target.data(), target.size());
        if (length < 0) {
            const int error = errno;
            const char* const hint =
                error == ENAMETOOLONG ? "; its path is too long for the kernel to report" : "; it needs /proc mounted";
            fail(link, std::string("cannot read the link to this program: ") + std::strerror(error) + hint);
        }
        if (static_cast<std::size_t>(length) < target.size()) {
            target.resize(static_cast<std::size_t>(length));
            break;
        }
        target.resize(target.size() * 2);  // possibly cut short: read again
    }
    if (const std::string fault = runningFileFault(link, target); !fault.empty()) {
        fail(target, fault + "; start it by a path to its install tree that is valid in this mount namespace");
    }
    return target.substr(0, target.rfind('/'));
}

// Whether `text` holds a token that the dynamic loader expands in its library
// path: $ORIGIN, $LIB or $PLATFORM, bare (not followed by a letter, digit or
// '_') or in braces.
static bool holdsLoaderToken(const std::string& text) {
    const auto isNameChar = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    };
    for (std::size_t at = text.find('$'); at != std::string::npos; at = text.find('$', at + 1)) {
        const std::string_view rest = std::string_view(text).substr(at + 1);
        for (const std::string name : {"ORIGIN", "LIB", "PLATFORM"}) {
            const std::size_t n = name.size();
            const bool bare = rest.substr(0, n) == name && (rest.size() == n || !isNameChar(rest[n]));
            if (bare || rest.substr(0, n + 2) == "{" + name + "}") {
                return true;
            }
        }
    }
    return false;
}

// Why `installDir` can't be used, or the empty text when it can.
static std::string installDirFault(const std::string& installDir) {
    for (std::size_t at = 0; at < installDir.size(); ++at) {
        if (isControlByte(installDir, at)) {
            return "install directory holds a control character";
        }
        if (installDir[at] == ':' || installDir[at] == ';') {
            return formatted("install directory holds '%c', at which the dynamic loader splits its library path",
                             installDir[at]);
        }
    }
    if (holdsLoaderToken(installDir)) {
        return "install directory holds $ORIGIN, $LIB or $PLATFORM, which the dynamic loader would expand";
    }
    return {};
}

// What would make the dynamic loader run `program` in its secure-execution
// mode, in which it ignores LD_LIBRARY_PATH, or the empty text when nothing
// would: a set-user-ID or set-group-ID bit that changes who it runs as, or file
// capabilities, which raise the privileges of any user but root. Neither takes
// effect on a filesystem mounted nosuid.
static std::string secureExecutionCause(const std::string& program, const struct stat& status) {
    struct statvfs filesystem {};
    if (statvfs(program.c_str(), &filesystem) == 0 && (filesystem.f_flag & ST_NOSUID) != 0) {
        return {};
    }
    if ((status.st_mode & S_ISUID) != 0 && status.st_uid != getuid()) {
        return "it is set-user-ID (chmod u-s clears it)";
    }
    constexpr mode_t setgid = S_ISGID | S_IXGRP;  // S_ISGID without S_IXGRP sets no group
    if ((status.st_mode & setgid) == setgid && status.st_gid != getgid()) {
        return "it is set-group-ID (chmod g-s clears it)";
    }
    if (getuid() != 0 && getxattr(program.c_str(), "security.capability", nullptr, 0) >= 0) {
        return "it has file capabilities (setcap -r removes them)";
    }
    return {};
}

// Why `program` can't be started, or the empty text when it can.
static std::string programFault(const std::string& program) {
    struct stat status {};
    if (stat(program.c_str(), &status) != 0) {
        const int error = errno;
        const char* hint = "";
        if (error == ENOENT) {
            hint = lstat(program.c_str(), &status) == 0 ? "; it is a symbolic link that leads nowhere"
                                                        : "; the launcher must lie at the top of its install tree, "
                                                          "beside bin/ (a symbolic link to it may lie anywhere)";
        }
        return std::strerror(error) + std::string(hint);
    }
    if (!S_ISREG(status.st_mode)) {
        return "not a regular file";
    }
    if (access(program.c_str(), X_OK) != 0) {
        return std::strerror(errno);
    }
    if (const std::string cause = secureExecutionCause(program, status); !cause.empty()) {
        return cause + ", so the dynamic loader would ignore LD_LIBRARY_PATH";
    }
    return {};
}

// Whether the shell takes `text` as one word as it stands: letters, digits,
// bytes of 0x80 and above, and a few punctuation marks without a meaning to it.
static bool isPlainWord(const std::string& text) {
    constexpr std::string_view plainMarks = "/._-+,@%";
    for (const unsigned char c : text) {
        const bool alphanumeric = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!alphanumeric && c < 0x80 && plainMarks.find(static_cast<char>(c)) == std::string_view::npos) {
            return false;
        }
    }
    return true;
}

// `text` as one shell word in single quotes, inside which no byte has a
// meaning but the single quote itself: that one is written '\'' (close the
// quotes, an escaped quote, reopen). No escape ever follows a byte of `text`
// inside the quotes, where a multibyte locale (GBK, Big5, Shift_JIS) could read
// the two as one character.
static std::string singleQuoted(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) {
        quoted += c == '\'' ? "'\\''" : std::string(1, c);
    }
    return quoted + "'";
}

// The shell command that starts bin/morvelin in the background with the
// library directory as its only library search path. Plain names give the
// launch format's text exactly; any other name is single-quoted, so that it
// stays one word and nothing in it expands or runs, in any shell or locale.
static std::string launchCommand(const std::string& binDir, const std::string& libDir) {
    if (isPlainWord(binDir)) {
        return formatted("export LD_LIBRARY_PATH=\"%s\"; %s/morvelin &", libDir.c_str(), binDir.c_str());
    }
    return formatted("export LD_LIBRARY_PATH=%s; %s &", singleQuoted(libDir).c_str(),
                     singleQuoted(binDir + "/morvelin").c_str());
}

// Why the shell that `system` ran with `status` failed, or the empty text
// when it did its job.
static std::string shellFault(int status) {
    if (status == -1) {
        return std::strerror(errno);
    }
    if (WIFSIGNALED(status)) {
        return formatted("the shell was killed by signal %d", WTERMSIG(status));
    }
    if (WEXITSTATUS(status) == 127) {
        return "the shell could not be started; is /bin/sh there, and no limit on processes, open files or memory "
               "(ulimit -u, -n, -v) reached?";
    }
    if (WEXITSTATUS(status) != 0) {
        return formatted("the shell ended with status %d", WEXITSTATUS(status));
    }
    return {};
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
// program is handed to it when the shell ends. It leads a process group of its
// own, which the shell and the program join, so that the signals it passes on
// reach nothing of its caller's; process 1 would not even get them without a
// handler. The shell starts with these handlers reset to their defaults.
static void becomeProgramsReaper() {
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    setpgid(0, 0);  // a session leader leads its group already
    struct sigaction passing {};
    passing.sa_sigaction = passOn;
    passing.sa_flags = SA_SIGINFO | SA_RESTART;
    sigaction(SIGTERM, &passing, nullptr);
    sigaction(SIGHUP, &passing, nullptr);
}

// Stays until every process handed to the launcher has ended, reaping each. A
// Ctrl-C, which the program ignores, must not end the launcher, and with it the
// program.
static void awaitProgramsEnd() {
    std::signal(SIGINT, SIG_IGN);
    std::signal(SIGQUIT, SIG_IGN);
    while (waitpid(-1, nullptr, 0) > 0 || errno == EINTR) {
    }
}

int main(int, char**) {
    const std::string installDir = getPath();
    if (const std::string fault = installDirFault(installDir); !fault.empty()) {
        fail(installDir, fault + "; rename or move the directory");
    }
    const std::string binDir = formatted("%s/bin", installDir.c_str());
    const std::string libDir = formatted("%s/lib", binDir.c_str());
    const std::string program = binDir + "/morvelin";
    if (const std::string fault = programFault(program); !fault.empty()) {
        fail(program, "cannot start the main program: " + fault);
    }

    const std::string command = launchCommand(binDir, libDir);
    // A reader gone must give a message, not a silent death; the shell and the
    // program get SIGPIPE as the caller gave it.
    const auto callersSigpipe = std::signal(SIGPIPE, SIG_IGN);
    if (std::puts(command.c_str()) == EOF || std::fflush(stdout) == EOF) {
        fail("standard output", std::string("cannot print the launch command: ") + std::strerror(errno));
    }
    std::signal(SIGPIPE, callersSigpipe);
    // A SIGCHLD ignored by whoever started us would make `system` lose the
    // shell's status and report a failure after a good start.
    std::signal(SIGCHLD, SIG_DFL);
    const bool stay = programEndsWithLauncher();
    if (stay) {
        becomeProgramsReaper();
    }
    if (const std::string fault = shellFault(std::system(command.c_str())); !fault.empty()) {
        fail("/bin/sh", "cannot run the launch command: " + fault);
    }
    if (stay) {
        awaitProgramsEnd();
    }
    return 0;
}

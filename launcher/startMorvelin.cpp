// startMorvelin: starts the application's main program, bin/morvelin, from the
// install tree this launcher lies in, with bin/lib as the dynamic loader's only
// library search path. It prints the shell command it runs, hands it to the
// shell, and returns as soon as the program is running in the background.
//
// Every refusal goes through fail(): one line on standard error, exit status 1.

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

// `path` as it can be shown on one terminal line: a newline as \n, other
// control characters as three octal digits (\033), and the backslash as \\.
static std::string printable(const std::string& path) {
    std::string shown;
    for (const unsigned char c : path) {
        if (c == '\n') {
            shown += "\\n";
        } else if (c == '\\') {
            shown += "\\\\";
        } else if (c < 0x20 || c == 0x7f) {
            char octal[5];
            std::snprintf(octal, sizeof octal, "\\%03o", c);
            shown += octal;
        } else {
            shown += static_cast<char>(c);
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

// The directory that holds this program's executable file, as the kernel
// reports it (symbolic links resolved): absolute, without a trailing '/', and
// the empty text for the root directory.
std::string getPath() {
    const std::string link = formatted("/proc/%d/exe", static_cast<int>(getpid()));
    std::string target(1024, '\0');
    for (;;) {
        const ssize_t length = readlink(link.c_str(), target.data(), target.size());
        if (length < 0) {
            fail(link, std::string("cannot read the link to this program: ") + std::strerror(errno));
        }
        if (static_cast<std::size_t>(length) < target.size()) {
            target.resize(static_cast<std::size_t>(length));
            break;
        }
        target.resize(target.size() * 2);  // possibly cut short: read again
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
    for (const unsigned char c : installDir) {
        if (c < 0x20 || c == 0x7f) {
            return "install directory holds a control character";
        }
        if (c == ':' || c == ';') {
            return formatted("install directory holds '%c', at which the dynamic loader splits its library path", c);
        }
    }
    if (holdsLoaderToken(installDir)) {
        return "install directory holds $ORIGIN, $LIB or $PLATFORM, which the dynamic loader would expand";
    }
    return {};
}

// Why `program` can't be started, or the empty text when it can.
static std::string programFault(const std::string& program) {
    struct stat status {};
    if (stat(program.c_str(), &status) != 0) {
        return std::strerror(errno);
    }
    if (!S_ISREG(status.st_mode)) {
        return "not a regular file";
    }
    if (access(program.c_str(), X_OK) != 0) {
        return std::strerror(errno);
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

// `text` escaped for use between double quotes.
static std::string escapedForDoubleQuotes(const std::string& text) {
    std::string escaped;
    for (const char c : text) {
        if (c == '$' || c == '`' || c == '"' || c == '\\') {
            escaped += '\\';
        }
        escaped += c;
    }
    return escaped;
}

// The shell command that starts bin/morvelin in the background with the
// library directory as its only library search path. Plain names give the
// launch format's text exactly; any other name is quoted so that it stays
// one word and nothing in it expands or runs.
static std::string launchCommand(const std::string& binDir, const std::string& libDir) {
    if (isPlainWord(binDir)) {
        return formatted("export LD_LIBRARY_PATH=\"%s\"; %s/morvelin &", libDir.c_str(), binDir.c_str());
    }
    return formatted("export LD_LIBRARY_PATH=\"%s\"; \"%s/morvelin\" &", escapedForDoubleQuotes(libDir).c_str(),
                     escapedForDoubleQuotes(binDir).c_str());
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
        return "the shell could not be started";
    }
    if (WEXITSTATUS(status) != 0) {
        return formatted("the shell ended with status %d", WEXITSTATUS(status));
    }
    return {};
}

int main(int, char**) {
    const std::string installDir = getPath();
    if (const std::string fault = installDirFault(installDir); !fault.empty()) {
        fail(installDir, fault);
    }
    const std::string binDir = formatted("%s/bin", installDir.c_str());
    const std::string libDir = formatted("%s/lib", binDir.c_str());
    const std::string program = binDir + "/morvelin";
    if (const std::string fault = programFault(program); !fault.empty()) {
        fail(program, "cannot start the main program: " + fault);
    }

    const std::string command = launchCommand(binDir, libDir);
    if (std::puts(command.c_str()) == EOF || std::fflush(stdout) == EOF) {
        fail("standard output", std::string("cannot print the launch command: ") + std::strerror(errno));
    }
    // A SIGCHLD ignored by whoever started us would make `system` lose the
    // shell's status and report a failure after a good start.
    std::signal(SIGCHLD, SIG_DFL);
    if (const std::string fault = shellFault(std::system(command.c_str())); !fault.empty()) {
        fail("/bin/sh", "cannot run the launch command: " + fault);
    }
    return 0;
}

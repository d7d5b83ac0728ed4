// End-to-end tests: each builds install trees under /tmp, runs the real
// launcher in them as a user would, and compares its exact output, its exit
// status and what the started program received (see recorder.cpp).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <clocale>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

const fs::path kLauncher = LAUNCHER_FILE;
const fs::path kRecorder = RECORDER_FILE;
const std::string kRecorderOut = "recorder: standard output\n";
const std::string kRecorderErr = "recorder: standard error\n";

std::string contents(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Whether `condition` comes true within 20 seconds.
bool eventually(const std::function<bool()>& condition) {
    for (int i = 0; i < 10000; ++i) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

// In the child: a mount namespace of its own, then `mounts`. Exits 77, for
// "skipped", when either is not allowed.
void withOwnMounts(const std::function<bool()>& mounts) {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 || !mounts()) {
        _exit(77);
    }
}

// Gives `program` the capability to bind low ports, which raises what any user but root may do.
bool setCapabilities(const fs::path& program) {
    const std::uint32_t data[] = {0x02000001, 1 << 10, 0, 0, 0};  // revision 2, effective, NET_BIND_SERVICE
    return setxattr(program.c_str(), "security.capability", data, sizeof data, 0) == 0;
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

struct Outcome {
    int status;  // exit status, or 128 + signal
    std::string out, err;
};

class Launcher : public testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/startMorvelin-test-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        root = name;
    }
    void TearDown() override { fs::remove_all(root); }

    // An install tree at root/dir with `program` as bin/morvelin.
    fs::path install(const std::string& dir, const fs::path& program = kRecorder) {
        const fs::path top = root / dir;
        fs::create_directories(top / "bin" / "lib");
        fs::copy_file(kLauncher, top / "startMorvelin");
        if (!program.empty()) {
            fs::copy_file(program, top / "bin" / "morvelin");
        }
        return top;
    }

    // Runs argv in cwd with a small fixed environment plus `env`; standard
    // output goes to `stdoutTo`, or to a file that the outcome reports. The
    // recorder writes only if RECORD_TO reaches it: the environment is inherited.
    Outcome run(const std::vector<std::string>& argv, const fs::path& cwd, std::vector<std::string> env = {},
                const std::function<void()>& inChild = {}, const fs::path& stdoutTo = {}) {
        env.insert(env.end(),
                   {"PATH=/usr/bin:/bin", "RECORD_TO=" + (root / "record").string(), "LD_LIBRARY_PATH=/set/by/caller"});
        const fs::path out = stdoutTo.empty() ? root / "stdout" : stdoutTo, err = root / "stderr";
        const pid_t pid = fork();
        if (pid == 0) {
            std::vector<char*> args, vars;
            for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            for (const auto& v : env) vars.push_back(const_cast<char*>(v.c_str()));
            args.push_back(nullptr);
            vars.push_back(nullptr);
            dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
            dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
            if (chdir(cwd.c_str()) != 0) _exit(126);
            if (inChild) inChild();
            environ = vars.data();
            execvp(args[0], args.data());
            _exit(126);
        }
        int status = 0;
        if (!eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; })) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            ADD_FAILURE() << "the launcher did not return";
        }
        const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return {code, stdoutTo.empty() ? contents(out) : "", contents(err)};
    }

    // Once the started program has recorded what it received: that record,
    // and the whole standard output and error. The record is "" if it never starts.
    struct Started {
        std::string record, out, err;
    };
    Started started() {
        eventually([&] { return fs::exists(root / "record"); });
        Started s{contents(root / "record"), contents(root / "stdout"), contents(root / "stderr")};
        fs::remove(root / "record");
        return s;
    }

    fs::path root;
};

// The exact launch line for an install directory without special characters.
std::string plainLine(const std::string& dir) {
    return "export LD_LIBRARY_PATH=\"" + dir + "/bin/lib\"; " + dir + "/bin/morvelin &";
}

// What the recorder writes when started with no arguments from `cwd` in the tree at `top`.
std::string recordFor(const std::string& top, const std::string& cwd) {
    return "0\n" + top + "/bin/lib\n" + cwd + "\n";
}

TEST_F(Launcher, FindsItsTreeHoweverItIsInvoked) {
    const fs::path top = install("app"), elsewhere = root / "elsewhere", launcher = top / "startMorvelin";
    const fs::path other = install("other"), otherProgram = other / "bin" / "morvelin";
    fs::remove(other / "startMorvelin");
    fs::create_hard_link(launcher, other / "startMorvelin");
    // Bits that leave the loader as it is, run by root: file capabilities, S_ISUID for its own owner, and
    // S_ISGID without group execute.
    if (chown(otherProgram.c_str(), 0, 65534) == 0) chmod(otherProgram.c_str(), 06745);
    setCapabilities(otherProgram);  // after chown, which clears them
    fs::create_directory(elsewhere);
    fs::create_directory(root / "links");
    fs::create_symlink(launcher, root / "links" / "go");
    const auto ignoreSigchld = [] { signal(SIGCHLD, SIG_IGN); };
    struct Case {
        const char* how;
        std::vector<std::string> argv;
        std::vector<std::string> env;
        std::function<void()> inChild;
        fs::path tree;
    } cases[] = {
        {"absolute path", {launcher}, {}, {}, top},
        {"relative path", {"../app/startMorvelin"}, {}, {}, top},
        {"search path", {"startMorvelin"}, {"PATH=" + top.string() + ":/usr/bin:/bin"}, {}, top},
        {"symbolic link elsewhere", {root / "links" / "go"}, {}, {}, top},
        {"hard link in another tree, with inert bits", {other / "startMorvelin"}, {}, {}, other},
        {"arguments are ignored", {launcher, "--help", "two words", "$(touch injected)"}, {}, {}, top},
        {"SIGCHLD ignored by the caller", {launcher}, {}, ignoreSigchld, top},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.how);
        EXPECT_EQ(run(c.argv, elsewhere, c.env, c.inChild).status, 0);
        const Started s = started();
        EXPECT_EQ(s.record, recordFor(c.tree, elsewhere));
        EXPECT_EQ(s.out, plainLine(c.tree) + "\n" + kRecorderOut);
        EXPECT_EQ(s.err, kRecorderErr);
    }
    EXPECT_FALSE(fs::exists(elsewhere / "injected"));
}

// Under each /bin/sh that distributions ship, in single-byte, UTF-8 and
// multibyte locales whose second bytes include \ and `: a byte of 0x80 or above
// may join the byte after it into one character there.
TEST_F(Launcher, QuotesEveryNameTheShellWouldRead) {
    // ROOT stands for the scratch directory; each name is one install directory in it.
    const struct {
        const char* name;
        const char* line;
    } cases[] = {
        // Plain: 0x81 '@' and 0xA1 '@' are blanks in Shift_JIS and Big5, 0xC2 0xA0 and 0xE3 0x80 0x80 in UTF-8.
        {"\xc3\x81rea\x9b\x81@\xa1@\xc2\xa0\xe3\x80\x80_1.2-x+y,z@w%v",
         "export LD_LIBRARY_PATH=\"ROOT/\xc3\x81rea\x9b\x81@\xa1@\xc2\xa0\xe3\x80\x80_1.2-x+y,z@w%v/bin/lib\"; "
         "ROOT/\xc3\x81rea\x9b\x81@\xa1@\xc2\xa0\xe3\x80\x80_1.2-x+y,z@w%v/bin/morvelin &"},
        {"two words", "export LD_LIBRARY_PATH='ROOT/two words/bin/lib'; 'ROOT/two words/bin/morvelin' &"},
        {R"(it's "$HOME" $LIBS)",
         R"(export LD_LIBRARY_PATH='ROOT/it'\''s "$HOME" $LIBS/bin/lib'; 'ROOT/it'\''s "$HOME" $LIBS/bin/morvelin' &)"},
        {"$(touch injected)`touch injected`",
         "export LD_LIBRARY_PATH='ROOT/$(touch injected)`touch injected`/bin/lib'; "
         "'ROOT/$(touch injected)`touch injected`/bin/morvelin' &"},
        {R"(back\slash\)", R"(export LD_LIBRARY_PATH='ROOT/back\slash\/bin/lib'; 'ROOT/back\slash\/bin/morvelin' &)"},
        {"x&&touch injected||>injected<(y)",
         "export LD_LIBRARY_PATH='ROOT/x&&touch injected||>injected<(y)/bin/lib'; "
         "'ROOT/x&&touch injected||>injected<(y)/bin/morvelin' &"},
        {"~*?[a]{b,c}#!=",
         "export LD_LIBRARY_PATH='ROOT/~*?[a]{b,c}#!=/bin/lib'; 'ROOT/~*?[a]{b,c}#!=/bin/morvelin' &"},
        {"x\x81\"\x81$(touch injected)\x81`touch injected`\x81\\\x81'\x81",
         "export LD_LIBRARY_PATH='ROOT/x\x81\"\x81$(touch injected)\x81`touch injected`\x81\\\x81'\\''\x81/bin/lib'; "
         "'ROOT/x\x81\"\x81$(touch injected)\x81`touch injected`\x81\\\x81'\\''\x81/bin/morvelin' &"},
        {"\xa5\\ \x95\\ $(touch injected)",  // one character each in Big5 and Shift_JIS
         "export LD_LIBRARY_PATH='ROOT/\xa5\\ \x95\\ $(touch injected)/bin/lib'; "
         "'ROOT/\xa5\\ \x95\\ $(touch injected)/bin/morvelin' &"},
    };
    std::string untried;
    for (const std::string shell :
         {"", "/usr/bin/bash", "/bin/busybox", "/usr/bin/mksh", "/usr/bin/zsh", "/usr/bin/ksh93", "/usr/bin/posh"}) {
        if (!shell.empty() && !fs::exists(shell)) {
            untried += " " + shell;
            continue;
        }
        const auto bindShell = [&shell] {
            if (!shell.empty())
                withOwnMounts([&] { return mount(shell.c_str(), "/bin/sh", nullptr, MS_BIND, nullptr) == 0; });
        };
        for (const std::string locale : {"C", "C.UTF-8", "zh_CN.GBK", "zh_CN.GB18030", "zh_TW.BIG5", "ja_JP.SJIS"}) {
            if (std::setlocale(LC_ALL, locale.c_str()) == nullptr) {
                untried += " " + locale;
                continue;
            }
            std::setlocale(LC_ALL, "C");
            for (const auto& c : cases) {
                SCOPED_TRACE("/bin/sh " + shell + " LC_ALL=" + locale + " " + c.name);
                const fs::path top = install(c.name);
                const Outcome o = run({top / "startMorvelin"}, root, {"LC_ALL=" + locale}, bindShell);
                if (o.status == 77) GTEST_SKIP() << "needs the right to mount";
                EXPECT_EQ(o.status, 0);
                const Started s = started();
                EXPECT_EQ(s.record, recordFor(top, root));
                EXPECT_EQ(s.out, replaced(c.line, "ROOT", root) + "\n" + kRecorderOut);
                EXPECT_FALSE(fs::exists(root / "injected"));
                fs::remove_all(top);
            }
        }
    }
    if (!untried.empty()) GTEST_SKIP() << "not tried under" << untried;
}

TEST_F(Launcher, ServesInstallDirectoriesOfAnyLength) {
    for (const std::size_t length : {486, 487, 1030, 2100, 3900}) {
        SCOPED_TRACE(length);
        std::string dir = root;
        for (int i = 0; dir.size() < length; ++i) {
            dir += "/" + std::string(std::min<std::size_t>(200, length - dir.size() - 1), 'a' + i);
        }
        install(dir.substr(root.string().size() + 1));
        EXPECT_EQ(run({dir + "/startMorvelin"}, root).status, 0);
        const Started s = started();
        EXPECT_EQ(s.record, recordFor(dir, root));
        EXPECT_EQ(s.out, plainLine(dir) + "\n" + kRecorderOut);
        EXPECT_EQ(s.out.size(), 2 * length + 51 + kRecorderOut.size());
    }
}

TEST_F(Launcher, RefusesWhatCannotBeLaunchedSafely) {
    enum Program { kPresent, kMissing, kNotExecutable, kDirectory, kSetuid, kSetgid, kCapabilities };
    const struct {
        const char* dir;
        Program program;
        const char* stdoutTo;
        const char* message;
    } cases[] = {
        {"a:b", kPresent, "",
         "ROOT/a:b: install directory holds ':', at which the dynamic loader splits its library path; rename or move "
         "the directory"},
        {"a;b", kPresent, "",
         "ROOT/a;b: install directory holds ';', at which the dynamic loader splits its library path; rename or move "
         "the directory"},
        {"a\nb", kPresent, "", "ROOT/a\\nb: install directory holds a control character; rename or move the directory"},
        {"$LIB", kPresent, "",
         "ROOT/$LIB: install directory holds $ORIGIN, $LIB or $PLATFORM, which the dynamic loader would expand; rename "
         "or move the directory"},
        {"a${ORIGIN}", kPresent, "",
         "ROOT/a${ORIGIN}: install directory holds $ORIGIN, $LIB or $PLATFORM, which the dynamic loader would expand; "
         "rename or move the directory"},
        {"a\033[0mb\177", kPresent, "",
         "ROOT/a\\033[0mb\\177: install directory holds a control character; rename or move the directory"},
        {"a\xc2\x9bmb", kPresent, "",
         "ROOT/a\\302\\233mb: install directory holds a control character; rename or move the directory"},
        {"app", kMissing, "",
         "ROOT/app/bin/morvelin: cannot start the main program: No such file or directory; the launcher must lie at "
         "the top of its install tree, beside bin/ (a symbolic link to it may lie anywhere)"},
        {"app", kNotExecutable, "", "ROOT/app/bin/morvelin: cannot start the main program: Permission denied"},
        {"app", kDirectory, "", "ROOT/app/bin/morvelin: cannot start the main program: not a regular file"},
        {"app", kPresent, "/dev/full", "standard output: cannot print the launch command: No space left on device"},
        {"app", kSetuid, "",
         "ROOT/app/bin/morvelin: cannot start the main program: it is set-user-ID (chmod u-s clears it), so the "
         "dynamic loader would ignore LD_LIBRARY_PATH"},
        {"app", kSetgid, "",
         "ROOT/app/bin/morvelin: cannot start the main program: it is set-group-ID (chmod g-s clears it), so the "
         "dynamic loader would ignore LD_LIBRARY_PATH"},
        {"app", kCapabilities, "",
         "ROOT/app/bin/morvelin: cannot start the main program: it has file capabilities (setcap -r removes them), "
         "so the dynamic loader would ignore LD_LIBRARY_PATH"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        const fs::path top = install(c.dir), program = top / "bin" / "morvelin";
        if (c.program == kMissing || c.program == kDirectory) fs::remove(program);
        if (c.program == kDirectory) fs::create_directory(program);
        if (c.program == kNotExecutable) fs::permissions(program, fs::perms(0644));
        // Run by root, owned by another user or group; or run by another user, with capabilities.
        if (c.program == kSetuid && chown(program.c_str(), 65534, 0) != 0) GTEST_SKIP() << "needs the right to chown";
        if (c.program == kSetgid && chown(program.c_str(), 0, 65534) != 0) GTEST_SKIP() << "needs the right to chown";
        if (c.program == kSetuid || c.program == kSetgid) chmod(program.c_str(), c.program == kSetuid ? 04755 : 02755);
        if (c.program == kCapabilities) {
            fs::permissions(root, fs::perms(0755));
            if (!setCapabilities(program)) GTEST_SKIP() << "needs the right to set file capabilities";
        }
        const auto asAnotherUser = [&c] {
            if (c.program == kCapabilities && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(77);
        };
        const Outcome o = run({top / "startMorvelin"}, root, {}, asAnotherUser, c.stdoutTo);
        EXPECT_EQ(o.status, 1);
        EXPECT_EQ(o.out, "");
        EXPECT_EQ(o.err, "startMorvelin: " + replaced(c.message, "ROOT", root) + "\n");
        EXPECT_FALSE(fs::exists(root / "record"));
        fs::remove_all(top);
    }
}

TEST_F(Launcher, ReturnsWhileTheProgramRuns) {
    const fs::path top = install("app"), fifo = root / "hold";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(run({top / "startMorvelin"}, root, {"HOLD_ON=" + fifo.string()}).status, 0);
    EXPECT_FALSE(fs::exists(root / "record"));
    close(open(fifo.c_str(), O_WRONLY));  // lets the program go on
    EXPECT_EQ(started().record, recordFor(top, root));
}

TEST_F(Launcher, DemoProgramStartsOnlyThroughTheLauncher) {
    const fs::path top = install("app", DEMO_PROGRAM_FILE), program = top / "bin" / "morvelin";
    fs::copy_file(DEMO_LIBRARY_FILE, top / "bin" / "lib" / fs::path(DEMO_LIBRARY_FILE).filename());
    const Outcome alone = run({program}, root);
    EXPECT_EQ(alone.status, 127);
    EXPECT_NE(alone.err.find("libmorvelin-demo.so: cannot open shared object file"), std::string::npos);

    const Outcome o = run({top / "startMorvelin"}, root);
    const std::string expected =
        plainLine(top) + "\nmorvelin: running with " + top.string() + "/bin/lib/libmorvelin-demo.so\n";
    EXPECT_TRUE(eventually([&] { return contents(root / "stdout") == expected; })) << contents(root / "stdout");
    EXPECT_EQ(o.status, 0);
}

TEST_F(Launcher, NeedsNoSharedLibraryButLibc) {
    if (!LAUNCHER_IS_STATIC) GTEST_SKIP() << "this build links the launcher dynamically";
    FILE* pipe = popen(("readelf -d " + kLauncher.string()).c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char line[512];
    while (fgets(line, sizeof line, pipe) != nullptr) {
        const std::string text = line;
        EXPECT_TRUE(text.find("(NEEDED)") == std::string::npos || text.find("[libc.so.6]") != std::string::npos)
            << text;
    }
    EXPECT_EQ(pclose(pipe), 0);
}

// The launcher placed directly in the root directory of a chroot: with /proc
// missing it can't learn where it is; with /proc but without a shell it prints
// the line for the root directory and reports the missing shell.
TEST_F(Launcher, InTheRootDirectory) {
    if (!LAUNCHER_IS_STATIC) GTEST_SKIP() << "a dynamically linked launcher needs its libraries in the chroot";
    const fs::path jail = root / "jail";
    install("jail", "");
    std::ofstream(jail / "bin" / "morvelin") << "not run\n";
    fs::permissions(jail / "bin" / "morvelin", fs::perms(0755));
    fs::create_directory(jail / "proc");
    const auto enterJail = [&](bool withProc) {
        return [&jail, withProc] {
            withOwnMounts([&] {
                return (!withProc || mount("proc", (jail / "proc").c_str(), "proc", 0, nullptr) == 0) &&
                       chroot(jail.c_str()) == 0 && chdir("/") == 0;
            });
        };
    };
    const Outcome noProc = run({"/startMorvelin"}, root, {}, enterJail(false));
    if (noProc.status == 77) GTEST_SKIP() << "needs the right to chroot and mount";
    EXPECT_EQ(noProc.status, 1);
    EXPECT_EQ(noProc.out, "");
    EXPECT_EQ(noProc.err,
              "startMorvelin: /proc/self/exe: cannot read the link to this program: No such file or directory; it "
              "needs /proc mounted\n");

    const Outcome noShell = run({"/startMorvelin"}, root, {}, enterJail(true));
    EXPECT_EQ(noShell.status, 1);
    EXPECT_EQ(noShell.out, "export LD_LIBRARY_PATH=\"/bin/lib\"; /bin/morvelin &\n");
    EXPECT_EQ(noShell.err,
              "startMorvelin: /bin/sh: cannot run the launch command: the shell could not be started; is "
              "/bin/sh there, and the limit on processes (ulimit -u) not reached?\n");
}

// Where the id that getpid gives names another process in /proc, or where the
// path the kernel gives for the launcher, as seen where it was reached, leads
// to another file or nowhere from here.
TEST_F(Launcher, KnowsItsOwnFileInOtherNamespaces) {
    const fs::path top = install("app"), mirror = root / "mirror";
    install("mirror" + root.string() + "/app");   // the same tree as seen from a mount of `mirror`, and
    install("mirror" + root.string() + "/gone");  // one that is not there outside it
    fs::remove_all(root / "gone");
    // Enters `dir` through a mount of `mirror` that is then lazily unmounted.
    const auto throughUnmounted = [&](const std::string& dir) {
        return [&, dir] {
            withOwnMounts([&] {
                return mount(mirror.c_str(), mirror.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
                       chdir((mirror.string() + root.string() + "/" + dir).c_str()) == 0 &&
                       umount2(mirror.c_str(), MNT_DETACH) == 0;
            });
        };
    };
    const auto noSetId = [&] {  // a program set-user-ID to another user, in a tree mounted nosuid
        const std::string program = top / "bin" / "morvelin";
        withOwnMounts([&] {
            return chown(program.c_str(), 65534, 0) == 0 && chmod(program.c_str(), 04755) == 0 &&
                   mount(top.c_str(), top.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
                   mount(nullptr, top.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_NOSUID, nullptr) == 0;
        });
    };
    // The first process in a new pid namespace is its init: a sleep that outlives the launcher.
    const auto newPidNamespace = [] {
        if (unshare(CLONE_NEWPID) != 0) _exit(77);
    };
    const struct {
        const char* how;
        std::vector<std::string> argv;
        std::function<void()> inChild;
        std::string err;  // "" when it starts the program in `top`
    } cases[] = {
        {"pid namespace with its parent's /proc",
         {"sh", "-c", "sleep 2 & \"$0\"", top / "startMorvelin"},
         newPidNamespace,
         ""},
        {"lazily unmounted, another file at its path",
         {"./startMorvelin"},
         throughUnmounted("app"),
         "ROOT/app/startMorvelin: reported as this program's path, but it leads to another file; start it by a path to "
         "its "
         "install tree that is valid in this mount namespace"},
        {"lazily unmounted, nothing at its path",
         {"./startMorvelin"},
         throughUnmounted("gone"),
         "ROOT/gone/startMorvelin: reported as this program's path, but it can't be followed: No such file or "
         "directory; start it by a path to its install tree that is valid in this mount namespace"},
        {"set-user-ID program on a nosuid mount", {top / "startMorvelin"}, noSetId, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.how);
        const Outcome o = run(c.argv, root, {}, c.inChild);
        if (o.status == 77) GTEST_SKIP() << "needs the right to make namespaces and mount";
        if (c.err.empty()) {
            EXPECT_EQ(o.status, 0);
            const Started s = started();
            EXPECT_EQ(s.record, recordFor(top, root));
            EXPECT_EQ(s.out, plainLine(top) + "\n" + kRecorderOut);
        } else {
            EXPECT_EQ(o.status, 1);
            EXPECT_EQ(o.out, "");
            EXPECT_EQ(o.err, "startMorvelin: " + replaced(c.err, "ROOT", root) + "\n");
            EXPECT_FALSE(fs::exists(root / "record"));
        }
    }
}
}  // namespace

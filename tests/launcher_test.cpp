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
#include <unistd.h>

#include <chrono>
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
    for (int i = 0; i < 2000; ++i) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
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
    pid_t pid;
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
        return {code, stdoutTo.empty() ? contents(out) : "", contents(err), pid};
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
    fs::create_directory(elsewhere);
    fs::create_directory(root / "links");
    fs::create_symlink(launcher, root / "links" / "go");
    const auto ignoreSigchld = [] { signal(SIGCHLD, SIG_IGN); };
    struct Case {
        const char* how;
        std::vector<std::string> argv;
        std::vector<std::string> env;
        std::function<void()> inChild;
    } cases[] = {
        {"absolute path", {launcher}, {}, {}},
        {"relative path", {"../app/startMorvelin"}, {}, {}},
        {"search path", {"startMorvelin"}, {"PATH=" + top.string() + ":/usr/bin:/bin"}, {}},
        {"symbolic link elsewhere", {root / "links" / "go"}, {}, {}},
        {"arguments are ignored", {launcher, "--help", "two words", "$(touch injected)"}, {}, {}},
        {"SIGCHLD ignored by the caller", {launcher}, {}, ignoreSigchld},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.how);
        EXPECT_EQ(run(c.argv, elsewhere, c.env, c.inChild).status, 0);
        const Started s = started();
        EXPECT_EQ(s.record, recordFor(top, elsewhere));
        EXPECT_EQ(s.out, plainLine(top) + "\n" + kRecorderOut);
        EXPECT_EQ(s.err, kRecorderErr);
    }
    EXPECT_FALSE(fs::exists(elsewhere / "injected"));
}

TEST_F(Launcher, QuotesEveryNameTheShellWouldRead) {
    // ROOT stands for the scratch directory; each name is one install directory in it.
    const struct {
        const char* name;
        const char* line;
    } cases[] = {
        {"Área_1.2-x+y,z@w%v",
         "export LD_LIBRARY_PATH=\"ROOT/Área_1.2-x+y,z@w%v/bin/lib\"; ROOT/Área_1.2-x+y,z@w%v/bin/morvelin &"},
        {"two words", R"(export LD_LIBRARY_PATH="ROOT/two words/bin/lib"; "ROOT/two words/bin/morvelin" &)"},
        {R"(it's "$HOME" $LIBS)",
         R"(export LD_LIBRARY_PATH="ROOT/it's \"\$HOME\" \$LIBS/bin/lib"; "ROOT/it's \"\$HOME\" \$LIBS/bin/morvelin" &)"},
        {"$(touch injected)`touch injected`",
         R"(export LD_LIBRARY_PATH="ROOT/\$(touch injected)\`touch injected\`/bin/lib"; "ROOT/\$(touch injected)\`touch injected\`/bin/morvelin" &)"},
        {R"(back\slash\)",
         R"(export LD_LIBRARY_PATH="ROOT/back\\slash\\/bin/lib"; "ROOT/back\\slash\\/bin/morvelin" &)"},
        {"x&&touch injected||>injected<(y)",
         R"(export LD_LIBRARY_PATH="ROOT/x&&touch injected||>injected<(y)/bin/lib"; "ROOT/x&&touch injected||>injected<(y)/bin/morvelin" &)"},
        {"~*?[a]{b,c}#!=",
         R"(export LD_LIBRARY_PATH="ROOT/~*?[a]{b,c}#!=/bin/lib"; "ROOT/~*?[a]{b,c}#!=/bin/morvelin" &)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path top = install(c.name);
        EXPECT_EQ(run({top / "startMorvelin"}, root).status, 0);
        const Started s = started();
        EXPECT_EQ(s.record, recordFor(top, root));
        EXPECT_EQ(s.out, replaced(c.line, "ROOT", root) + "\n" + kRecorderOut);
        EXPECT_FALSE(fs::exists(root / "injected"));
    }
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
    enum Program { kPresent, kMissing, kNotExecutable, kDirectory };
    const struct {
        const char* dir;
        Program program;
        const char* stdoutTo;
        const char* message;
    } cases[] = {
        {"a:b", kPresent, "",
         "ROOT/a:b: install directory holds ':', at which the dynamic loader splits its library path"},
        {"a;b", kPresent, "",
         "ROOT/a;b: install directory holds ';', at which the dynamic loader splits its library path"},
        {"a\nb", kPresent, "", "ROOT/a\\nb: install directory holds a control character"},
        {"$LIB", kPresent, "",
         "ROOT/$LIB: install directory holds $ORIGIN, $LIB or $PLATFORM, which the dynamic loader would expand"},
        {"a${ORIGIN}", kPresent, "",
         "ROOT/a${ORIGIN}: install directory holds $ORIGIN, $LIB or $PLATFORM, which the dynamic loader would expand"},
        {"a\033[0mb\177", kPresent, "", "ROOT/a\\033[0mb\\177: install directory holds a control character"},
        {"app", kMissing, "", "ROOT/app/bin/morvelin: cannot start the main program: No such file or directory"},
        {"app", kNotExecutable, "", "ROOT/app/bin/morvelin: cannot start the main program: Permission denied"},
        {"app", kDirectory, "", "ROOT/app/bin/morvelin: cannot start the main program: not a regular file"},
        {"app", kPresent, "/dev/full", "standard output: cannot print the launch command: No space left on device"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        const fs::path top = install(c.dir), program = top / "bin" / "morvelin";
        if (c.program == kMissing || c.program == kDirectory) fs::remove(program);
        if (c.program == kDirectory) fs::create_directory(program);
        if (c.program == kNotExecutable) fs::permissions(program, fs::perms(0644));
        const Outcome o = run({top / "startMorvelin"}, root, {}, {}, c.stdoutTo);
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
            const bool entered = unshare(CLONE_NEWNS) == 0 &&
                                 mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                                 (!withProc || mount("proc", (jail / "proc").c_str(), "proc", 0, nullptr) == 0) &&
                                 chroot(jail.c_str()) == 0 && chdir("/") == 0;
            if (!entered) _exit(77);
        };
    };
    const Outcome noProc = run({"/startMorvelin"}, root, {}, enterJail(false));
    if (noProc.status == 77) GTEST_SKIP() << "needs the right to chroot and mount";
    EXPECT_EQ(noProc.status, 1);
    EXPECT_EQ(noProc.out, "");
    EXPECT_EQ(noProc.err, "startMorvelin: /proc/" + std::to_string(noProc.pid) +
                              "/exe: cannot read the link to this program: No such file or directory\n");

    const Outcome noShell = run({"/startMorvelin"}, root, {}, enterJail(true));
    EXPECT_EQ(noShell.status, 1);
    EXPECT_EQ(noShell.out, "export LD_LIBRARY_PATH=\"/bin/lib\"; /bin/morvelin &\n");
    EXPECT_EQ(noShell.err, "startMorvelin: /bin/sh: cannot run the launch command: the shell could not be started\n");
}
}  // namespace

// Stand-in main program for the tests. It writes one line on standard output
// and one on standard error, then records what it received in the file that
// RECORD_TO names (written whole, then renamed into place): its argument
// count, its LD_LIBRARY_PATH and its current directory, one per line.
// With HOLD_ON set, it first waits until the FIFO HOLD_ON names is closed.

#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char**) {
    if (const char* fifo = std::getenv("HOLD_ON")) {
        char byte;
        const int fd = open(fifo, O_RDONLY);
        while (read(fd, &byte, 1) > 0) {
        }
    }
    std::puts("recorder: standard output");
    std::fflush(stdout);
    std::fputs("recorder: standard error\n", stderr);

    const char* recordTo = std::getenv("RECORD_TO");
    const char* libraryPath = std::getenv("LD_LIBRARY_PATH");
    char cwd[PATH_MAX];
    if (recordTo == nullptr || getcwd(cwd, sizeof cwd) == nullptr) {
        return 1;
    }
    const std::string partial = std::string(recordTo) + ".partial";
    FILE* record = std::fopen(partial.c_str(), "w");
    if (record == nullptr) {
        return 1;
    }
    std::fprintf(record, "%d\n%s\n%s\n", argc - 1, libraryPath ? libraryPath : "(unset)", cwd);
    std::fclose(record);
    return std::rename(partial.c_str(), recordTo) == 0 ? 0 : 1;
}

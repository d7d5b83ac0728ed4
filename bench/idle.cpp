// A main program that does nothing, so that a benchmark measures only what it
// costs to start it; given an argument, it waits for a signal instead, as an
// idle process on a crowded machine does.
#include <unistd.h>

int main(int argc, char**) {
    if (argc > 1) {
        pause();
    }
    return 0;
}

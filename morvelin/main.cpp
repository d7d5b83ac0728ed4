// A demo main program: it starts only when the dynamic loader can find its
// library, and says which copy of the library it got.

#include <cstdio>

extern "C" const char* morvelinDemoLibraryFile();

int main() {
    std::printf("morvelin: running with %s\n", morvelinDemoLibraryFile());
    return 0;
}

// The demo's shared library. It is installed in bin/lib only, so the demo
// program finds it when the dynamic loader is pointed there.

#include <dlfcn.h>

static const int anchor = 0;

// The path of the file this library was loaded from, as the loader found it.
extern "C" const char* morvelinDemoLibraryFile() {
    Dl_info info{};
    if (dladdr(&anchor, &info) == 0 || info.dli_fname == nullptr) {
        return "(unknown)";
    }
    return info.dli_fname;
}

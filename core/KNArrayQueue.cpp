#include "core/KNArrayQueue.h"

#include <cstdio>
#include <cstdlib>

void kn_emptyArrayAccess(const char* operation) {
    std::fprintf(stderr, "*** %s: index 0 beyond bounds for empty array; terminating\n", operation);
    std::fflush(stderr);
    std::abort();
}

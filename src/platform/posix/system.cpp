#include "platform/system.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

bool PlatIsNtFamily() {
    return true;
}

void PlatObjectName(const char *base, char *out, size_t out_size) {
    const char *scope = std::getenv("QORASST_NAMESPACE");
    if (scope != nullptr && scope[0] != '\0') {
        std::snprintf(out, out_size, "%s.%s", scope, base);
    } else {
        std::snprintf(out, out_size, "%s", base);
    }
}

unsigned long PlatLastError() {
    return static_cast<unsigned long>(errno);
}

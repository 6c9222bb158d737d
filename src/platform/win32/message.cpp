#include "platform/message.h"

#include <windows.h>

#include <cstring>

void PlatShowMessage(const char *text) {
    if (MessageBoxA(nullptr, text, "Info", MB_OK) > 0) return;
    // No box could be shown (no desktop: a service, or a session without a display): the
    // line that POSIX writes goes to standard error instead, in one write.
    char line[512];
    const size_t room = sizeof line - 8;
    size_t length = std::strlen(text);
    if (length > room) length = room;
    std::memcpy(line, "Info: ", 6);
    std::memcpy(line + 6, text, length);
    line[6 + length] = '\n';
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), line, static_cast<DWORD>(7 + length), &written,
              nullptr);
}

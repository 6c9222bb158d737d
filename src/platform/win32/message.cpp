#include "platform/message.h"

#include <windows.h>

#include <cstring>

#include "platform/activity.h"

namespace {

// Whether a box can be seen at all: on NT, only a window station with WSF_VISIBLE has a
// screen (a service's, or one of a logged-off session, has none, and a box there waits for a
// click that never comes). GetUserObjectInformationA with UOI_FLAGS; the two functions exist
// only on NT, so they are looked up at run time. The 95 family has one visible desktop.
bool WindowStationVisible() {
    HMODULE user32 = GetModuleHandleA("USER32.DLL");
    if (user32 == nullptr) return false;
    using Generic = void (*)();
    const auto station = reinterpret_cast<HWINSTA(WINAPI *)()>(
        reinterpret_cast<Generic>(GetProcAddress(user32, "GetProcessWindowStation")));
    const auto information = reinterpret_cast<BOOL(WINAPI *)(HANDLE, int, PVOID, DWORD, LPDWORD)>(
        reinterpret_cast<Generic>(GetProcAddress(user32, "GetUserObjectInformationA")));
    if (station == nullptr || information == nullptr) return true;
    USEROBJECTFLAGS flags{};
    DWORD needed = 0;
    HWINSTA current = station();
    if (current == nullptr || !information(current, UOI_FLAGS, &flags, sizeof flags, &needed)) {
        return false;
    }
    return (flags.dwFlags & WSF_VISIBLE) != 0;
}

}  // namespace

void PlatShowMessage(const char *text) {
    PlatNoteActivity(PlatActivity::kMessage);
    if (WindowStationVisible() && MessageBoxA(nullptr, text, "Info", MB_OK) > 0) return;
    PlatWriteMessageLine(text);
}

void PlatWriteMessageLine(const char *text) {
    // No box could be shown (no visible window station or no desktop: a service, or a session
    // without a display): the line that POSIX writes goes to standard error instead, in one
    // write.
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

#include "platform/message.h"

#include <windows.h>

void PlatShowMessage(const char *text) {
    MessageBoxA(nullptr, text, "Info", MB_OK);
}

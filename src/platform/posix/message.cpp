#include "platform/message.h"

#include <unistd.h>

#include <cstring>

#include "platform/activity.h"

void PlatShowMessage(const char *text) {
    PlatNoteActivity(PlatActivity::kMessage);
    PlatWriteMessageLine(text);
}

void PlatWriteMessageLine(const char *text) {
    char line[512];
    const size_t room = sizeof line - 8;  // "Info: " and the newline
    size_t length = std::strlen(text);
    if (length > room) length = room;
    std::memcpy(line, "Info: ", 6);
    std::memcpy(line + 6, text, length);
    line[6 + length] = '\n';
    // One write: a line of another process never lands inside this one.
    const ssize_t written = write(STDERR_FILENO, line, 7 + length);
    (void)written;  // nobody to tell when standard error is gone
}

// The user area on the bus: header read, format, load with repair, store. Every write is one
// byte at its own offset; every read is one transfer.
#include "eeprom/userarea/userarea.h"

#include <atomic>
#include <cstring>

#include "eeprom/eeprom.h"
#include "eeprom/messages.h"
#include "platform/hwlib.h"

namespace {

std::atomic<UserMessageSink> g_message_sink{nullptr};

void ShowLoadMessage(int message, uint8_t type) {
    char text[192];
    UserMessageText(message, type, text, sizeof text);
    EeShowMessage(text, g_message_sink.load());
}

int WriteByte(uint8_t device, int offset, uint8_t value) {
    return I2C_SendCommandThenWrite(device, static_cast<uint8_t>(offset), &value, 1);
}

}  // namespace

void SetUserMessageSink(UserMessageSink sink) {
    g_message_sink.store(sink);
}

int UserAreaReadHeader(uint8_t device, uint8_t *version) {
    uint8_t header[kUserHeaderSize];
    if (EeReadBlock(device, 0, header, kUserHeaderSize) != 0) return 1;
    const int check = UserHeaderCheck(header);
    if (check == 0) *version = header[kUserOffsetVersion];
    return check;
}

int UserAreaFormat(uint8_t device) {
    for (int offset = 0; offset < kUserAreaSize; ++offset) {
        if (WriteByte(device, offset, 0) != 0) return 1;
    }
    static const uint8_t kHeader[] = {'U', 'S',          'R',  '#', kUserStructsOffset,
                                      0,   kUserVersion, 0xD2, 0};
    for (int offset = 0; offset < static_cast<int>(sizeof kHeader); ++offset) {
        if (WriteByte(device, offset, kHeader[offset]) != 0) return 1;
    }
    return 0;
}

int UserAreaPutStruct(uint8_t device, uint8_t version, uint8_t *image, const uint8_t *structure) {
    uint8_t work[kUserAreaSize];
    std::memcpy(work, image, sizeof work);
    UserPutPlan plan;
    const int planned = UserAreaPlanPut(work, version, structure, &plan);
    if (planned != 0) return planned;
    for (int i = 0; i < plan.count; ++i) {
        const int status = WriteByte(device, plan.offsets[i], work[plan.offsets[i]]);
        if (status != 0) return status;
    }
    std::memcpy(image, work, sizeof work);
    return 0;
}

int UserAreaLoad(uint8_t device, uint8_t version, uint8_t *cache) {
    if (version != kUserVersion) return 3;
    uint8_t work[kUserAreaSize];
    int limit = -1;
    // At most one repair per structure the area held when first read: a repair that does not
    // take (a later structure of the same type, a refused or failed write) must not loop.
    for (int repairs = 0;; ++repairs) {
        if (EeReadBlock(device, 0, work, kUserAreaSize) != 0) return 1;
        const UserVerdict v = UserAreaValidate(work);
        if (limit < 0) limit = UserAreaCountStructs(work);
        if (v.message != 0) ShowLoadMessage(v.message, v.type);
        if (!v.repair) {
            if (v.result == 0) std::memcpy(cache, work, kUserAreaSize);
            return v.result;
        }
        if (repairs >= limit) return 10;
        uint8_t blank[kUserBlankBuffer];
        UserBlankStruct(v.type, blank);
        if (UserAreaPutStruct(device, version, work, blank) != 0) return 10;
    }
}

int UserAreaReload(uint8_t device, uint8_t *cache) {
    uint8_t version = 0;
    const int header = UserAreaReadHeader(device, &version);
    if (header != 0) return header;
    return UserAreaLoad(device, version, cache);
}

int UserAreaBringUp(uint8_t device, uint8_t *version, uint8_t *cache) {
    int header = UserAreaReadHeader(device, version);
    if (header != 0 && UserAreaFormat(device) == 0) header = UserAreaReadHeader(device, version);
    if (header != 0) return header;
    int loaded = UserAreaLoad(device, *version, cache);
    if (loaded == 0) return 0;
    if (UserAreaFormat(device) != 0) return loaded;
    header = UserAreaReadHeader(device, version);
    if (header != 0) return header;
    return UserAreaLoad(device, *version, cache);
}

// The user area on the bus: header read, format, load with repair, store. Every write is one
// byte at its own offset; every read is one transfer.
#include "eeprom/userarea/userarea.h"

#include <atomic>
#include <cstring>

#include "eeprom/eeprom.h"
#include "eeprom/messages.h"
#include "platform/hwlib.h"
#include "state/state.h"

namespace {

std::atomic<UserMessageSink> g_message_sink{nullptr};

void ShowLoadMessage(int message, uint8_t type) {
    char text[192];
    UserMessageText(message, type, text, sizeof text);
    EeShowMessage(text, g_message_sink.load());
}

int WriteByte(uint8_t device, int offset, uint8_t value) {
    return EeWriteTransfer(device, static_cast<uint8_t>(offset), &value, 1);
}

uint32_t Fingerprint(const uint8_t *image) {
    uint32_t hash = 2166136261u;  // FNV-1a
    for (int i = 0; i < kUserAreaSize; ++i) hash = (hash ^ image[i]) * 16777619u;
    return hash;
}

// Whether a load raises its message for what it found in image. A reload deletes nothing,
// so it never claims to (message 2 is the start-up's, which formats the area after it); and
// a damage is reported once per content of the device, not on every access that finds it.
bool Reports(int message, bool reload, const uint8_t *image) {
    if (message == 0 || (reload && message == 2)) return false;
    SharedExtras *x = SharedExtrasOf();
    const uint32_t hash = Fingerprint(image);
    uint8_t bytes[4];
    std::memcpy(bytes, &hash, sizeof bytes);
    if (x->reported != 0 && std::memcmp(x->reported_hash, bytes, sizeof bytes) == 0) return false;
    std::memcpy(x->reported_hash, bytes, sizeof bytes);
    x->reported = 1;
    return true;
}

// Writes a planned store (work: the image it leads to, image: the one it leaves). A write the
// bus refuses is put back at once where the bus lets it, else by the next access.
int WritePlanned(uint8_t device, uint8_t *image, const uint8_t *work, const UserPutPlan &plan) {
    if (const int status = UserAreaSettle(device)) return status;
    UserWriteBegin(image, plan.offsets, plan.count);
    for (int i = 0; i < plan.count; ++i) {
        const int status = WriteByte(device, plan.offsets[i], work[plan.offsets[i]]);
        if (status != 0) {
            UserAreaSettle(device);
            return status;
        }
    }
    UserWriteDone();
    std::memcpy(image, work, kUserAreaSize);
    return 0;
}

int LoadArea(uint8_t device, uint8_t version, uint8_t *cache, bool reload) {
    if (version != kUserVersion) return 3;
    uint8_t work[kUserAreaSize];
    int limit = -1;
    // At most one repair per structure the area held when first read: a repair that does not
    // take (a refused or failed write) must not loop.
    for (int repairs = 0;; ++repairs) {
        if (EeReadBlock(device, 0, work, kUserAreaSize) != 0) return 1;
        const UserVerdict v = UserAreaValidate(work);
        if (limit < 0) limit = UserAreaCountStructs(work);
        if (Reports(v.message, reload, work)) ShowLoadMessage(v.message, v.type);
        if (!v.repair) {
            if (v.result == 0) std::memcpy(cache, work, kUserAreaSize);
            return v.result;
        }
        if (repairs >= limit) return 10;
        // The damaged structure itself is replaced, not the first one of its type.
        uint8_t blank[kUserBlankBuffer];
        UserBlankStruct(v.type, blank);
        uint8_t repaired[kUserAreaSize];
        std::memcpy(repaired, work, sizeof repaired);
        UserPutPlan plan;
        if (UserAreaPlanReplace(repaired, version, v.offset, blank, &plan) != 0 ||
            WritePlanned(device, work, repaired, plan) != 0) {
            return 10;
        }
    }
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
    return WritePlanned(device, image, work, plan);
}

void UserWriteBegin(const uint8_t *old, const uint8_t *offsets, int count) {
    SharedExtras *x = SharedExtrasOf();
    x->user = {};
    for (int i = 0; i < count; ++i) {
        const uint8_t offset = offsets[i];
        x->user.marks[offset / 8] =
            static_cast<uint8_t>(x->user.marks[offset / 8] | 1 << offset % 8);
        x->user.bytes[offset] = old[offset];
    }
    x->user.pending = 1;
}

void UserWriteDone() {
    SharedExtrasOf()->user = {};
}

int UserAreaSettle(uint8_t device) {
    SharedExtras *x = SharedExtrasOf();
    if (x->user.pending == 0) return 0;
    EeLock lock;
    if (!lock.held()) return 1;
    if (x->user.pending == 0) return 0;  // another process was first
    // Only what the device does not hold is written: a write refused at its first transfer
    // (writes off, a device that never answers) left nothing to put back.
    uint8_t now[kUserAreaSize];
    if (EeReadBlock(device, 0, now, kUserAreaSize) != 0) return 1;
    for (int offset = 0; offset < kUserAreaSize; ++offset) {
        if ((x->user.marks[offset / 8] >> offset % 8 & 1) == 0) continue;
        if (now[offset] == x->user.bytes[offset]) continue;
        const int status = WriteByte(device, offset, x->user.bytes[offset]);
        if (status != 0) return status;
    }
    UserWriteDone();
    return 0;
}

int UserAreaLoad(uint8_t device, uint8_t version, uint8_t *cache) {
    return LoadArea(device, version, cache, false);
}

int UserAreaReload(uint8_t device, uint8_t *cache) {
    uint8_t version = 0;
    const int header = UserAreaReadHeader(device, &version);
    if (header != 0) return header;
    return LoadArea(device, version, cache, true);
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

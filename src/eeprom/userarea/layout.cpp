// The user area's layout rules, without a bus: the type table, the header and area checks of
// a load, the lookup, and the byte writes a store needs. Depends on nothing else of the
// library, so that tools can build it in to explain images offline.
#include <cstdio>
#include <cstring>

#include "eeprom/userarea/userarea.h"

namespace {

uint8_t ByteSum(const uint8_t *bytes, size_t n) {
    unsigned sum = 0;
    for (size_t i = 0; i < n; ++i) sum += bytes[i];
    return static_cast<uint8_t>(sum);
}

constexpr UserType kTypes[] = {
    {0xFA, "Network", 7, 2, 9},       {0xFB, "Personalization", 2, 10, 12},
    {0xFC, "Image Profile", 6, 1, 7}, {0xFD, "Asset", 15, 2, 17},
    {0xFE, "Lease", 11, 2, 13},       {0xFF, "User", 2, 5, 7},
};

constexpr const char *kMessages[] = {
    "Keystrata Warning -- UserArea structure type %02X (%s) corrupted.  The problem will be "
    "corrected.",
    "Keystrata Error -- Invalid structure size in UserArea structure type %02X (%s).  The "
    "UserArea will be deleted.",
    "Keystrata Warning -- incorrect number of strings in UserArea structure type %02X (%s).  "
    "The problem will be corrected.",
};

}  // namespace

bool UserAreaHeaderUsable(const uint8_t *image) {
    return std::memcmp(image, "USR#", 4) == 0 && image[kUserOffsetUsed] >= kUserStructsOffset &&
           image[kUserOffsetUsed] <= kUserAreaSize;
}

const UserType *UserTypeInfo(uint8_t code) {
    for (const auto &t : kTypes) {
        if (t.code == code) return &t;
    }
    return nullptr;
}

uint8_t UserBlankSize(uint8_t code) {
    const UserType *t = UserTypeInfo(code);
    return t != nullptr ? t->blank : 0;
}

void UserBlankStruct(uint8_t code, uint8_t *out) {
    std::memset(out, 0, kUserBlankBuffer);
    out[0] = code;
    out[1] = UserBlankSize(code);
}

int UserHeaderCheck(const uint8_t *header) {
    if (std::memcmp(header, "USR#", 4) != 0) return 2;
    if (ByteSum(header, kUserHeaderSize) != 0) return 7;
    return 0;
}

void UserMessageText(int message, uint8_t type, char *out, int out_size) {
    const UserType *t = UserTypeInfo(type);
    std::snprintf(out, static_cast<size_t>(out_size), kMessages[message - 1], type,
                  t != nullptr ? t->name : "");
}

UserVerdict UserAreaValidate(const uint8_t *image) {
    UserVerdict v;
    const int used = image[kUserOffsetUsed];
    // An area shorter than its header would have the next structure placed over it.
    if (used > kUserAreaSize || used < kUserStructsOffset) {
        v.result = 10;
        return v;
    }
    if (ByteSum(image, static_cast<size_t>(used)) != 0) {
        v.result = 7;
        return v;
    }
    for (int off = kUserStructsOffset; off < used;) {
        v.offset = static_cast<uint8_t>(off);
        v.type = image[off];
        // The size byte itself must lie inside the used length.
        const int size = off + 1 < used ? image[off + 1] : 0;
        v.size = static_cast<uint8_t>(size);
        if (off + size > used || size < 2) {
            v.result = 10;
            return v;
        }
        const UserType *t = UserTypeInfo(v.type);
        if (t != nullptr) {
            if (size < t->fixed + t->strings) {
                v.message = 1;
                v.repair = true;
                return v;
            }
            int pos = t->fixed;
            if (t->code == kUserTypeNetwork) pos += 8 * image[off + 2];
            int strings = 0;
            while (pos < size) {
                while (pos < size && image[off + pos] != 0) ++pos;
                ++pos;  // past the NUL, or past the end when there was none
                ++strings;
            }
            if (pos != size) {
                v.message = 2;
                v.result = 10;
                return v;
            }
            if (strings != t->strings) {
                v.message = 3;
                v.repair = true;
                return v;
            }
        }
        off += size;
    }
    v = UserVerdict{};
    return v;
}

int UserAreaCountStructs(const uint8_t *image) {
    const int used =
        image[kUserOffsetUsed] < kUserAreaSize ? image[kUserOffsetUsed] : kUserAreaSize;
    int count = 0;
    for (int off = kUserStructsOffset; off + 1 < used; ++count) {
        const int size = image[off + 1];
        if (size < 2 || off + size > used) break;
        off += size;
    }
    return count;
}

int UserAreaFindStruct(const uint8_t *image, uint8_t type, uint8_t version, uint8_t *copy_out,
                       uint8_t *pos_out) {
    if (version != kUserVersion) return 3;
    if (!UserAreaHeaderUsable(image)) return 10;
    const int used = image[kUserOffsetUsed];
    int off = kUserStructsOffset;
    // A size below 2 would never move on, and a structure past the used length is not one.
    while (off < used) {
        const int size = off + 1 < used ? image[off + 1] : 0;
        if (size < 2 || off + size > used) return 10;
        if (image[off] == type) {
            if (size > kUserMaxStructSize) return 10;
            if (copy_out != nullptr) std::memcpy(copy_out, image + off, static_cast<size_t>(size));
            if (pos_out != nullptr) *pos_out = static_cast<uint8_t>(off);
            return 0;
        }
        off += size;
    }
    return 9;
}

namespace {

// The store of `structure` over the one at pos (-1: none there, it is appended).
int PlanAt(uint8_t *image, const uint8_t *structure, int pos, UserPutPlan *plan) {
    const int n = structure[1];
    // A size of 1 is no structure: stored, it would stop every later walk.
    if (n == 1) return 10;
    const int used = image[kUserOffsetUsed];
    auto write = [plan](int offset) {
        plan->offsets[plan->count++] = static_cast<uint8_t>(offset);
    };

    if (pos >= 0 && image[pos + 1] == n) {  // same size: in place
        const uint8_t old_sum = ByteSum(image + pos, static_cast<size_t>(n));
        std::memcpy(image + pos, structure, static_cast<size_t>(n));
        for (int i = 0; i < n; ++i) write(pos + i);
        image[kUserOffsetAreaSum] = static_cast<uint8_t>(
            image[kUserOffsetAreaSum] + old_sum - ByteSum(structure, static_cast<size_t>(n)));
        write(kUserOffsetAreaSum);
        return 0;
    }
    if (pos >= 0) {  // another size: the ones behind move up, this one goes to the end
        const int c = image[pos + 1];
        if (n > kUserAreaSize - used + c) return 4;
        const int t = used - c - pos;
        std::memmove(image + pos, image + pos + c, static_cast<size_t>(t));
        std::memset(image + pos + t, 0, static_cast<size_t>(kUserAreaSize - pos - t));
        std::memcpy(image + pos + t, structure, static_cast<size_t>(n));
        const int span = t + (n > c ? n : c);
        for (int i = 0; i < span; ++i) write(pos + i);
        image[kUserOffsetUsed] = static_cast<uint8_t>(pos + t + n);
        write(kUserOffsetUsed);
        image[kUserOffsetHeaderSum] = static_cast<uint8_t>(0x100 - ByteSum(image, 7));
        write(kUserOffsetHeaderSum);
        image[kUserOffsetAreaSum] = 0;
        image[kUserOffsetAreaSum] =
            static_cast<uint8_t>(0x100 - ByteSum(image, image[kUserOffsetUsed]));
        write(kUserOffsetAreaSum);
        return 0;
    }
    // not found: append
    if (n > kUserAreaSize - used) return 4;
    std::memcpy(image + used, structure, static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) write(used + i);
    image[kUserOffsetUsed] = static_cast<uint8_t>(used + n);
    write(kUserOffsetUsed);
    image[kUserOffsetAreaSum] = static_cast<uint8_t>(image[kUserOffsetAreaSum] -
                                                     ByteSum(structure, static_cast<size_t>(n)));
    write(kUserOffsetAreaSum);
    image[kUserOffsetHeaderSum] = static_cast<uint8_t>(image[kUserOffsetHeaderSum] - n);
    write(kUserOffsetHeaderSum);
    return 0;
}

}  // namespace

int UserAreaPlanPut(uint8_t *image, uint8_t version, const uint8_t *structure, UserPutPlan *plan) {
    plan->count = 0;
    uint8_t pos = 0;
    const int found = UserAreaFindStruct(image, structure[0], version, nullptr, &pos);
    if (found != 0 && found != 9) return found;
    return PlanAt(image, structure, found == 0 ? pos : -1, plan);
}

int UserAreaPlanReplace(uint8_t *image, uint8_t version, uint8_t position, const uint8_t *structure,
                        UserPutPlan *plan) {
    plan->count = 0;
    if (version != kUserVersion) return 3;
    // Only a structure the walk reaches whole can be replaced.
    int off = kUserStructsOffset;
    const int used = UserAreaHeaderUsable(image) ? image[kUserOffsetUsed] : 0;
    while (off < position && off + 1 < used && image[off + 1] >= 2) off += image[off + 1];
    if (off != position || off + 1 >= used || image[off + 1] < 2 || off + image[off + 1] > used) {
        return 10;
    }
    return PlanAt(image, structure, position, plan);
}

// The "USR#" user area of the asset EEPROM: typed structures behind a 16-byte header on device
// 0xAA, offsets 0 to 247. The checks and the store planning are pure functions over a 248-byte
// image, shared by the load, the offline inspector and the fuzzer; the rest moves bytes.
#pragma once

#include <cstdint>

constexpr uint8_t kUserDevice = 0xAA;
constexpr int kUserAreaSize = 248;  // offsets 0xF8 to 0xFF are never read or written
constexpr uint8_t kUserHeaderSize = 8;
constexpr uint8_t kUserOffsetUsed = 4;
constexpr uint8_t kUserOffsetVersion = 6;
constexpr uint8_t kUserOffsetHeaderSum = 7;
constexpr uint8_t kUserOffsetAreaSum = 8;
constexpr uint8_t kUserOffsetFlags = 9;  // bit 0: changed by an outside writer
constexpr uint8_t kUserStructsOffset = 16;
constexpr uint8_t kUserVersion = 1;
constexpr int kUserMaxStructSize = 231;  // lookups refuse a stored structure of 232 or more
constexpr int kUserBlankBuffer = 256;    // what a read fills when nothing is found

constexpr uint8_t kUserTypeNetwork = 0xFA;
constexpr uint8_t kUserTypeUser = 0xFF;

struct UserType {
    uint8_t code;
    const char *name;
    uint8_t fixed;    // offset of the first string ("Network": plus 8 per address)
    uint8_t strings;  // NUL-terminated strings that end the structure
    uint8_t blank;    // size of the smallest well-formed structure
};

// The six known types; nullptr for any other code.
const UserType *UserTypeInfo(uint8_t code);
// Blank size of a type (0 for an unknown type).
uint8_t UserBlankSize(uint8_t code);
// 256 bytes: the type, its blank size, zeros.
void UserBlankStruct(uint8_t code, uint8_t *out);

// ---- pure checks over images ------------------------------------------------------------

// The 8 header bytes: 0, 2 (no "USR#") or 7 (they do not sum to 0).
int UserHeaderCheck(const uint8_t *header);

// A header a structure can be placed behind: "USR#" and a used length of 16 to 248.
bool UserAreaHeaderUsable(const uint8_t *image);

// What a load finds on one pass over a 248-byte image.
struct UserVerdict {
    int result = 0;       // 0 sound, 7 checksum, 10 layout; see repair
    bool repair = false;  // the structure at `offset` must be replaced by its type's blank
    int message = 0;      // 0 none, else the load message 1, 2 or 3 shown for it
    uint8_t type = 0;
    uint8_t offset = 0;  // where the walk stopped (the structure concerned)
    uint8_t size = 0;
};
UserVerdict UserAreaValidate(const uint8_t *image);
// Structures the walk can step over (size at least 2, inside the used length).
int UserAreaCountStructs(const uint8_t *image);
// The text of a load message (1 to 3) for a known type, into out (at least 160 bytes).
void UserMessageText(int message, uint8_t type, char *out, int out_size);

// First structure of `type`: 0 (copied to copy_out, position to pos_out, each when given),
// 3 (version not 1), 9 (none), 10 (the image holds no usable header, the walk meets a size
// below 2 or a structure past the used length, or the one found is 232 bytes or more).
int UserAreaFindStruct(const uint8_t *image, uint8_t type, uint8_t version, uint8_t *copy_out,
                       uint8_t *pos_out);

// A store worked out on an image: the image is changed to what the device must hold, and
// `offsets` lists, in bus order, the single-byte writes that bring the device there.
struct UserPutPlan {
    int count = 0;
    uint8_t offsets[kUserAreaSize + 3];
};
// 0, or 3, 4 (no room), 10 (refused; the image is then unchanged).
int UserAreaPlanPut(uint8_t *image, uint8_t version, const uint8_t *structure, UserPutPlan *plan);
// The same store over the structure that starts at position, whatever its type (a load's
// repair of a damaged structure that is not the first of its type); 10 when no structure the
// walk reaches starts there.
int UserAreaPlanReplace(uint8_t *image, uint8_t version, uint8_t position, const uint8_t *structure,
                        UserPutPlan *plan);

// ---- the device -------------------------------------------------------------------------

int UserAreaReadHeader(uint8_t device, uint8_t *version);
int UserAreaFormat(uint8_t device);
// Validates, repairs (with its messages) and on success copies the 248 bytes into cache.
int UserAreaLoad(uint8_t device, uint8_t version, uint8_t *cache);
int UserAreaReload(uint8_t device, uint8_t *cache);
// Stores one structure into image and device. A failed write answers the bus status as it
// came and leaves the image as it was before the call; the next access that reaches the bus
// puts the device back to it (UserAreaSettle).
int UserAreaPutStruct(uint8_t device, uint8_t version, uint8_t *image, const uint8_t *structure);
// A write cut off by a failing bus must not leave an area that no longer balances (the next
// start-up would format it): before its first transfer a writer notes, in the shared mapping,
// what the bytes it changes held (old[offset] for each offset listed), and drops the note
// when it is through. UserAreaSettle puts the bytes back: 0 when nothing is left to do (no
// bus traffic then), else the status of the write that failed. Takes the EEPROM mutex.
void UserWriteBegin(const uint8_t *old, const uint8_t *offsets, int count);
void UserWriteDone();
int UserAreaSettle(uint8_t device);
// What every access does first, with the EEPROM mutex held: a write left cut off is put back
// (its status answered while the bus refuses), and the cache is reloaded when the device
// changed behind it. 0 when the cache may be used.
int UserAreaBeginAccess();
// Start-up: read the header (formatting a blank or unreadable area), load (formatting and
// loading once more when that fails). 0 when the cache was loaded; *version gets the
// version the header handed out.
int UserAreaBringUp(uint8_t device, uint8_t *version, uint8_t *cache);

// Where load messages go: the platform's message seam unless a sink is set (tests and tools
// read them on every platform this way).
using UserMessageSink = void (*)(const char *text);
void SetUserMessageSink(UserMessageSink sink);

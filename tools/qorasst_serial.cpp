// qorasst serial get|set|delete: read and change one serial number through the exports.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "QORasstW.h"
#include "qorasst.h"

namespace {

const char *ResultWords(int code) {
    switch (code) {
        case ASSET_OK:
            return "success";
        case ASSET_ERR_BUS:
            return "nothing found, or a bus transfer failed";
        case ASSET_ERR_SIGNATURE:
            return "the memory module holds no serial block and no usable JEDEC bytes";
        case ASSET_ERR_CHECKSUM:
            return "the memory module's serial block has a bad checksum";
        case ASSET_ERR_NOT_FOUND:
            return "no memory-module address for this index";
        case ASSET_ERR_NO_EDID:
            return "no EDID block was captured at start-up";
        case ASSET_ERR_EDID_SERIAL:
            return "the monitor reports no serial number";
        case ASSET_ERR_VPD_NOT_LOADED:
            return "no record, and no BIOS VPD to fall back on";
        case ASSET_ERR_NOT_INITIALIZED:
            return "the library is not initialised";
        case ASSET_ERR_NO_SOURCE:
            return "no record and no other source for this device";
        case ASSET_ERR_INDEX_NOT_ZERO:
            return "the index must be 0 for this device type";
        default:
            return "failed";
    }
}

bool ParseInt(const char *text, int *value) {
    errno = 0;
    char *end = nullptr;
    const long v = std::strtol(text, &end, 0);
    if (errno != 0 || end == text || *end != 0 || v < INT_MIN || v > INT_MAX) return false;
    *value = static_cast<int>(v);
    return true;
}

// Why a set or delete answered 0, as far as the status exports can tell.
const char *RefusalWords(bool erase) {
    if (Qor().AssetIsInitialized() == 0) return "the library is not initialised";
    if (Qor().AssetIsEeprom() == 0) return "there is no serial-number area";
    return erase ? "no record of this device, or the type cannot be recorded, or the write failed"
                 : "the text must have 4 to 22 printable characters (at most 19 without a "
                   "leading 11S), the type must be 1 to 31 and the index 0 to 7, the area needs "
                   "a free slot, and every bus transfer must succeed";
}

}  // namespace

int SerialCommand(int argc, char **argv) {
    const char *verb = argc > 0 ? argv[0] : "";
    const bool get = std::strcmp(verb, "get") == 0;
    const bool set = std::strcmp(verb, "set") == 0;
    const bool erase = std::strcmp(verb, "delete") == 0;
    if (!(get || set || erase)) {
        return Refuse("serial: expected get, set or delete");
    }
    const int wanted = set ? 4 : 3;
    if (argc != wanted) {
        return Refuse("serial %s: expected TYPE INDEX%s", verb, set ? " TEXT" : "");
    }
    int type = 0;
    int index = 0;
    if (!ParseInt(argv[1], &type) || !ParseInt(argv[2], &index)) {
        return Refuse("serial %s: TYPE and INDEX must be numbers", verb);
    }
    if (get) {
        char buffer[64] = {};
        const int code = Qor().AssetGetSerialNumber2(type, index, buffer);
        if (code != ASSET_OK) {
            std::fprintf(stderr, "qorasst: serial %d %d: %s (result %d)\n", type, index,
                         ResultWords(code), code);
            return 1;
        }
        std::printf("%s\n", buffer);
        return 0;
    }
    const char *text = set ? argv[3] : "";
    if (set && text[0] == 0) return Refuse("serial set: an empty TEXT deletes; use serial delete");
    if (Qor().AssetSetSerialNumber(type, index, text) == 0) {
        std::fprintf(stderr, "qorasst: serial %d %d not %s: %s\n", type, index,
                     erase ? "deleted" : "stored", RefusalWords(erase));
        if (RefusedBusWrites() > 0) {
            std::fprintf(stderr, "qorasst: bus writes are off (QORASST_I2C_WRITE=1 allows them)\n");
        }
        return 1;
    }
    std::printf("serial %d %d %s\n", type, index, erase ? "deleted" : "stored");
    return 0;
}

// qorasst user [set|delete]: the user area's structures through the library, and
// qorasst inspect FILE: an asset-EEPROM dump explained offline, with the load's own checks.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "QORasstW.h"
#include "decode.h"
#include "eeprom/userarea/userarea.h"
#include "platform/hwlib.h"
#include "qorasst.h"

namespace {

int Print(const ReportValue &v, bool json) {
    std::printf("%s\n", json ? v.ToJson().c_str() : v.ToText().substr(1).c_str());
    return 0;
}

int Refused(const char *what, int code) {
    std::fprintf(stderr, "qorasst: %s: %s (result %d)\n", what, ResultText(code), code);
    return 1;
}

// The structures an application finds: one access through the library, which brings the
// shared cache in line with the device (reloading, repairing and showing its messages where it
// changed), then the area read in one bus transfer and looked up with the library's own rules,
// rather than one access (and perhaps one reload) per type code.
ReportValue UserStructs(int *code) {
    unsigned char first[kUserBlankBuffer];
    *code = Qor().AssetGetUserAreaStruct(first, kUserTypeUser);
    if (*code != ASSET_OK && *code != ASSET_ERR_NOT_FOUND) return ReportValue::List();
    using ReadFn = int(HWLIB_CALL *)(unsigned char, unsigned char, unsigned char *, int);
    auto read = reinterpret_cast<ReadFn>(HardwareFunction("kelbW.dll", "I2C_SendCommandThenRead"));
    uint8_t image[kUserAreaSize] = {};
    if (read == nullptr || read(kUserDevice, 0, image, kUserAreaSize) != 0) {
        *code = ASSET_ERR_BUS;
        return ReportValue::List();
    }
    return ListStructs(image, code);
}

int Inspect(const std::string &path, bool json) {
    std::ifstream in(path, std::ios::binary);
    const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Bytes img;
    if ((!in.good() && !in.eof()) || !ParseDump(all, &img)) {
        std::fprintf(stderr, "qorasst: %s is not a 256-byte dump (raw or i2cdump text)\n",
                     path.c_str());
        return 2;
    }
    ReportValue out = ReportValue::Object();
    out.Add("file", ReportValue::Text(path));
    const bool sound = ExplainImage(img, out);
    Print(out, json);
    return sound ? 0 : 1;
}

// Takes --json out of a command's arguments, wherever it stands.
std::vector<char *> WithoutJson(int argc, char **argv, bool *json) {
    std::vector<char *> rest;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--json") == 0) {
            *json = true;
        } else {
            rest.push_back(argv[i]);
        }
    }
    return rest;
}

}  // namespace

void AddUserSection(ReportValue &report) {
    int code = 0;
    ReportValue &user = report.Add("user_area", ReportValue::Object());
    user.Add("structures", UserStructs(&code));
    if (code != ASSET_OK) user.Add("result", ReportValue::Text(ResultText(code)));
}

int UserCommand(int all_argc, char **all_argv) {
    bool json = false;
    std::vector<char *> args = WithoutJson(all_argc, all_argv, &json);
    const int argc = static_cast<int>(args.size());
    char **argv = args.data();
    const std::string verb = argc > 0 ? argv[0] : "";
    if (verb.empty()) {
        int code = 0;
        ReportValue list = UserStructs(&code);
        if (code != ASSET_OK) return Refused("user area", code);
        return Print(list, json);
    }
    Bytes type;
    if (argc < 2 || !ParseHexBytes(argv[1], &type) || type.size() != 1 ||
        (verb != "set" && verb != "delete") || (verb == "delete" && argc != 2)) {
        return Refuse("user: set TYPE [--fixed HEX] STRING..., or delete TYPE (TYPE in hex)");
    }
    Bytes s = {type[0], 0};
    if (verb == "set") {
        int i = 2;
        const UserType *t = UserTypeInfo(type[0]);
        Bytes fixed(t != nullptr && t->fixed > 2 ? t->fixed - 2u : 0u, 0);
        if (argc > 3 && std::strcmp(argv[2], "--fixed") == 0) {
            fixed.clear();
            if (!ParseHexBytes(argv[3], &fixed)) return Refuse("user: --fixed takes hex bytes");
            i = 4;
        }
        s.insert(s.end(), fixed.begin(), fixed.end());
        for (; i < argc; ++i) s.insert(s.end(), argv[i], argv[i] + std::strlen(argv[i]) + 1);
        if (s.size() < 2 || s.size() > 255) {
            std::fprintf(stderr, "qorasst: a structure holds 2 to 255 bytes\n");
            return 2;
        }
        s[1] = static_cast<uint8_t>(s.size());
        // The library stores what it is given; the next load would repair or reject a
        // malformed structure, so the tool refuses it up front with the load's own words.
        uint8_t img[kUserAreaSize] = {'U', 'S', 'R', '#', 0, 0, kUserVersion};
        if (s.size() <= kUserAreaSize - kUserStructsOffset) {
            img[kUserOffsetUsed] = static_cast<uint8_t>(kUserStructsOffset + s.size());
            std::memcpy(img + kUserStructsOffset, s.data(), s.size());
            img[kUserOffsetHeaderSum] = static_cast<uint8_t>(0x100 - Sum(img, 7));
            img[kUserOffsetAreaSum] = static_cast<uint8_t>(0x100 - Sum(img, img[4]));
        }
        const UserVerdict v = UserAreaValidate(img);
        if (v.result != 0 || v.message != 0) {
            char text[192] = "the structure does not fit the user area";
            if (v.message != 0) UserMessageText(v.message, v.type, text, sizeof text);
            std::fprintf(stderr, "qorasst: not stored: %s\n", text);
            return 2;
        }
    }
    const int rc = Qor().AssetSetUserAreaStruct(s.data());
    if (rc != ASSET_OK) return Refused(("user " + verb).c_str(), rc);
    ReportValue done = ReportValue::Object();
    done.Add(verb == "set" ? "stored" : "deleted", ReportValue::Text(Hex2(type[0])));
    if (verb == "set") done.Add("bytes", ReportValue::Text(HexOf(s.data(), s.size())));
    return Print(done, json);
}

int InspectCommand(int argc, char **argv) {
    bool json = false;
    const std::vector<char *> args = WithoutJson(argc, argv, &json);
    if (args.size() != 1) return Refuse("inspect: one FILE is needed");
    return Inspect(args[0], json);
}

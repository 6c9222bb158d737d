// qorasst user [set|delete]: the user area's structures through the exports, and
// qorasst inspect FILE: an asset-EEPROM dump explained offline, with the load's own checks.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "QORasstW.h"
#include "eeprom/userarea/userarea.h"
#include "qorasst.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string HexOf(const uint8_t *b, size_t n) {
    std::string s;
    char two[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(two, sizeof two, "%02X", b[i]);
        s += two;
    }
    return s;
}

std::string Hex2(unsigned v) {
    const uint8_t b = static_cast<uint8_t>(v);
    return HexOf(&b, 1);
}

bool ParseHexBytes(const std::string &text, Bytes *out) {
    if (text.size() % 2 != 0) return false;
    for (size_t i = 0; i < text.size(); i += 2) {
        char *end = nullptr;
        const std::string pair = text.substr(i, 2);
        const unsigned long v = std::strtoul(pair.c_str(), &end, 16);
        if (*end != 0 || pair[0] == '-' || pair[0] == '+' || pair[0] == ' ') return false;
        out->push_back(static_cast<uint8_t>(v));
    }
    return true;
}

std::string Dotted(const uint8_t *b) {
    return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." +
           std::to_string(b[3]);
}

// One structure in words: type, name, size, fixed bytes, strings ("Network" decoded).
ReportValue DescribeStruct(const uint8_t *s) {
    ReportValue v = ReportValue::Object();
    const int size = s[1];
    const UserType *t = UserTypeInfo(s[0]);
    v.Add("type", ReportValue::Text(Hex2(s[0])));
    v.Add("name", ReportValue::Text(t != nullptr ? t->name : "unknown"));
    v.Add("size", ReportValue::Number(size));
    int fixed = t != nullptr ? t->fixed : size;
    if (t != nullptr && t->code == kUserTypeNetwork && size > 2) fixed += 8 * s[2];
    if (fixed > size) fixed = size;
    v.Add("fixed", ReportValue::Text(HexOf(s + 2, static_cast<size_t>(fixed > 2 ? fixed - 2 : 0))));
    if (t != nullptr && t->code == kUserTypeNetwork && fixed >= 7) {
        const int n = s[2];
        v.Add("gateway", ReportValue::Text(Dotted(s + 3)));
        ReportValue &pairs = v.Add("addresses", ReportValue::List());
        for (int i = 0; i < n && 7 + 8 * i + 4 <= fixed; ++i) {
            pairs.Append(
                ReportValue::Text(Dotted(s + 7 + 4 * i) + "/" + Dotted(s + 7 + 4 * n + 4 * i)));
        }
    }
    if (t != nullptr) {
        ReportValue &strings = v.Add("strings", ReportValue::List());
        for (int pos = fixed; pos < size;) {
            std::string text;
            while (pos < size && s[pos] != 0) text += static_cast<char>(s[pos++]);
            ++pos;
            strings.Append(ReportValue::Text(text));
        }
    }
    return v;
}

int Print(const ReportValue &v, bool json) {
    std::printf("%s\n", json ? v.ToJson().c_str() : v.ToText().substr(1).c_str());
    return 0;
}

int Refused(const char *what, int code) {
    std::fprintf(stderr, "qorasst: %s: %s (result %d)\n", what, ResultText(code), code);
    return 1;
}

// The stored structures, the known types first; lookups find the first of each type.
ReportValue UserStructs(int *code) {
    ReportValue list = ReportValue::List();
    *code = ASSET_OK;
    for (int k = 0; k < 256; ++k) {
        const auto type = static_cast<unsigned char>(0xFF - k);
        unsigned char buffer[kUserBlankBuffer];
        const int rc = Qor().AssetGetUserAreaStruct(buffer, type);
        if (rc == ASSET_OK) list.Append(DescribeStruct(buffer));
        if (rc != ASSET_OK && rc != ASSET_ERR_NOT_FOUND) *code = rc;
    }
    return list;
}

// ---- inspect ------------------------------------------------------------------------------

// A 256-byte dump: raw bytes, or the rows "00: 55 53 ..." that i2cdump prints.
bool ReadDump(const std::string &path, Bytes *image) {
    std::ifstream in(path, std::ios::binary);
    const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) return false;
    std::istringstream lines(all);
    Bytes parsed(256, 0);
    int rows = 0;
    for (std::string line; std::getline(lines, line);) {
        unsigned row = 0;
        char colon = 0;
        std::istringstream words(line);
        if (!(words >> std::hex >> row) || !(words >> colon) || colon != ':' || row % 16 != 0 ||
            row > 0xF0) {
            continue;
        }
        for (unsigned i = 0; i < 16; ++i) {
            std::string w;
            Bytes b;
            if (!(words >> w) || w.size() != 2 || !ParseHexBytes(w, &b)) return false;
            parsed[row + i] = b[0];
        }
        ++rows;
    }
    if (rows == 16) {
        *image = parsed;
        return true;
    }
    if (all.size() != 256) return false;
    image->assign(all.begin(), all.end());
    return true;
}

uint8_t Sum(const uint8_t *b, size_t n) {
    unsigned s = 0;
    for (size_t i = 0; i < n; ++i) s += b[i];
    return static_cast<uint8_t>(s);
}

// A checksum byte: good or bad, and the value it should hold.
ReportValue Checksum(const uint8_t *b, size_t n, size_t at) {
    ReportValue v = ReportValue::Object();
    v.Add("value", ReportValue::Text(Hex2(b[at])));
    v.Add("good", ReportValue::Bool(Sum(b, n) == 0));
    v.Add("should_be", ReportValue::Text(Hex2(static_cast<uint8_t>(b[at] - Sum(b, n)))));
    return v;
}

bool InspectUser(const Bytes &img, ReportValue &out) {
    out.Add("area", ReportValue::Text("user area (USR#)"));
    const int used = img[kUserOffsetUsed];
    out.Add("used_length", ReportValue::Number(used));
    out.Add("version", ReportValue::Number(img[kUserOffsetVersion]));
    out.Add("flags", ReportValue::Text(Hex2(img[kUserOffsetFlags])));
    out.Add("header_checksum", Checksum(img.data(), kUserHeaderSize, kUserOffsetHeaderSum));
    if (used >= kUserStructsOffset && used <= kUserAreaSize) {
        out.Add("area_checksum",
                Checksum(img.data(), static_cast<size_t>(used), kUserOffsetAreaSum));
    }
    ReportValue &structs = out.Add("structures", ReportValue::List());
    for (int off = kUserStructsOffset, n = UserAreaCountStructs(img.data()); n > 0; --n) {
        ReportValue &s = structs.Append(DescribeStruct(img.data() + off));
        s.Add("offset", ReportValue::Number(off));
        off += img[static_cast<size_t>(off) + 1];
    }
    // What a start-up would meet, step by step, on a working copy.
    ReportValue &problems = out.Add("problems", ReportValue::List());
    auto problem = [&](const std::string &text) { problems.Append(ReportValue::Text(text)); };
    const int header = UserHeaderCheck(img.data());
    if (header != 0 || img[kUserOffsetVersion] != kUserVersion) {
        problem(header == 7 ? "header checksum bad: the header read gives 7; start-up formats"
                            : "version is not 1: the load gives 3; start-up formats the area");
        return false;
    }
    uint8_t work[kUserAreaSize];
    std::memcpy(work, img.data(), sizeof work);
    const int limit = UserAreaCountStructs(work);
    for (int repairs = 0;; ++repairs) {
        const UserVerdict v = UserAreaValidate(work);
        if (v.message != 0) {
            char text[192];
            UserMessageText(v.message, v.type, text, sizeof text);
            problem("structure at offset " + std::to_string(v.offset) + ": message \"" + text +
                    "\"");
        }
        UserPutPlan plan;
        uint8_t blank[kUserBlankBuffer];
        UserBlankStruct(v.type, blank);
        if (v.repair && repairs < limit && UserAreaPlanPut(work, 1, blank, &plan) == 0) {
            problem("repair: the first structure of type " + Hex2(v.type) +
                    " is replaced by its blank (size " + std::to_string(blank[1]) + ") in " +
                    std::to_string(plan.count) + " single-byte writes");
            continue;
        }
        const int result = v.repair ? 10 : v.result;
        if (result == 7) problem("area checksum bad: the load gives 7; start-up formats the area");
        if (result == 10) {
            problem("layout invalid at offset " + std::to_string(v.offset) +
                    ": the load gives 10; start-up formats the area");
        }
        return repairs == 0 && result == 0;
    }
}

bool InspectSerial(const Bytes &img, ReportValue &out) {
    out.Add("area", ReportValue::Text("serial-number area (SER#)"));
    const unsigned s = img[4], n = img[5];
    out.Add("record_size", ReportValue::Number(s));
    out.Add("slots", ReportValue::Number(n));
    out.Add("version", ReportValue::Number(img[6]));
    out.Add("flags", ReportValue::Text(Hex2(img[9])));
    out.Add("header_checksum", Checksum(img.data(), 8, 7));
    ReportValue list = ReportValue::List();
    const size_t length = 16 + static_cast<size_t>(s) * n;
    const bool fits = s >= 2 && s <= 21 && n <= 64 && length <= 256;
    if (fits) {
        out.Add("area_checksum", Checksum(img.data(), length, 8));
        ReportValue &records = out.Add("records", ReportValue::List());
        for (unsigned i = 0; i < n; ++i) {
            const uint8_t *r = img.data() + 16 + s * i;
            if (r[0] == 0) continue;
            std::string text;
            for (unsigned k = 1; k < s && r[k] != 0; ++k) text += static_cast<char>(r[k] & 0x7F);
            if ((r[1] & 0x80) == 0) text = "11S" + text;
            ReportValue &rec = records.Append(ReportValue::Object());
            rec.Add("slot", ReportValue::Number(i));
            rec.Add("type", ReportValue::Number(r[0] >> 3));
            rec.Add("index", ReportValue::Number(r[0] & 7));
            rec.Add("text", ReportValue::Text(text));
        }
    }
    if (Sum(img.data(), 8) != 0) list.Append(ReportValue::Text("header checksum bad: 7"));
    if (!fits) list.Append(ReportValue::Text("geometry does not fit the device: 7"));
    if (img[6] != 1) list.Append(ReportValue::Text("version is not 1: 3"));
    if (fits && Sum(img.data(), length) != 0) {
        list.Append(
            ReportValue::Text("area checksum bad: the load gives 7; on an RF machine "
                              "start-up formats an area at A8"));
    }
    const bool sound =
        Sum(img.data(), 8) == 0 && fits && img[6] == 1 && Sum(img.data(), length) == 0;
    out.Add("problems", list);
    return sound;
}

int Inspect(const std::string &path, bool json) {
    Bytes img;
    if (!ReadDump(path, &img)) {
        std::fprintf(stderr, "qorasst: %s is not a 256-byte dump (raw or i2cdump text)\n",
                     path.c_str());
        return 2;
    }
    ReportValue out = ReportValue::Object();
    out.Add("file", ReportValue::Text(path));
    bool sound = false;
    if (std::memcmp(img.data(), "USR#", 4) == 0) {
        sound = InspectUser(img, out);
    } else if (std::memcmp(img.data(), "SER#", 4) == 0) {
        sound = InspectSerial(img, out);
    } else {
        out.Add("area", ReportValue::Text("none: no \"SER#\" or \"USR#\" signature"));
        out.Add("problems", ReportValue::List())
            .Append(ReportValue::Text("no signature: the header read gives 2; on an RF machine "
                                      "start-up formats the area"));
    }
    out.Add("sound", ReportValue::Bool(sound));
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

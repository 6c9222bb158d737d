// The tools' decoders of stored bytes: user-area structures, whole areas and dumps. Each reads
// only the bytes it is given, whatever a size or count byte in them claims.
#include "decode.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

#include "eeprom/userarea/userarea.h"

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

uint8_t Sum(const uint8_t *b, size_t n) {
    unsigned s = 0;
    for (size_t i = 0; i < n; ++i) s += b[i];
    return static_cast<uint8_t>(s);
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

bool ParseDump(const std::string &all, Bytes *image) {
    std::istringstream lines(all);
    Bytes parsed(256, 0);
    unsigned rows = 0;  // one bit per row seen
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
        rows |= 1u << (row / 16);
    }
    if (rows == 0xFFFF) {
        *image = parsed;
        return true;
    }
    if (all.size() != 256) return false;
    image->assign(all.begin(), all.end());
    return true;
}

namespace {

std::string Dotted(const uint8_t *b) {
    return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." +
           std::to_string(b[3]);
}

}  // namespace

ReportValue DescribeStruct(const uint8_t *s, size_t available) {
    ReportValue v = ReportValue::Object();
    if (available < 2) return v;
    // A size byte that claims more than there is (a damaged dump) is believed no further.
    const int size = s[1] < available ? s[1] : static_cast<int>(available);
    const UserType *t = UserTypeInfo(s[0]);
    v.Add("type", ReportValue::Text(Hex2(s[0])));
    v.Add("name", ReportValue::Text(t != nullptr ? t->name : "unknown"));
    v.Add("size", ReportValue::Number(s[1]));
    int fixed = t != nullptr ? t->fixed : size;
    if (t != nullptr && t->code == kUserTypeNetwork && size > 2) fixed += 8 * s[2];
    if (fixed > size) fixed = size;
    v.Add("fixed", ReportValue::Text(HexOf(s + 2, static_cast<size_t>(fixed > 2 ? fixed - 2 : 0))));
    if (t != nullptr && t->code == kUserTypeNetwork && fixed >= 7) {
        const int n = s[2];
        v.Add("gateway", ReportValue::Text(Dotted(s + 3)));
        ReportValue &pairs = v.Add("addresses", ReportValue::List());
        // The N masks follow the N addresses: a count that claims more pairs than the size
        // holds puts masks past the end, and those pairs are not shown.
        int i = 0;
        for (; i < n && 7 + 4 * n + 4 * i + 4 <= size; ++i) {
            pairs.Append(
                ReportValue::Text(Dotted(s + 7 + 4 * i) + "/" + Dotted(s + 7 + 4 * n + 4 * i)));
        }
        if (i < n) {
            v.Add("problem", ReportValue::Text("the address count " + std::to_string(n) +
                                               " claims more than the size holds"));
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

ReportValue ListStructs(const uint8_t *image, int *code) {
    ReportValue list = ReportValue::List();
    *code = 0;
    for (int k = 0; k < 256; ++k) {
        const auto type = static_cast<uint8_t>(0xFF - k);
        uint8_t s[kUserBlankBuffer];
        const int rc = UserAreaFindStruct(image, type, kUserVersion, s, nullptr);
        if (rc == 0) list.Append(DescribeStruct(s, s[1]));
        if (rc != 0 && rc != 9) *code = rc;
    }
    return list;
}

namespace {

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
        ReportValue &s = structs.Append(
            DescribeStruct(img.data() + off, static_cast<size_t>(kUserAreaSize - off)));
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
            // The display form a query answers: bit 7 of the first character cleared, or
            // "11S" put back where the stored form dropped it.
            for (unsigned k = 1; k < s && r[k] != 0; ++k) text += static_cast<char>(r[k]);
            if (!text.empty() && (r[1] & 0x80) != 0) {
                text[0] = static_cast<char>(r[1] & 0x7F);
            } else {
                text = "11S" + text;
            }
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

}  // namespace

bool ExplainImage(const Bytes &img, ReportValue &out) {
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
    return sound;
}

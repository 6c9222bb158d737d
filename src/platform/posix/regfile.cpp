#include "platform/posix/regfile.h"

#include <cctype>
#include <cstdlib>
#include <sstream>

namespace {

std::string Upper(std::string s) {
    for (char &c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string Trim(const std::string &s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

std::string CanonicalHive(const std::string &hive) {
    std::string h = Upper(hive);
    if (h == "HKLM") return "HKEY_LOCAL_MACHINE";
    if (h == "HKCU") return "HKEY_CURRENT_USER";
    return h;
}

// Reads a quoted string starting at s[pos] == '"'; pos ends after the closing quote.
bool ReadQuoted(const std::string &s, size_t &pos, std::string &out) {
    if (pos >= s.size() || s[pos] != '"') return false;
    out.clear();
    for (++pos; pos < s.size(); ++pos) {
        char c = s[pos];
        if (c == '\\' && pos + 1 < s.size()) {
            out += s[++pos];
        } else if (c == '"') {
            ++pos;
            return true;
        } else {
            out += c;
        }
    }
    return false;
}

bool ParseHexBytes(const std::string &text, std::vector<uint8_t> &out) {
    std::stringstream list(text);
    std::string item;
    while (std::getline(list, item, ',')) {
        item = Trim(item);
        if (item.empty()) continue;
        char *end = nullptr;
        unsigned long v = std::strtoul(item.c_str(), &end, 16);
        if (end == item.c_str() || *end != '\0' || v > 0xFF) return false;
        out.push_back(static_cast<uint8_t>(v));
    }
    return true;
}

bool ParseData(const std::string &text, RegFileValue &value) {
    if (!text.empty() && text[0] == '"') {
        size_t pos = 0;
        std::string str;
        if (!ReadQuoted(text, pos, str)) return false;
        value.type = 1;
        value.data.assign(str.begin(), str.end());
        value.data.push_back(0);
        return true;
    }
    std::string lower = text;
    for (char &c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower.rfind("dword:", 0) == 0) {
        std::string digits = Trim(text.substr(6));
        char *end = nullptr;
        unsigned long v = std::strtoul(digits.c_str(), &end, 16);
        if (digits.empty() || digits.size() > 8 || *end != '\0') return false;
        value.type = 4;
        for (int i = 0; i < 4; ++i) value.data.push_back(static_cast<uint8_t>(v >> (8 * i)));
        return true;
    }
    if (lower.rfind("hex:", 0) == 0) {
        value.type = 3;
        return ParseHexBytes(text.substr(4), value.data);
    }
    if (lower.rfind("hex(", 0) == 0) {
        size_t close = lower.find("):");
        if (close == std::string::npos) return false;
        value.type =
            static_cast<uint32_t>(std::strtoul(lower.substr(4, close - 4).c_str(), nullptr, 16));
        return ParseHexBytes(text.substr(close + 2), value.data);
    }
    return false;
}

}  // namespace

std::vector<RegFileKey> ParseRegFile(const std::string &text) {
    std::vector<RegFileKey> keys;
    RegFileKey *current = nullptr;
    std::stringstream in(text);
    std::string raw, line;
    while (std::getline(in, raw)) {
        line += Trim(raw);
        // A trailing backslash continues a hex list on the next line.
        if (!line.empty() && line.back() == '\\') {
            line.pop_back();
            continue;
        }
        std::string l = line;
        line.clear();
        if (l.empty() || l[0] == ';') continue;
        if (l[0] == '[') {
            current = nullptr;
            size_t close = l.rfind(']');
            if (close == std::string::npos || l.size() < 2 || l[1] == '-') continue;
            std::string full = l.substr(1, close - 1);
            size_t slash = full.find('\\');
            std::string hive = CanonicalHive(full.substr(0, slash));
            std::string path = slash == std::string::npos ? "" : full.substr(slash + 1);
            for (auto &k : keys) {
                if (k.hive == hive && Upper(k.path) == Upper(path)) current = &k;
            }
            if (current == nullptr) {
                keys.push_back({path, hive, {}});
                current = &keys.back();
            }
            continue;
        }
        if (current == nullptr) continue;
        RegFileValue value{};
        size_t pos = 0;
        if (l[0] == '@') {
            pos = 1;
        } else if (!ReadQuoted(l, pos, value.name)) {
            continue;
        }
        pos = l.find_first_not_of(" \t", pos);
        if (pos == std::string::npos || l[pos] != '=') continue;
        if (!ParseData(Trim(l.substr(pos + 1)), value)) continue;
        bool replaced = false;
        for (auto &v : current->values) {
            if (Upper(v.name) == Upper(value.name)) {
                v = value;
                replaced = true;
            }
        }
        if (!replaced) current->values.push_back(value);
    }
    return keys;
}

const RegFileKey *FindRegKey(const std::vector<RegFileKey> &keys, const std::string &hive,
                             const std::string &path) {
    std::string h = CanonicalHive(hive), p = Upper(path);
    for (const auto &k : keys) {
        if (k.hive == h && Upper(k.path) == p) return &k;
    }
    return nullptr;
}

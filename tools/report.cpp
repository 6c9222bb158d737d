#include "report.h"

#include <cstdio>

ReportValue ReportValue::Bool(bool b) {
    ReportValue v;
    v.kind_ = Kind::kBool;
    v.bool_ = b;
    return v;
}

ReportValue ReportValue::Number(long long n) {
    ReportValue v;
    v.kind_ = Kind::kNumber;
    v.number_ = n;
    return v;
}

ReportValue ReportValue::Text(std::string s) {
    ReportValue v;
    v.kind_ = Kind::kText;
    v.text_ = std::move(s);
    return v;
}

ReportValue ReportValue::Failure(std::string s) {
    ReportValue v = Text(std::move(s));
    v.failure_ = true;
    return v;
}

ReportValue ReportValue::List() {
    ReportValue v;
    v.kind_ = Kind::kList;
    return v;
}

ReportValue ReportValue::Object() {
    ReportValue v;
    v.kind_ = Kind::kObject;
    return v;
}

ReportValue &ReportValue::Add(const std::string &key, ReportValue value) {
    members_.emplace_back(key, std::move(value));
    return members_.back().second;
}

ReportValue &ReportValue::Append(ReportValue value) {
    return Add("", std::move(value));
}

const ReportValue *ReportValue::Find(const std::string &key) const {
    for (const auto &[name, value] : members_) {
        if (kind_ == Kind::kObject && name == key) return &value;
    }
    return nullptr;
}

namespace {
std::string JsonString(const std::string &s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20 || c >= 0x7F) {
                    // Device texts are not always ASCII: keep every byte visible.
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

std::string Pad(int n) {
    return std::string(static_cast<size_t>(n), ' ');
}

std::string Printable(const std::string &s) {
    std::string out;
    for (unsigned char c : s) {
        if (c < 0x20 || c >= 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}
}  // namespace

std::string ReportValue::ToJson(int indent) const {
    switch (kind_) {
        case Kind::kNull:
            return "null";
        case Kind::kBool:
            return bool_ ? "true" : "false";
        case Kind::kNumber:
            return std::to_string(number_);
        case Kind::kText:
            return JsonString(text_);
        case Kind::kList:
        case Kind::kObject: {
            const bool object = kind_ == Kind::kObject;
            if (members_.empty()) return object ? "{}" : "[]";
            std::string out = object ? "{\n" : "[\n";
            for (size_t i = 0; i < members_.size(); ++i) {
                out += Pad(indent + 2);
                if (object) out += JsonString(members_[i].first) + ": ";
                out += members_[i].second.ToJson(indent + 2);
                out += i + 1 < members_.size() ? ",\n" : "\n";
            }
            return out + Pad(indent) + (object ? "}" : "]");
        }
    }
    return "null";
}

std::string ReportValue::ToText(int indent) const {
    switch (kind_) {
        case Kind::kNull:
            return "-";
        case Kind::kBool:
            return bool_ ? "yes" : "no";
        case Kind::kNumber:
            return std::to_string(number_);
        case Kind::kText:
            return Printable(text_);
        case Kind::kList:
        case Kind::kObject: {
            if (members_.empty()) return "(none)";
            std::string out;
            for (const auto &[key, value] : members_) {
                const bool nested = value.kind_ == Kind::kList || value.kind_ == Kind::kObject;
                out += "\n" + Pad(indent);
                if (kind_ == Kind::kList) {
                    out += "- ";
                    // A list item's members go one a line, the first beside the dash.
                    std::string inner = value.ToText(indent + 2);
                    out += nested && !inner.empty() ? inner.substr(indent + 3) : inner;
                } else {
                    out += key + ":";
                    std::string inner = value.ToText(indent + 2);
                    // An empty text leaves the line without a trailing blank.
                    if (inner.empty()) continue;
                    out += nested && inner[0] == '\n' ? inner : " " + inner;
                }
            }
            return out;
        }
    }
    return "";
}

const char *ResultText(int code) {
    switch (code) {
        case 0:
            return "success";
        case 1:
            return "no device, a bus transfer failed, or nothing was found";
        case 2:
            return "a required signature is missing";
        case 3:
            return "the format version of the area is not 1";
        case 4:
            return "no room: no free record slot or no space for the structure";
        case 5:
            return "read-back after the write: the record key differs";
        case 6:
            return "read-back after the write: the record text differs";
        case 7:
            return "a checksum does not balance";
        case 8:
            return "device index above 7";
        case 9:
            return "not found";
        case 10:
            return "the user area's layout is invalid or the structure too large";
        case 11:
            return "the RF identifier holds an invalid character group";
        case 51:
            return "no EDID block was captured at start-up";
        case 52:
            return "physical memory could not be opened";
        case 53:
            return "physical memory is not available";
        case 54:
            return "no EDID record in the extended BIOS data area";
        case 55:
            return "the EDID block's checksum is wrong";
        case 56:
            return "the monitor has no serial-number descriptor";
        case 57:
            return "the monitor has no name descriptor";
        case 58:
            return "a physical-memory read failed or the EBDA is unusable";
        case 59:
            return "display-mode index out of range";
        case 61:
            return "no VPD was loaded in this process";
        case 62:
            return "physical memory could not be opened";
        case 63:
            return "physical memory is not available";
        case 64:
            return "no valid VPD block found";
        case 101:
            return "the library is not initialised";
        case 102:
            return "no record and no other source for this device";
        case 103:
            return "the index must be 0 for this device type";
        case 104:
            return "a pointer argument is null";
        default:
            return "failure reported by the bus library";
    }
}

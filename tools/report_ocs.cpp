// The report as an OCS Inventory XML file (<REQUEST><CONTENT> with one element per section
// entry), which the inventory agents merge into the inventory they send. The agents drop
// fields they do not know, so only theirs are written; a source that answered nothing leaves
// its field out. The file is 7-bit ASCII, so it is UTF-8 whatever bytes the sources hold.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "report.h"

namespace {

using Fields = std::vector<std::pair<const char *, std::string>>;

// Markup characters become entities; a byte outside printable ASCII that XML allows becomes a
// character reference to the code point the JSON report gives it (its Latin-1 reading), and
// a control character XML forbids becomes U+FFFD, so nothing is silently joined up.
std::string XmlText(const std::string &s) {
    std::string out;
    for (unsigned char c : s) {
        if (c == '&') {
            out += "&amp;";
        } else if (c == '<') {
            out += "&lt;";
        } else if (c == '>') {
            out += "&gt;";
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            const bool allowed = c == '\t' || c == '\n' || c == '\r' || c >= 0x7F;
            char ref[12];
            std::snprintf(ref, sizeof ref, "&#x%X;", allowed ? c : 0xFFFDu);
            out += ref;
        }
    }
    return out;
}

std::string Base64(const std::string &bytes) {
    static const char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 2]);
        for (size_t k = 0; k < 4; ++k) {
            out += i + k <= bytes.size() ? kDigits[(v >> (18 - 6 * k)) & 63] : '=';
        }
    }
    return out;
}

// The hexadecimal text of a report back to its bytes.
std::string Unhex(const std::string &hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes += static_cast<char>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16));
    }
    return bytes;
}

// A member's text when the source gave one (not a failure, not empty).
const std::string *TextOf(const ReportValue *object, const char *key) {
    const ReportValue *v = object != nullptr ? object->Find(key) : nullptr;
    if (v == nullptr || v->kind() != ReportValue::Kind::kText || v->failure()) return nullptr;
    return v->text().empty() ? nullptr : &v->text();
}

void Put(Fields &fields, const char *name, const std::string *value) {
    if (value != nullptr) fields.emplace_back(name, *value);
}

void PutNumber(Fields &fields, const char *name, const ReportValue *value) {
    if (value != nullptr && value->kind() == ReportValue::Kind::kNumber) {
        fields.emplace_back(name, std::to_string(value->number()));
    }
}

// The items of a list that may be missing.
const std::vector<std::pair<std::string, ReportValue>> &Items(const ReportValue *list) {
    static const std::vector<std::pair<std::string, ReportValue>> kNone;
    return list != nullptr ? list->items() : kNone;
}

// The serial number the library answered for a device, if it answered one.
const std::string *Serial(const ReportValue &report, long long type, long long index) {
    const ReportValue *serials = report.Find("serial_numbers");
    if (serials == nullptr) return nullptr;
    for (const auto &item : serials->items()) {
        const ReportValue *t = item.second.Find("type"), *i = item.second.Find("index");
        if (t != nullptr && i != nullptr && t->number() == type && i->number() == index) {
            return TextOf(&item.second, "serial");
        }
    }
    return nullptr;
}

void Section(std::string &out, const char *name, const Fields &fields) {
    if (fields.empty()) return;
    out += "    <" + std::string(name) + ">\n";
    for (const auto &[field, value] : fields) {
        out += "      <" + std::string(field) + ">" + XmlText(value) + "</" + field + ">\n";
    }
    out += "    </" + std::string(name) + ">\n";
}

}  // namespace

std::string OcsInventory(const ReportValue &report) {
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<REQUEST>\n  <CONTENT>\n";
    Fields bios;
    Put(bios, "SSN", Serial(report, 4, 0));
    Put(bios, "MSN", Serial(report, 8, 0));
    Section(out, "BIOS", bios);

    Fields hardware;
    const ReportValue *host = report.Find("host");
    Put(hardware, "NAME", TextOf(host, "computer_name"));
    Put(hardware, "USERID", TextOf(host, "login_name"));
    Put(hardware, "UUID", Serial(report, 257, 0));
    // The agents' own form of several addresses: joined by "/".
    std::string addresses;
    for (const auto &item : Items(host != nullptr ? host->Find("addresses") : nullptr)) {
        if (const std::string *a = TextOf(&item.second, "address")) {
            addresses += (addresses.empty() ? "" : "/") + *a;
        }
    }
    Put(hardware, "IPADDR", addresses.empty() ? nullptr : &addresses);
    Put(hardware, "DEFAULTGATEWAY", TextOf(host, "gateway"));
    Section(out, "HARDWARE", hardware);

    for (long long module = 0; module < 16; ++module) {
        Fields memory;
        Put(memory, "SERIALNUMBER", Serial(report, 256, module));
        Section(out, "MEMORIES", memory);
    }

    const ReportValue *monitor = report.Find("monitor");
    Fields screen;
    const std::string *edid = TextOf(monitor, "edid");
    const std::string base64 = edid != nullptr ? Base64(Unhex(*edid)) : "";
    Put(screen, "BASE64", edid != nullptr ? &base64 : nullptr);
    Put(screen, "MANUFACTURER", TextOf(monitor, "manufacturer"));
    Put(screen, "CAPTION", TextOf(monitor, "product"));
    Put(screen, "SERIAL", TextOf(monitor, "serial"));
    Section(out, "MONITORS", screen);

    for (const auto &item : Items(report.Find("disks"))) {
        const ReportValue &disk = item.second;
        Fields storage;
        Put(storage, "INTERFACE", TextOf(&disk, "interface"));
        Put(storage, "SERIALNUMBER", TextOf(&disk, "serial"));
        // The address is the SCSI target id, except on a drive SMARTVSD answered (its number).
        PutNumber(storage, "SCSI_COID", disk.Find("adapter"));
        const std::string *method = TextOf(&disk, "method");
        if (method == nullptr || *method != "SMARTVSD") {
            PutNumber(storage, "SCSI_UNID", disk.Find("address"));
        }
        PutNumber(storage, "SCSI_LUN", disk.Find("lun"));
        // An entry of a drive that answered nothing has no interface: it is no disk.
        if (TextOf(&disk, "interface") != nullptr) Section(out, "STORAGES", storage);
    }
    return out + "  </CONTENT>\n</REQUEST>\n";
}

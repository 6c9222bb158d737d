// qorsim: create, inspect and adjust a simulated machine directory.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <numeric>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "eeprom/eeprom.h"
#include "eeprom/serial/serial_area.h"
#include "eeprom/serial/serial_text.h"
#include "rfid/rfid.h"
#include "sim_disks.h"
#include "sim_machine.h"
#include "sim_presets.h"

namespace {

using namespace qorsim;

const char kUsage[] =
    "usage: qorsim create DIR --preset empty|blank|rf|demo\n"
    "       qorsim show DIR\n"
    "       qorsim dump DIR XX\n"
    "       qorsim write DIR XX FILE [--changed]\n"
    "       qorsim conf DIR KEY [VALUE...]\n"
    "       qorsim log DIR on|off|clear\n"
    "       qorsim counter DIR reset\n"
    "       qorsim disk DIR N ide MODEL SERIAL [TARGET]\n"
    "       qorsim disk DIR N scsi VENDOR PRODUCT SERIAL [TARGET]\n"
    "       qorsim disk DIR N identify|inquiry FILE [TARGET]\n"
    "       qorsim disk DIR N remove\n"
    "       qorsim aspi DIR A T L scsi VENDOR PRODUCT SERIAL [COMPLETION]\n"
    "       qorsim aspi DIR A T L inquiry FILE [COMPLETION]\n"
    "       qorsim aspi DIR support|adapters N\n"
    "         COMPLETION: now (default), pending, late, never or error\n";

int Usage() {
    std::cerr << kUsage;
    return 2;
}

int Fail(const std::string &message) {
    std::cerr << "qorsim: " << message << "\n";
    return 1;
}

// Printable characters as they are, anything else as \xNN.
std::string Printable(const std::uint8_t *data, std::size_t size) {
    std::string s;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] >= 0x20 && data[i] < 0x7F) {
            s += static_cast<char>(data[i]);
        } else {
            s += "\\x" + Hex2(data[i]);
        }
    }
    return s;
}

void ShowSerialArea(const Image &img) {
    const unsigned s = img[4], n = img[5];
    std::cout << "    \"SER#\" area: record size " << s << ", slots " << n << ", version "
              << unsigned{img[6]} << ", flags 0x" << Hex2(img[9]) << "\n";
    std::cout << "    header checksum " << (ByteSum(img.data(), 8) == 0 ? "OK" : "BAD");
    const std::size_t length = 16 + std::size_t{s} * n;
    if (s < 2 || length > 256) {
        std::cout << ", geometry does not fit the device\n";
        return;
    }
    std::cout << ", area checksum " << (ByteSum(img.data(), length) == 0 ? "OK" : "BAD") << "\n";
    for (unsigned i = 0; i < n; ++i) {
        const std::uint8_t *r = img.data() + 16 + s * i;
        if (r[0] == 0) continue;
        // The display form as the library hands it to callers.
        char stored[kSerialMaxStructSize] = {};
        std::copy_n(r + 1, std::min<std::size_t>(s - 1, kSerialMaxStructSize - 1), stored);
        char display[kSerialBufferSize];
        SerialDisplayForm(stored, display);
        const std::string text =
            Printable(reinterpret_cast<const std::uint8_t *>(display), std::strlen(display));
        std::printf("    slot %2u: key 0x%02X type %2u index %u  %s\n", i, r[0], r[0] >> 3,
                    r[0] & 7, text.c_str());
    }
}

void ShowSpd(const Image &img) {
    std::cout << "    SPD: type 0x" << Hex2(img[2]) << ", maker 0x" << Hex2(img[64])
              << ", revision/date/serial " << Hex(img.data() + 91, 8);
    if (img[128] == '1' && img[129] == '1' && img[130] == 'S') {
        bool ok = static_cast<std::uint8_t>(~ByteSum(img.data() + 128, 22)) == img[150];
        std::cout << ", block " << Printable(img.data() + 128, 22) << " checksum "
                  << (ok ? "OK" : "BAD");
    }
    std::cout << "\n";
}

void ShowRf(const Image &img) {
    const std::uint8_t *b = img.data() + kRfIdRegister;
    // Decoded as AssetGetRFID does: nothing when the block does not balance, the characters
    // up to a group above 35 otherwise.
    char id[kRfIdTextSize];
    const int result = RfIdDecode(b, id);
    std::cout << "    RF identifier block " << Hex(b, kRfIdBlockSize) << ": " << id
              << (result == 11 ? "? (a group above 35)" : "") << ", checksum "
              << (result == 7 ? "BAD" : "OK") << "\n";
}

int Show(const fs::path &dir) {
    std::cout << "machine " << dir.string() << "\n\nconf:\n";
    for (const auto &line : ReadConf(dir).lines) {
        std::cout << "    " << line.key << (line.value.empty() ? "" : " ") << line.value << "\n";
    }
    Counters c = ReadCounters(dir);
    std::cout << "\ncounters: transfers " << c.transfers << ", read_bytes " << c.read_bytes
              << ", written_bytes " << c.written_bytes << "\n\ndevices:\n";
    for (std::uint8_t a : ListDevices(dir)) {
        auto img = ReadDevice(dir, a);
        std::cout << "  " << Hex2(a) << ": ";
        if (!img) {
            std::cout << "image is not 256 bytes: the device does not answer\n";
            continue;
        }
        std::size_t erased = 0;
        for (auto b : *img) erased += b == 0xFF;
        std::cout << (erased == 256 ? "erased" : std::to_string(256 - erased) + " bytes set")
                  << "\n";
        if (img->at(0) == 'S' && img->at(1) == 'E' && img->at(2) == 'R' && img->at(3) == '#') {
            ShowSerialArea(*img);
        } else if (img->at(0) == 'U' && img->at(1) == 'S' && img->at(2) == 'R' &&
                   img->at(3) == '#') {
            std::cout << "    \"USR#\" area\n";
        } else if (a == 0xB8) {
            ShowRf(*img);
        } else if (img->at(0) == 0x80 && img->at(1) == 0x08) {
            ShowSpd(*img);
        }
    }
    std::cout << "\ndisks:\n";
    for (const auto &[drive, text] : ListDisks(dir)) {
        std::cout << "  drive " << drive << ":";
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);) {
            // The data lines are long: their key and size are enough here.
            const auto space = line.find(' ');
            const std::string key = line.substr(0, space);
            if (key == "identify" || key == "inquiry" || key == "miniport_other") {
                std::cout << " " << key << "(" << (line.size() - space - 1) / 2 << " bytes)";
            } else {
                std::cout << " [" << line << "]";
            }
        }
        std::cout << "\n";
    }
    std::error_code ec;
    if (fs::exists(AspiPath(dir), ec)) {
        const AspiConf aspi = ReadAspi(dir);
        std::cout << "\nASPI: support status " << aspi.support << ", " << aspi.adapters
                  << " adapter(s)\n";
        for (const auto &d : aspi.devices) {
            std::cout << "  " << d.adapter << ":" << d.target << ":" << d.lun << " type "
                      << (d.inquiry.empty() ? 0 : d.inquiry[0] & 0x1F) << ", completes "
                      << AspiCompletionName(d.completion) << ", inquiry(" << d.inquiry.size()
                      << " bytes)\n";
        }
    }
    std::cout << "\nphysical memory:\n";
    for (const auto &r : MergeRegions(ReadRegionFiles(dir))) {
        std::cout << "  " << Hex8(static_cast<std::uint32_t>(r.base)) << ".."
                  << Hex8(static_cast<std::uint32_t>(r.end() - 1)) << " (" << r.bytes.size()
                  << " bytes)\n";
    }
    return 0;
}

int Dump(const fs::path &dir, const std::string &address) {
    auto a = ParseNumber("0x" + address);
    if (!a || *a > 0xFF) return Fail("not a bus address: " + address);
    auto img = ReadDevice(dir, static_cast<std::uint8_t>(*a));
    if (!img) return Fail("no device " + Hex2(static_cast<unsigned>(*a)));
    for (std::size_t row = 0; row < 256; row += 16) {
        std::cout << Hex2(static_cast<unsigned>(row)) << ":";
        for (std::size_t i = 0; i < 16; ++i) std::cout << " " << Hex2(img->at(row + i));
        std::cout << "  ";
        for (std::size_t i = 0; i < 16; ++i) {
            std::uint8_t b = img->at(row + i);
            std::cout << (b >= 0x20 && b < 0x7F ? static_cast<char>(b) : '.');
        }
        std::cout << "\n";
    }
    return 0;
}

// Plays an outside writer: the 256 bytes of FILE become the device's image; --changed also
// sets the changed-outside flag (bit 0 of byte 9) and takes it out of the area checksum
// (byte 8), as a writer that keeps the area balanced does.
int Write(const fs::path &dir, const std::string &address, const std::string &file, bool changed) {
    auto a = ParseNumber("0x" + address);
    if (!a || *a > 0xFF || (*a & 1) != 0) return Fail("not a bus address: " + address);
    std::ifstream in(file, std::ios::binary);
    Image img{};
    if (!in.read(reinterpret_cast<char *>(img.data()), img.size()) || in.get() != EOF) {
        return Fail(file + " is not a 256-byte image");
    }
    if (changed && (img[9] & 1) == 0) {
        img[9] = static_cast<std::uint8_t>(img[9] | 1);
        img[8] = static_cast<std::uint8_t>(img[8] - 1);
    }
    MachineLock lock(dir);
    WriteDevice(dir, static_cast<std::uint8_t>(*a), img);
    return 0;
}

int Create(const fs::path &dir, const std::string &preset_name) {
    auto preset = ParsePreset(preset_name);
    if (!preset) return Fail("unknown preset: " + preset_name);
    std::error_code ec;
    if (fs::exists(dir, ec) && !fs::is_empty(dir, ec)) {
        return Fail(dir.string() + " exists and is not empty");
    }
    // Only DIR itself is created, never directories above it.
    fs::path parent = dir.parent_path().empty() ? fs::path(".") : dir.parent_path();
    if (!fs::is_directory(parent, ec)) return Fail("no directory " + parent.string());
    WriteMachine(dir, BuildPreset(*preset));
    return 0;
}

std::optional<Bytes> ReadBinary(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// qorsim disk DIR N ...: args from the kind on.
int Disk(const fs::path &dir, const std::string &number, const std::vector<std::string> &args) {
    auto drive = ParseNumber(number);
    if (!drive || *drive >= kDiskDrives || args.empty()) return Usage();
    const int n = static_cast<int>(*drive);
    const std::string &kind = args[0];
    if (kind == "remove" && args.size() == 1) {
        RemoveDisk(dir, n);
        return 0;
    }
    const std::size_t fixed = kind == "scsi" ? 4 : kind == "ide" ? 3 : 2;
    if (args.size() != fixed && args.size() != fixed + 1) return Usage();
    std::uint8_t target = static_cast<std::uint8_t>(n);
    if (args.size() == fixed + 1) {
        auto t = ParseNumber(args[fixed]);
        if (!t || *t > 255) return Fail("not a target id: " + args[fixed]);
        target = static_cast<std::uint8_t>(*t);
    }
    if (kind == "ide") {
        WriteDisk(dir, n, IdeDisk(IdentifyData(args[1], args[2]), target));
    } else if (kind == "scsi") {
        WriteDisk(dir, n, ScsiDisk(InquiryData(args[1], args[2], args[3]), target));
    } else if (kind == "identify" || kind == "inquiry") {
        auto data = ReadBinary(args[1]);
        if (!data) return Fail("cannot read " + args[1]);
        const std::size_t limit = kind == "identify" ? 512 : 255;
        if (data->size() > limit) data->resize(limit);
        WriteDisk(dir, n, kind == "identify" ? IdeDisk(*data, target) : ScsiDisk(*data, target));
    } else {
        return Usage();
    }
    return 0;
}

// qorsim aspi DIR ...: args after DIR.
int Aspi(const fs::path &dir, const std::vector<std::string> &args) {
    if (args.size() == 2 && (args[0] == "support" || args[0] == "adapters")) {
        auto value = ParseNumber(args[1]);
        if (!value || *value > 255) return Fail("not a byte: " + args[1]);
        AspiConf conf = ReadAspi(dir);
        (args[0] == "support" ? conf.support : conf.adapters) = static_cast<int>(*value);
        WriteAspi(dir, conf);
        return 0;
    }
    if (args.size() < 5) return Usage();
    AspiDevice device;
    int *position[] = {&device.adapter, &device.target, &device.lun};
    const unsigned long long limits[] = {255, 15, 7};
    for (std::size_t i = 0; i < 3; ++i) {
        auto v = ParseNumber(args[i]);
        if (!v || *v > limits[i]) return Fail("not an adapter, target or LUN: " + args[i]);
        *position[i] = static_cast<int>(*v);
    }
    const std::size_t fixed = args[3] == "scsi" ? 7 : args[3] == "inquiry" ? 5 : 0;
    if (fixed == 0 || (args.size() != fixed && args.size() != fixed + 1)) return Usage();
    if (args.size() == fixed + 1) {
        auto completion = ParseAspiCompletion(args[fixed]);
        if (!completion) return Fail("not a completion: " + args[fixed]);
        device.completion = *completion;
    }
    if (args[3] == "scsi") {
        device.inquiry = InquiryData(args[4], args[5], args[6]);
    } else {
        auto data = ReadBinary(args[4]);
        if (!data) return Fail("cannot read " + args[4]);
        if (data->size() > 255) data->resize(255);
        device.inquiry = *data;
    }
    AddAspiDevice(dir, device);
    return 0;
}

int Run(const std::vector<std::string> &args) {
    if (args.size() < 2) return Usage();
    const std::string &cmd = args[0];
    const fs::path dir = args[1];
    if (cmd == "create") {
        if (args.size() != 4 || args[2] != "--preset") return Usage();
        return Create(dir, args[3]);
    }
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) return Fail("no machine directory " + dir.string());
    if (cmd == "show" && args.size() == 2) return Show(dir);
    if (cmd == "dump" && args.size() == 3) return Dump(dir, args[2]);
    if (cmd == "write" && (args.size() == 4 || (args.size() == 5 && args[4] == "--changed"))) {
        return Write(dir, args[2], args[3], args.size() == 5);
    }
    if (cmd == "conf" && args.size() >= 3) {
        SetConfKey(dir, args[2], {args.begin() + 3, args.end()});
        return 0;
    }
    if (cmd == "log" && args.size() == 3) {
        if (args[2] == "clear") {
            ClearLog(dir);
        } else if (args[2] == "on" || args[2] == "off") {
            SetConfKey(dir, "log", {args[2]});
        } else {
            return Usage();
        }
        return 0;
    }
    if (cmd == "disk" && args.size() >= 4)
        return Disk(dir, args[2], {args.begin() + 3, args.end()});
    if (cmd == "aspi") return Aspi(dir, {args.begin() + 2, args.end()});
    if (cmd == "counter" && args.size() == 3 && args[2] == "reset") {
        MachineLock lock(dir);
        WriteCounters(dir, {});
        return 0;
    }
    return Usage();
}

}  // namespace

int main(int argc, char **argv) {
    try {
        return Run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::exception &e) {
        return Fail(e.what());
    }
}

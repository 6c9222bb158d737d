// qorsim: create, inspect and adjust a simulated machine directory.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <numeric>
#include <string>
#include <vector>

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
    "       qorsim counter DIR reset\n";

int Usage() {
    std::cerr << kUsage;
    return 2;
}

int Fail(const std::string &message) {
    std::cerr << "qorsim: " << message << "\n";
    return 1;
}

std::uint8_t Sum8(const std::uint8_t *data, std::size_t size) {
    return static_cast<std::uint8_t>(std::accumulate(data, data + size, 0u));
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
    std::cout << "    header checksum " << (Sum8(img.data(), 8) == 0 ? "OK" : "BAD");
    const std::size_t length = 16 + std::size_t{s} * n;
    if (s < 2 || length > 256) {
        std::cout << ", geometry does not fit the device\n";
        return;
    }
    std::cout << ", area checksum " << (Sum8(img.data(), length) == 0 ? "OK" : "BAD") << "\n";
    for (unsigned i = 0; i < n; ++i) {
        const std::uint8_t *r = img.data() + 16 + s * i;
        if (r[0] == 0) continue;
        // Stored form: bit 7 of the first byte set means the text as it stands, clear means
        // the text continues an "11S" prefix.
        std::string text;
        std::size_t len = 0;
        while (len < s - 1 && r[1 + len] != 0) ++len;
        if (len > 0 && (r[1] & 0x80)) {
            text = static_cast<char>(r[1] & 0x7F) + Printable(r + 2, len - 1);
        } else {
            text = "11S" + Printable(r + 1, len);
        }
        std::printf("    slot %2u: key 0x%02X type %2u index %u  %s\n", i, r[0], r[0] >> 3,
                    r[0] & 7, text.c_str());
    }
}

void ShowSpd(const Image &img) {
    std::cout << "    SPD: type 0x" << Hex2(img[2]) << ", maker 0x" << Hex2(img[64])
              << ", revision/date/serial " << Hex(img.data() + 91, 8);
    if (img[128] == '1' && img[129] == '1' && img[130] == 'S') {
        bool ok = static_cast<std::uint8_t>(~Sum8(img.data() + 128, 22)) == img[150];
        std::cout << ", block " << Printable(img.data() + 128, 22) << " checksum "
                  << (ok ? "OK" : "BAD");
    }
    std::cout << "\n";
}

void ShowRf(const Image &img) {
    const std::uint8_t *b = img.data() + 0x10;
    std::string id;
    for (int g = 0; g < 14; ++g) {
        unsigned v = 0;
        for (int k = 0; k < 6; ++k) {
            int bit = 12 + 6 * g + k;
            v = v * 2 + ((b[bit / 8] >> (7 - bit % 8)) & 1u);
        }
        id += v < 26 ? static_cast<char>('A' + v) : v < 36 ? static_cast<char>('0' + v - 26) : '?';
    }
    std::cout << "    RF identifier block " << Hex(b, 12) << ": " << id << ", checksum "
              << (Sum8(b, 12) == 0 ? "OK" : "BAD") << "\n";
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

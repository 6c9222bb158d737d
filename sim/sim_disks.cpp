#include "sim_disks.h"

#include <fstream>
#include <iterator>
#include <sstream>

namespace qorsim {

namespace {

// Text into a space-padded field of `size` bytes, every pair of bytes swapped when `ata`.
void PutText(Bytes &data, std::size_t at, std::size_t size, const std::string &text, bool ata) {
    for (std::size_t i = 0; i < size; ++i) {
        const std::size_t to = ata ? at + (i ^ 1) : at + i;
        data[to] = static_cast<std::uint8_t>(i < text.size() ? text[i] : ' ');
    }
}

std::string Bytes3(unsigned a, unsigned b, unsigned c) {
    return std::to_string(a) + " " + std::to_string(b) + " " + std::to_string(c);
}

}  // namespace

fs::path DiskPath(const fs::path &dir, int drive) {
    return dir / "disks" / (std::to_string(drive) + ".disk");
}

std::string DiskFileText(const SimDisk &d) {
    std::string text;
    if (!d.opens) text += "open fail\n";
    if (d.write_denied) text += "open read-only\n";
    if (d.smart) {
        text += d.driver_error == 0 ? "smart\n" : "smart " + std::to_string(d.driver_error) + "\n";
    }
    if (d.miniport)
        text += "miniport " + std::to_string((*d.miniport)[0]) + " " +
                std::to_string((*d.miniport)[1]) + "\n";
    if (d.passthrough) {
        text += "passthrough 0x" + Hex2(*d.passthrough) +
                (d.align_mask != 0 ? " " + std::to_string(d.align_mask) : "") + "\n";
    }
    if (d.address) {
        text += "address " + std::to_string((*d.address)[0]) + " " +
                Bytes3((*d.address)[1], (*d.address)[2], (*d.address)[3]) + "\n";
    }
    if (!d.identify.empty()) text += "identify " + Hex(d.identify) + "\n";
    if (!d.inquiry.empty()) text += "inquiry " + Hex(d.inquiry) + "\n";
    if (!d.miniport_other.empty()) text += "miniport_other " + Hex(d.miniport_other) + "\n";
    if (d.delay_ms != 0) text += "delay " + std::to_string(d.delay_ms) + "\n";
    return text;
}

void WriteDisk(const fs::path &dir, int drive, const SimDisk &disk) {
    MachineLock lock(dir);
    std::error_code ec;
    fs::create_directories(dir / "disks", ec);
    std::ofstream out(DiskPath(dir, drive), std::ios::binary | std::ios::trunc);
    out << DiskFileText(disk);
}

void RemoveDisk(const fs::path &dir, int drive) {
    MachineLock lock(dir);
    std::error_code ec;
    fs::remove(DiskPath(dir, drive), ec);
}

std::vector<std::pair<int, std::string>> ListDisks(const fs::path &dir) {
    std::vector<std::pair<int, std::string>> out;
    for (int drive = 0; drive < kDiskDrives; ++drive) {
        std::ifstream in(DiskPath(dir, drive), std::ios::binary);
        if (!in) continue;
        out.emplace_back(drive, std::string(std::istreambuf_iterator<char>(in),
                                            std::istreambuf_iterator<char>()));
    }
    return out;
}

fs::path DiskLogPath(const fs::path &dir) {
    return dir / "disks.log";
}

std::vector<std::string> ReadDiskLog(const fs::path &dir) {
    std::ifstream in(DiskLogPath(dir), std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) lines.push_back(line);
    }
    return lines;
}

Bytes IdentifyData(const std::string &model, const std::string &serial) {
    Bytes data(512, 0);
    data[0] = 0x40;  // fixed device
    data[2] = 0xFF;  // 16383 cylinders
    data[3] = 0x3F;
    data[6] = 16;   // heads
    data[12] = 63;  // sectors per track
    PutText(data, 20, 20, serial, true);
    PutText(data, 46, 8, "1.00", true);
    PutText(data, 54, 40, model, true);
    return data;
}

Bytes InquiryData(const std::string &vendor, const std::string &product,
                  const std::string &serial) {
    Bytes data(56, 0);
    data[2] = 5;   // SPC-3
    data[3] = 2;   // response data format
    data[4] = 51;  // additional length
    PutText(data, 8, 8, vendor, false);
    PutText(data, 16, 16, product, false);
    PutText(data, 32, 4, "0001", false);
    PutText(data, 36, 20, serial, false);
    return data;
}

SimDisk IdeDisk(const Bytes &identify, std::uint8_t target) {
    SimDisk d;
    d.identify = identify;
    d.smart = true;
    d.address = {{0, 0, target, 0}};
    return d;
}

SimDisk ScsiDisk(const Bytes &inquiry, std::uint8_t target) {
    SimDisk d;
    d.inquiry = inquiry;
    d.passthrough = 0;
    d.address = {{1, 0, target, 0}};
    return d;
}

const char *AspiCompletionName(AspiCompletion completion) {
    switch (completion) {
        case AspiCompletion::kNow:
            return "now";
        case AspiCompletion::kPending:
            return "pending";
        case AspiCompletion::kLate:
            return "late";
        case AspiCompletion::kNever:
            return "never";
        case AspiCompletion::kError:
            return "error";
    }
    return "now";
}

std::optional<AspiCompletion> ParseAspiCompletion(const std::string &name) {
    for (auto c : {AspiCompletion::kNow, AspiCompletion::kPending, AspiCompletion::kLate,
                   AspiCompletion::kNever, AspiCompletion::kError}) {
        if (name == AspiCompletionName(c)) return c;
    }
    return std::nullopt;
}

fs::path AspiPath(const fs::path &dir) {
    return dir / "aspi.conf";
}

AspiConf ReadAspi(const fs::path &dir) {
    AspiConf conf;
    std::ifstream in(AspiPath(dir), std::ios::binary);
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line.substr(0, line.find('#')));
        std::string key;
        if (!(words >> key)) continue;
        if (key == "support") {
            words >> conf.support;
        } else if (key == "adapters") {
            words >> conf.adapters;
        } else if (key == "device") {
            AspiDevice d;
            std::string completion, hex;
            if (!(words >> d.adapter >> d.target >> d.lun >> completion)) continue;
            d.completion = ParseAspiCompletion(completion).value_or(AspiCompletion::kNow);
            if (words >> hex) d.inquiry = ParseHex(hex).value_or(Bytes{});
            conf.devices.push_back(d);
        }
    }
    return conf;
}

void WriteAspi(const fs::path &dir, const AspiConf &conf) {
    MachineLock lock(dir);
    std::ofstream out(AspiPath(dir), std::ios::binary | std::ios::trunc);
    out << "support " << conf.support << "\nadapters " << conf.adapters << "\n";
    for (const auto &d : conf.devices) {
        out << "device " << d.adapter << " " << d.target << " " << d.lun << " "
            << AspiCompletionName(d.completion) << " " << Hex(d.inquiry) << "\n";
    }
}

void AddAspiDevice(const fs::path &dir, const AspiDevice &device) {
    AspiConf conf = ReadAspi(dir);
    std::erase_if(conf.devices, [&](const AspiDevice &d) {
        return d.adapter == device.adapter && d.target == device.target && d.lun == device.lun;
    });
    conf.devices.push_back(device);
    WriteAspi(dir, conf);
}

}  // namespace qorsim

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
    if (d.smart) text += "smart\n";
    if (d.miniport)
        text += "miniport " + std::to_string((*d.miniport)[0]) + " " +
                std::to_string((*d.miniport)[1]) + "\n";
    if (d.passthrough) text += "passthrough 0x" + Hex2(*d.passthrough) + "\n";
    if (d.address) {
        text += "address " + std::to_string((*d.address)[0]) + " " +
                Bytes3((*d.address)[1], (*d.address)[2], (*d.address)[3]) + "\n";
    }
    if (!d.identify.empty()) text += "identify " + Hex(d.identify) + "\n";
    if (!d.inquiry.empty()) text += "inquiry " + Hex(d.inquiry) + "\n";
    if (!d.miniport_other.empty()) text += "miniport_other " + Hex(d.miniport_other) + "\n";
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

}  // namespace qorsim

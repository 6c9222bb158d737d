#include "sim_presets.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <numeric>

namespace qorsim {

namespace {

std::uint8_t Sum(const std::uint8_t *data, std::size_t size) {
    return static_cast<std::uint8_t>(std::accumulate(data, data + size, 0u));
}

// The byte that makes the covered bytes (itself included, stored as 0) add up to zero.
std::uint8_t ZeroSum(const std::uint8_t *data, std::size_t size) {
    return static_cast<std::uint8_t>(0x100 - Sum(data, size));
}

void Put(Bytes &b, std::size_t at, const std::string &text) {
    std::copy(text.begin(), text.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
}

void PutLE(Bytes &b, std::size_t at, std::uint32_t value, int size) {
    for (int i = 0; i < size; ++i) b[at + static_cast<std::size_t>(i)] = (value >> (8 * i)) & 0xFF;
}

// An EDID descriptor holding a text: tag, then up to 13 characters ended by a line feed and
// padded with spaces.
void PutTextDescriptor(Bytes &edid, std::size_t at, std::uint8_t tag, const std::string &text) {
    edid[at + 3] = tag;
    std::string field = text.substr(0, 13);
    if (field.size() < 13) field += '\n';
    field.resize(13, ' ');
    Put(edid, at + 5, field);
}

Bytes BiosDataArea() {
    Bytes b(256, 0);
    PutLE(b, 0x00, 0x3F8, 2);  // COM1
    PutLE(b, 0x02, 0x2F8, 2);  // COM2
    PutLE(b, 0x08, 0x378, 2);  // LPT1
    PutLE(b, 0x0E, demo::kEbdaSegment, 2);
    PutLE(b, 0x10, 0x4227, 2);  // equipment word
    PutLE(b, 0x13, 639, 2);     // conventional memory in KiB, up to the EBDA
    return b;
}

Bytes Ebda() {
    Bytes b(1024, 0);
    b[0] = 1;  // size in KiB
    const std::size_t record = demo::kEdidRecord - demo::kEbdaBase;
    Put(b, record, "EDID");
    PutLE(b, record + 4, demo::kEdidBlock, 4);
    Bytes edid = EdidBlock();
    std::copy(edid.begin(), edid.end(),
              b.begin() + static_cast<std::ptrdiff_t>(demo::kEdidBlock - demo::kEbdaBase));
    return b;
}

Bytes VpdBlock() {
    Bytes b(demo::kVpdLength, 0);
    b[0] = 0xAA;
    b[1] = 0x55;
    Put(b, 2, "VPD");
    b[5] = demo::kVpdLength;
    Put(b, 0x16, demo::kSystemSerial);
    Put(b, 0x1D, demo::kBoardSerial);
    Put(b, 0x28, demo::kTypeModel);
    return b;
}

// The system-ID header and, right behind it, its single structure: the UUID.
Bytes SysIdTable() {
    const std::size_t uuid_at = demo::kUuidAddress - demo::kSysIdAddress;
    Bytes b(uuid_at + 25, 0);
    Put(b, 0, "_SYSID_");
    PutLE(b, 8, 17, 2);
    PutLE(b, 10, demo::kUuidAddress, 4);
    PutLE(b, 14, 1, 2);
    b[16] = ZeroSum(b.data(), 17);
    Put(b, uuid_at, "_UUID_");
    PutLE(b, uuid_at + 7, 25, 2);
    std::copy(std::begin(demo::kUuid), std::end(demo::kUuid),
              b.begin() + static_cast<std::ptrdiff_t>(uuid_at + 9));
    b[uuid_at + 6] = ZeroSum(b.data() + uuid_at, 25);
    return b;
}

// The top of the BIOS: identification bytes, reset vector, date and model byte.
Bytes BiosTop() {
    const std::uint32_t base = 0xFFFB0;
    Bytes b(0x100000 - base, 0);
    Put(b, demo::kBiosIdentAddress - base, demo::kBiosIdent);
    const std::uint8_t reset[] = {0xEA, 0x5B, 0xE0, 0x00, 0xF0};  // jmp far F000:E05B
    std::copy(std::begin(reset), std::end(reset), b.begin() + (0xFFFF0 - base));
    Put(b, 0xFFFF5 - base, "03/14/01");
    b[0xFFFFE - base] = 0xFC;
    return b;
}

MachineContents Blank() {
    MachineContents m;
    m.conf = {{"log", "off"}};
    for (int i = 0; i < 2; ++i) {
        m.devices[demo::kModuleAddresses[i]] = SpdImage(demo::kModuleJedecSerials[i], {});
    }
    // The asset EEPROM is fitted but was never written.
    m.devices[demo::kSerialArea] = ErasedImage();
    m.devices[demo::kUserArea] = ErasedImage();
    return m;
}

MachineContents Rf() {
    MachineContents m = Blank();
    m.devices[demo::kRfDevice] = RfRegisterBlock(demo::kRfIdentifier);
    // The host whose identity start-up records in the user area: the same on every computer.
    m.host_conf = demo::kHostConf;
    return m;
}

MachineContents Demo() {
    MachineContents m = Rf();
    for (int i = 0; i < 2; ++i) {
        m.devices[demo::kModuleAddresses[i]] =
            SpdImage(demo::kModuleJedecSerials[i], std::string(demo::kModuleSerials[i] + 3));
    }
    m.devices[demo::kSerialArea] = SerialAreaImage({
        {4, 0, demo::kSystemText},
        {8, 0, demo::kBoardSerial},
        {17, 0, demo::kModuleSerials[0]},
        {17, 1, demo::kModuleSerials[1]},
        {15, demo::kIdeTarget, demo::kIdeSerial},
        {19, demo::kScsiTarget, demo::kScsiText},
    });
    // A user area as an asset-management agent leaves it: the user, the asset and a lease.
    m.devices[demo::kUserArea] = UserAreaImage({
        UserStruct(0xFF, {}, {std::begin(demo::kUserStrings), std::end(demo::kUserStrings)}),
        UserStruct(0xFD, {0x07, 0xE5, 0x03, 0x0F, 0, 0, 0, 0, 0, 0, 0, 0, 0x01},
                   {demo::kAssetTag, "Building 3, room 214"}),
        UserStruct(0xFE, {0x07, 0xE5, 0x03, 0x01, 0x07, 0xE8, 0x02, 0x28, 0x24},
                   {"LEASE-7781", "QOR Finance"}),
    });
    AddBiosMemory(m);
    m.disks[0] = IdeDisk(IdentifyData(demo::kIdeModel, demo::kIdeSerial), demo::kIdeTarget);
    m.disks[1] = ScsiDisk(InquiryData(demo::kScsiVendor, demo::kScsiProduct, demo::kScsiSerial),
                          demo::kScsiTarget);
    return m;
}

}  // namespace

std::optional<Preset> ParsePreset(const std::string &name) {
    if (name == "empty") return Preset::kEmpty;
    if (name == "blank") return Preset::kBlank;
    if (name == "rf") return Preset::kRf;
    if (name == "demo") return Preset::kDemo;
    return std::nullopt;
}

MachineContents BuildPreset(Preset preset) {
    switch (preset) {
        case Preset::kBlank:
            return Blank();
        case Preset::kRf:
            return Rf();
        case Preset::kDemo:
            return Demo();
        case Preset::kEmpty:
            break;
    }
    return {};
}

void WriteMachine(const fs::path &dir, const MachineContents &contents) {
    fs::create_directories(dir);
    std::vector<std::string> keys;
    for (const auto &line : contents.conf) {
        if (std::find(keys.begin(), keys.end(), line.key) == keys.end()) keys.push_back(line.key);
    }
    for (const auto &key : keys) {
        std::vector<std::string> values;
        for (const auto &line : contents.conf) {
            if (line.key == key) values.push_back(line.value);
        }
        SetConfKey(dir, key, values);
    }
    for (const auto &[address, image] : contents.devices) WriteDevice(dir, address, image);
    for (const auto &region : contents.memory) {
        PlaceMemory(dir, static_cast<std::uint32_t>(region.base), region.bytes);
    }
    for (const auto &[drive, disk] : contents.disks) WriteDisk(dir, drive, disk);
    if (!contents.host_conf.empty()) {
        std::ofstream(dir / "host.conf", std::ios::binary) << contents.host_conf;
    }
}

Image ErasedImage() {
    Image image;
    image.fill(0xFF);
    return image;
}

Image SpdImage(std::uint32_t module_serial, const std::optional<std::string> &serial_block) {
    // A 256 MiB PC133 SDRAM module, unbuffered, non-ECC, CAS latency 2 and 3.
    static const std::uint8_t kJedec[63] = {
        0x80, 0x08, 0x04, 0x0C, 0x09, 0x02, 0x40, 0x00, 0x01, 0x75, 0x54, 0x00, 0x80,
        0x08, 0x00, 0x01, 0x8F, 0x04, 0x06, 0x01, 0x01, 0x00, 0x0E, 0xA0, 0x60, 0x00,
        0x00, 0x14, 0x0F, 0x14, 0x2D, 0x20, 0x15, 0x08, 0x15, 0x08, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x12};
    Image image = ErasedImage();
    std::fill(image.begin(), image.begin() + 128, 0x00);
    std::copy(std::begin(kJedec), std::end(kJedec), image.begin());
    image[63] = Sum(image.data(), 63);  // SPD checksum: plain sum of bytes 0..62
    image[64] = demo::kSpdManufacturer;
    std::fill(image.begin() + 65, image.begin() + 72, 0xFF);
    image[72] = 0x01;  // manufacturing location
    const std::string part = "QM256S64A-75      ";
    std::copy(part.begin(), part.end(), image.begin() + 73);
    image[91] = 0x01;  // revision
    image[92] = 0x00;
    image[93] = 0x01;  // year and week of manufacture
    image[94] = 0x12;
    for (int i = 0; i < 4; ++i) {
        image[95 + static_cast<std::size_t>(i)] =
            static_cast<std::uint8_t>(module_serial >> (24 - 8 * i));
    }
    if (serial_block) {
        std::string block = "11S" + serial_block->substr(0, 19);
        block.resize(22, ' ');
        std::copy(block.begin(), block.end(), image.begin() + 128);
        image[150] = static_cast<std::uint8_t>(~Sum(image.data() + 128, 22));
    }
    return image;
}

Bytes StoredSerial(const std::string &display) {
    std::string text = display.compare(0, 3, "11S") == 0 ? display.substr(3) : display;
    Bytes stored(text.begin(), text.end());
    stored.resize(std::min<std::size_t>(stored.size(), 19));
    if (display.compare(0, 3, "11S") != 0 && !stored.empty()) stored[0] |= 0x80;
    return stored;
}

Image SerialAreaImage(const std::vector<SerialRecord> &records) {
    constexpr std::size_t kRecordSize = 20, kSlots = 12;
    Image image{};
    const std::uint8_t header[7] = {'S', 'E', 'R', '#', kRecordSize, kSlots, 1};
    std::copy(std::begin(header), std::end(header), image.begin());
    image[7] = ZeroSum(image.data(), 7);
    for (std::size_t i = 0; i < records.size() && i < kSlots; ++i) {
        std::size_t at = 16 + kRecordSize * i;
        image[at] = static_cast<std::uint8_t>(records[i].type * 8 + records[i].index);
        Bytes text = StoredSerial(records[i].text);
        std::copy(text.begin(), text.end(), image.begin() + static_cast<std::ptrdiff_t>(at + 1));
    }
    image[8] = ZeroSum(image.data(), image.size());
    return image;
}

Bytes UserStruct(std::uint8_t type, const Bytes &fixed, const std::vector<std::string> &strings) {
    Bytes s;
    s.reserve(256);
    s.push_back(type);
    s.push_back(0);
    for (std::uint8_t b : fixed) s.push_back(b);
    for (const auto &text : strings) {
        for (char c : text) s.push_back(static_cast<std::uint8_t>(c));
        s.push_back(0);
    }
    s[1] = static_cast<std::uint8_t>(s.size());
    return s;
}

Image UserAreaImage(const std::vector<Bytes> &structures, std::uint8_t flags) {
    Image image = ErasedImage();
    std::fill(image.begin(), image.begin() + 248, std::uint8_t{0});
    std::size_t used = 16;
    for (const auto &s : structures) {
        if (used + s.size() > 248) break;
        std::copy(s.begin(), s.end(), image.begin() + static_cast<std::ptrdiff_t>(used));
        used += s.size();
    }
    const std::uint8_t header[7] = {'U', 'S', 'R', '#', static_cast<std::uint8_t>(used), 0, 1};
    std::copy(std::begin(header), std::end(header), image.begin());
    image[7] = ZeroSum(image.data(), 7);
    image[9] = flags;
    image[8] = ZeroSum(image.data(), used);
    return image;
}

Image RfRegisterBlock(const std::string &identifier) {
    // 96 bits, most significant first: 12 bits outside the identifier (the first 8 balance
    // the sum), then fourteen 6-bit character codes.
    std::vector<int> bits(96, 0);
    bits[11] = 1;
    for (std::size_t g = 0; g < 14 && g < identifier.size(); ++g) {
        char c = identifier[g];
        int v = c >= 'A' && c <= 'Z' ? c - 'A' : c >= '0' && c <= '9' ? c - '0' + 26 : 0;
        for (int b = 0; b < 6; ++b)
            bits[12 + 6 * g + static_cast<std::size_t>(b)] = (v >> (5 - b)) & 1;
    }
    std::uint8_t block[12] = {};
    for (std::size_t i = 0; i < 96; ++i) {
        block[i / 8] = static_cast<std::uint8_t>(block[i / 8] | (bits[i] << (7 - i % 8)));
    }
    block[0] = ZeroSum(block + 1, 11);
    Image image{};
    std::copy(std::begin(block), std::end(block), image.begin() + 0x10);
    return image;
}

Bytes EdidBlock() {
    Bytes e(128, 0);
    const std::uint8_t header[8] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
    std::copy(std::begin(header), std::end(header), e.begin());
    const char *maker = demo::kMonitorMaker;
    unsigned id = static_cast<unsigned>(((maker[0] - 0x40) << 10) | ((maker[1] - 0x40) << 5) |
                                        (maker[2] - 0x40));
    e[8] = static_cast<std::uint8_t>(id >> 8);
    e[9] = static_cast<std::uint8_t>(id);
    PutLE(e, 10, 0x1734, 2);      // product code
    PutLE(e, 12, 0x0001D6F3, 4);  // serial number
    e[16] = 12;                   // week
    e[17] = 2001 - 1990;          // year
    e[18] = 1;                    // version 1.3
    e[19] = 3;
    e[20] = 0x0E;  // analogue input, separate and composite sync, sync on green
    e[21] = 34;    // 34 x 27 cm
    e[22] = 27;
    e[23] = 0x78;  // gamma 2.2
    e[24] = 0xEA;  // power management, RGB colour, preferred timing in the first descriptor
    const std::uint8_t colour[10] = {0xEE, 0x91, 0xA3, 0x54, 0x4C, 0x99, 0x26, 0x0F, 0x50, 0x54};
    std::copy(std::begin(colour), std::end(colour), e.begin() + 25);
    e[35] = 0x2F;  // 640x480 at 60/72/75, 800x600 at 56/60
    e[36] = 0xCF;  // 800x600 at 72/75, 1024x768 at 60/70/75, 1280x1024 at 75
    e[37] = 0x80;  // 1152x870 at 75
    const std::uint8_t standard[16] = {0x81, 0x80, 0x71, 0x4F, 0x61, 0x40, 0x45, 0x40,
                                       0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01};
    std::copy(std::begin(standard), std::end(standard), e.begin() + 38);
    // Preferred timing: 1280x1024 at 60 Hz, 108 MHz.
    const std::uint8_t timing[18] = {0x30, 0x2A, 0x00, 0x98, 0x51, 0x00, 0x2A, 0x40, 0x30,
                                     0x70, 0x13, 0x00, 0x52, 0x0E, 0x11, 0x00, 0x00, 0x1E};
    std::copy(std::begin(timing), std::end(timing), e.begin() + 54);
    PutTextDescriptor(e, 72, 0xFF, demo::kMonitorSerial);
    PutTextDescriptor(e, 90, 0xFC, demo::kMonitorName);
    // Range limits: 56-76 Hz, 30-81 kHz, 140 MHz.
    const std::uint8_t limits[18] = {0x00, 0x00, 0x00, 0xFD, 0x00, 0x38, 0x4C, 0x1E, 0x51,
                                     0x0E, 0x00, 0x0A, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20};
    std::copy(std::begin(limits), std::end(limits), e.begin() + 108);
    e[127] = ZeroSum(e.data(), 127);
    return e;
}

void AddBiosMemory(MachineContents &machine) {
    machine.memory.push_back({0x400, BiosDataArea()});
    machine.memory.push_back({demo::kEbdaBase, Ebda()});
    machine.memory.push_back({demo::kVpdAddress, VpdBlock()});
    machine.memory.push_back({demo::kSysIdAddress, SysIdTable()});
    machine.memory.push_back({0xFFFB0, BiosTop()});
}

}  // namespace qorsim

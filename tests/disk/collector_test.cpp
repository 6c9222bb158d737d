// The disk serial collector on simulated drives: which method answers which drive, the
// entries it leaves, and the request blocks exactly as the drives received them.
#include "disk/collector.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "collect.h"
#include "disk/requests.h"
#include "sim_disks.h"
#include "support/machine.h"

namespace {

using qorsim::Bytes;
using qorsim::SimDisk;

constexpr uint32_t kNone = 0xFFFFFFFF;

class Collector : public MachineFixture {
  protected:
    void SetUp() override { machine_.conf("platform", "nt"); }
    void Disk(int drive, const SimDisk &d) { qorsim::WriteDisk(machine_.path(), drive, d); }
    std::vector<std::string> Requests(int drive) {
        return LogLines(machine_.path(), "DISK " + std::to_string(drive) + " ");
    }
};

Bytes Identify(const std::string &serial_field) {
    Bytes id = qorsim::IdentifyData("MODEL", "");
    for (size_t i = 0; i < 20; ++i)
        id[20 + (i ^ 1)] = i < serial_field.size() ? serial_field[i] : 0;
    return id;
}

SimDisk With(SimDisk d, void (*change)(SimDisk &)) {
    change(d);
    return d;
}

TEST(DiskText, IdeScsiAndCleaning) {
    struct {
        const char *name;
        Bytes data;
        bool scsi;
        std::string text;
    } cases[] = {
        {"twenty characters keep nineteen", Identify("ABCDEFGHIJKLMNOPQRST"), false,
         "ABCDEFGHIJKLMNOPQRS"},
        {"a zero at index 6", Identify(std::string("ABCDEF\0HIJ", 10)), false, "ABCDEF"},
        {"spaces stay", Identify("  WD-12  "), false, "  WD-12  "},
        {"0xFF at index 5 is cut", Identify("ABCDE\xFFGHIJ"), false, "ABCDE"},
        {"a control character is cut", Identify("ABC\tDEF"), false, "ABC"},
        {"11 model characters and 8 of the serial",
         qorsim::InquiryData("V", "PRODUCTIDENTIFI", "SERIAL123456"), true, "PRODUCTIDENSERIAL12"},
        {"trailing spaces of both parts go", qorsim::InquiryData("V", "DISK", "  XY"), true,
         "DISK  XY"},
    };
    for (const auto &c : cases) {
        char text[kHddTextSize] = {};
        Bytes data = c.data;
        data.resize(512);
        (c.scsi ? DiskScsiText : DiskIdeText)(data.data(), text);
        DiskCleanText(text);
        EXPECT_EQ(std::string(text), c.text) << c.name;
    }
}

// Drive by drive, the NT procedure: SMART, then the miniport, then a pass-through INQUIRY.
TEST_F(Collector, EachDriveThatOpensTakesOneEntry) {
    const Bytes ide = Identify("IDE-SERIAL");
    const Bytes other = Identify("OTHER-DEVICE");
    const Bytes scsi = qorsim::InquiryData("V", "SCSIDISK", "S1");
    const auto miniport = [&](uint8_t target, uint8_t p0, uint8_t p1) {
        SimDisk d;
        d.identify = ide;
        d.miniport_other = other;
        d.miniport = {{p0, p1}};
        d.address = {{0, 0, target, 0}};
        return d;
    };
    // Write access denied: opened read-only, SMART, the miniport and the pass-through are
    // refused by their access bits, only the address answers.
    SimDisk read_only = With(miniport(0, 1, 0), [](SimDisk &d) { d.passthrough = 0; });
    read_only.smart = read_only.write_denied = true;
    Disk(0, read_only);
    Disk(2, qorsim::IdeDisk(ide, 0));
    Disk(3, miniport(1, 0, 1));          // the second block
    Disk(4, miniport(0, 0, 1));          // target 0 not present: on to pass-through, which fails
    SimDisk beyond = miniport(2, 1, 1);  // no block for target 2: on to pass-through
    beyond.passthrough = 0;
    beyond.inquiry = scsi;
    Disk(5, beyond);
    Disk(6, With(qorsim::ScsiDisk(scsi, 4), [](SimDisk &d) { d.passthrough = 0x02; }));
    Disk(7, With(qorsim::ScsiDisk(scsi, 4), [](SimDisk &d) { d.address.reset(); }));
    Disk(8, With(qorsim::IdeDisk(ide, 0), [](SimDisk &d) { d.address.reset(); }));
    Disk(9, qorsim::IdeDisk(Bytes(ide.begin(), ide.begin() + 24), 1));  // short: zero-filled
    Disk(10, With(qorsim::IdeDisk(ide, 0), [](SimDisk &d) { d.opens = false; }));
    // Page-aligned pass-through data meets any adapter's alignment.
    Disk(23, With(qorsim::ScsiDisk(scsi, 9), [](SimDisk &d) { d.align_mask = 0xFFF; }));
    const std::vector<Entry> want = {
        {"", 0, 0},  // drive 0: opens, answers nothing
        {"IDE-SERIAL", 0, 0},
        {"IDE-SERIAL", 0, 1},  // the second block, not the other device's
        {"", 0, 0},
        {"SCSIDISKS1", 1, 2},  // the miniport names no device at target 2
        {"", 0, 0},            // check condition
        {"", 0, 0},            // no address: no INQUIRY sent
        {"IDE-SERIAL", 0, kNone},
        {"IDE-", 0, 1},
        {"SCSIDISKS1", 1, 9},
    };
    EXPECT_EQ(CollectIntoCache(), want);
    const auto r0 = Requests(0);
    EXPECT_EQ(r0[0] + ";" + r0[1] + ";" + r0[4],
              "OPEN denied;OPEN read-only ok;00041018 08000000 ok");
    // The INQUIRY goes out once with an address (drive 6), never without (drive 7).
    EXPECT_EQ(Requests(6)[4].substr(0, 8) + ";" + Requests(6)[5], "0004D014;CLOSE");
    EXPECT_EQ(Requests(7)[4], "CLOSE");
}

std::string Le32(uint32_t v) {  // this host is little-endian
    return qorsim::Hex(reinterpret_cast<const uint8_t *>(&v), 4);
}

// The blocks byte for byte, as the drives received them.
TEST_F(Collector, RequestBlocksAsTheDrivesReceiveThem) {
    SimDisk ide = qorsim::IdeDisk(Identify("A"), 1);
    ide.smart = false;
    ide.miniport = {{0, 1}};
    Disk(0, ide);
    Disk(1, qorsim::ScsiDisk(qorsim::InquiryData("V", "P", "S"), 5));
    Disk(2, With(qorsim::ScsiDisk({}, 6), [](SimDisk &d) { d.address = {{1, 2, 6, 3}}; }));
    CollectIntoCache();
    const std::string smart = "00020000" + std::string(12, '0') + "EC" + std::string(42, '0');
    const std::string address = "08000000";
    const std::string miniport = Ungrouped("1C000000 5049495849444500 10270000 02000080 00000000") +
                                 Le32(1072) + std::string(2 * 1072, '0');
    // Length, status, path, target, LUN, CDB length 6, sense length 32, data in; 255 bytes;
    // 65535 s; the buffer (shown as zeros); the sense offset; INQUIRY for the LUN.
    const auto pass = [](const char *path_target_lun, const char *cdb) {
        return Le32(sizeof(DiskPassThroughBlock)).substr(0, 4) + "00" + path_target_lun +
               Ungrouped("0620 01000000 FF000000 FFFF0000 00000000") +
               Le32(offsetof(DiskPassThroughRequest, sense)) + cdb + std::string(20, '0');
    };
    EXPECT_EQ(Requests(0),
              (std::vector<std::string>{
                  "OPEN ok", "0007C088 " + smart + " fail", "0004D008 " + miniport + " ok",
                  "00041018 " + address + " ok", "00041018 " + address + " ok", "CLOSE"}));
    EXPECT_EQ(Requests(1)[4], "0004D014 " + pass("000500", "12000000FF00") + " ok");
    EXPECT_EQ(Requests(2)[4], "0004D014 " + pass("020603", "12600000FF00") + " ok");
}

}  // namespace

// The Linux disk backend with its system calls answered from recorded replies: no real
// device is ever opened.
#include <errno.h>
#include <gtest/gtest.h>
#include <linux/hdreg.h>
#include <scsi/scsi.h>
#include <scsi/sg.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "collect.h"
#include "platform/posix/diskio_posix.h"
#include "sim_disks.h"
#include "support/machine.h"

namespace {

// What the fake devices were asked, and what they answer: by descriptor, the reply to an ATA
// IDENTIFY through SG_IO (SCSI status, or -1 for a failed ioctl), the HDIO identity, the
// INQUIRY reply and its status, and the SCSI_IOCTL_GET_IDLUN word.
struct FakeDrive {
    int ata_status;
    bool hdio;
    int inquiry_status;
    int idlun;
};
std::map<int, FakeDrive> g_drives;
std::vector<std::string> g_calls;
bool g_no_access = false;

std::string Hex(const uint8_t *data, size_t size) {
    return qorsim::Hex(data, size);
}

int FakeOpen(const char *path, int) {
    g_calls.push_back(std::string("open ") + path);
    const int fd = 100 + (path[7] - 'a');
    if (g_no_access || g_drives.count(fd) == 0) {
        errno = g_no_access ? EACCES : ENOENT;
        return -1;
    }
    return fd;
}

int FakeIoctl(int fd, unsigned long request, void *arg) {
    const FakeDrive &d = g_drives.at(fd);
    if (request == SCSI_IOCTL_GET_IDLUN) {
        static_cast<int *>(arg)[0] = d.idlun;
        return 0;
    }
    if (request == HDIO_GET_IDENTITY) {
        if (!d.hdio) return -1;
        const auto id = qorsim::IdentifyData("M", "HDIO-SERIAL");
        std::memcpy(arg, id.data(), id.size());
        return 0;
    }
    if (request != SG_IO) return -1;
    auto *io = static_cast<sg_io_hdr_t *>(arg);
    const auto *cdb = io->cmdp;
    g_calls.push_back("sg " + Hex(cdb, io->cmd_len) + " " + std::to_string(io->dxfer_len) +
                      (io->dxfer_direction == SG_DXFER_FROM_DEV ? " in" : " ?"));
    const bool ata = cdb[0] == 0x85;
    const int status = ata ? d.ata_status : d.inquiry_status;
    if (status < 0) return -1;
    // Short replies, as devices give them: the rest of the buffer is the caller's.
    const auto reply = ata ? qorsim::IdentifyData("M", "SG-SERIAL")
                           : qorsim::InquiryData("V", "LINUXDISK", "LX77");
    std::memcpy(io->dxferp, reply.data(), ata ? 40 : reply.size());
    io->status = static_cast<unsigned char>(status);
    return 0;
}

int FakeClose(int fd) {
    g_calls.push_back("close " + std::to_string(fd));
    return 0;
}

TEST(LinuxDisks, RequestsBecomeSgIoHdioAndIdlun) {
    ScopedEnv no_machine(qorsim::kMachineEnv, "");
    const PosixDiskCalls saved = g_posix_disk_calls;
    g_posix_disk_calls = {FakeOpen, FakeIoctl, FakeClose};
    g_drives = {
        {100, {0, false, 0, 0}},                     // sda: ATA IDENTIFY answers
        {101, {2, false, 0, (2 << 24) | 4}},         // sdb: a SCSI disk, host 2 target 4
        {102, {-1, true, 2, 1}},                     // sdc: only HDIO, at target 1
        {104, {-1, false, 2, (1 << 16) | (5 << 8)}}  // sde: nothing but check conditions
    };
    for (bool no_access : {false, true}) {
        g_no_access = no_access;
        g_calls.clear();
        const std::vector<Entry> entries = CollectIntoCache();
        const std::string ata = "sg 85080E0000000100000000000000EC00 512 in";
        if (no_access) {
            EXPECT_TRUE(entries.empty());
            EXPECT_EQ(g_calls.size(), 24u);  // 24 opens refused, nothing else
            continue;
        }
        EXPECT_EQ(entries, (std::vector<Entry>{{"SG-SERIAL          ", 0, 0},
                                               {"LINUXDISKLX77", 1, 4},
                                               {"HDIO-SERIAL        ", 0, 1}}));
        const std::vector<std::string> sdb = {"open /dev/sdb", ata, "sg 12000000FF00 255 in",
                                              "close 101"};
        const std::vector<std::string> sde = {"open /dev/sde", ata, "sg 12A00000FF00 255 in",
                                              "close 104"};
        auto from = [&](const std::string &open) {
            auto it = std::find(g_calls.begin(), g_calls.end(), open);
            return std::vector<std::string>(it, it + 4);
        };
        EXPECT_EQ(from("open /dev/sdb"), sdb);
        EXPECT_EQ(from("open /dev/sde"), sde);
        EXPECT_EQ(g_calls.back(), "open /dev/sdx");
    }
    g_posix_disk_calls = saved;
}

}  // namespace

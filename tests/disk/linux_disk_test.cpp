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
#include <utility>
#include <vector>

#include "collect.h"
#include "platform/posix/diskio_posix.h"
#include "sim_disks.h"
#include "support/machine.h"

namespace {

// A drive by descriptor: the SCSI status of an ATA IDENTIFY through SG_IO (-1: refused, as
// to a caller without CAP_SYS_RAWIO), whether HDIO_GET_IDENTITY answers, the status of an
// INQUIRY, the SCSI_IOCTL_GET_IDLUN word and the drive's IDENTIFY data.
struct FakeDrive {
    int ata_status;
    bool hdio;
    int inquiry_status;
    int idlun;
    qorsim::Bytes identify = qorsim::IdentifyData("M", "SG-SERIAL");
};
std::map<int, FakeDrive> g_drives;
std::vector<std::string> g_calls;
bool g_no_access = false;

int FakeOpen(const char *path, int) {
    g_calls.push_back(std::string("open ") + path);
    const int fd = 100 + (path[7] - 'a');
    if (g_no_access || g_drives.count(fd) == 0) {
        errno = g_no_access ? EACCES : ENOENT;
        return -1;
    }
    return fd;
}

// Each request answered as the kernel answers it:
// - SCSI_IOCTL_GET_IDLUN (drivers/scsi/scsi_ioctl.c): target id | LUN << 8 | channel << 16 |
//   host << 24;
// - HDIO_GET_IDENTITY, where libata drives the disk (ata_get_identity, drivers/ata/
//   libata-scsi.c; ENOTTY elsewhere): the 256 words in host order (the raw bytes on this
//   little-endian host), then the serial number (words 10-19), firmware revision (23-26) and
//   model (27-46) rewritten by ata_id_string (libata-core.c), high byte first: in reading
//   order;
// - SG_IO (sg_io and scsi_cmd_allowed, block/scsi_ioctl.c or drivers/scsi/scsi_ioctl.c):
//   ATA PASS-THROUGH is not among the commands sent for a caller without CAP_SYS_RAWIO
//   (EPERM); a command that went answers 0 with the target's status, the data only with a
//   good status, the shortfall in resid.
int FakeIoctl(int fd, unsigned long request, void *arg) {
    const FakeDrive &d = g_drives.at(fd);
    if (request == SCSI_IOCTL_GET_IDLUN) {
        static_cast<int *>(arg)[0] = d.idlun;
        return 0;
    }
    if (request == HDIO_GET_IDENTITY) {
        if (!d.hdio) return errno = ENOTTY, -1;
        qorsim::Bytes id = d.identify;
        for (auto [from, to] : {std::pair{20, 40}, std::pair{46, 94}})
            for (int i = from; i < to; i += 2) std::swap(id[i], id[i + 1]);
        std::memcpy(arg, id.data(), id.size());
        return 0;
    }
    if (request != SG_IO) return errno = ENOTTY, -1;
    auto *io = static_cast<sg_io_hdr_t *>(arg);
    const auto *cdb = io->cmdp;
    g_calls.push_back("sg " + qorsim::Hex(cdb, io->cmd_len) + " " + std::to_string(io->dxfer_len) +
                      (io->dxfer_direction == SG_DXFER_FROM_DEV ? " in" : " ?"));
    const bool ata = cdb[0] == 0x85;
    const int status = ata ? d.ata_status : d.inquiry_status;
    if (status < 0) return errno = EPERM, -1;
    const qorsim::Bytes reply = ata ? d.identify : qorsim::InquiryData("V", "LINUXDISK", "LX77");
    const size_t sent = status == 0 ? std::min<size_t>(reply.size(), io->dxfer_len) : 0;
    std::memcpy(io->dxferp, reply.data(), sent);
    io->resid = static_cast<int>(io->dxfer_len - sent);
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
        {100, {0, false, 0, 0}},              // sda: ATA IDENTIFY answers
        {101, {2, false, 0, (2 << 24) | 4}},  // sdb: a SCSI disk, host 2 target 4
        {102, {-1, true, 2, 1, qorsim::IdentifyData("M", "HDIO-SERIAL")}},  // HDIO, target 1
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
        const std::vector<std::string> sde = {"open /dev/sde", ata, "sg 12A00000FF00 255 in",
                                              "close 104"};
        auto it = std::find(g_calls.begin(), g_calls.end(), "open /dev/sde");
        EXPECT_EQ(std::vector<std::string>(it, it + 4), sde);
        EXPECT_EQ(g_calls.back(), "open /dev/sdx");
    }
    g_no_access = false;
    // A user without CAP_SYS_RAWIO, answered by HDIO_GET_IDENTITY, sees root's text: serials
    // of odd and even length, with spaces, with a NUL inside.
    for (const std::string &serial : std::vector<std::string>{
             "WD-WCC4E1234567", "S2R5NX0H12345678", " 7  SPACE D", std::string("AB\0CD", 5)}) {
        const qorsim::Bytes id = qorsim::IdentifyData("MODEL", serial);
        g_drives = {{100, {0, false, 2, 0, id}}, {101, {-1, true, 2, 0, id}}};
        const std::vector<Entry> entries = CollectIntoCache();
        EXPECT_EQ(entries, std::vector<Entry>(2, entries.at(0))) << serial;
    }
    g_posix_disk_calls = saved;
}

}  // namespace

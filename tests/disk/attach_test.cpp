// The collector inside the real library: started by the first process only, its entries
// answered by type 2 queries, and the records of types 15 and 19 brought into line by the
// synchronisation thread, as the bus shows it.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "sim_disks.h"
#include "support/machine.h"

namespace {

// Record keys written at the start of a record slot of A8, in order (0 = deleted).
std::vector<int> KeysWritten(const std::vector<I2cTransfer> &transfers) {
    std::vector<int> keys;
    for (const auto &t : transfers)
        if (t.dir == 'W' && t.dev == 0xA8 && t.off >= 0x10 && (t.off - 0x10) % 20 == 0 && t.ok)
            keys.push_back(t.data.at(0));
    return keys;
}

// An IDE text: the serial field's 20 characters, space-padded, of which 19 are kept.
std::string Ide(const std::string &serial) {
    return serial + std::string(19 - serial.size(), ' ');
}

TEST(DiskAttach, FirstProcessCollectsQueriesAnswerAndRecordsFollow) {
    TempMachine machine(Preset::kRf);
    TempDir dir;
    machine.removeDevice(0xA0);  // no memory modules: disks only
    machine.removeDevice(0xA2);
    machine.conf("platform", "nt");  // the drive-by-drive procedure, on every system
    const std::string scsi = "ULTRA36LP3CC0A7F2";
    machine.setDevice(0xA8, qorsim::SerialAreaImage({{15, 5, "OLD-DISK"}, {19, 3, scsi}}));
    qorsim::WriteDisk(machine.path(), 0, qorsim::IdeDisk(qorsim::IdentifyData("M", "IDE-ONE"), 0));
    qorsim::WriteDisk(machine.path(), 2,
                      qorsim::ScsiDisk(qorsim::InquiryData("V", "ULTRA36LP", "3CC0A7F2"), 3));
    qorsim::WriteDisk(machine.path(), 5, qorsim::IdeDisk(qorsim::IdentifyData("M", "IDE-TWO"), 1));
    machine.enableLog();
    const ChildEnv env = ChildOn(machine);
    auto args = Words("get 2 0 get 2 1 get 2 2 get 2 3 get 15 0 get 15 1 get 15 5");
    args.insert(args.end(), {"touch", dir.file("ready"), "wait", dir.file("release")});
    Child first(BinPath("qor_child"), args, env);
    // A later process finds the cache filled and asks no disk itself.
    AppearsWithin(dir.file("ready"));
    const ChildResult second = RunChild({"get", "2", "2"}, env);
    WriteTextFile(dir.file("release"), "");
    const ChildResult r = first.Wait();
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const auto gets = LinesStartingWith(r.out, "get ");
    const auto log = qorsim::ReadDiskLog(machine.path());
    const auto opens = std::count_if(log.begin(), log.end(), [](const std::string &l) {
        return l.find(" OPEN ") != std::string::npos;
    });
    EXPECT_EQ(gets, (std::vector<std::string>{
                        "get 2 0 rc=0 text=" + Ide("IDE-ONE"),
                        "get 2 1 rc=0 text=" + scsi,
                        "get 2 2 rc=0 text=" + Ide("IDE-TWO"),
                        "get 2 3 rc=1 text=",
                        "get 15 0 rc=0 text=" + Ide("IDE-ONE"),
                        "get 15 1 rc=0 text=" + Ide("IDE-TWO"),
                        "get 15 5 rc=102 text=",
                    }));
    EXPECT_EQ(LinesStartingWith(second.out, "get "),
              std::vector<std::string>{"get 2 2 rc=0 text=" + Ide("IDE-TWO")});
    EXPECT_EQ(opens, 24);
    // The IDE group mismatched: its record deleted, then both disks added; the SCSI group was
    // in line and is left alone.
    EXPECT_EQ(KeysWritten(machine.i2cTransfers()), (std::vector<int>{0x00, 0x78, 0x79}));
    EXPECT_EQ(
        machine.device(0xA8),
        qorsim::SerialAreaImage({{15, 0, Ide("IDE-ONE")}, {19, 3, scsi}, {15, 1, Ide("IDE-TWO")}}));
}

}  // namespace

// Process attach and detach. Everything the exports rely on is prepared here, at load time;
// the entry point reports success whatever fails, and a failure only leaves `initialized` 0.
#include <cstdint>
#include <cstring>
#include <optional>

#include "QORasstW.h"
#include "disk/collector.h"
#include "eeprom/eeprom.h"
#include "eeprom/messages.h"
#include "eeprom/serial/serial_area.h"
#include "eeprom/serial/serial_numbers.h"
#include "eeprom/userarea/network.h"
#include "eeprom/userarea/userarea.h"
#include "frame/frame.h"
#include "hostid/hostid.h"
#include "monitor/monitor.h"
#include "platform/hwlib.h"
#include "platform/mapping.h"
#include "platform/mutex.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "platform/thread.h"
#include "state/state.h"

namespace {

constexpr char kMutexName[] = "QORasst_eemutex";
constexpr char kHddMappingName[] = "QORasstW_HDDNumCache";
constexpr char kSerialMappingName[] = "QORasstW_SerNumCache";
constexpr char kOverrideKey[] = "SYSTEM\\CurrentControlSet\\Services\\Valdrex\\Override";
constexpr uint8_t kRfAddress = 0xB8;
constexpr uint8_t kRfProbeRegister = 0x0F;
constexpr uint8_t kFormatAddress = 0xA8;
constexpr uint8_t kProbeFirst = 0xA0;
constexpr uint8_t kProbeLast = 0xC0;
constexpr uint8_t kDefaultStructSize = 20;
constexpr uint8_t kDefaultCount = 12;
constexpr uint32_t kHddInterfaceOffset = 552;
constexpr uint32_t kHddAddressOffset = 648;
// How long a process that ends waits for start-up's own thread, and for the record a thread
// of its own is writing.
constexpr unsigned kDetachWaitMs = 2000;

// What disk-serial readers see until the disk mapping is attached.
char g_empty_text[1] = {0};

PlatMapping *OpenMapping(const char *base, bool *created, uint32_t *error) {
    char name[256];
    *created = false;
    if (!PlatObjectName(base, name, sizeof name)) {
        *error = static_cast<uint32_t>(PlatLastError());
        return nullptr;
    }
    bool existed = false;
    PlatMapping *mapping = PlatMappingCreate(name, kMappingSize, &existed, error);
    *created = mapping != nullptr && !existed;
    return mapping;
}

void CloseMutex() {
    PlatMutexClose(g_state.ee_mutex);
    g_state.ee_mutex = nullptr;
}

void CloseHddMapping() {
    if (g_state.hdd_view != nullptr) PlatMappingUnmap(g_state.hdd_mapping, g_state.hdd_view);
    g_state.hdd_view = nullptr;
    PlatMappingClose(g_state.hdd_mapping);
    g_state.hdd_mapping = nullptr;
}

// What start-up hands to a thread of its own, right after the loader returns: all that waits
// on other threads or processes, which must never run inside the loader's lock (where a box
// nobody can click, or a child process, would hold the loader of the whole process). First the
// "Network" refresh: the host's names and addresses (the network stack, a netstat child) are
// gathered without the EEPROM mutex, then stored with it. Then the messages start-up raised.
void StartupThread(void *) {
    if (g_state.user_version != 0) {
        HostIdentity host;
        GatherHostIdentity(&host);
        // The area may have changed since the loader's hold (an outside writer): the refresh
        // works on the cache as an access would find it.
        EeLock lock;
        if (lock.held() && UserAreaBeginAccess() == 0) {
            UserAreaRefreshNetwork(g_state.user_version, g_state.user_area, host);
        }
    }
    SetStartupPending(false);
    EeHoldMessages(false);
    EeShowKeptMessages();
}

// Messages raised inside the loader's lock are kept; unless start-up's own thread shows them,
// they are shown at the next release of the mutex outside it.
struct MessagesHeldForAttach {
    MessagesHeldForAttach() { EeHoldMessages(true); }
    ~MessagesHeldForAttach() {
        if (g_state.startup_thread == nullptr) EeHoldMessages(false);
    }
    MessagesHeldForAttach(const MessagesHeldForAttach &) = delete;
    MessagesHeldForAttach &operator=(const MessagesHeldForAttach &) = delete;
};

bool Ended(PlatThread *thread) {
    return PlatThreadWaitFor(thread, 0);
}

// The SPD EEPROM addresses of the memory modules: the override key's "addr" values in the
// order the registry gives them, or the four usual slots when there is no key.
void LoadModuleAddresses() {
    std::memset(g_state.module_addr, 0, sizeof g_state.module_addr);
    PlatKey *key = PlatRegOpen(kOverrideKey);
    if (key == nullptr) {
        g_state.module_addr[0] = 0xA0;
        g_state.module_addr[1] = 0xA2;
        g_state.module_addr[2] = 0xA4;
        g_state.module_addr[3] = 0xA6;
        return;
    }
    int count = 0;
    for (uint32_t index = 0;; ++index) {
        char name[128];
        uint8_t data[4] = {0, 0, 0, 0};
        uint32_t data_size = sizeof data;
        uint32_t type = 0;
        if (!PlatRegEnumValue(key, index, name, sizeof name, data, &data_size, &type)) break;
        // The table has 16 entries; further "addr" values are ignored.
        if (std::strncmp(name, "addr", 4) == 0 && count < kModuleSlots) {
            g_state.module_addr[count++] = data[0];
        }
    }
    PlatRegClose(key);
}

}  // namespace

void FrameAttach() {
    const MessagesHeldForAttach held;
    g_state.is_nt = PlatIsNtFamily() ? 1 : 0;
    g_state.initialized = 0;
    g_state.eeprom_addr = 0;
    g_state.rf_eeprom = 0;
    g_state.monitor_present = 1;

    char mutex_name[256];
    g_state.ee_mutex = PlatObjectName(kMutexName, mutex_name, sizeof mutex_name)
                           ? PlatMutexCreate(mutex_name)
                           : nullptr;

    // A missing monitor or VPD leaves its functions answering their own codes; start-up goes on.
    const int edid_result = MonitorCaptureEDID();
    if (edid_result != 0) {
        g_state.monitor_present = 0;
        SetDiagText("Failed to read EDID data from monitor, retval = %d", edid_result);
    }
    int vpd_size = static_cast<int>(sizeof g_state.vpd_block);
    const int vpd_result = VPDLoadData(g_state.vpd_block, &vpd_size);
    if (vpd_result != 0) SetDiagText("Failed to read VPD data, retval = %d", vpd_result);

    for (int i = 0; i < kHddEntries; ++i) g_state.hdd_serial[i] = g_empty_text;

    bool hdd_created = false;
    uint32_t error = 0;
    g_state.hdd_mapping = OpenMapping(kHddMappingName, &hdd_created, &error);
    if (g_state.hdd_mapping == nullptr) {
        SetDiagText("1 GetLastError = %d", static_cast<int>(error));
        CloseMutex();
        return;
    }
    g_state.hdd_view = static_cast<uint8_t *>(PlatMappingMap(g_state.hdd_mapping, &error));
    if (g_state.hdd_view == nullptr) {
        SetDiagText("2 GetLastError = %d", static_cast<int>(error));
        CloseHddMapping();
        CloseMutex();
        return;
    }
    if (I2C_Open() == 0) {
        SetDiagText("3 GetLastError = %d", static_cast<int>(PlatLastError()));
        CloseHddMapping();
        CloseMutex();
        return;
    }
    uint8_t *hdd = g_state.hdd_view;
    for (int i = 0; i < kHddEntries; ++i) {
        g_state.hdd_serial[i] = reinterpret_cast<char *>(hdd + kHddTextSize * i);
    }
    g_state.hdd_interface = reinterpret_cast<uint32_t *>(hdd + kHddInterfaceOffset);
    g_state.hdd_address = reinterpret_cast<uint32_t *>(hdd + kHddAddressOffset);
    if (hdd_created) {
        g_state.hdd_params = {g_state.hdd_serial, g_state.hdd_interface, g_state.hdd_address};
        std::memset(hdd, 0, kMappingSize);
        // The disks are asked on their own thread; start-up never waits for them.
        g_state.worker_thread = PlatThreadStart(DiskSerialCollector, &g_state.hdd_params);
        g_state.collector_thread = g_state.worker_thread;
    }

    LoadModuleAddresses();

    uint8_t probe = 0;
    if (I2C_SendCommandThenRead(kRfAddress, kRfProbeRegister, &probe, 1) == 0) {
        g_state.rf_eeprom = 1;
    }

    // From the probe until the first process has loaded, or formatted and loaded, the area,
    // no other process probes: one that starts meanwhile would find no area yet and keep "no
    // EEPROM" for its whole life. The mutex is recursive, so the steps below take it as usual.
    std::optional<EeLock> probe_lock;
    probe_lock.emplace();

    uint8_t struct_size = kDefaultStructSize;
    uint8_t count = kDefaultCount;
    uint8_t version = 0;  // no header read: a version every primitive refuses
    bool found = false;
    for (int address = kProbeFirst; address <= kProbeLast && !found; address += 2) {
        uint8_t s = 0, n = 0, v = 0;
        if (ReadHeader(static_cast<uint8_t>(address), &s, &n, &v) == 0) {
            g_state.eeprom_addr = static_cast<uint8_t>(address);
            struct_size = s;
            count = n;
            version = v;
            found = true;
        }
    }
    g_state.eeprom_size = count;

    bool serial_created = false;
    g_state.serial_mapping = OpenMapping(kSerialMappingName, &serial_created, &error);
    if (g_state.serial_mapping == nullptr) {
        SetDiagText("4 GetLastError = %d", static_cast<int>(error));
        return;
    }
    g_state.serial_view = static_cast<uint8_t *>(PlatMappingMap(g_state.serial_mapping, &error));
    if (g_state.serial_view == nullptr) {
        SetDiagText("5");
        return;
    }
    if (serial_created) std::memset(g_state.serial_view, 0, struct_size * count);
    LayOutSerialCache(struct_size, count);

    if (serial_created) {
        int loaded =
            LoadSerialCache(g_state.eeprom_addr, struct_size, count, version, g_state.serial_type,
                            g_state.serial_index, g_state.serial_text);
        if (g_state.rf_eeprom != 0) {
            if (g_state.eeprom_addr == 0 || loaded != 0) {
                g_state.eeprom_addr = kFormatAddress;
                version = 0;
                if (FormatSerialArea(kFormatAddress) == 0 &&
                    ReadHeader(kFormatAddress, &struct_size, &count, &version) == 0) {
                    if (struct_size != g_state.layout_struct_size ||
                        count != g_state.layout_count) {
                        LayOutSerialCache(struct_size, count);
                    }
                    g_state.eeprom_size = count;
                    LoadSerialCache(kFormatAddress, struct_size, count, version,
                                    g_state.serial_type, g_state.serial_index, g_state.serial_text);
                }
            }
            probe_lock.reset();
            // The synchronisation thread waits for the collector (the worker so far) first.
            g_state.sync_params = {g_state.worker_thread,
                                   g_state.rf_eeprom,
                                   g_state.eeprom_addr,
                                   struct_size,
                                   count,
                                   version};
            if (PlatThread *sync = PlatThreadStart(SerialSyncThread, &g_state.sync_params)) {
                g_state.worker_thread = sync;
            }
            // Then the user area: read, repaired or formatted, and loaded into the cache, with
            // the mutex held so that no other process stores into it half-way. Its messages
            // are kept for start-up's own thread.
            uint8_t user_version = 0;
            bool user_loaded = false;
            {
                EeLock user_lock;
                user_loaded = user_lock.held() &&
                              UserAreaBringUp(kUserDevice, &user_version, g_state.user_area) == 0;
            }
            // The "Network" structure then records the host this first process starts on, from
            // start-up's own thread.
            g_state.user_version = user_loaded ? user_version : 0;
            SetStartupPending(true);
            g_state.startup_thread = PlatThreadStart(StartupThread, nullptr);
            if (g_state.startup_thread == nullptr) SetStartupPending(false);
        }
        SetDiagText("DLL Initialized\n");
    }
    g_state.initialized = 1;
}

void FrameDetach() {
    // Start-up's own thread never waits for the disks: what it has left (the "Network" refresh)
    // may finish, bounded.
    PlatThreadWaitFor(g_state.startup_thread, kDetachWaitMs);
    // A thread of this process that is writing finishes the record it writes, and nothing more
    // is written: a record cut off half-way leaves an area that does not balance, which the next
    // start-up on an RF machine answers by formatting it, and every record would be lost. The
    // disk collector, which never writes the EEPROM, is not waited for. (Where the system ends
    // the threads before detach, nothing is waited for.)
    // A write the bus cut off is put back while a process is still here to do it.
    if (EeCloseWrites(kDetachWaitMs)) {
        SettleSerialArea();
        UserAreaSettle(kUserDevice);
        EeEndClosing();
    }
    EeWriteKeptMessages();
    // A thread still running (a collector asking a slow drive, the synchronisation thread
    // waiting for it) may still use the bus, the views and the mutex: they stay, and the system
    // takes them back with the process; only the holds of the named objects are given up, so
    // that they go with their last holder as usual.
    if (!Ended(g_state.collector_thread) || !Ended(g_state.worker_thread) ||
        !Ended(g_state.startup_thread)) {
        PlatMappingClose(g_state.serial_mapping);
        PlatMappingClose(g_state.hdd_mapping);
        g_state.serial_mapping = g_state.hdd_mapping = nullptr;
        PlatMutexLeave(g_state.ee_mutex);
        return;
    }
    I2C_Close();
    if (g_state.serial_view != nullptr) {
        PlatMappingUnmap(g_state.serial_mapping, g_state.serial_view);
    }
    g_state.serial_view = nullptr;
    PlatMappingClose(g_state.serial_mapping);
    g_state.serial_mapping = nullptr;
    CloseHddMapping();
    CloseMutex();
}

void FrameEndCutOff() {
    EeWriteKeptMessages();
}

// The simulated machine's ASPI manager: WNASPI32.DLL on Windows, libwnaspi32.so on POSIX,
// loaded by the library at run time like the real one. Its adapters and devices are the
// machine's aspi.conf; every request block is logged as it arrived (disks.log, "ASPI ...").
// Built once more without GetASPI32SupportInfo (QORSIM_ASPI_INCOMPLETE), as a manager that
// lacks an entry point.
//
// It answers as ASPI for Win32's documentation describes a manager: GetASPI32SupportInfo
// gives the status in bits 15-8 and the host adapter count in bits 7-0; SendASPI32Command
// answers SS_PENDING for a request it has queued, else the final status (SS_COMP, or
// SS_INVALID_CMD, SS_INVALID_HA, SS_NO_DEVICE for a request it cannot take); it writes the
// data, then SRB_Status, then signals the event in SRB_PostProc when SRB_EVENT_NOTIFY is set.
// The device sends what it has, up to the allocation length; the rest of the buffer is not
// written.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "platform/diskio.h"
#include "sim_disks.h"
#include "sim_machine.h"

#ifdef _WIN32
#include <windows.h>
#define QORSIM_ASPI_EXPORT extern "C" __declspec(dllexport)
#else
#include "platform/posix/aspi_event.h"
#define QORSIM_ASPI_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

constexpr uint8_t kSsInvalidCmd = 0x80;
constexpr uint8_t kSsInvalidHa = 0x81;
constexpr uint8_t kSsNoDevice = 0x82;

void Log(const qorsim::fs::path &dir, const AspiSrbExecScsiCmd &srb, uint32_t status) {
    qorsim::MachineLock lock(dir);
    if (!qorsim::ReadConf(dir).log) return;
    uint8_t block[80];
    AspiSrbAs32(srb, block);
    std::ofstream(qorsim::DiskLogPath(dir), std::ios::binary | std::ios::app)
        << "ASPI " << qorsim::Hex(block, sizeof block) << " " << qorsim::Hex2(status) << "\n";
}

void Signal(void *post_proc) {
#ifdef _WIN32
    SetEvent(static_cast<HANDLE>(post_proc));
#else
    PosixAspiEventSet(post_proc);
#endif
}

// Ends a request: the data and the status first, then the event, as a manager must.
void Complete(AspiSrbExecScsiCmd *srb, const qorsim::Bytes &inquiry, uint8_t status) {
    if (status == kSsComp) {
        const uint32_t length =
            srb->SRB_BufLen < srb->CDBByte[4] ? srb->SRB_BufLen : srb->CDBByte[4];
        std::memcpy(srb->SRB_BufPointer, inquiry.data(),
                    inquiry.size() < length ? inquiry.size() : length);
    }
    std::atomic_ref<uint8_t>(srb->SRB_Status).store(status, std::memory_order_release);
    if (srb->SRB_Flags & kSrbEventNotify) Signal(srb->SRB_PostProc);
}

struct Later {
    AspiSrbExecScsiCmd *srb;
    qorsim::Bytes inquiry;
    uint8_t status;
    int delay_ms;
};

void RunLater(Later *later) {
#ifdef _WIN32
    Sleep(static_cast<DWORD>(later->delay_ms));
#else
    std::this_thread::sleep_for(std::chrono::milliseconds(later->delay_ms));
#endif
    Complete(later->srb, later->inquiry, later->status);
    delete later;
}

#ifdef _WIN32
DWORD WINAPI LaterThread(void *later) {
    RunLater(static_cast<Later *>(later));
    return 0;
}
#endif

// Completes the request on a thread of the manager's own after a while.
void CompleteLater(AspiSrbExecScsiCmd *srb, const qorsim::Bytes &inquiry, uint8_t status,
                   int delay_ms) {
    auto *later = new Later{srb, inquiry, status, delay_ms};
#ifdef _WIN32
    if (HANDLE thread = CreateThread(nullptr, 0, LaterThread, later, 0, nullptr))
        CloseHandle(thread);
#else
    std::thread(RunLater, later).detach();
#endif
}

uint32_t Execute(AspiSrbExecScsiCmd *srb) {
    const auto dir = qorsim::MachineFromEnv();
    if (!dir) return kSsInvalidHa;
    const qorsim::AspiConf conf = qorsim::ReadAspi(*dir);
    uint8_t status = kSsPending;
    const qorsim::AspiDevice *device = nullptr;
    for (const auto &d : conf.devices) {
        if (d.adapter == srb->SRB_HaId && d.target == srb->SRB_Target && d.lun == srb->SRB_Lun) {
            device = &d;
        }
    }
    if (srb->SRB_Cmd != kScExecScsiCmd || srb->CDBByte[0] != kScsiInquiry ||
        srb->SRB_BufPointer == nullptr) {
        status = kSsInvalidCmd;
    } else if (srb->SRB_HaId >= conf.adapters) {
        status = kSsInvalidHa;
    } else if (device == nullptr) {
        status = kSsNoDevice;
    }
    Log(*dir, *srb,
        status != kSsPending                                 ? status
        : device->completion == qorsim::AspiCompletion::kNow ? kSsComp
                                                             : kSsPending);
    if (status != kSsPending) {
        srb->SRB_Status = status;
        return status;
    }
    switch (device->completion) {
        case qorsim::AspiCompletion::kNow:
            Complete(srb, device->inquiry, kSsComp);
            return kSsComp;
        case qorsim::AspiCompletion::kPending:
            CompleteLater(srb, device->inquiry, kSsComp, 20);
            break;
        case qorsim::AspiCompletion::kLate:
            CompleteLater(srb, device->inquiry, kSsComp, 600);
            break;
        case qorsim::AspiCompletion::kError:
            CompleteLater(srb, device->inquiry, kSsErr, 20);
            break;
        case qorsim::AspiCompletion::kNever:
            break;
    }
    return kSsPending;
}

}  // namespace

QORSIM_ASPI_EXPORT uint32_t SendASPI32Command(void *srb) {
    return Execute(static_cast<AspiSrbExecScsiCmd *>(srb));
}

#ifndef QORSIM_ASPI_INCOMPLETE
QORSIM_ASPI_EXPORT uint32_t GetASPI32SupportInfo() {
    const auto dir = qorsim::MachineFromEnv();
    const qorsim::AspiConf conf = dir ? qorsim::ReadAspi(*dir) : qorsim::AspiConf{0, 0, {}};
    return static_cast<uint32_t>((conf.support & 0xFF) << 8 | (conf.adapters & 0xFF));
}
#endif

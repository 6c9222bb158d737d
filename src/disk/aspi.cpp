#include "disk/aspi.h"

#include <atomic>
#include <cstring>
#include <new>

namespace {

constexpr uint32_t kCompletionWaitMs = 258;

// The manager's entry points, found once per process.
std::atomic<AspiSendCommandProc> g_send{nullptr};

struct Request {
    AspiSrbExecScsiCmd srb;
    uint8_t *buffer;
    Request *next_abandoned;
};

// Requests left to the manager, kept reachable for the life of the process.
std::atomic<Request *> g_abandoned{nullptr};

void Abandon(Request *request) {
    request->next_abandoned = g_abandoned.load();
    while (!g_abandoned.compare_exchange_weak(request->next_abandoned, request)) {
    }
}

void Free(Request *request) {
    if (request == nullptr) return;
    delete[] request->buffer;
    delete request;
}

uint8_t Status(AspiSrbExecScsiCmd *srb) {
    return std::atomic_ref<uint8_t>(srb->SRB_Status).load(std::memory_order_acquire);
}

// One request. A request that has not completed in time still belongs to the manager, which
// may write its status and data and signal the event later: its block and data buffer are
// then left to it (*abandoned), never freed or reused. The caller's buffer gets the data only
// on success.
int Execute(PlatEvent *event, const uint8_t *cdb, uint8_t *data, uint32_t length, uint8_t adapter,
            uint8_t target, uint8_t lun, uint8_t flags, bool *abandoned) {
    *abandoned = false;
    const AspiSendCommandProc send = g_send.load();
    if (send == nullptr || event == nullptr) return 0;
    auto *request = new (std::nothrow) Request{};
    if (request != nullptr)
        request->buffer = new (std::nothrow) uint8_t[length == 0 ? 1 : length]();
    if (request == nullptr || request->buffer == nullptr) {
        Free(request);
        return 0;
    }
    AspiSrbExecScsiCmd *srb = &request->srb;
    uint8_t *buffer = request->buffer;
    srb->SRB_Cmd = kScExecScsiCmd;
    srb->SRB_HaId = adapter;
    srb->SRB_Flags = static_cast<uint8_t>(flags | kSrbEventNotify);
    srb->SRB_Target = target;
    srb->SRB_Lun = lun;
    srb->SRB_BufLen = length;
    srb->SRB_BufPointer = buffer;
    srb->SRB_SenseLen = 16;
    srb->SRB_CDBLen = 6;
    srb->SRB_PostProc = PlatEventHandle(event);
    std::memcpy(srb->CDBByte, cdb, sizeof srb->CDBByte);
    const uint32_t sent = send(srb);
    int result = 0;
    if (sent == kSsPending || sent == kSsComp) {
        uint8_t status = Status(srb);
        // A signal left by an earlier, abandoned request can end a wait while this one is
        // still pending: the event is then reset and waited for once more.
        for (int waits = 0; status == kSsPending && waits < 2; ++waits) {
            if (!PlatEventWait(event, kCompletionWaitMs)) break;
            status = Status(srb);
            if (status == kSsPending) {
                PlatEventReset(event);
                status = Status(srb);
            }
        }
        if (status == kSsPending) {
            *abandoned = true;
            Abandon(request);
            return 0;
        }
        PlatEventReset(event);
        if (status == kSsComp) {
            std::memcpy(data, buffer, length);
            result = 1;
        }
    }
    Free(request);
    return result;
}

}  // namespace

int AspiLoad(uint32_t *adapters) {
    *adapters = 0;
    AspiSendCommandProc send = nullptr;
    AspiGetSupportInfoProc support_info = nullptr;
    if (!PlatAspiLoad(&send, &support_info)) return 0;
    g_send.store(send);
    const uint32_t support = support_info();
    if (((support >> 8) & 0xFF) == kSsComp) *adapters = support & 0xFF;
    return 1;
}

int AspiExecScsiCommand(PlatEvent *event, const uint8_t *cdb, uint8_t *data, uint32_t length,
                        uint8_t adapter, uint8_t target, uint8_t lun, uint8_t flags) {
    bool abandoned = false;
    return Execute(event, cdb, data, length, adapter, target, lun, flags, &abandoned);
}

int AspiInquiry(uint8_t adapter, uint8_t target, uint8_t lun, uint8_t *inquiry) {
    const uint8_t cdb[16] = {kScsiInquiry, static_cast<uint8_t>(lun << 5), 0, 0, kInquiryLength, 0};
    PlatEvent *event = PlatAspiEventOpen();
    if (event == nullptr) return 0;
    std::memset(inquiry, 0, kInquiryLength);
    bool abandoned = false;
    const int result =
        Execute(event, cdb, inquiry, kInquiryLength, adapter, target, lun, kSrbDirIn, &abandoned);
    // Closed after every request, except when the manager may still signal it: its handle
    // must not be recycled for another object of the process meanwhile.
    if (!abandoned) PlatEventClose(event);
    return result;
}

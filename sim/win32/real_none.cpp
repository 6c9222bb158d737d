// Our Windows builds of the hardware libraries have no real backend: real Windows machines
// use the vendor's kelbW.dll and tavrW.dll. Without a simulated machine there is no hardware.
#include "real_backend.h"

namespace qorreal {

int BusOpen() {
    return 0;
}
void BusClose() {}
int BusRead(std::uint8_t, std::uint8_t, std::uint8_t *, int) {
    return 1;
}
int BusWrite(std::uint8_t, std::uint8_t, const std::uint8_t *, int) {
    return 1;
}
int BusDiagnose(std::string &text) {
    text = "no real bus in this build (use the vendor's kelbW.dll)";
    return 0;
}
int BusRefusedWrites() {
    return -1;
}

int PMemIsInitialized() {
    return 0;
}
int PMemOpen() {
    return 0;
}
void PMemClose() {}
int PMemRead(void *, std::uint32_t, std::uint32_t) {
    return 1;
}
std::uint32_t PMemSearch(const char *, std::uint32_t, std::uint32_t, std::uint32_t) {
    return 0;
}
int PMemDiagnose(std::string &text) {
    text = "no physical memory in this build (use the vendor's tavrW.dll)";
    return 0;
}

}  // namespace qorreal

// The user area's pure rules over arbitrary images: the load's verdict, the lookup, a store
// and a whole repair run as the inspector simulates it. Every walk must end, stay inside the
// 248 bytes, and a store into a sound area must leave it sound with the structure findable.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "eeprom/userarea/userarea.h"

namespace {

uint8_t Sum(const uint8_t *b, size_t n) {
    unsigned s = 0;
    for (size_t i = 0; i < n; ++i) s += b[i];
    return static_cast<uint8_t>(s);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Exactly 248 bytes of image on the heap, so that any read past them is caught.
    std::vector<uint8_t> image(kUserAreaSize, 0);
    std::memcpy(image.data(), data, size < image.size() ? size : image.size());
    std::vector<uint8_t> structure(256, 0);
    if (size > image.size()) {
        const size_t rest = size - image.size();
        std::memcpy(structure.data(), data + image.size(), rest < 256 ? rest : 256);
    }

    const UserVerdict v = UserAreaValidate(image.data());
    const bool sound = v.result == 0 && !v.repair;
    if (v.message != 0 && UserTypeInfo(v.type) == nullptr) std::abort();
    const int count = UserAreaCountStructs(image.data());
    if (count < 0 || count > (kUserAreaSize - kUserStructsOffset) / 2) std::abort();

    std::vector<uint8_t> found(256, 0);
    uint8_t pos = 0;
    const int lookup = UserAreaFindStruct(image.data(), structure[0], 1, found.data(), &pos);
    if (lookup == 0 && (found[0] != structure[0] || pos + found[1] > kUserAreaSize)) std::abort();

    std::vector<uint8_t> work = image;
    UserPutPlan plan;
    const int put = UserAreaPlanPut(work.data(), 1, structure.data(), &plan);
    if (put != 0 && work != image) std::abort();
    for (int i = 0; i < plan.count; ++i)
        if (plan.offsets[i] >= kUserAreaSize) std::abort();
    if (put == 0 && sound) {
        const int used = work[kUserOffsetUsed];
        if ((Sum(image.data(), 8) == 0 && Sum(work.data(), 8) != 0) ||
            Sum(work.data(), static_cast<size_t>(used)) != 0) {
            std::abort();
        }
        // Found again (a later structure of the type may now come first, so only found).
        const int n = structure[1];
        const int again = UserAreaFindStruct(work.data(), structure[0], 1, nullptr, nullptr);
        if (n >= 2 && n <= kUserMaxStructSize && again != 0) std::abort();
    }

    // The load's repair loop on a copy ends within one repair per structure.
    work = image;
    for (int repairs = 0;; ++repairs) {
        const UserVerdict r = UserAreaValidate(work.data());
        if (!r.repair || repairs >= count) break;
        uint8_t blank[kUserBlankBuffer];
        UserBlankStruct(r.type, blank);
        if (UserAreaPlanPut(work.data(), 1, blank, &plan) != 0) break;
    }
    return 0;
}

// The user area's pure rules over arbitrary images: the load's verdict, the lookup, a store
// and a whole repair run as the inspector simulates it. Every walk must end, stay inside the
// 248 bytes, and a store into a sound area must leave it sound with the structure findable.
// Then the tools' decoders: a structure of exactly the bytes given, the listing of an image, a
// dump and its explanation, and any bytes as a text of the OCS view (7-bit XML, no control
// characters but line ends).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "decode.h"
#include "eeprom/userarea/userarea.h"
#include "report.h"

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

    const std::vector<uint8_t> exact(data, data + size);
    DescribeStruct(exact.data(), exact.size()).ToJson();
    int code = 0;
    ListStructs(image.data(), &code).ToText();
    std::vector<uint8_t> whole(256, 0);
    std::memcpy(whole.data(), data, size < whole.size() ? size : whole.size());
    const std::string text(data, data + size);
    ReportValue explained = ReportValue::Object();
    ParseDump(text, &whole);  // a dump replaces the raw bytes
    ExplainImage(whole, explained);
    explained.ToJson();

    ReportValue report = ReportValue::Object();
    ReportValue &serial =
        report.Add("serial_numbers", ReportValue::List()).Append(ReportValue::Object());
    serial.Add("type", ReportValue::Number(4));
    serial.Add("index", ReportValue::Number(0));
    serial.Add("serial", ReportValue::Text(text));
    report.Add("monitor", ReportValue::Object()).Add("product", ReportValue::Text(text));
    for (unsigned char c : OcsInventory(report)) {
        if (c >= 0x80 || (c < 0x20 && c != '\n')) std::abort();
    }
    return 0;
}

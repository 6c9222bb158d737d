// The user area on a simulated bus: the load's verdicts and messages, byte-exact images and
// transfers of every store kind, fault sweeps of every writer, the exports with the dirty flag,
// and a randomised run against a model of the area.
#include "eeprom/userarea/userarea.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "QORasstW.h"
#include "eeprom/area_fixture.h"
#include "eeprom/eeprom.h"

using namespace area_test;
using qorsim::Bytes;
using qorsim::UserAreaImage;
using qorsim::UserStruct;

namespace {

constexpr uint8_t kUa = kUserDevice;

Bytes User(const std::string &name = "") {
    return UserStruct(0xFF, {}, {name, "", "", "", ""});
}
// b with its size byte set to size, cut or zero-padded to it.
Bytes Sized(Bytes b, uint8_t size) {
    b.resize(size);
    b[1] = size;
    return b;
}
const Bytes kAsset = UserStruct(0xFD, Bytes(13, 0x11), {"A1", "room"});  // 23 bytes
const Bytes kUser6 = Sized({0xFF}, 6);                                   // one byte short
// A "Network" structure with one address pair (well formed at size 17).
const Bytes kNet = {0xFA, 17, 1, 10, 0, 0, 1, 10, 0, 0, 7, 255, 255, 255, 0, 0, 0};

// Offsets of single-byte writes: first to last, then the header bytes listed in tail.
Lines Offsets(int first, int last, const std::string &tail) {
    Lines out;
    for (int o = first; o <= last; ++o) out.push_back(qorsim::Hex2(static_cast<unsigned>(o)));
    for (size_t i = 0; i < tail.size(); i += 2) out.push_back(tail.substr(i, 2));
    return out;
}

// Load messages are collected for the whole program, never shown, and never while the EEPROM
// mutex is held (it would hold every other process until dismissed).
std::vector<std::string> g_messages;
[[maybe_unused]] const bool kCollecting = (SetUserMessageSink([](const char *t) {
                                               EXPECT_FALSE(EeHeldByThisThread());
                                               g_messages.emplace_back(t);
                                           }),
                                           true);

class UserAreaTest : public MachineTest {
  protected:
    void SetUp() override {
        MachineTest::SetUp();
        g_state.initialized = 1;
    }
    uint8_t *Cache() { return g_state.user_area; }
    static std::vector<uint8_t> Head(const uint8_t *b) { return {b, b + kUserAreaSize}; }
    std::vector<uint8_t> Area248() const { return Head(machine_.device(kUa).data()); }
    int Put(const Bytes &s) { return UserAreaPutStruct(kUa, 1, Cache(), s.data()); }
    // Device and cache hold the image; the cache is loaded from it.
    void Start(const qorsim::Image &img) {
        machine_.setDevice(kUa, img);
        UserAreaLoad(kUa, 1, Cache());  // a damaged image is loaded as repaired
        machine_.setDevice(kUa, img);
        ClearTraffic();
        FailTransfer(0);
    }
    // Fails transfer k of op for every k, once (a refused write is tried again) and from there
    // on until the bus answers again. Meanwhile a read that would answer what the device no
    // longer holds fails; the next access leaves the device balanced with the area before or
    // after op, the cache equal to it, and a new first process loads it as it is.
    void Sweep(const qorsim::Image &before, const std::function<int()> &op) {
        Start(before);
        ASSERT_EQ(op(), 0);
        const uint64_t transfers = machine_.counters().transfers;
        const auto after = Area248();
        for (const std::string mode : {"fail_transfer", "fail_from"}) {
            for (uint64_t k = 1; k <= transfers; ++k) {
                SCOPED_TRACE(mode + " " + std::to_string(k));
                Start(before);
                machine_.conf(mode, std::to_string(k));
                const int rc = op();
                EXPECT_TRUE(rc != 0 || (Area248() == after && mode == "fail_transfer"));
                const auto mid = Area248();  // a mixture of the two is never answered from
                EXPECT_TRUE(mid == Head(before.data()) || mid == after || Get(0xFF)[0] == '1');
                machine_.clearConf(mode);
                Get(0xFF);
                const auto now = Area248();
                EXPECT_TRUE(now == Head(before.data()) || now == after);
                EXPECT_EQ(Head(Cache()), now);
                uint8_t version = 0;
                ASSERT_EQ(UserAreaBringUp(kUa, &version, Cache()), 0);
                EXPECT_EQ(Area248(), now);
            }
        }
    }
    // "rc HEX": the answer and the buffer (its structure, or all 256 bytes on a failure).
    std::string Get(uint8_t type) {
        unsigned char buffer[256];
        std::fill_n(buffer, 256, 0xEE);
        const int rc = AssetGetUserAreaStruct(buffer, type);
        return std::to_string(rc) + " " + qorsim::Hex(buffer, rc == 0 ? buffer[1] : 256);
    }
    Lines Writes() const {
        Lines w;
        for (const auto &l : Traffic())
            if (l[0] == 'W') w.push_back(l.substr(5, 2));
        return w;
    }
};

TEST_F(UserAreaTest, FormatHeaderReadAndLoadAreExactTransfers) {
    machine_.setDevice(kUa, qorsim::ErasedImage());
    ASSERT_EQ(UserAreaFormat(kUa), 0);
    Lines want;
    for (int o = 0; o < 248; ++o) want.push_back("W AA " + qorsim::Hex2(o) + " 1 00");
    const char *head[] = {"55", "53", "52", "23", "10", "00", "01", "D2", "00"};
    for (int o = 0; o < 9; ++o) want.push_back("W AA " + qorsim::Hex2(o) + " 1 " + head[o]);
    EXPECT_EQ(Traffic(), want);
    auto image = UserAreaImage({});  // offsets F8..FF still erased
    EXPECT_EQ(machine_.device(kUa), image);

    ClearTraffic();
    uint8_t version = 0;
    EXPECT_EQ(UserAreaReadHeader(kUa, &version), 0);
    EXPECT_EQ(version, 1);
    EXPECT_EQ(UserAreaLoad(kUa, 1, Cache()), 0);
    EXPECT_EQ(Traffic(), (Lines{"R AA 00 8", "R AA 00 248"}));
    EXPECT_EQ(Head(Cache()), Area248());

    for (const auto &[offset, result] : {std::pair{7, 7}, std::pair{0, 2}}) {  // sum, signature
        image[offset] ^= 1;
        machine_.setDevice(kUa, image);
        EXPECT_EQ(UserAreaReadHeader(kUa, &version), result);
    }
    machine_.removeDevice(kUa);
    EXPECT_EQ(UserAreaReadHeader(kUa, &version), 1);
    EXPECT_EQ(UserAreaLoad(kUa, 2, Cache()), 3);
}

TEST_F(UserAreaTest, LoadVerdictsMessagesAndRepairs) {
    const auto img = [](const std::vector<Bytes> &s) { return UserAreaImage(s); };
    const auto used = [](qorsim::Image i, uint8_t u) {  // both checksums kept balanced
        i[4] = u;
        i[7] = static_cast<uint8_t>(i[7] + 16 - u);
        i[8] = 0;
        i[8] = static_cast<uint8_t>(0x100 - Sum(i.data(), u));
        return i;
    };
    const auto msg = [](int m, uint8_t type) {
        char text[192];
        UserMessageText(m, type, text, sizeof text);
        return std::string(text);
    };
    const std::string m1 = msg(1, 0xFF);
    auto bad_sum = img({User()});
    bad_sum[20] ^= 1;
    const struct {
        const char *name;
        qorsim::Image before;
        int result;
        Lines messages;
        std::vector<Bytes> after;  // empty: the device is unchanged
    } cases[] = {
        {"empty", img({}), 0, {}, {}},
        {"user 7 and unknown 0x10", img({User("x"), {0x10, 3, 9}}), 0, {}, {}},
        {"lease 13", img({Sized({0xFE}, 13)}), 0, {}, {}},
        {"network 17", img({kNet}), 0, {}, {}},
        {"unterminated string", img({{0xFF, 7, 0, 0, 0, 0, 'x'}}), 10, {msg(2, 0xFF)}, {}},
        {"size 0", img({{0x10, 0, 0}}), 10, {}, {}},
        {"size 1", img({{0x10, 1, 0}}), 10, {}, {}},
        {"runs past used", used(img({User()}), 22), 10, {}, {}},
        {"used 12", used(img({}), 12), 10, {}, {}},
        {"used 249", used(img({}), 249), 10, {}, {}},
        {"area sum", bad_sum, 7, {}, {}},
        {"user 6", img({kUser6, kAsset}), 0, {m1}, {kAsset, User()}},
        {"lease 14", img({Sized({0xFE}, 14)}), 0, {msg(3, 0xFE)}, {Sized({0xFE}, 13)}},
        {"network 16", img({Sized(kNet, 16)}), 0, {msg(3, 0xFA)}, {Sized({0xFA}, 9)}},
        {"network 14", img({Sized(kNet, 14)}), 10, {msg(2, 0xFA)}, {}},
        {"second of a type", img({User("a"), kUser6}), 0, {m1}, {User("a"), User()}},
        {"no room to repair",
         img({UserStruct(0x20, {}, {std::string(213, 'f')}), Sized({0xFD}, 16)}),
         10,
         {msg(1, 0xFD)},
         {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        machine_.setDevice(kUa, c.before);
        std::fill_n(Cache(), kUserAreaSize, 0x77);
        g_messages.clear();
        EXPECT_EQ(UserAreaLoad(kUa, 1, Cache()), c.result);
        EXPECT_EQ(g_messages, c.messages);
        EXPECT_EQ(machine_.device(kUa), c.after.empty() ? c.before : img(c.after));
        EXPECT_EQ(Head(Cache()), c.result == 0 ? Area248() : std::vector<uint8_t>(248, 0x77));
    }
}

TEST_F(UserAreaTest, StoresAndRepairsByteForByteAndSweptTransferByTransfer) {
    const Bytes a = User("a"), b = User("b"), abcd = User("abcd");  // 8, 8 and 11 bytes
    const Bytes full = UserStruct(0x20, {}, {std::string(220, 'f')});
    const Bytes big = UserStruct(0xFC, Bytes(4, 1), {std::string(225, 'b')});  // 232 bytes
    const struct {
        const char *name;
        std::vector<Bytes> before;
        Bytes store;  // none: the load repairs the area
        int result;
        std::vector<Bytes> after;
        Lines writes;
    } cases[] = {
        {"append to empty", {}, a, 0, {a}, Offsets(16, 23, "040807")},
        {"append", {kAsset}, a, 0, {kAsset, a}, Offsets(39, 46, "040807")},
        {"same size", {a, kAsset}, b, 0, {b, kAsset}, Offsets(16, 23, "08")},
        {"grow: moves behind", {a, kAsset}, abcd, 0, {kAsset, abcd}, Offsets(16, 49, "040708")},
        {"shrink", {abcd, kAsset}, User(), 0, {kAsset, User()}, Offsets(16, 49, "040708")},
        {"remove", {a, kAsset}, {0xFF, 0}, 0, {kAsset}, Offsets(16, 46, "040708")},
        {"remove absent", {kAsset}, {0xFF, 0}, 0, {kAsset}, Offsets(0, -1, "040807")},
        {"no room", {full}, kAsset, 4, {full}, {}},
        {"size 1", {User()}, {0x30, 1}, 10, {User()}, {}},
        {"232 appended to empty", {}, big, 0, {big}, Offsets(16, 247, "040807")},
        {"232 stored", {big}, {0xFC, 0}, 10, {big}, {}},
        {"repair", {kUser6, kAsset}, {}, 0, {kAsset, User()}, Offsets(16, 45, "040708")},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const auto op = [&] {
            return c.store.empty() ? UserAreaLoad(kUa, 1, Cache()) : Put(c.store);
        };
        Start(UserAreaImage(c.before));
        EXPECT_EQ(op(), c.result);
        EXPECT_EQ(Area248(), Head(UserAreaImage(c.after).data()));
        EXPECT_EQ(Head(Cache()), Area248());
        EXPECT_EQ(Writes(), c.writes);
        if (c.result == 0 && c.writes.size() < 100) Sweep(UserAreaImage(c.before), op);
    }
    EXPECT_EQ(UserAreaPutStruct(kUa, 2, Cache(), User().data()), 3);
}

TEST_F(UserAreaTest, NotInitialisedBlankReadsAndTheChangedOutsideFlag) {
    g_state.initialized = 0;
    Start(UserAreaImage({User("a")}, 1));
    EXPECT_EQ(Get(0xFF), "101 " + std::string(512, 'E'));
    EXPECT_EQ(AssetSetUserAreaStruct(User().data()), 101);
    EXPECT_EQ(AssetIsUserCacheDirty(), 0);
    EXPECT_TRUE(Traffic().empty());

    g_state.initialized = 1;
    // The flag is consumed (the checksum takes the bit back), then the checksum differs
    // until a read reloads the cache.
    const uint8_t sum = machine_.device(kUa)[8];
    EXPECT_EQ(AssetIsUserCacheDirty(), 1);
    EXPECT_EQ(Traffic(), (Lines{"R AA 09 1", "R AA 08 1", "W AA 09 1 00",
                                "W AA 08 1 " + qorsim::Hex2(static_cast<uint8_t>(sum + 1))}));
    EXPECT_EQ(AssetIsUserCacheDirty(), 1);
    EXPECT_EQ(Get(0xFF), "0 " + qorsim::Hex(User("a")));
    EXPECT_EQ(AssetIsUserCacheDirty(), 0);
    EXPECT_EQ(Get(0xFD), "9 FD11" + std::string(508, '0'));
    EXPECT_EQ(Get(0x10), "9 10" + std::string(510, '0'));
    // A reload's message is shown once the mutex is released.
    machine_.setDevice(kUa, UserAreaImage({kUser6}));
    g_messages.clear();
    EXPECT_EQ(Get(0xFF), "0 " + qorsim::Hex(User()));
    EXPECT_EQ(g_messages.size(), 1u);
    // A cache that holds no area answers reads with the blank and refuses stores.
    std::fill_n(Cache(), kUserAreaSize, 0);
    machine_.removeDevice(kUa);
    EXPECT_EQ(Get(0xFF), "10 FF07" + std::string(508, '0'));
    EXPECT_EQ(AssetSetUserAreaStruct(User().data()), 10);
    // A damage an outside writer leaves is reported once, however many accesses reload it,
    // and never as a deletion, which a reload does not make.
    const Bytes filler = UserStruct(0x20, {}, {std::string(213, 'f')});
    char m1[192];
    UserMessageText(1, 0xFD, m1, sizeof m1);
    for (const Bytes &damaged : {Sized(kNet, 14), Sized({0xFD}, 16)}) {  // messages 2 and 1
        Start(UserAreaImage({}));
        machine_.setDevice(kUa, UserAreaImage({filler, damaged}, 1));
        g_messages.clear();
        for (int access = 0; access < 3; ++access) Get(0xFF);
        EXPECT_EQ(g_messages, damaged[0] == 0xFD ? Lines{m1} : Lines{});
    }
}

// Stores, removals and outside changes in random order against a model: an ordered list of
// the structures the area holds.
TEST_F(UserAreaTest, RandomisedAgainstAModel) {
    std::mt19937 rng(20261206);
    std::vector<Bytes> model;
    const auto find = [&](uint8_t type) {
        return std::find_if(model.begin(), model.end(),
                            [&](const Bytes &s) { return s[0] == type; });
    };
    Start(UserAreaImage({}));
    for (int step = 0; step < 300; ++step) {
        const auto type = static_cast<uint8_t>(0xF0 + rng() % 16);
        const int kind = static_cast<int>(rng() % 10);
        auto at = find(type);
        if (kind < 2) {  // an outside writer, announcing it or not
            model.clear();
            for (int n = static_cast<int>(rng() % 4); n > 0; --n)
                model.push_back(UserStruct(static_cast<uint8_t>(0x20 + n), {}, {"out"}));
            // Unannounced, the change shows only when the area checksum moved.
            auto img = UserAreaImage(model);
            machine_.setDevice(kUa, UserAreaImage(model, kind == 0 || img[8] == Cache()[8]));
        } else if (kind < 4) {  // removal
            EXPECT_EQ(AssetSetUserAreaStruct(Bytes{type, 0}.data()), 0);
            if (at != model.end()) model.erase(at);
        } else {
            Bytes s =
                UserStruct(type, {}, {std::string(rng() % 40, static_cast<char>('a' + step % 26))});
            if (const UserType *t = UserTypeInfo(type)) {  // well formed for a known type
                s = UserStruct(type, Bytes(t->fixed - 2u, 0), std::vector<std::string>(t->strings));
                if (type == 0xFA) s[2] = 0;
            }
            size_t room = 248 - 16 + (at != model.end() ? at->size() : 0);
            for (const auto &m : model) room -= m.size();
            const int rc = AssetSetUserAreaStruct(s.data());
            EXPECT_EQ(rc, s.size() > room ? 4 : 0) << step;
            const bool moves = rc == 0 && (at == model.end() || at->size() != s.size());
            if (rc == 0 && !moves) *at = s;  // in place
            if (moves && at != model.end()) model.erase(at);
            if (moves) model.push_back(s);
        }
        const std::string got = Get(type);
        at = find(type);
        EXPECT_EQ(got, at != model.end() ? "0 " + qorsim::Hex(*at) : "9" + got.substr(1)) << step;
        EXPECT_EQ(Area248(), Head(UserAreaImage(model).data())) << step;
        EXPECT_EQ(Head(Cache()), Area248()) << step;
    }
}

}  // namespace

// The user area on a simulated bus: the load's verdicts and messages, byte-exact images and
// transfers of every store kind, fault sweeps of every writer, the exports with the dirty flag,
// and a randomised run against a model of the area.
#include "eeprom/userarea/userarea.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <random>

#include "QORasstW.h"
#include "eeprom/area_fixture.h"

using namespace area_test;
using qorsim::Bytes;
using qorsim::UserAreaImage;
using qorsim::UserStruct;

namespace {

constexpr uint8_t kUa = kUserDevice;

Bytes User(const std::string &name = "") {
    return UserStruct(0xFF, {}, {name, "", "", "", ""});
}
Bytes Asset(const std::string &tag = "A1") {
    return UserStruct(0xFD, Bytes(13, 0x11), {tag, "room"});
}
Bytes Raw(std::initializer_list<uint8_t> bytes, size_t pad_to = 0) {
    Bytes b(bytes);
    if (b.size() < pad_to) b.resize(pad_to, 0);
    return b;
}
// A "Network" structure with one address pair and sized as given (17 is well formed).
Bytes Net(uint8_t size) {
    Bytes b = Raw({0xFA, size, 1, 10, 0, 0, 1, 10, 0, 0, 7, 255, 255, 255, 0}, size);
    b.resize(size);
    return b;
}

std::vector<std::string> g_messages;
void Collect(const char *text) {
    g_messages.emplace_back(text);
}

class UserAreaTest : public MachineTest {
  protected:
    void SetUp() override {
        MachineTest::SetUp();
        g_messages.clear();
        SetUserMessageSink(Collect);
    }
    void TearDown() override {
        SetUserMessageSink(nullptr);
        MachineTest::TearDown();
    }
    uint8_t *Cache() { return g_state.user_area; }
    std::vector<uint8_t> Area248() const {
        const auto img = machine_.device(kUa);
        return {img.begin(), img.begin() + kUserAreaSize};
    }
    std::vector<uint8_t> Cache248() { return {Cache(), Cache() + kUserAreaSize}; }
    int Put(const Bytes &s) { return UserAreaPutStruct(kUa, 1, Cache(), s.data()); }
    // Device and cache hold the image; the cache is loaded from it.
    void Start(const qorsim::Image &img) {
        machine_.setDevice(kUa, img);
        UserAreaLoad(kUa, 1, Cache());  // a damaged image is loaded as repaired
        machine_.setDevice(kUa, img);
        ClearTraffic();
        FailTransfer(0);
    }
    Lines Writes() const {
        Lines w;
        for (const auto &l : Traffic())
            if (l[0] == 'W') w.push_back(l.substr(5, 2));
        return w;
    }
};

Lines Range(int first, int last) {
    Lines out;
    for (int o = first; o <= last; ++o) out.push_back(qorsim::Hex2(static_cast<unsigned>(o)));
    return out;
}

TEST(UserAreaValidate, LoadVerdictsAndMessages) {
    auto used = [](qorsim::Image img, uint8_t u) {  // both checksums kept balanced
        img[4] = u;
        img[7] = static_cast<uint8_t>(img[7] + 16 - u);
        img[8] = 0;
        img[8] = static_cast<uint8_t>(0x100 - Sum(img.data(), u));
        return img;
    };
    auto bad_sum = UserAreaImage({User()});
    bad_sum[20] ^= 1;
    const struct {
        const char *name;
        qorsim::Image img;
        int result, message;
        bool repair;
    } cases[] = {
        {"empty", UserAreaImage({}), 0, 0, false},
        {"user 7 and unknown 0x10", UserAreaImage({User("x"), Raw({0x10, 3, 9})}), 0, 0, false},
        {"user of size 6", UserAreaImage({Raw({0xFF, 6, 0, 0, 0, 0})}), 0, 1, true},
        {"lease 13", UserAreaImage({Raw({0xFE, 13}, 13)}), 0, 0, false},
        {"lease 14: three strings", UserAreaImage({Raw({0xFE, 14}, 14)}), 0, 3, true},
        {"network 17", UserAreaImage({Net(17)}), 0, 0, false},
        {"network 16: one string", UserAreaImage({Net(16)}), 0, 3, true},
        {"network 14: past its size", UserAreaImage({Net(14)}), 10, 2, false},
        {"unterminated string", UserAreaImage({Raw({0xFF, 7, 0, 0, 0, 0, 'x'})}), 10, 2, false},
        {"size 0", UserAreaImage({Raw({0x10, 0, 0})}), 10, 0, false},
        {"size 1", UserAreaImage({Raw({0x10, 1, 0})}), 10, 0, false},
        {"runs past used", used(UserAreaImage({User()}), 22), 10, 0, false},
        {"used 12", used(UserAreaImage({}), 12), 10, 0, false},
        {"used 249", used(UserAreaImage({}), 249), 10, 0, false},
        {"area sum", bad_sum, 7, 0, false},
    };
    for (const auto &c : cases) {
        const UserVerdict v = UserAreaValidate(c.img.data());
        EXPECT_EQ(v.result, c.result) << c.name;
        EXPECT_EQ(v.message, c.message) << c.name;
        EXPECT_EQ(v.repair, c.repair) << c.name;
    }
}

TEST_F(UserAreaTest, FormatHeaderReadAndLoadAreExactTransfers) {
    machine_.setDevice(kUa, qorsim::ErasedImage());
    ASSERT_EQ(UserAreaFormat(kUa), 0);
    Lines want;
    for (int o = 0; o < 248; ++o) want.push_back("W AA " + qorsim::Hex2(o) + " 1 00");
    const char *head[] = {"55", "53", "52", "23", "10", "00", "01", "D2", "00"};
    for (int o = 0; o < 9; ++o) want.push_back("W AA " + qorsim::Hex2(o) + " 1 " + head[o]);
    EXPECT_EQ(Traffic(), want);
    auto formatted = qorsim::ErasedImage();
    std::fill(formatted.begin(), formatted.begin() + 248, 0);
    std::copy_n(Raw({0x55, 0x53, 0x52, 0x23, 0x10, 0, 1, 0xD2}).begin(), 8, formatted.begin());
    EXPECT_EQ(machine_.device(kUa), formatted);

    ClearTraffic();
    uint8_t version = 0;
    EXPECT_EQ(UserAreaReadHeader(kUa, &version), 0);
    EXPECT_EQ(version, 1);
    EXPECT_EQ(UserAreaLoad(kUa, 1, Cache()), 0);
    EXPECT_EQ(Traffic(), (Lines{"R AA 00 8", "R AA 00 248"}));
    EXPECT_EQ(Cache248(), Area248());

    auto no_sig = formatted, bad_sum = formatted;
    no_sig[0] = 'X';
    bad_sum[7] ^= 1;
    for (const auto &[img, result] : {std::pair{no_sig, 2}, std::pair{bad_sum, 7}}) {
        machine_.setDevice(kUa, img);
        EXPECT_EQ(UserAreaReadHeader(kUa, &version), result);
    }
    machine_.removeDevice(kUa);
    EXPECT_EQ(UserAreaReadHeader(kUa, &version), 1);
    EXPECT_EQ(UserAreaLoad(kUa, 2, Cache()), 3);
}

TEST_F(UserAreaTest, StoresChangeImageAndDeviceByteForByte) {
    const Bytes big = UserStruct(0xFC, Bytes(4, 1), {std::string(225, 'b')});  // 232 bytes
    const struct {
        const char *name;
        std::vector<Bytes> before;
        Bytes store;
        int result;
        std::vector<Bytes> after;
        Lines writes;
    } cases[] = {
        {"append to empty",
         {},
         User("a"),
         0,
         {User("a")},
         Join({Range(16, 23), {"04", "08", "07"}})},
        {"same size",
         {User("a"), Asset()},
         User("b"),
         0,
         {User("b"), Asset()},
         Join({Range(16, 23), {"08"}})},
        {"grow: moves behind",
         {User("a"), Asset()},
         User("abcd"),
         0,
         {Asset(), User("abcd")},
         Join({Range(16, 16 + 23 + 11 - 1), {"04", "07", "08"}})},
        {"shrink: frees the tail",
         {User("abcd"), Asset()},
         User(),
         0,
         {Asset(), User()},
         Join({Range(16, 16 + 23 + 11 - 1), {"04", "07", "08"}})},
        {"remove",
         {User("a"), Asset()},
         Raw({0xFF, 0}),
         0,
         {Asset()},
         Join({Range(16, 16 + 23 + 8 - 1), {"04", "07", "08"}})},
        {"remove absent", {Asset()}, Raw({0xFF, 0}), 0, {Asset()}, {"04", "08", "07"}},
        {"no room",
         {UserStruct(0x20, {}, {std::string(220, 'f')})},
         Asset(),
         4,
         {UserStruct(0x20, {}, {std::string(220, 'f')})},
         {}},
        {"size 1", {User()}, Raw({0x30, 1}), 10, {User()}, {}},
        {"232 appended to empty", {}, big, 0, {big}, Join({Range(16, 247), {"04", "08", "07"}})},
        {"232 stored", {big}, Raw({0xFC, 0}), 10, {big}, {}},
    };
    for (const auto &c : cases) {
        Start(UserAreaImage(c.before));
        EXPECT_EQ(Put(c.store), c.result) << c.name;
        const auto want = UserAreaImage(c.after);
        EXPECT_EQ(Area248(), std::vector<uint8_t>(want.begin(), want.begin() + 248)) << c.name;
        EXPECT_EQ(Cache248(), Area248()) << c.name;
        EXPECT_EQ(Writes(), c.writes) << c.name;
    }
    // A cache without a header refuses stores and writes nothing.
    machine_.setDevice(kUa, UserAreaImage({}));
    std::fill_n(Cache(), kUserAreaSize, 0);
    ClearTraffic();
    EXPECT_EQ(Put(User()), 10);
    EXPECT_EQ(UserAreaPutStruct(kUa, 2, Cache(), User().data()), 3);
    EXPECT_TRUE(Traffic().empty());
}

TEST_F(UserAreaTest, LoadRepairsWithItsMessagesAndEndsWhenARepairDoesNotTake) {
    const auto msg = [](int m, uint8_t type) {
        char text[192];
        UserMessageText(m, type, text, sizeof text);
        return std::string(text);
    };
    EXPECT_EQ(msg(1, 0xFF),
              "Keystrata Warning -- UserArea structure type FF (User) corrupted.  "
              "The problem will be corrected.");
    const struct {
        const char *name;
        std::vector<Bytes> before;
        int result;
        Lines messages;
        std::vector<Bytes> after;  // empty: the device is unchanged
    } cases[] = {
        {"user 6", {Raw({0xFF, 6}, 6), Asset()}, 0, {msg(1, 0xFF)}, {Asset(), User()}},
        {"lease 14", {Raw({0xFE, 14}, 14)}, 0, {msg(3, 0xFE)}, {Raw({0xFE, 13}, 13)}},
        {"network 16", {Net(16)}, 0, {msg(3, 0xFA)}, {Raw({0xFA, 9}, 9)}},
        {"network 14", {Net(14)}, 10, {msg(2, 0xFA)}, {}},
        {"second of a type",
         {User("a"), Raw({0xFF, 6}, 6)},
         0,
         {msg(1, 0xFF), msg(1, 0xFF)},
         {User(), User()}},
        {"repair does not take",
         {User(), Raw({0xFF, 6}, 6)},
         10,
         {msg(1, 0xFF), msg(1, 0xFF), msg(1, 0xFF)},
         {}},
    };
    for (const auto &c : cases) {
        const auto before = UserAreaImage(c.before);
        machine_.setDevice(kUa, before);
        std::fill_n(Cache(), kUserAreaSize, 0x77);
        g_messages.clear();
        EXPECT_EQ(UserAreaLoad(kUa, 1, Cache()), c.result) << c.name;
        EXPECT_EQ(g_messages, c.messages) << c.name;
        EXPECT_EQ(machine_.device(kUa), c.after.empty() ? before : UserAreaImage(c.after))
            << c.name;
        EXPECT_EQ(Cache248(), c.result == 0 ? Area248() : std::vector<uint8_t>(248, 0x77))
            << c.name;
    }
}

// Fails transfer k of an operation for every k: the operation answers non-zero and stops
// there; afterwards start-up either loads a balanced area or formats it, and the cache holds
// what the device holds.
TEST_F(UserAreaTest, EveryWriterSweptTransferByTransfer) {
    const auto with_user = UserAreaImage({User("a"), Asset()});
    const struct {
        const char *name;
        qorsim::Image before;
        std::function<int()> op;
    } ops[] = {
        {"same size", with_user, [&] { return Put(User("b")); }},
        {"append", UserAreaImage({Asset()}), [&] { return Put(User("new")); }},
        {"compaction", with_user, [&] { return Put(User("longer")); }},
        {"repair", UserAreaImage({Raw({0xFF, 6}, 6), Asset()}),
         [&] { return UserAreaLoad(kUa, 1, Cache()); }},
        {"format", with_user, [&] { return UserAreaFormat(kUa); }},
    };
    for (const auto &o : ops) {
        Start(o.before);
        ASSERT_EQ(o.op(), 0) << o.name;
        const uint64_t transfers = machine_.counters().transfers;
        for (uint64_t k = 1; k <= transfers; ++k) {
            Start(o.before);
            FailTransfer(k);
            EXPECT_NE(o.op(), 0) << o.name << " k=" << k;
            EXPECT_EQ(machine_.counters().transfers, k) << o.name << " went on after " << k;
            FailTransfer(0);
            uint8_t version = 0;
            ASSERT_EQ(UserAreaBringUp(kUa, &version, Cache()), 0) << o.name << " k=" << k;
            EXPECT_EQ(UserAreaValidate(Area248().data()).result, 0) << o.name << " k=" << k;
            EXPECT_EQ(Cache248(), Area248()) << o.name << " k=" << k;
        }
    }
}

class UserExportsTest : public UserAreaTest {
  protected:
    void SetUp() override {
        UserAreaTest::SetUp();
        g_state.initialized = 1;
    }
    std::string Get(uint8_t type, int *rc) {
        unsigned char buffer[256];
        std::fill_n(buffer, 256, 0xEE);
        *rc = AssetGetUserAreaStruct(buffer, type);
        return qorsim::Hex(buffer, *rc == 0 ? buffer[1] : 256);
    }
};

TEST_F(UserExportsTest, NotInitialisedBlankReadsAndTheChangedOutsideFlag) {
    g_state.initialized = 0;
    Start(UserAreaImage({User("a")}, 1));
    unsigned char buffer[256];
    std::fill_n(buffer, 256, 0xEE);
    EXPECT_EQ(AssetGetUserAreaStruct(buffer, 0xFF), 101);
    EXPECT_EQ(AssetSetUserAreaStruct(User().data()), 101);
    EXPECT_EQ(AssetIsUserCacheDirty(), 0);
    EXPECT_EQ(buffer[0], 0xEE);
    EXPECT_TRUE(Traffic().empty());

    g_state.initialized = 1;
    // The flag is consumed (the checksum takes the bit back), then the checksum differs
    // until a read reloads the cache.
    const uint8_t sum = machine_.device(kUa)[8];
    EXPECT_EQ(AssetIsUserCacheDirty(), 1);
    EXPECT_EQ(Traffic(), (Lines{"R AA 09 1", "R AA 08 1", "W AA 09 1 00",
                                "W AA 08 1 " + qorsim::Hex2(static_cast<uint8_t>(sum + 1))}));
    EXPECT_EQ(AssetIsUserCacheDirty(), 1);
    int rc = 0;
    EXPECT_EQ(Get(0xFF, &rc), qorsim::Hex(User("a")));
    EXPECT_EQ(AssetIsUserCacheDirty(), 0);
    EXPECT_EQ(Get(0xFD, &rc), "FD11" + std::string(508, '0'));
    EXPECT_EQ(rc, 9);
    EXPECT_EQ(Get(0x10, &rc), std::string(512, '0').replace(0, 2, "10"));
    // A cache that holds no area answers reads with the blank and refuses stores.
    std::fill_n(Cache(), kUserAreaSize, 0);
    machine_.removeDevice(kUa);
    EXPECT_EQ(Get(0xFF, &rc), "FF07" + std::string(508, '0'));
    EXPECT_EQ(rc, 10);
    EXPECT_EQ(AssetSetUserAreaStruct(User().data()), 10);
}

// Stores, removals and outside changes in random order against a model: an ordered list of
// the structures the area holds.
TEST_F(UserExportsTest, RandomisedAgainstAModel) {
    std::mt19937 rng(20261206);
    std::vector<Bytes> model;
    Start(UserAreaImage({}));
    for (int step = 0; step < 300; ++step) {
        const auto type = static_cast<uint8_t>(0xF0 + rng() % 16);
        const int kind = static_cast<int>(rng() % 10);
        auto at =
            std::find_if(model.begin(), model.end(), [&](const Bytes &s) { return s[0] == type; });
        if (kind < 2) {  // an outside writer, announcing it or not
            model.clear();
            for (int n = static_cast<int>(rng() % 4); n > 0; --n)
                model.push_back(UserStruct(static_cast<uint8_t>(0x20 + n), {}, {"out"}));
            auto img = UserAreaImage(model);
            // Unannounced, the change shows only when the area checksum moved.
            if (kind == 0 || img[8] == Cache()[8]) img = UserAreaImage(model, 1);
            machine_.setDevice(kUa, img);
        } else if (kind < 4) {  // removal
            EXPECT_EQ(AssetSetUserAreaStruct(Raw({type, 0}).data()), 0);
            if (at != model.end()) model.erase(at);
        } else {
            Bytes s =
                UserStruct(type, {}, {std::string(rng() % 40, static_cast<char>('a' + step % 26))});
            if (const UserType *t = UserTypeInfo(type)) {  // well formed for a known type
                s = UserStruct(type, Bytes(t->fixed - 2u, 0), std::vector<std::string>(t->strings));
                if (type == 0xFA) s[2] = 0;
            }
            int used = 16;
            for (const auto &m : model) used += static_cast<int>(m.size());
            const int room = 248 - used + (at != model.end() ? static_cast<int>(at->size()) : 0);
            const int rc = AssetSetUserAreaStruct(s.data());
            EXPECT_EQ(rc, static_cast<int>(s.size()) > room ? 4 : 0) << step;
            if (rc == 0 && at != model.end() && at->size() == s.size()) {
                *at = s;
            } else if (rc == 0) {
                if (at != model.end()) model.erase(at);
                model.push_back(s);
            }
        }
        int rc = 0;
        const std::string got = Get(type, &rc);
        at = std::find_if(model.begin(), model.end(), [&](const Bytes &s) { return s[0] == type; });
        EXPECT_EQ(rc, at != model.end() ? 0 : 9) << step;
        EXPECT_EQ(got, at != model.end() ? qorsim::Hex(*at) : got) << step;
        const auto want = UserAreaImage(model);
        EXPECT_EQ(Area248(), std::vector<uint8_t>(want.begin(), want.begin() + 248)) << step;
        EXPECT_EQ(Cache248(), Area248()) << step;
    }
}

}  // namespace

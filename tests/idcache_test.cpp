// The per-worker connection id cache: hits and misses, the 300-second
// expiry, the recency order it relies on, key identity, the separation of
// workers, and the balanced map under many inserts and removals.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <map>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "quarn_idcache.h"

namespace {

using namespace quarn;

std::atomic<int64_t> fake_now{1000000};
time_t fake_clock() { return static_cast<time_t>(fake_now.load()); }

class IdcacheTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake_now = 1000000;
        idcache_clock = fake_clock;
        idcache_init(0);
    }
    void TearDown() override {
        // Expire everything, which releases every entry of this test.
        fake_now += 1000000;
        idcache_expire();
        EXPECT_EQ(idcache_size(), 0u);
    }
    static bool cached(const char* key) {
        // Refreshes the entry on a hit, like any lookup.
        return idcache_lookup(key) != nullptr;
    }
};

TEST_F(IdcacheTest, MissAddHitAndWriteThroughTheReference) {
    EXPECT_EQ(idcache_lookup("conn_443_10.0.0.2_50000"), nullptr);
    idcache_add("conn_443_10.0.0.2_50000", 3);
    int32_t* seq = idcache_lookup("conn_443_10.0.0.2_50000");
    ASSERT_NE(seq, nullptr);
    EXPECT_EQ(*seq, 3);
    *seq = 4;
    seq = idcache_lookup("conn_443_10.0.0.2_50000");
    ASSERT_NE(seq, nullptr);
    EXPECT_EQ(*seq, 4);
    EXPECT_EQ(idcache_size(), 1u);
}

TEST_F(IdcacheTest, EntryOwnsACopyOfItsKey) {
    char key[] = "conn_443_10.0.0.2_50000";
    idcache_add(key, 7);
    key[0] = 'X';
    EXPECT_EQ(idcache_lookup(key), nullptr);
    int32_t* seq = idcache_lookup("conn_443_10.0.0.2_50000");
    ASSERT_NE(seq, nullptr);
    EXPECT_EQ(*seq, 7);
}

TEST_F(IdcacheTest, ExpiryAtThreeHundredSeconds) {
    struct expiry_case {
        int64_t age;
        bool kept;
    };
    const expiry_case cases[] = {{0, true}, {299, true}, {300, false}, {301, false}, {100000, false}};
    for (const expiry_case& c : cases) {
        SCOPED_TRACE("age " + std::to_string(c.age));
        const int64_t added = fake_now;
        idcache_add("a", 1);
        fake_now = added + c.age;
        idcache_expire();
        EXPECT_EQ(idcache_size(), c.kept ? 1u : 0u);
        // A lookup after expiry misses, so the caller probes from 0 again.
        EXPECT_EQ(cached("a"), c.kept);
        fake_now += 1000;
        idcache_expire();
        ASSERT_EQ(idcache_size(), 0u);
    }
}

TEST_F(IdcacheTest, HitProtectsUntilThreeHundredSecondsAfterIt) {
    const int64_t t0 = fake_now;
    idcache_add("a", 1);
    fake_now = t0 + 200;
    ASSERT_TRUE(cached("a"));
    fake_now = t0 + 200 + 299;
    idcache_expire();
    EXPECT_EQ(idcache_size(), 1u);
    fake_now = t0 + 200 + 300;
    idcache_expire();
    EXPECT_EQ(idcache_size(), 0u);
}

// A, B, C added one second apart; a hit on A moves it behind C. Expiry then
// meets B first, and A only after C, by the time of its refresh.
TEST_F(IdcacheTest, HitMovesEntryToTheYoungEnd) {
    const int64_t t0 = fake_now;
    idcache_add("A", 1);
    fake_now = t0 + 1;
    idcache_add("B", 2);
    fake_now = t0 + 2;
    idcache_add("C", 3);
    fake_now = t0 + 3;
    ASSERT_TRUE(cached("A"));

    fake_now = t0 + 301;  // B is 300 s old, C 299 s, A 298 s
    idcache_expire();
    EXPECT_EQ(idcache_size(), 2u);

    fake_now = t0 + 302;  // C is 300 s old, A 299 s
    idcache_expire();
    EXPECT_EQ(idcache_size(), 1u);
    int32_t* a = idcache_lookup("A");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(*a, 1);
    EXPECT_EQ(idcache_lookup("B"), nullptr);
    EXPECT_EQ(idcache_lookup("C"), nullptr);
}

TEST_F(IdcacheTest, KeysDifferingInCaseOrOneByteAreDistinct) {
    const std::vector<std::string> keys = {
        "conn_443_10.0.0.2_50000", "Conn_443_10.0.0.2_50000", "conn_443_10.0.0.3_50000",
        "conn_443_10.0.0.2_5000",  "conn_443_10.0.0.2_50000x", "conn_443_10.0.0.2_5000\x01",
        "conn_443_10.0.0.2_5000\xc3", "conn_443_10.0.0.2_5000C", "",
    };
    for (size_t i = 0; i < keys.size(); i++) {
        ASSERT_EQ(idcache_lookup(keys[i].c_str()), nullptr) << "key " << i;
        idcache_add(keys[i].c_str(), static_cast<int32_t>(100 + i));
    }
    EXPECT_EQ(idcache_size(), keys.size());
    for (size_t i = 0; i < keys.size(); i++) {
        int32_t* seq = idcache_lookup(keys[i].c_str());
        ASSERT_NE(seq, nullptr) << "key " << i;
        EXPECT_EQ(*seq, static_cast<int32_t>(100 + i)) << "key " << i;
    }
}

TEST_F(IdcacheTest, WorkersDoNotShareEntries) {
    std::barrier sync(2);
    bool w3_missed_own = false, w3_sees_own = false, w5_saw_w3 = true, w5_sees_own = false;
    size_t w3_after_expire = 1, w5_after_expire = 1;

    std::thread w3([&] {
        idcache_init(3);
        w3_missed_own = idcache_lookup("shared_1_a_2") == nullptr;
        idcache_add("shared_1_a_2", 1);
        sync.arrive_and_wait();  // worker 5 looks now
        sync.arrive_and_wait();
        int32_t* seq = idcache_lookup("shared_1_a_2");
        w3_sees_own = seq && *seq == 1 && idcache_size() == 1;
        sync.arrive_and_wait();
        sync.arrive_and_wait();  // the clock has moved on
        idcache_expire();
        w3_after_expire = idcache_size();
    });
    std::thread w5([&] {
        idcache_init(5);
        sync.arrive_and_wait();
        w5_saw_w3 = idcache_lookup("shared_1_a_2") != nullptr;
        idcache_add("shared_1_a_2", 2);
        int32_t* seq = idcache_lookup("shared_1_a_2");
        w5_sees_own = seq && *seq == 2 && idcache_size() == 1;
        sync.arrive_and_wait();  // worker 3 looks now
        sync.arrive_and_wait();
        fake_now += 1000;
        sync.arrive_and_wait();
        idcache_expire();
        w5_after_expire = idcache_size();
    });
    w3.join();
    w5.join();

    EXPECT_TRUE(w3_missed_own);
    EXPECT_FALSE(w5_saw_w3);
    EXPECT_TRUE(w3_sees_own);
    EXPECT_TRUE(w5_sees_own);
    EXPECT_EQ(w3_after_expire, 0u);
    EXPECT_EQ(w5_after_expire, 0u);
    // This thread stays bound to cache 0, which saw neither.
    EXPECT_EQ(idcache_lookup("shared_1_a_2"), nullptr);
}

// 10000 keys inserted in ascending, descending and shuffled order. The
// middle third by key is left unrefreshed, so expiry removes a contiguous
// run from the inside of the tree; every other key must stay findable with
// its own value.
TEST_F(IdcacheTest, ManyEntriesAndRemovalOfAMiddleRun) {
    constexpr int N = 10000;
    std::vector<int> ascending(N);
    for (int i = 0; i < N; i++) ascending[i] = i;
    std::vector<int> descending(ascending.rbegin(), ascending.rend());
    std::vector<int> shuffled = ascending;
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(12345));

    const std::pair<const char*, std::vector<int>*> orders[] = {
        {"ascending", &ascending}, {"descending", &descending}, {"shuffled", &shuffled}};
    auto key = [](int i) {
        char k[32];
        snprintf(k, sizeof k, "id%05d_443_10.0.0.2_5", i);
        return std::string(k);
    };
    auto middle = [](int i) { return i >= N / 3 && i < 2 * N / 3; };

    for (const auto& [name, order] : orders) {
        SCOPED_TRACE(name);
        const int64_t t0 = fake_now;
        for (int i : *order) idcache_add(key(i).c_str(), i);
        ASSERT_EQ(idcache_size(), static_cast<size_t>(N));

        fake_now = t0 + 100;
        for (int i : *order) {
            if (!middle(i)) {
                ASSERT_TRUE(cached(key(i).c_str())) << key(i);
            }
        }
        fake_now = t0 + 300;
        idcache_expire();

        size_t kept = 0;
        for (int i = 0; i < N; i++) {
            int32_t* seq = idcache_lookup(key(i).c_str());
            if (middle(i)) {
                EXPECT_EQ(seq, nullptr) << key(i);
            } else {
                kept++;
                ASSERT_NE(seq, nullptr) << key(i);
                EXPECT_EQ(*seq, i);
            }
        }
        EXPECT_EQ(idcache_size(), kept);

        fake_now = t0 + 1000;
        idcache_expire();
        ASSERT_EQ(idcache_size(), 0u);
    }
}

// Adds, hits, misses and expiries at random against a plain model: the
// cache's index must find every live entry and nothing else while entries
// come and go in the middle of its probe runs (a small pool of keys keeps
// the cache near its smallest index sizes, where runs wrap around).
TEST_F(IdcacheTest, RandomTrafficAgreesWithAModel) {
    struct model_entry {
        int64_t last_used;
        int32_t next_seq;
    };
    std::map<std::string, model_entry> model;
    std::mt19937 rng(777);
    const int64_t t0 = fake_now;
    for (int step = 0; step < 30000; step++) {
        fake_now += static_cast<int64_t>(rng() % 4);
        const std::string key = "c" + std::to_string(rng() % 300) + "_443_10.0.0.2_5";
        if (rng() % 16 == 0) {
            idcache_expire();
            for (auto it = model.begin(); it != model.end();) {
                it = it->second.last_used <= fake_now - IDCACHE_EXPIRE_SECS ? model.erase(it) : std::next(it);
            }
            ASSERT_EQ(idcache_size(), model.size()) << "step " << step;
            continue;
        }
        int32_t* seq = idcache_lookup(key.c_str());
        auto it = model.find(key);
        if (it == model.end()) {
            ASSERT_EQ(seq, nullptr) << key << " at step " << step;
            idcache_add(key.c_str(), step);
            model[key] = {fake_now, step};
        } else {
            ASSERT_NE(seq, nullptr) << key << " at step " << step;
            ASSERT_EQ(*seq, it->second.next_seq);
            *seq = step;
            it->second = {fake_now, step};
        }
    }
    EXPECT_GT(fake_now - t0, 10 * IDCACHE_EXPIRE_SECS);
}

// A burst of connections grows the index; once they expire it shrinks
// again, and the entries that stay are still found.
TEST_F(IdcacheTest, IndexShrinksAfterABurstExpires) {
    auto key = [](int i) { return "burst" + std::to_string(i) + "_443_10.0.0.2_5"; };
    const int64_t t0 = fake_now;
    for (int i = 0; i < 10; i++) idcache_add(key(i).c_str(), i);
    fake_now = t0 + 100;
    for (int i = 10; i < 20000; i++) idcache_add(key(i).c_str(), i);
    const size_t grown = idcache_index_slots();
    EXPECT_GE(grown, 2u * 20000u);
    fake_now = t0 + 200;  // the first ten stay in use, the burst does not
    for (int i = 0; i < 10; i++) ASSERT_NE(idcache_lookup(key(i).c_str()), nullptr);
    fake_now = t0 + 100 + IDCACHE_EXPIRE_SECS;
    idcache_expire();
    ASSERT_EQ(idcache_size(), 10u);
    EXPECT_LE(idcache_index_slots(), 128u);
    EXPECT_GE(idcache_index_slots(), 2u * 10u);
    for (int i = 0; i < 20000; i++) {
        int32_t* seq = idcache_lookup(key(i).c_str());
        if (i < 10) {
            ASSERT_NE(seq, nullptr) << key(i);
            EXPECT_EQ(*seq, i);
        } else {
            ASSERT_EQ(seq, nullptr) << key(i);
        }
    }
}

using IdcacheDeathTest = IdcacheTest;

TEST_F(IdcacheDeathTest, BrokenPromisesFailTheirChecks) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(idcache_init(8), "idx < NUM_THREADS.*idcache_init.*quarn_idcache");
    idcache_add("dup", 1);
    EXPECT_DEATH(idcache_add("dup", 2), "existing == NULL.*idcache_add.*quarn_idcache");
}

}  // namespace

// The timing-engine stand-in, loaded as the engine loads it: its table on
// the virtual clock (exact values, the 32-bit wrap, sleeps that return at
// once), the rate override, a refused table, and the real clock.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "fakes/dvuste_control.h"
#include "kez/time_engine.h"
#include "os/os.h"

namespace {

struct StandIn {
    kez::os::Module m = nullptr;
    const KezTimeEngine *te = nullptr;
    KezGetTimeEngine get = nullptr;
    decltype(&dvuste_use_virtual_clock) use_virtual = nullptr;
    decltype(&dvuste_use_real_clock) use_real = nullptr;
    decltype(&dvuste_advance_ns) advance = nullptr;
    decltype(&dvuste_virtual_ns) virtual_ns = nullptr;
    decltype(&dvuste_set_clock_rate) set_rate = nullptr;
    decltype(&dvuste_refuse_engine) refuse = nullptr;

    template <typename Fn>
    void bind(Fn &fn, const char *name) {
        fn = reinterpret_cast<Fn>(kez::os::module_symbol(m, name));
        ASSERT_NE(fn, nullptr) << name;
    }
    void load() {
        ASSERT_TRUE(kez::os::env_set("KEZ_COMPONENT_PATH", "."));
        m = kez::os::module_load("dvuste.dll");
        ASSERT_NE(m, nullptr);
        bind(get, "GetEngine__BRENNICK");
        bind(use_virtual, "dvuste_use_virtual_clock");
        bind(use_real, "dvuste_use_real_clock");
        bind(advance, "dvuste_advance_ns");
        bind(virtual_ns, "dvuste_virtual_ns");
        bind(set_rate, "dvuste_set_clock_rate");
        bind(refuse, "dvuste_refuse_engine");
        te = get();
        ASSERT_NE(te, nullptr);
    }
    ~StandIn() {
        if (use_real != nullptr) use_real();
        if (m != nullptr) kez::os::module_unload(m);
    }
};

constexpr std::uint64_t kWrapUs = std::uint64_t{1} << 32;

TEST(DvusteStandIn, VirtualClockIsExactAndWraps) {
    StandIn s;
    ASSERT_NO_FATAL_FAILURE(s.load());
    EXPECT_EQ(s.te->size, sizeof(KezTimeEngine));

    s.use_virtual(5'000'000'123);
    EXPECT_EQ(s.te->sleep_us(0), 5'000'000u);
    EXPECT_EQ(s.te->sleep_us(250), 5'000'250u);
    EXPECT_EQ(s.virtual_ns(), 5'000'250'123u);
    EXPECT_EQ(s.te->clock_ns(), 5'000'250'123u);
    s.advance(999);
    EXPECT_EQ(s.te->clock_ns(), 5'000'251'122u);

    // A whole second reads back exactly through the raw reading.
    s.use_virtual(7 * 1'000'000'000ull);
    std::uint64_t raw = 0;
    s.te->read_clock(&raw);
    EXPECT_EQ(s.te->raw_to_us(raw), 7'000'000u);

    // A long virtual sleep returns at once; the 32-bit clock wraps.
    const auto t0 = std::chrono::steady_clock::now();
    s.use_virtual((kWrapUs - 10) * 1000);
    EXPECT_EQ(s.te->sleep_us(25), 15u);
    EXPECT_EQ(s.te->clock_ns(), (kWrapUs + 15) * 1000);
    EXPECT_EQ(s.te->sleep_us(4'000'000'000u), 4'000'000'015u);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));

    // sleep_until: ahead across the wrap, behind by up to 2^31 us at once.
    s.use_virtual((kWrapUs - 10) * 1000 + 400);
    EXPECT_EQ(s.te->sleep_until_us(5), 5u);
    EXPECT_EQ(s.virtual_ns(), (kWrapUs + 5) * 1000);
    EXPECT_EQ(s.te->sleep_until_us(0u - 100u), 5u);
    EXPECT_EQ(s.te->sleep_until_us(5u - 0x80000000u), 5u);
    EXPECT_EQ(s.virtual_ns(), (kWrapUs + 5) * 1000);
    EXPECT_EQ(s.te->sleep_until_us(5u + 0x7fffffffu), 5u + 0x7fffffffu);
    EXPECT_EQ(s.virtual_ns(), (kWrapUs + 5 + 0x7fffffffu) * 1000);

    // The next multiple lies strictly ahead; 0 only reads.
    s.use_virtual(1'000'123'456);
    EXPECT_EQ(s.te->sleep_until_next_multiple_us(1000), 1'001'000u);
    EXPECT_EQ(s.virtual_ns(), 1'001'000'000u);
    EXPECT_EQ(s.te->sleep_until_next_multiple_us(1000), 1'002'000u);
    EXPECT_EQ(s.te->sleep_until_next_multiple_us(0), 1'002'000u);
    EXPECT_EQ(s.te->sleep_until_next_multiple_us(7), 1'002'001u);  // 7 * 143143
    EXPECT_EQ(s.virtual_ns(), 1'002'001'000u);
}

TEST(DvusteStandIn, SleepsFromManyThreadsAddUp) {
    StandIn s;
    ASSERT_NO_FATAL_FAILURE(s.load());
    s.use_virtual(0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 1000; ++i) s.te->sleep_us(3);
        });
    for (auto &th : threads) th.join();
    EXPECT_EQ(s.virtual_ns(), 12'000'000u);
}

TEST(DvusteStandIn, RateOverrideRefusalAndRealClock) {
    StandIn s;
    ASSERT_NO_FATAL_FAILURE(s.load());
    const std::uint64_t rate = s.te->clock_rate();
#if defined(_WIN32)
    EXPECT_GT(rate, 0u);
#else
    EXPECT_EQ(rate, 1'000'000'000u);
#endif
    s.set_rate(0);
    EXPECT_EQ(s.te->clock_rate(), 0u);
    s.set_rate(12345);
    EXPECT_EQ(s.te->clock_rate(), 12345u);
    s.set_rate(DVUSTE_DEFAULT_RATE);
    EXPECT_EQ(s.te->clock_rate(), rate);

    s.refuse(1);
    EXPECT_EQ(s.get(), nullptr);
    s.refuse(0);
    EXPECT_EQ(s.get(), s.te);

    // The real clock: sleep_us(2000) returns at least 2000 us later, and the
    // raw reading agrees with the nanosecond clock.
    s.use_virtual(0);
    s.use_real();
    const std::uint32_t before = s.te->sleep_us(0);
    const std::uint64_t ns0 = s.te->clock_ns();
    const std::uint32_t after = s.te->sleep_us(2000);
    EXPECT_GE(static_cast<std::uint32_t>(after - before), 2000u);
    EXPECT_LT(static_cast<std::uint32_t>(after - before), 2'000'000u);
    EXPECT_GE(s.te->clock_ns() - ns0, 2'000'000u);
    std::uint64_t raw = 0;
    s.te->read_clock(&raw);
    const std::uint64_t us = s.te->raw_to_us(raw);
    const std::uint64_t ns_us = s.te->clock_ns() / 1000;
    EXPECT_LE(us, ns_us);
    EXPECT_LT(ns_us - us, 1'000'000u);
    // Past moments return at once; a target 3 ms ahead is reached.
    const std::uint32_t now = s.te->sleep_us(0);
    EXPECT_LE(static_cast<std::uint32_t>(s.te->sleep_until_us(now - 1000) - now), 1'000'000u);
    EXPECT_LT(static_cast<std::int32_t>(s.te->sleep_until_us(now + 3000) - (now + 3000)), 1'000'000);
    EXPECT_GE(static_cast<std::int32_t>(s.te->sleep_us(0) - (now + 3000)), 0);
    // The next multiple of 5 ms on the 64-bit clock, at the earliest.
    const std::uint64_t from_us = s.te->clock_ns() / 1000;
    const std::uint32_t m = s.te->sleep_until_next_multiple_us(5000);
    const std::uint64_t reached_us = s.te->clock_ns() / 1000;
    EXPECT_GE(reached_us, (from_us / 5000 + 1) * 5000);
    EXPECT_LE(static_cast<std::uint32_t>(reached_us) - m, 1'000'000u);
}

}  // namespace

// The resource disposer: loaded first, then the engine. Every block the
// engine hands out is registered with it together with a release function;
// free unregisters; the disposer's release of a leftover block frees it.
#include <gtest/gtest.h>

#include "os/os.h"

namespace {

using kez::os::Module;

template <typename Fn>
Fn symbol(Module m, const char *name) {
    auto *p = kez::os::module_symbol(m, name);
    EXPECT_NE(p, nullptr) << name;
    return reinterpret_cast<Fn>(p);
}

TEST(HeapDisposer, BlocksAreRegisteredUnregisteredAndReleasable) {
    ASSERT_TRUE(kez::os::env_set("KEZ_COMPONENT_PATH", "."));
    Module disposer = kez::os::module_load("kezresourcedisposer.dll");
    ASSERT_NE(disposer, nullptr);
    Module engine = kez::os::module_load(KEZ_ENGINE_FILE);
    ASSERT_NE(engine, nullptr);

    auto registers = symbol<int (*)()>(disposer, "FakeDisposer_Registers");
    auto unregisters = symbol<int (*)()>(disposer, "FakeDisposer_Unregisters");
    auto count = symbol<int (*)()>(disposer, "FakeDisposer_Count");
    auto is_registered = symbol<int (*)(void *)>(disposer, "FakeDisposer_IsRegistered");
    auto last_unregistered = symbol<void *(*)()>(disposer, "FakeDisposer_LastUnregistered");
    auto release_all = symbol<int (*)()>(disposer, "FakeDisposer_ReleaseAll");
    auto release_one = symbol<int (*)(void *)>(disposer, "FakeDisposer_Release");
    auto user_malloc = symbol<void *(*)(std::size_t)>(engine, KEZ_CLIB_PREFIX "malloc");
    auto user_realloc = symbol<void *(*)(void *, std::size_t)>(engine, KEZ_CLIB_PREFIX "realloc");
    auto user_free = symbol<void (*)(void *)>(engine, KEZ_CLIB_PREFIX "free");

    void *a = user_malloc(10);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(registers(), 1);
    EXPECT_EQ(is_registered(a), 1);
    user_free(a);
    EXPECT_EQ(unregisters(), 1);
    EXPECT_EQ(last_unregistered(), a);
    EXPECT_EQ(count(), 0);

    // realloc: the old block is unregistered, the result registered.
    void *b = user_malloc(20);
    void *moved = user_realloc(b, 5000);
    ASSERT_NE(moved, nullptr);
    EXPECT_EQ(is_registered(b), moved == b ? 1 : 0);
    EXPECT_EQ(is_registered(moved), 1);
    EXPECT_EQ(count(), 1);

    // The disposer reclaims a block the program left: the release function
    // unregisters and frees it, so its memory serves the next request (moved
    // keeps the region alive meanwhile).
    void *c = user_malloc(20);
    EXPECT_EQ(count(), 2);
    const int unregistered = unregisters();
    EXPECT_EQ(release_one(c), 1);
    EXPECT_EQ(count(), 1);
    EXPECT_EQ(unregisters(), unregistered + 1);
    EXPECT_EQ(last_unregistered(), c);
    void *again = user_malloc(20);
    EXPECT_EQ(again, c);
    user_free(again);
    // At program end it releases everything still registered.
    EXPECT_EQ(release_all(), 1);
    EXPECT_EQ(count(), 0);
    EXPECT_EQ(last_unregistered(), moved);

    kez::os::module_unload(engine);
    kez::os::module_unload(disposer);
}

TEST(HeapDisposer, WithoutTheDisposerBlocksStillWork) {
    kez::os::env_set("KEZ_COMPONENT_PATH", "/nonexistent");
    Module engine = kez::os::module_load(KEZ_ENGINE_FILE);
    ASSERT_NE(engine, nullptr);
    auto user_malloc = symbol<void *(*)(std::size_t)>(engine, KEZ_CLIB_PREFIX "malloc");
    auto user_free = symbol<void (*)(void *)>(engine, KEZ_CLIB_PREFIX "free");
    void *a = user_malloc(10);
    void *b = user_malloc(10);
    ASSERT_NE(a, nullptr);
    user_free(a);
    EXPECT_EQ(user_malloc(10), a);
    EXPECT_NE(b, nullptr);
    kez::os::module_unload(engine);  // the block left behind goes with its region
}

}  // namespace

// libFuzzer target over one of the engine's fuzz checks (fuzz_checks.h),
// chosen at build time: KEZ_FUZZ_CHECK names it. The engine is linked
// statically and started here, as a loaded library would be.
#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz/fuzz_checks.h"
#include "os/os.h"

#if !defined(KEZ_FUZZ_CHECK)
#error "KEZ_FUZZ_CHECK names the check to fuzz"
#endif

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    if (!kez::core::on_process_attach(kez::os::module_main())) {
        std::fprintf(stderr, "the engine's start-up chain failed\n");
        __builtin_trap();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string failure = kez::fuzz::KEZ_FUZZ_CHECK(data, size);
    if (!failure.empty()) {
        std::fprintf(stderr, "%s\n", failure.c_str());
        __builtin_trap();
    }
    return 0;
}

// The logger against spdlog's synchronous file sink, same line content:
// time, level, function, file and line, then the message. Also the cost of
// the level test that guards every engine log line when the level is off.
#include <benchmark/benchmark.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include <memory>

#include "kez/kez.h"

namespace {

void BM_KezLogToFile(benchmark::State &state) {
    if (state.thread_index() == 0) SetKezLogReportingLocation(KEZ_LOG_LOCATION_FILE, 1, "bench_kez.log");
    int i = 0;
    for (auto _ : state) WriteKezLogMessage(KEZ_LOG_INFO, 0, nullptr, "bench.c", "BM", 42, "value=%d text=%s", ++i, "abc");
    if (state.thread_index() == 0) SetKezLogReportingLocation(KEZ_LOG_LOCATION_NONE, 0, nullptr);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_KezLogToFile)->Threads(1)->Threads(8)->UseRealTime();

std::shared_ptr<spdlog::logger> spdlog_file_logger() {
    static auto logger = [] {
        auto l = spdlog::basic_logger_mt("bench", "bench_spdlog.log", true);
        l->set_pattern("[%H:%M:%S.%e] [%l] [%!] [%s:%#] %v");
        l->set_level(spdlog::level::info);
        return l;
    }();
    return logger;
}

void BM_SpdlogToFile(benchmark::State &state) {
    auto logger = spdlog_file_logger();
    int i = 0;
    for (auto _ : state)
        logger->log(spdlog::source_loc{"bench.c", 42, "BM"}, spdlog::level::info, "value={} text={}", ++i, "abc");
    if (state.thread_index() == 0) logger->flush();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SpdlogToFile)->Threads(1)->Threads(8)->UseRealTime();

void BM_KezDisabledLevelCheck(benchmark::State &state) {
    for (auto _ : state) {
        if (GetKezLogReportingLevels() & KEZ_LOG_TRACE)
            WriteKezLogMessage(KEZ_LOG_TRACE, 0, nullptr, "bench.c", "BM", 42, "never");
    }
}
BENCHMARK(BM_KezDisabledLevelCheck);

void BM_SpdlogDisabledLevelCheck(benchmark::State &state) {
    auto logger = spdlog_file_logger();
    for (auto _ : state) {
        if (logger->should_log(spdlog::level::trace)) logger->trace("never");
    }
}
BENCHMARK(BM_SpdlogDisabledLevelCheck);

}  // namespace

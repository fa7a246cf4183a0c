// What the printf and scanf benchmarks share (bench_printf.cpp has the
// runner and the ratio table).
#pragma once

#include <cstddef>
#include <vector>

namespace kez::bench {

// Inputs a workload cycles through.
constexpr std::size_t kInputs = 4096;

// Finite doubles of random bits.
std::vector<double> random_doubles(unsigned seed);

}  // namespace kez::bench

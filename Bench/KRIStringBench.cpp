#include <benchmark/benchmark.h>

#include <string>

#include "KRIString.h"

namespace {

const char* const kSixtyFour = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

void BM_KRIStringCopy(benchmark::State& state) {
    const KRIString source(kSixtyFour);
    for (auto _ : state) {
        KRIString copy(source);
        benchmark::DoNotOptimize(copy.c_str());
    }
}
BENCHMARK(BM_KRIStringCopy);

void BM_StdStringCopy(benchmark::State& state) {
    const std::string source(kSixtyFour);
    for (auto _ : state) {
        std::string copy(source);
        benchmark::DoNotOptimize(copy.data());
    }
}
BENCHMARK(BM_StdStringCopy);

// Formatting into a fresh default string: the argument is the output length, so 32 fits the
// first buffer and the longer outputs pay for one or more doublings.
void BM_KRIStringFormat(benchmark::State& state) {
    const std::string text(static_cast<size_t>(state.range(0)), 'x');
    for (auto _ : state) {
        KRIString s;
        benchmark::DoNotOptimize(s.format("%s", text.c_str()));
    }
}
BENCHMARK(BM_KRIStringFormat)->Arg(32)->Arg(64)->Arg(256);

void BM_KRIStringFormatNumbers(benchmark::State& state) {
    KRIString s;
    int i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(s.format("host-%d:%u", ++i, 443u));
    }
}
BENCHMARK(BM_KRIStringFormatNumbers);

}  // namespace

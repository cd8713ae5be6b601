// The tool's hash step against a bare libxcrypt call doing the same bcrypt work.
#include "password_hash.hpp"

#include <benchmark/benchmark.h>
#include <crypt.h>

#include <memory>

namespace {

constexpr const char* password = "correct-horse-battery-staple";

void hash_password_step(benchmark::State& state)
{
    for (auto _ : state) {
        benchmark::DoNotOptimize(credbatch::hash_password(password).data());
    }
}

void bare_crypt_rn(benchmark::State& state)
{
    auto work = std::make_unique<crypt_data>();
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    const char salt[] = "0123456789abcdef";
    crypt_gensalt_rn("$2a$", 10, salt, 16, setting, sizeof setting);
    for (auto _ : state) {
        benchmark::DoNotOptimize(crypt_rn(password, setting, work.get(), sizeof *work));
    }
}

// The known-answer check every run makes before it reads its input.
void self_test(benchmark::State& state)
{
    for (auto _ : state) {
        benchmark::DoNotOptimize(credbatch::computes_known_answer(credbatch::self_test_vector));
    }
}

} // namespace

BENCHMARK(hash_password_step)->Unit(benchmark::kMillisecond);
BENCHMARK(self_test)->Unit(benchmark::kMillisecond);
BENCHMARK(bare_crypt_rn)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();

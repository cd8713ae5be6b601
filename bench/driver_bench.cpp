// The batch driver's own work, with a fake hash: lines parsed, quoted and written per second.
#include "batch.hpp"
#include "credentials.hpp"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>

namespace {

// Reads from text already in memory, as a file's page cache would serve it, 64 KiB a read.
class MemoryInput : public credbatch::ByteSource {
public:
    explicit MemoryInput(const std::string& text) : text_(text) {}

    credbatch::IoResult read(std::span<char> into) override
    {
        const std::size_t count = std::min(into.size(), text_.size() - at_);
        std::copy_n(text_.data() + at_, count, into.data());
        at_ += count;
        return {count, {}};
    }

private:
    const std::string& text_;
    std::size_t at_ = 0;
};

// Takes whatever is written and forgets it, as /dev/null does.
class Discard : public credbatch::ByteSink {
public:
    std::error_code write(std::string_view bytes) override
    {
        benchmark::DoNotOptimize(bytes.data());
        return {};
    }
};

void batch_driver(benchmark::State& state)
{
    const auto lines = static_cast<std::size_t>(state.range(0));
    std::string text = realistic_credentials(lines);
    for (auto _ : state) {
        MemoryInput input(text);
        Discard discard;
        const auto result = credbatch::run_batch(input, discard, discard, fake_hash);
        benchmark::DoNotOptimize(result);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * lines));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

} // namespace

BENCHMARK(batch_driver)->Arg(10'000)->Arg(1'000'000)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();

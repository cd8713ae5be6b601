// The batch driver's own work, with a fake hash: lines parsed, quoted and written per second.
#include "batch.hpp"
#include "credentials.hpp"

#include <benchmark/benchmark.h>

#include <array>
#include <istream>
#include <ostream>

namespace {

// Reads from text already in memory, as a file's page cache would serve it.
class MemoryInput : public std::streambuf {
public:
    explicit MemoryInput(std::string& text) { setg(text.data(), text.data(), text.data() + text.size()); }
};

// Takes whatever is written and forgets it, as /dev/null does, through a real put area.
class Discard : public std::streambuf {
public:
    Discard() { setp(buffer_.data(), buffer_.data() + buffer_.size()); }

protected:
    int_type overflow(int_type ch) override
    {
        setp(buffer_.data(), buffer_.data() + buffer_.size());
        return traits_type::not_eof(ch);
    }
    int sync() override
    {
        setp(buffer_.data(), buffer_.data() + buffer_.size());
        return 0;
    }

private:
    std::array<char, 64 * 1024> buffer_{};
};

void batch_driver(benchmark::State& state)
{
    const auto lines = static_cast<std::size_t>(state.range(0));
    std::string text = realistic_credentials(lines);
    for (auto _ : state) {
        MemoryInput memory(text);
        std::istream input(&memory);
        Discard discard;
        std::ostream output(&discard);
        std::ostream errors(&discard);
        const auto result = credbatch::run_batch(input, output, errors, fake_hash);
        benchmark::DoNotOptimize(result);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * lines));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

} // namespace

BENCHMARK(batch_driver)->Arg(10'000)->Arg(1'000'000)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();

#include "progress.hpp"

#include "memory_io.hpp"

#include <gtest/gtest.h>

#include <vector>


namespace {

using credbatch::BatchProgress;
using namespace std::chrono_literals;

TEST(Progress, DescribesWhatIsDoneAndWhatIsLeft)
{
    struct Case {
        BatchProgress done;
        std::uint64_t input_bytes;
        std::chrono::duration<double> elapsed;
        unsigned columns;
        const char* text;
    };
    const Case cases[] = {
        {{120, 100, 4'500}, 10'000, 5s, 0, "credbatch: 120 lines, 45% of input, 20.0 hashes/s, 0:06 left"},
        {{3, 3, 100}, 1'000'000, 15s, 0, "credbatch: 3 lines, 0% of input, 0.2 hashes/s, 41:39:45 left"},
        {{10, 8, 700}, 0, 1s, 0, "credbatch: 10 lines, 8.0 hashes/s"},
        {{0, 0, 0}, 500, 0s, 0, "credbatch: 0 lines, 0% of input, 0.0 hashes/s"},
        // A narrow terminal: the least useful parts go first, and the last column stays free.
        {{120, 100, 4'500}, 10'000, 5s, 61, "credbatch: 120 lines, 45% of input, 20.0 hashes/s, 0:06 left"},
        {{120, 100, 4'500}, 10'000, 5s, 60, "credbatch: 120 lines, 45% of input, 0:06 left"},
        {{120, 100, 4'500}, 10'000, 5s, 45, "credbatch: 120 lines, 0:06 left"},
        {{120, 100, 4'500}, 10'000, 5s, 31, "120 lines, 0:06 left"},
        {{120, 100, 4'500}, 10'000, 5s, 12, "120 lines, "},
        {{10, 8, 700}, 0, 1s, 19, "10 lines"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(credbatch::describe_progress(c.done, c.input_bytes, c.elapsed, c.columns), c.text) << c.columns;
    }
}

TEST(Progress, DriverReportsEveryLineAndTheBytesTakenUp)
{
    const std::string text = "\xEF\xBB\xBF" "alice pw\n\nbad\x01 pw\nbob pw";
    MemorySource input(text);
    MemorySink out;
    MemorySink err;
    std::vector<BatchProgress> seen;
    credbatch::run_batch(input, out, err, [](std::string_view) { return std::string_view("$h"); },
                         {"\n", [&](const BatchProgress& done) { seen.push_back(done); }});
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0].bytes, 12u);
    EXPECT_EQ(seen[0].statements, 1u);
    EXPECT_EQ(seen[2].lines, 3u);
    EXPECT_EQ(seen[2].statements, 1u);
    EXPECT_EQ(seen[3].bytes, text.size());
    EXPECT_EQ(seen[3].statements, 2u);
}

} // namespace

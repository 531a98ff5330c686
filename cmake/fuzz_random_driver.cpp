// Runs a libFuzzer entry point on seeded pseudo-random inputs, so that every
// fuzz target also runs as an ordinary test under the sanitizer build.
// Usage: <target> [iterations] [seed]
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv)
{
    const unsigned long iterations = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 10000;
    const unsigned long seed = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 20261208;
    std::mt19937 rng(static_cast<std::mt19937::result_type>(seed));
    std::vector<uint8_t> buf;
    for (unsigned long i = 0; i < iterations; ++i) {
        // Mostly short inputs, sometimes long ones; bytes biased towards
        // printable text so text parsers get past their first checks.
        const size_t len = (i % 16 == 0) ? rng() % 9000 : rng() % 300;
        buf.resize(len);
        const bool text = (i % 3) != 0;
        for (auto& b : buf)
            b = text ? static_cast<uint8_t>(" =\n\r:/.0123456789abcvmostAIN"[rng() % 28])
                     : static_cast<uint8_t>(rng());
        LLVMFuzzerTestOneInput(buf.data(), buf.size());
    }
    std::printf("%lu inputs run\n", iterations);
    return 0;
}

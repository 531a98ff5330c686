// Costs of the reference-counted string's common operations: passing by
// value (one pointer copy and one atomic increment), appending into adjusted
// capacity, and hashing.

#include "core/strings/utstring.h"
#include "core/strings/utwidestring.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

UtCString makeText(std::int64_t length)
{
    return UtCString(std::string(static_cast<std::size_t>(length), 'k').c_str());
}

// A function taking a string by value, as every exported signature does.
[[gnu::noinline]] std::uint32_t lengthByValue(UtCString s)
{
    return s.length();
}

void BM_CopyString(benchmark::State& state)
{
    const UtCString source = makeText(state.range(0));
    for (auto _ : state) {
        UtCString copy = source;
        benchmark::DoNotOptimize(copy.chars());
    }
}
BENCHMARK(BM_CopyString)->Arg(8)->Arg(256);

void BM_PassByValue(benchmark::State& state)
{
    const UtCString source = makeText(64);
    for (auto _ : state) {
        benchmark::DoNotOptimize(lengthByValue(source));
    }
}
BENCHMARK(BM_PassByValue);

void BM_CopySharedAcrossThreads(benchmark::State& state)
{
    static const UtCString source = makeText(32);
    for (auto _ : state) {
        UtCString copy = source;
        benchmark::DoNotOptimize(copy.chars());
    }
}
BENCHMARK(BM_CopySharedAcrossThreads)->Threads(1)->Threads(4);

void BM_DeepCopy(benchmark::State& state)
{
    const UtCString source = makeText(state.range(0));
    for (auto _ : state) {
        UtCString copy = source.copy();
        benchmark::DoNotOptimize(copy.chars());
    }
}
BENCHMARK(BM_DeepCopy)->Arg(8)->Arg(256);

void BM_AppendBytes(benchmark::State& state)
{
    const auto count = state.range(0);
    for (auto _ : state) {
        UtCString s;
        for (std::int64_t i = 0; i < count; ++i) {
            s.append("ab");
        }
        benchmark::DoNotOptimize(s.chars());
    }
    state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_AppendBytes)->Arg(16)->Arg(1024);

void BM_AppendRepeated(benchmark::State& state)
{
    for (auto _ : state) {
        UtCString s("x");
        s.appendRepeated('-', 64);
        benchmark::DoNotOptimize(s.chars());
    }
}
BENCHMARK(BM_AppendRepeated);

void BM_Concatenate(benchmark::State& state)
{
    const UtCString name("SessionName");
    for (auto _ : state) {
        UtCString line = name + "=" + "value of the property";
        benchmark::DoNotOptimize(line.chars());
    }
}
BENCHMARK(BM_Concatenate);

void BM_HashExact(benchmark::State& state)
{
    const UtCString text = makeText(state.range(0));
    for (auto _ : state) {
        benchmark::DoNotOptimize(text.hash(UtCString::exact));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_HashExact)->Arg(16)->Arg(1024);

void BM_HashIgnoringCase(benchmark::State& state)
{
    const UtCString text = makeText(state.range(0));
    for (auto _ : state) {
        benchmark::DoNotOptimize(text.hash(UtCString::ignoreCase));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_HashIgnoringCase)->Arg(16)->Arg(1024);

void BM_WideHashExact(benchmark::State& state)
{
    const UtWideString text(std::u16string(static_cast<std::size_t>(state.range(0)), u'k').c_str());
    for (auto _ : state) {
        benchmark::DoNotOptimize(text.hash(UtWideString::exact));
    }
}
BENCHMARK(BM_WideHashExact)->Arg(16)->Arg(1024);

} // namespace

// Pointer list costs: appending at the tail and removing at the head must stay
// constant time (the message queues and packet lists live on them), while
// indexed access and removal of an arbitrary link walk the list.

#include "core/strings/utlist.h"

#include <benchmark/benchmark.h>

#include <vector>

namespace {

// Append n items then drain them from the head: a queue's whole life.
void BM_AppendThenRemoveFirst(benchmark::State& state)
{
    const auto n = static_cast<std::size_t>(state.range(0));
    std::vector<int> items(n);
    UtTPtrSlist<int> list;
    for (auto _ : state) {
        for (int& item : items) {
            list.addAtTail(&item);
        }
        while (int* item = list.removeFirst()) {
            benchmark::DoNotOptimize(item);
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_AppendThenRemoveFirst)->Range(8, 1 << 16);

// One append and one removal on a list that stays n long: should not depend
// on n.
void BM_SteadyQueue(benchmark::State& state)
{
    const auto n = static_cast<std::size_t>(state.range(0));
    std::vector<int> items(n + 1);
    UtTPtrSlist<int> list;
    for (std::size_t i = 0; i < n; ++i) {
        list.addAtTail(&items[i]);
    }
    for (auto _ : state) {
        list.addAtTail(&items[n]);
        benchmark::DoNotOptimize(list.removeFirst());
    }
}
BENCHMARK(BM_SteadyQueue)->Range(8, 1 << 16);

// Removing the last link by identity walks the whole list.
void BM_RemoveLinkAtTheEnd(benchmark::State& state)
{
    const auto n = static_cast<std::size_t>(state.range(0));
    std::vector<UtSlistLink> links(n);
    UtSlistCore list;
    for (UtSlistLink& link : links) {
        list.insertAfter(list.lastLink(), &link);
    }
    UtSlistLink& target = links.back();
    for (auto _ : state) {
        benchmark::DoNotOptimize(list.removeLink(&target));
        list.insertAfter(list.lastLink(), &target);
    }
}
BENCHMARK(BM_RemoveLinkAtTheEnd)->Range(8, 1 << 12);

} // namespace

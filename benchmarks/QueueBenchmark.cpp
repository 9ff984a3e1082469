// Hand-over cost of the bounded blocking queue: one pointer per Put/Take,
// no allocation after construction.
#include <benchmark/benchmark.h>

#include <thread>

#include "framework/ArrayBlockQueue.h"

using Oxbrindale::Velmora::Framework::ArrayBlockQueue;

static void BM_PutTakeSameThread(benchmark::State& state) {
  ArrayBlockQueue<int*> queue(20);
  int item = 0;
  for (auto _ : state) {
    queue.Put(&item);
    benchmark::DoNotOptimize(queue.Take());
  }
}
BENCHMARK(BM_PutTakeSameThread);

static void BM_ProducerConsumer(benchmark::State& state) {
  const int items = 100000;
  for (auto _ : state) {
    ArrayBlockQueue<int*> queue(static_cast<int>(state.range(0)));
    int item = 0;
    std::thread consumer([&] {
      for (int i = 0; i < items; ++i) benchmark::DoNotOptimize(queue.TakeUntilGot());
    });
    for (int i = 0; i < items; ++i) queue.Put(&item);
    consumer.join();
  }
  state.SetItemsProcessed(state.iterations() * items);
}
BENCHMARK(BM_ProducerConsumer)->Arg(20)->Arg(1000)->UseRealTime();

// Throughput of the writer and the reader against printf and scanf, and the memory of
// ten million live two-field records against the same records from malloc.
//
//   build/release/bin/runtime-bench
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench32/io.hpp"
#include "bench32/record.hpp"
#include "bench32/testing.hpp"

namespace {
using namespace b32;

constexpr int kNumbers = 1 << 20;

// A varied mix of magnitudes and signs, as the programs write them.
std::int32_t sample(int i) {
  std::uint32_t x = std::uint32_t(i) * 2654435761u;
  return std::int32_t(x >> (x % 31));
}

void printNumbers(benchmark::State& state) {
  int devNull = open("/dev/null", O_WRONLY);
  testing::resetIo(-1, devNull);
  for (auto _ : state)
    for (int i = 0; i < kNumbers; ++i) print(Int(sample(i)));
  flushOutput();
  testing::resetIo(0, 1);
  close(devNull);
  state.SetItemsProcessed(state.iterations() * kNumbers);
}
BENCHMARK(printNumbers)->Unit(benchmark::kMillisecond);

void printfNumbers(benchmark::State& state) {
  FILE* devNull = std::fopen("/dev/null", "w");
  for (auto _ : state)
    for (int i = 0; i < kNumbers; ++i) std::fprintf(devNull, "%ld ", long(sample(i)));
  std::fclose(devNull);
  state.SetItemsProcessed(state.iterations() * kNumbers);
}
BENCHMARK(printfNumbers)->Unit(benchmark::kMillisecond);

int numbersFile() {
  std::string text;
  char line[16];
  for (int i = 0; i < kNumbers; ++i) {
    std::snprintf(line, sizeof line, "%ld\n", long(sample(i)));
    text += line;
  }
  int fd = memfd_create("numbers", 0);
  if (write(fd, text.data(), text.size()) != ssize_t(text.size())) std::abort();
  return fd;
}

void readNumbers(benchmark::State& state) {
  int fd = numbersFile();
  for (auto _ : state) {
    lseek(fd, 0, SEEK_SET);
    testing::resetIo(fd, 1);
    for (int i = 0; i < kNumbers; ++i) benchmark::DoNotOptimize(read());
  }
  testing::resetIo(0, 1);
  close(fd);
  state.SetItemsProcessed(state.iterations() * kNumbers);
}
BENCHMARK(readNumbers)->Unit(benchmark::kMillisecond);

void scanfNumbers(benchmark::State& state) {
  int fd = numbersFile();
  for (auto _ : state) {
    lseek(fd, 0, SEEK_SET);
    FILE* file = fdopen(dup(fd), "r");
    long value;
    for (int i = 0; i < kNumbers; ++i) benchmark::DoNotOptimize(std::fscanf(file, "%ld", &value));
    std::fclose(file);
  }
  close(fd);
  state.SetItemsProcessed(state.iterations() * kNumbers);
}
BENCHMARK(scanfNumbers)->Unit(benchmark::kMillisecond);

long residentBytes() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident * sysconf(_SC_PAGESIZE);
}

constexpr int kRecords = 10'000'000;

struct Pair {
  Int value;
  Ref<Pair> next;
};

// Peak memory of ten million live records, as bytes per record.
void recordMemory(benchmark::State& state) {
  for (auto _ : state) {
    const long before = residentBytes();
    Ref<Pair> head = nullptr;
    for (int i = 0; i < kRecords; ++i) {
      Ref<Pair> p = newRecord<Pair>();
      p->value = i;
      p->next = head;
      head = p;
    }
    state.counters["bytes_per_record"] = double(residentBytes() - before) / kRecords;
    while (head != nullptr) {
      Ref<Pair> next = head->next;
      release(head);
      head = next;
    }
  }
}
BENCHMARK(recordMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

struct MallocPair {
  std::int32_t value;
  MallocPair* next;
};

void mallocMemory(benchmark::State& state) {
  for (auto _ : state) {
    const long before = residentBytes();
    MallocPair* head = nullptr;
    for (int i = 0; i < kRecords; ++i) {
      auto* p = static_cast<MallocPair*>(std::malloc(sizeof(MallocPair)));
      p->value = i;
      p->next = head;
      head = p;
    }
    state.counters["bytes_per_record"] = double(residentBytes() - before) / kRecords;
    while (head != nullptr) {
      MallocPair* next = head->next;
      std::free(head);
      head = next;
    }
  }
}
BENCHMARK(mallocMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
  heap::reserve();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
}

#pragma once
// Counts the heap bytes the program holds through operator new, and the
// peak since the last reset: the benchmarks' proof that images are mapped,
// never copied.
#include <cstddef>

namespace orvane::bench {

void ResetPeakHeap();
std::size_t CurrentHeapBytes();
std::size_t PeakHeapBytes();
// The process's peak resident set size, in bytes.
std::size_t PeakResidentBytes();

}  // namespace orvane::bench

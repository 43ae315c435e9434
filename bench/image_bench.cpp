// Image validation against its limits, on the same bytes: a plain pass over
// memory, the bare CRC loop that validation cannot avoid (over a kept view
// and over one taken afresh with its frozen copy, as LoadImage takes its
// file), and
// the byte-at-a-time table loop that the sliced CRC replaces. Also the heap that validation takes, for two image sizes.
#include <benchmark/benchmark.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

#include "alloc_counter.h"
#include "catalogue/firmware_image.h"
#include "catalogue/image_builder.h"
#include "diag/framing.h"
#include "platform/file_mapping.h"

namespace {

using orvane::CFirmwareImage;

// A firmware image of `mib` MiB in two units, written once per process.
std::string ImageFile(std::size_t mib) {
  const auto path = std::filesystem::temp_directory_path() / ("orvane-bench-fw-" + std::to_string(mib) + ".bin");
  if (std::filesystem::exists(path)) return path.string();
  orvane::ImagePlan plan;
  plan.type = orvane::IMAGE_FIRMWARE;
  plan.version = "11.608.13.02.00";
  const std::size_t total = mib << 20;
  std::uint32_t x = 12345;
  for (const std::size_t size : {total / 4 * 3, total / 4}) {
    orvane::ImageUnitPlan unit;
    unit.data.resize(size);
    for (auto& b : unit.data) b = static_cast<std::uint8_t>((x = x * 1103515245u + 12345u) >> 16);
    plan.units.push_back(std::move(unit));
  }
  std::vector<std::uint8_t> bytes;
  std::string error;
  if (!orvane::BuildImage(plan, bytes, error)) throw std::runtime_error(error);
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
  return path.string();
}

void BM_ValidateImage(benchmark::State& state) {
  const std::string path = ImageFile(static_cast<std::size_t>(state.range(0)));
  std::size_t size = 0;
  for (auto _ : state) {
    CFirmwareImage image;
    image.SetPath(path);
    if (!image.LoadImage()) state.SkipWithError(image.FailureReason().c_str());
    size = image.ViewSize();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

// The CRC of every byte once, over a kept view: what validation must do.
void BM_BareCrc(benchmark::State& state) {
  orvane::platform::MappedFile file;
  file.Map(ImageFile(static_cast<std::size_t>(state.range(0))));
  for (auto _ : state) benchmark::DoNotOptimize(orvane::Crc16(file.Data(), file.Size()));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * file.Size()));
}

// The CRC a byte at a time through the 256-entry table (one dependent
// look-up per byte): what Crc16's slicing is measured against.
void BM_ByteTableCrc(benchmark::State& state) {
  orvane::platform::MappedFile file;
  file.Map(ImageFile(static_cast<std::size_t>(state.range(0))));
  for (auto _ : state) {
    std::uint16_t reg = orvane::CRC_INIT;
    for (std::size_t i = 0; i < file.Size(); ++i) reg = orvane::CrcUpdate(reg, file.Data()[i]);
    benchmark::DoNotOptimize(reg);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * file.Size()));
}

// The same loop over a view taken afresh for each pass, as every LoadImage
// takes its file: what the frozen copy and the first touch of its pages add.
void BM_FreshMapCrc(benchmark::State& state) {
  const std::string path = ImageFile(static_cast<std::size_t>(state.range(0)));
  std::size_t size = 0;
  for (auto _ : state) {
    orvane::platform::MappedFile file;
    file.Map(path);
    benchmark::DoNotOptimize(orvane::Crc16(file.Data(), file.Size()));
    size = file.Size();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

// A plain pass over the same mapped bytes: the memory's limit.
void BM_PlainPass(benchmark::State& state) {
  orvane::platform::MappedFile file;
  file.Map(ImageFile(static_cast<std::size_t>(state.range(0))));
  for (auto _ : state) {
    std::uint64_t sum = 0;
    const std::size_t words = file.Size() / 8;
    for (std::size_t i = 0; i < words; ++i) {
      std::uint64_t w;
      std::memcpy(&w, file.Data() + 8 * i, 8);
      sum += w;
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * file.Size()));
}

// Heap growth while validating: must not depend on the image's size.
void BM_ValidationHeap(benchmark::State& state) {
  const std::string path = ImageFile(static_cast<std::size_t>(state.range(0)));
  std::size_t growth = 0;
  for (auto _ : state) {
    const std::size_t before = orvane::bench::CurrentHeapBytes();
    orvane::bench::ResetPeakHeap();
    {
      CFirmwareImage image;
      image.SetPath(path);
      image.LoadImage();
    }
    growth = orvane::bench::PeakHeapBytes() - before;
  }
  state.counters["peak_heap_growth_bytes"] = static_cast<double>(growth);
  state.counters["peak_rss_bytes"] = static_cast<double>(orvane::bench::PeakResidentBytes());
}

BENCHMARK(BM_ValidateImage)->Arg(64)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_BareCrc)->Arg(64)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_ByteTableCrc)->Arg(64)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_FreshMapCrc)->Arg(64)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_PlainPass)->Arg(64)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_ValidationHeap)->Arg(16)->Arg(64)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

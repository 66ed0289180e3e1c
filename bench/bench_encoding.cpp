// Throughput of the encoders: Base64 of a 100 MiB file and of 100 MiB in
// memory (and 256 KiB), ISO-2022-JP conversion of 1 MiB of Japanese text.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "encoding/jis_convert.hpp"
#include "platform/posix/work_folder.hpp"

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kBigSize = 100u << 20;

std::string RandomBytes(std::size_t n, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::string bytes(n, '\0');
  for (std::size_t i = 0; i + 8 <= n; i += 8) {
    const std::uint64_t v = rng();
    std::memcpy(bytes.data() + i, &v, 8);
  }
  return bytes;
}

// A 100 MiB file of random bytes, written once and reused by later runs.
fs::path BigFile() {
  const fs::path path = fs::temp_directory_path() / "tolvex_bench_100MiB.bin";
  std::error_code ec;
  if (fs::file_size(path, ec) != kBigSize || ec) {
    const std::string bytes = RandomBytes(kBigSize, 1);
    std::ofstream(path, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  return path;
}

// About 1 MiB of lines mixing kanji, hiragana, katakana, half-width
// katakana and ASCII, each ended by CR LF.
std::string JapaneseText() {
  std::mt19937 rng(3);
  std::string text;
  text.reserve((1u << 20) + 256);
  auto put2 = [&](int s1, int s2) {
    text.push_back(static_cast<char>(s1));
    text.push_back(static_cast<char>(s2));
  };
  while (text.size() < (1u << 20)) {
    const int chars = 20 + static_cast<int>(rng() % 30);
    for (int i = 0; i < chars; ++i) {
      const unsigned kind = rng() % 10;
      if (kind < 5) {  // kanji, lead bytes 88-9F and E0-EA
        int s1 = 0x89 + static_cast<int>(rng() % 22);
        if (rng() % 4 == 0) s1 = 0xE0 + static_cast<int>(rng() % 10);
        int s2 = 0x40 + static_cast<int>(rng() % 188);
        if (s2 >= 0x7F) ++s2;
        put2(s1, s2);
      } else if (kind < 8) {  // hiragana
        put2(0x82, 0x9F + static_cast<int>(rng() % 83));
      } else if (kind < 9) {  // katakana
        put2(0x83, 0x40 + static_cast<int>(rng() % 0x3F));
      } else {  // an ASCII word or half-width katakana
        for (int k = 0; k < 4; ++k)
          text.push_back(static_cast<char>(rng() % 2 ? 'a' + rng() % 26 : 0xB1 + rng() % 40));
      }
    }
    text += "\r\n";
  }
  return text;
}

// The whole-file encoder, reading the file through the work folder in
// blocks of whole lines.
void BM_EncodeFileBase64(benchmark::State& state) {
  const fs::path path = BigFile();
  tolvex::posix::PosixWorkFolder folder(path.parent_path());
  std::string out;
  for (auto _ : state) {
    tolvex::IoError error;
    auto file = folder.OpenRead(path.filename().string(), error);
    if (!file) {
      state.SkipWithError(error->c_str());
      break;
    }
    if (tolvex::IoError failed = tolvex::EncodeFileBase64(*file, out)) {
      state.SkipWithError(failed->c_str());
      break;
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(kBigSize));
}

// The spool writer's step: one block of whole lines encoded into a buffer
// that is reused. The argument is the block size; the composer reads
// blocks of 54 x 19418 bytes (about 1 MiB).
void BM_WriteBase64Lines(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0)) / 54 * 54;
  const std::string bytes = RandomBytes(n, 3);
  std::vector<char> out(tolvex::Base64LinesLength(n));
  for (auto _ : state) {
    benchmark::DoNotOptimize(tolvex::WriteBase64Lines(bytes.data(), n, out.data()));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(n));
}

// The argument is the input size: 100 MiB as required, 256 KiB to see the
// encoder's own speed with input and output in the cache.
void BM_AppendBase64Lines(benchmark::State& state) {
  const std::string bytes = RandomBytes(static_cast<std::size_t>(state.range(0)), 2);
  std::string out;
  out.reserve(tolvex::Base64LinesLength(bytes.size()));
  for (auto _ : state) {
    out.clear();
    tolvex::AppendBase64Lines(bytes, out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(bytes.size()));
}

void BM_SjisToJis(benchmark::State& state) {
  const std::string text = JapaneseText();
  for (auto _ : state) {
    std::string out = tolvex::SjisToJis(text);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(text.size()));
}

BENCHMARK(BM_EncodeFileBase64)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_WriteBase64Lines)
    ->Arg(64 << 10)
    ->Arg(256 << 10)
    ->Arg(54 * 19418)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AppendBase64Lines)->Arg(kBigSize)->Arg(256 << 10)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SjisToJis)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();

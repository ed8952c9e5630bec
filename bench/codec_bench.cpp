// Art-Net codec cost per packet: decoding what the input receives and
// encoding what each output sends every tick.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <numeric>

#include "artnet/ArtNetPacket.h"

namespace {

using pallador::ArtDmxMaxPacket;

// A 530-byte ArtDmx for universe 3, as a console sends it.
std::array<std::uint8_t, ArtDmxMaxPacket> MakeArtDmx() {
  std::array<std::uint8_t, 512> levels{};
  std::iota(levels.begin(), levels.end(), std::uint8_t{0});
  std::array<std::uint8_t, ArtDmxMaxPacket> packet{};
  pallador::EncodeArtDmx(3, levels, 512, packet);
  return packet;
}

void BM_DecodeArtDmx530(benchmark::State& State) {
  // The endpoint's 8481-byte receive buffer holding one 530-byte datagram.
  std::array<std::uint8_t, 8481> buffer{};
  const auto packet = MakeArtDmx();
  std::copy_n(packet.begin(), 530, buffer.begin());
  std::size_t count = 530;
  for (auto _ : State) {
    benchmark::DoNotOptimize(count);
    const pallador::ArtNetDatagram d =
        pallador::DecodeArtNet(std::span<const std::uint8_t>(buffer.data(), count));
    benchmark::DoNotOptimize(d);
  }
}
BENCHMARK(BM_DecodeArtDmx530);

void BM_EncodeArtDmx512(benchmark::State& State) {
  std::array<std::uint8_t, 512> frame{};
  std::iota(frame.begin(), frame.end(), std::uint8_t{1});
  std::array<std::uint8_t, ArtDmxMaxPacket> out{};
  for (auto _ : State) {
    benchmark::DoNotOptimize(frame.data());
    const std::size_t size = pallador::EncodeArtDmx(3, frame, 512, out);
    benchmark::DoNotOptimize(size);
    benchmark::ClobberMemory();
  }
  State.SetBytesProcessed(static_cast<std::int64_t>(State.iterations()) * 530);
}
BENCHMARK(BM_EncodeArtDmx512);

}  // namespace

BENCHMARK_MAIN();

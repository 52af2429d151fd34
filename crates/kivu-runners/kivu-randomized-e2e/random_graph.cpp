#include "random_graph.hpp"

#include <algorithm>
#include <cstring>
#include <set>

#include "kivu_runtime/board_constants.hpp"

namespace kivu_randomized_e2e {

namespace {

__extension__ using Wide = unsigned __int128;

// wyrand: a small, fast generator whose whole state is one 64-bit word.
class Generator {
public:
  explicit Generator(std::uint64_t seed) : state_(seed) {}

  std::uint64_t next() {
    state_ += 0x2d358dccaa6c78a5u;
    const Wide product = static_cast<Wide>(state_) * (state_ ^ 0x8bb84b93962eacc9u);
    return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
  }

  // A number from `low` to `high`, both included (high - low well below
  // 2^32, so the multiply-shift's bias is negligible and fixed per seed).
  std::uint32_t between(std::uint32_t low, std::uint32_t high) {
    const std::uint64_t span = std::uint64_t{high} - low + 1;
    return low + static_cast<std::uint32_t>(((next() & 0xffffffffu) * span) >> 32);
  }

private:
  std::uint64_t state_;
};

struct Range {
  std::uint32_t start;
  std::uint32_t end;
};

bool overlaps(const std::vector<Range>& taken, Range range) {
  return std::ranges::any_of(taken,
                             [&](const Range& other) { return range.start < other.end && other.start < range.end; });
}

}  // namespace

RandomGraph generate_graph(std::uint64_t seed) {
  Generator random(seed);
  RandomGraph graph{.seed = seed};

  std::set<std::uint16_t> chosen;
  const std::uint32_t tile_target = random.between(16, 191);
  while (chosen.size() < tile_target) {
    chosen.insert(static_cast<std::uint16_t>(random.between(0, kivu_runtime::tile_count - 1u)));
  }
  graph.tiles.assign(chosen.begin(), chosen.end());
  const auto any_tile = [&] {
    return graph.tiles[random.between(0, static_cast<std::uint32_t>(graph.tiles.size() - 1))];
  };

  const std::uint32_t phase_count = random.between(3, 6);
  for (std::uint32_t p = 0; p < phase_count; ++p) {
    kivu_runtime::ExchangePhase phase{.operation = "exchange", .kernel = "random phase " + std::to_string(p)};
    std::map<std::uint16_t, std::vector<Range>> written;
    const std::uint32_t transfer_count = random.between(4, 47);
    for (std::uint32_t t = 0; t < transfer_count; ++t) {
      kivu_runtime::Transfer transfer;
      transfer.source = any_tile();
      transfer.size = random.between(0, 7) == 0 ? random.between(1, 1024) : random.between(1, 256);
      transfer.source_address = window_address + random.between(0, window_bytes - transfer.size);
      const std::uint32_t receiver_count = random.between(1, 6);
      for (std::uint32_t r = 0; r < receiver_count; ++r) {
        const std::uint16_t tile = any_tile();
        if (std::ranges::any_of(transfer.receivers, [&](const auto& receiver) { return receiver.tile == tile; })) {
          continue;
        }
        for (int attempt = 0; attempt < 8; ++attempt) {
          const std::uint32_t offset = random.between(0, window_bytes - transfer.size);
          const Range range{offset, offset + transfer.size};
          if (overlaps(written[tile], range)) continue;
          written[tile].push_back(range);
          transfer.receivers.push_back({.tile = tile, .address = window_address + offset});
          break;
        }
      }
      if (!transfer.receivers.empty()) phase.transfers.push_back(std::move(transfer));
    }
    if (!phase.transfers.empty()) graph.phases.push_back(std::move(phase));
  }
  return graph;
}

void apply(const kivu_runtime::ExchangePhase& phase, Windows& windows) {
  std::vector<std::vector<std::byte>> snapshots;
  for (const kivu_runtime::Transfer& transfer : phase.transfers) {
    const auto& source = windows.at(transfer.source);
    const auto from = source.begin() + (transfer.source_address - window_address);
    snapshots.emplace_back(from, from + transfer.size);
  }
  for (std::size_t t = 0; t < phase.transfers.size(); ++t) {
    for (const kivu_runtime::Receiver& receiver : phase.transfers[t].receivers) {
      std::ranges::copy(snapshots[t], windows.at(receiver.tile).begin() + (receiver.address - window_address));
    }
  }
}

std::uint64_t fingerprint(const RandomGraph& graph) {
  std::uint64_t hash = 0xcbf29ce484222325u;
  const auto mix = [&](std::uint64_t value) {
    for (int i = 0; i < 8; ++i) {
      hash ^= (value >> (8 * i)) & 0xffu;
      hash *= 0x100000001b3u;
    }
  };
  mix(graph.seed);
  for (const std::uint16_t tile : graph.tiles) mix(tile);
  for (const kivu_runtime::ExchangePhase& phase : graph.phases) {
    mix(phase.transfers.size());
    for (const kivu_runtime::Transfer& transfer : phase.transfers) {
      mix(transfer.source);
      mix(transfer.source_address);
      mix(transfer.size);
      for (const kivu_runtime::Receiver& receiver : transfer.receivers) {
        mix(receiver.tile);
        mix(receiver.address);
      }
    }
  }
  return hash;
}

}  // namespace kivu_randomized_e2e

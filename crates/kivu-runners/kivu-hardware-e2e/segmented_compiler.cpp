#include "segmented_compiler.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <string>

#include "kivu_base/expected.hpp"
#include "kivu_runtime/board_constants.hpp"

namespace kivu_hardware_e2e {

namespace {

// Bump allocation through one tile's arenas, in order.
class TileAllocator {
public:
  explicit TileAllocator(const SramLayout* layout) : layout_(layout) {}

  // Allocates `elements` elements; each piece is (address, elements).
  // Nothing when the arenas are exhausted.
  std::optional<std::vector<std::pair<std::uint32_t, std::uint32_t>>> allocate(std::uint32_t elements) {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> pieces;
    while (elements > 0) {
      if (arena_ >= layout_->arenas.size()) return std::nullopt;
      const Arena& arena = layout_->arenas[arena_];
      const std::uint32_t room = (arena.size - used_) / element_bytes;
      if (room == 0) {
        ++arena_;
        used_ = 0;
        continue;
      }
      const std::uint32_t take = std::min(room, elements);
      pieces.emplace_back(arena.base + used_, take);
      used_ += take * element_bytes;
      elements -= take;
    }
    return pieces;
  }

private:
  const SramLayout* layout_;
  std::size_t arena_ = 0;
  std::uint32_t used_ = 0;
};

std::expected<void, CompileError> check_layout(const SramLayout& layout) {
  if (layout.arenas.empty()) return std::unexpected(CompileError{"the layout has no arenas"});
  std::vector<Arena> sorted = layout.arenas;
  std::ranges::sort(sorted, {}, &Arena::base);
  for (std::size_t i = 0; i < sorted.size(); ++i) {
    const Arena& arena = sorted[i];
    if (arena.size == 0 || arena.size % element_bytes != 0 || arena.base % element_bytes != 0 ||
        std::uint64_t{arena.base} + arena.size > kivu_runtime::tile_sram_bytes) {
      return std::unexpected(
          CompileError{"arena at " + std::to_string(arena.base) + " is empty, not element-aligned or outside SRAM"});
    }
    if (i > 0 && std::uint64_t{sorted[i - 1].base} + sorted[i - 1].size > arena.base) {
      return std::unexpected(CompileError{"arenas at " + std::to_string(sorted[i - 1].base) + " and " +
                                          std::to_string(arena.base) + " overlap"});
    }
  }
  return {};
}

// The element range of shard `shard`.
struct ShardRange {
  std::uint32_t first;
  std::uint32_t count;
};

// Allocates every shard of a tensor; shard i goes on tile (i + offset) % tiles.
std::expected<TensorPlacement, CompileError> place(std::string name, const AddProblem& problem,
                                                   const std::vector<ShardRange>& shards, std::uint16_t offset,
                                                   std::vector<TileAllocator>& allocators) {
  TensorPlacement placement{.name = std::move(name), .elements = problem.elements};
  for (std::size_t i = 0; i < shards.size(); ++i) {
    const auto tile = static_cast<std::uint16_t>((i + offset) % problem.tiles);
    auto pieces = allocators[tile].allocate(shards[i].count);
    if (!pieces) {
      return std::unexpected(CompileError{"tile " + std::to_string(tile) + " is out of arena space allocating " +
                                          std::to_string(shards[i].count * element_bytes) + " bytes of " +
                                          placement.name});
    }
    std::uint32_t element = shards[i].first;
    for (const auto& [address, count] : *pieces) {
      placement.segments.push_back(Segment{tile, address, element, count});
      element += count;
    }
    ++placement.shards;
    if (pieces->size() > 1) ++placement.shards_spanning_arenas;
  }
  return placement;
}

// Walks N segment lists that cover the same elements in the same order and
// calls `piece` with every maximal piece that is contiguous in all of them:
// an array of N segments, one per list, each narrowed to the piece.
template <std::size_t N, typename Piece>
void zip_segments(const std::array<const std::vector<Segment>*, N>& lists, Piece piece) {
  std::array<std::size_t, N> index{};
  std::array<std::uint32_t, N> done{};
  const auto more = [&] {
    for (std::size_t k = 0; k < N; ++k) {
      if (index[k] >= lists[k]->size()) return false;
    }
    return true;
  };
  while (more()) {
    std::uint32_t count = UINT32_MAX;
    for (std::size_t k = 0; k < N; ++k) count = std::min(count, (*lists[k])[index[k]].elements - done[k]);
    std::array<Segment, N> narrowed;
    for (std::size_t k = 0; k < N; ++k) {
      const Segment& whole = (*lists[k])[index[k]];
      narrowed[k] = Segment{whole.tile, whole.address + done[k] * element_bytes, whole.first_element + done[k], count};
      done[k] += count;
      if (done[k] == whole.elements) {
        ++index[k];
        done[k] = 0;
      }
    }
    piece(narrowed);
  }
}

}  // namespace

SramLayout segmented_layout() {
  // Uneven sizes (multiples of 4 bytes) so that shards of 100 elements
  // cross arena ends at different places on their way through.
  constexpr std::uint32_t sizes[] = {0x100, 0x180, 0xc0, 0x200, 0x140, 0x100, 0x1c0, 0x200};
  SramLayout layout;
  std::uint32_t base = 0x20000;
  for (const std::uint32_t size : sizes) {
    layout.arenas.push_back(Arena{base, size});
    base += 0x1000;  // a gap after every arena
  }
  return layout;
}

std::expected<Program, CompileError> compile_elementwise_add(const AddProblem& problem) {
  if (problem.elements == 0 || problem.tiles == 0 || problem.tiles > kivu_runtime::tile_count) {
    return std::unexpected(CompileError{"an add needs at least one element and 1 to 1472 tiles"});
  }
  KIVU_RETURN_IF_ERROR(check_layout(problem.layout));

  const auto per_tile = static_cast<std::uint32_t>((std::uint64_t{problem.elements} + problem.tiles - 1u) /
                                                   problem.tiles);
  std::vector<ShardRange> shards;
  for (std::uint64_t first = 0; first < problem.elements; first += per_tile) {
    const auto start = static_cast<std::uint32_t>(first);
    shards.push_back(ShardRange{start, std::min(per_tile, problem.elements - start)});
  }

  std::vector<TileAllocator> allocators(problem.tiles, TileAllocator(&problem.layout));
  Program program;
  KIVU_ASSIGN_OR_RETURN(program.a, place("a", problem, shards, 0, allocators));
  KIVU_ASSIGN_OR_RETURN(program.b, place("b", problem, shards, problem.b_tile_offset % problem.tiles, allocators));
  const bool staging = problem.b_tile_offset % problem.tiles != 0;
  if (staging) {
    KIVU_ASSIGN_OR_RETURN(program.staged_b, place("staged b", problem, shards, 0, allocators));
  }
  KIVU_ASSIGN_OR_RETURN(program.out, place("out", problem, shards, 0, allocators));

  program.a_loads = program.a.segments;
  program.b_loads = program.b.segments;
  program.out_stores = program.out.segments;

  const TensorPlacement& b_beside_a = staging ? program.staged_b : program.b;
  if (staging) {
    kivu_runtime::ExchangePhase phase{.operation = "exchange", .kernel = "stage b beside a"};
    zip_segments<2>({&program.b.segments, &program.staged_b.segments}, [&](const std::array<Segment, 2>& piece) {
      phase.transfers.push_back(
          kivu_runtime::Transfer{.source = piece[0].tile,
                                 .source_address = piece[0].address,
                                 .size = piece[0].elements * element_bytes,
                                 .receivers = {{.tile = piece[1].tile, .address = piece[1].address}}});
    });
    program.exchanges.push_back(std::move(phase));
  }

  // Add runs: pieces contiguous in a, b beside a and out, all on one tile.
  zip_segments<3>({&program.a.segments, &b_beside_a.segments, &program.out.segments},
                  [&](const std::array<Segment, 3>& piece) {
                    program.runs[piece[2].tile].push_back(
                        AddRun{piece[0].address, piece[1].address, piece[2].address, piece[2].elements});
                  });
  program.add = kivu_runtime::ComputeStep{.operation = "compute", .kernel = "elementwise add"};
  for (const auto& [tile, runs] : program.runs) program.add.tiles.push_back(tile);
  return program;
}

}  // namespace kivu_hardware_e2e

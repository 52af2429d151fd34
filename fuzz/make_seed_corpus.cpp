// Writes the fuzz target's seed corpus into the directory given as the only
// argument: small valid profiles from the writer, and malformed variants of
// them made by patching known bytes (versions 0 and 4, step kind 4, invalid
// UTF-8, a text without its NUL, truncations, trailing bytes).
//
//   make_seed_corpus fuzz/corpus
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "kivu_package.hpp"

namespace {

using namespace kivu_package;

constexpr std::uint32_t kMarkerIndex = 0x5eed1234;

ProfileReport sample_report(std::uint32_t tiles, std::uint32_t samples, bool metadata) {
  static constexpr ProfileStepKind kinds[] = {ProfileStepKind::Compute, ProfileStepKind::Exchange,
                                              ProfileStepKind::Synchronization, ProfileStepKind::Idle};
  ProfileReport report{1'850'000'000, {}};
  for (std::uint32_t t = 0; t < tiles; ++t) {
    TileProfile tile{t * 3, {}};
    for (std::uint32_t s = 0; s < samples; ++s) {
      CycleSample sample;
      sample.step.local_index = (t == 0 && s == 0) ? kMarkerIndex : s;
      sample.step.phase = s;
      sample.step.epoch = s / 2;
      sample.step.kind = kinds[(t + s) % 4];
      sample.step.operation = (t == 0 && s == 0) ? "OPMARK" : "exchange";
      sample.step.kernel = "mac";
      if (metadata) sample.step.metadata = {{"bytes", "4096"}, {"note", "BADTEXT"}};
      sample.start_cycle = s * 100;
      sample.end_cycle = s * 100 + 90;
      tile.samples.push_back(std::move(sample));
    }
    report.tiles.push_back(std::move(tile));
  }
  return report;
}

bool write_file(const std::filesystem::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

// Offset of the first occurrence of `needle` in `bytes`, or npos.
std::size_t find(const std::string& bytes, std::string_view needle) { return bytes.find(needle); }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
    return 2;
  }
  const std::filesystem::path dir(argv[1]);
  std::filesystem::create_directories(dir);
  int written = 0;
  auto emit = [&](const std::string& name, const std::string& bytes) {
    if (!write_file(dir / name, bytes)) {
      std::fprintf(stderr, "cannot write %s\n", (dir / name).c_str());
      std::exit(1);
    }
    ++written;
  };

  const struct {
    const char* name;
    std::uint32_t tiles, samples;
    bool metadata;
  } shapes[] = {{"valid-empty", 0, 0, false},
                {"valid-one-tile-no-samples", 1, 0, false},
                {"valid-2x3", 2, 3, false},
                {"valid-2x3-metadata", 2, 3, true},
                {"valid-8x4-metadata", 8, 4, true}};
  std::string base;
  for (const auto& shape : shapes) {
    auto bytes = encode_profile(sample_report(shape.tiles, shape.samples, shape.metadata));
    if (!bytes) {
      std::fprintf(stderr, "cannot encode %s\n", shape.name);
      return 1;
    }
    emit(std::string(shape.name) + ".capnp", *bytes);
    if (shape.metadata && shape.tiles == 2) base = *bytes;
  }

  // Single-segment framing: 8 bytes of table, root pointer, root struct.
  const std::size_t root_struct = 16;
  for (const std::uint32_t version : {0u, 1u, 2u, 4u}) {
    auto bytes = base;
    std::memcpy(bytes.data() + root_struct, &version, sizeof version);
    emit("version-" + std::to_string(version) + ".capnp", bytes);
  }

  const std::uint32_t marker = kMarkerIndex;
  if (const auto at = find(base, std::string_view(reinterpret_cast<const char*>(&marker), 4));
      at != std::string::npos) {
    auto bytes = base;
    const std::uint16_t kind = 4;
    std::memcpy(bytes.data() + at + 12, &kind, sizeof kind);
    emit("kind-4.capnp", bytes);
  }
  if (const auto at = find(base, "OPMARK"); at != std::string::npos) {
    auto bytes = base;
    bytes[at + 6] = 'x';  // the NUL that ends the text
    emit("text-without-nul.capnp", bytes);
    bytes = base;
    bytes[at + 1] = static_cast<char>(0xc3);
    bytes[at + 2] = static_cast<char>(0x28);
    emit("operation-invalid-utf8.capnp", bytes);
  }
  if (const auto at = base.rfind("BADTEXT"); at != std::string::npos) {
    auto bytes = base;
    bytes[at + 3] = static_cast<char>(0xed);
    bytes[at + 4] = static_cast<char>(0xa0);
    bytes[at + 5] = static_cast<char>(0x80);  // an encoded surrogate
    emit("metadata-value-surrogate.capnp", bytes);
  }
  for (const std::size_t keep : {std::size_t{3}, std::size_t{8}, std::size_t{20}, base.size() / 2, base.size() - 1}) {
    emit("truncated-" + std::to_string(keep) + ".capnp", base.substr(0, std::min(keep, base.size())));
  }
  emit("trailing-bytes.capnp", base + std::string(24, '\x7f'));
  // A table claiming far more than the file holds.
  emit("segment-claims-2-31-words.capnp", std::string("\0\0\0\0\0\0\0\x80\0\0\0\0\0\0\0\0", 16));

  std::printf("wrote %d seeds to %s\n", written, dir.c_str());
  return 0;
}

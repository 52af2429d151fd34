#include "trace.hpp"

#include "profile_stats.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <ostream>
#include <vector>

namespace kivu_profile {

using kivu_package::CycleSample;
using kivu_package::ProfileReport;
using nlohmann::json;

namespace {

// Writes `value` compactly; invalid UTF-8 (impossible in a decoded profile,
// possible in a hand-built report) becomes U+FFFD instead of an exception.
void write_json(std::ostream& out, const json& value) {
  out << value.dump(-1, ' ', false, json::error_handler_t::replace);
}

json metadata_object(const kivu_package::ProfileStep& step) {
  json object = json::object();
  for (const auto& entry : step.metadata) {
    auto it = object.find(entry.name);
    if (it == object.end()) {
      object[entry.name] = entry.value;
    } else if (it->is_array()) {
      it->push_back(entry.value);
    } else {
      *it = json::array({*it, entry.value});
    }
  }
  return object;
}

// `cycles` at `clock_hz` in microseconds, rounded to the nearest 1/1024 µs.
// Such a binary fraction is exact in a double and prints as a decimal that
// parses back to the same double, so a step's ts + dur, with dur taken as the
// rounded end minus the rounded start, equals the next step's ts for a reader
// of the JSON; with plain decimal fractions it could land a hair past it, and
// viewers then draw the next step nested inside this one. 1/1024 µs keeps
// nanosecond resolution; times are exact up to 2^53 / 1024 µs (about 100
// days), which 32-bit cycle counts stay below at any clock above 489 Hz.
double trace_microseconds(std::uint64_t cycles, std::uint64_t clock_hz) noexcept {
  __extension__ using Wide = unsigned __int128;
  constexpr Wide units_per_second = 1'024'000'000;
  const Wide units = (Wide{cycles} * units_per_second + clock_hz / 2) / clock_hz;
  return std::ldexp(static_cast<double>(units), -10);
}

json sample_event(std::uint32_t physical_tile, const CycleSample& sample, std::uint64_t clock_hz) {
  const auto& step = sample.step;
  const double start = trace_microseconds(sample.start_cycle, clock_hz);
  std::string name = step.operation;
  if (name.empty()) name = step.kernel;
  if (name.empty()) name = kind_name(step.kind);
  return json{
      {"name", std::move(name)},
      {"cat", kind_name(step.kind)},
      {"ph", "X"},
      {"pid", trace_process_id},
      {"tid", tile_thread_id(physical_tile)},
      {"ts", start},
      {"dur", is_reversed(sample) ? 0.0 : trace_microseconds(sample.end_cycle, clock_hz) - start},
      {"args",
       {{"tile", physical_tile},
        {"kernel", step.kernel},
        {"local_index", step.local_index},
        {"phase", step.phase},
        {"epoch", step.epoch},
        {"start_cycle", sample.start_cycle},
        {"end_cycle", sample.end_cycle},
        {"metadata", metadata_object(step)}}},
  };
}

json metadata_event(std::string_view name, std::uint64_t tid, json args) {
  json event{{"name", name}, {"ph", "M"}, {"pid", trace_process_id}, {"args", std::move(args)}};
  if (tid != 0) event["tid"] = tid;
  return event;
}

}  // namespace

std::expected<TraceCounts, std::string> write_trace(const ProfileReport& report, std::ostream& out) {
  if (report.clock_hz == 0) {
    return std::unexpected(std::string("the profile's clock is 0 Hz, so its cycles cannot be turned into time"));
  }

  // Tracks in ascending tile order; entries naming the same tile share its track.
  std::vector<std::size_t> order(report.tiles.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::ranges::stable_sort(order, {}, [&](std::size_t i) { return report.tiles[i].physical_tile; });

  TraceCounts counts;
  bool first = true;
  const auto emit = [&](const json& event) {
    out << (first ? "\n" : ",\n");
    first = false;
    write_json(out, event);
  };

  out << "{\"displayTimeUnit\":\"ns\",\"otherData\":";
  write_json(out, json{{"clock_hz", report.clock_hz}, {"source", "kivu cycle profile"}});
  out << ",\"traceEvents\":[";
  emit(metadata_event("process_name", 0, {{"name", "kivu cycle profile"}}));
  for (std::size_t k = 0; k < order.size(); ++k) {
    const auto& tile = report.tiles[order[k]];
    const bool new_track = k == 0 || report.tiles[order[k - 1]].physical_tile != tile.physical_tile;
    if (new_track) {
      const auto tid = tile_thread_id(tile.physical_tile);
      emit(metadata_event("thread_name", tid, {{"name", "tile " + std::to_string(tile.physical_tile)}}));
      emit(metadata_event("thread_sort_index", tid, {{"sort_index", tile.physical_tile}}));
      ++counts.tracks;
    }
    for (const auto& sample : tile.samples) {
      emit(sample_event(tile.physical_tile, sample, report.clock_hz));
      ++counts.sample_events;
    }
    if (!out) break;
  }
  out << "\n]}\n";
  out.flush();
  if (!out) return std::unexpected(std::string("the output stream failed"));
  return counts;
}

}  // namespace kivu_profile

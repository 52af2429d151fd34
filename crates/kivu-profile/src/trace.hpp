// A cycle profile as Chrome Trace Event JSON (the object form,
// {"traceEvents": [...]}), which speedscope (offline) and Perfetto UI open.
//
// All tracks belong to one process, "kivu cycle profile" (pid 1). Each
// physical tile is one thread of it, named "tile N" and sorted by N; its tid
// is N + 1 because some viewers reserve tid 0. Each sample is a complete
// event ("ph": "X") named by its operation (the kernel, then the step kind,
// when the operation is empty), with the step kind as category and ts/dur in
// microseconds (cycles * 1e6 / clock). Its args name the operation only
// (kernel and kind), because viewers key their frames on name and args
// (speedscope names a frame "name {args}"): so all samples of one operation
// are one frame, and the viewers' per-frame views (speedscope's Sandwich and
// Left Heavy) add up time per operation. What the one sample did sits in the
// event's own "sample" object, which the viewers ignore: the tile, local
// index, phase, epoch, start and end cycle and the metadata as an object; a
// metadata name that occurs more than once maps to the array of its values,
// in order. A sample that ends before it starts gets dur 0; its true cycles
// stay in "sample".
//
// Events are written straight from the profile into a buffer that goes to
// the stream in large pieces, so memory stays the same whatever the
// profile's size. Texts are escaped as JSON strings; numbers are written
// with std::to_chars, times as microseconds in the layout JSON writers use
// for doubles (shortest digits, ".0" on whole numbers, an exponent beyond
// 15 integer digits).
#pragma once

#include <cstdint>
#include <expected>
#include <iosfwd>
#include <string>

#include "kivu_package.hpp"
#include "kivu_package/profile_file.hpp"

namespace kivu_profile {

// The trace's process id; tile N is thread tile_thread_id(N).
inline constexpr int trace_process_id = 1;
// Thread id of the track of physical tile `physical_tile`.
[[nodiscard]] constexpr std::uint64_t tile_thread_id(std::uint32_t physical_tile) noexcept {
  return std::uint64_t{physical_tile} + 1;
}

// What write_trace wrote.
struct TraceCounts {
  std::uint64_t sample_events = 0;
  std::uint64_t tracks = 0;
};

// Writes `report` as trace JSON to `out`. Fails, with a message and before
// writing anything, when the clock is 0 Hz (cycles cannot become time), and
// with a message when `out` reports an error.
[[nodiscard]] std::expected<TraceCounts, std::string> write_trace(const kivu_package::ProfileReport& report,
                                                                  std::ostream& out);

// The same for a profile walked in place, inside ProfileFile::visit (which
// reports what the walk finds wrong: a bad text, a kind outside the schema,
// a malformed pointer). Run ProfileFile::check first where no partial
// output may be left behind.
[[nodiscard]] std::expected<TraceCounts, std::string> write_trace(const kivu_package::ProfileView& profile,
                                                                  std::ostream& out);

}  // namespace kivu_profile

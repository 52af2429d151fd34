// Hostile profiles: small files that claim, or make the reader visit, far
// more than they hold. Each must fail as Capnp without the reader taking
// memory or time in proportion to the claim, whether ProfileReport::read
// decodes it or ProfileFile walks it (from memory, a mapped file or a pipe).
//
// Each read runs in a child process, whose peak resident size is measured
// against its size before the read, and whose CPU time is limited: a read
// that runs away is killed and counts as a failure. The bounds are loose on
// purpose; they only tell "proportional to the file" from "proportional to
// the claim".
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <sstream>

#include <gtest/gtest.h>

#include "kivu_package.hpp"
#include "kivu_package/profile_file.hpp"
#include "wire.hpp"
#include <kivu_testing/child_process.hpp>

namespace {

using kivu_package::PackageError;
using kivu_package::ProfileFile;
using kivu_package::ProfileReport;
using namespace kivu_package::testing;

struct ChildRead {
  bool failed_as_capnp = false;
  long peak_growth_kib = 0;
};

long resident_kib() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

// Seconds of CPU a child may take: the hostile files fail within a fraction
// of a second, an unbounded walk of one runs for many seconds.
constexpr rlim_t cpu_seconds = 5;

// Runs `read` in a child process and reports whether it failed as Capnp and
// how far the child's peak resident size rose above where it started.
ChildRead read_in_child(const std::function<std::expected<void, PackageError>()>& read) {
  int channel[2];
  if (::pipe(channel) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(channel[0]);
    const rlimit cpu{cpu_seconds, cpu_seconds};
    ::setrlimit(RLIMIT_CPU, &cpu);
    const long before = resident_kib();
    const auto outcome = read();
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const ChildRead result{!outcome.has_value() && outcome.error().is<PackageError::Capnp>(), usage.ru_maxrss - before};
    [[maybe_unused]] const auto written = ::write(channel[1], &result, sizeof result);
    ::_exit(0);
  }
  ::close(channel[1]);
  ChildRead result;
  const auto got = ::read(channel[0], &result, sizeof result);
  ::close(channel[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_EQ(got, static_cast<ssize_t>(sizeof result))
      << "the child ended without reporting"
      << (WIFSIGNALED(status) ? " (signal " + std::to_string(WTERMSIG(status)) + ")" : std::string());
  return result;
}

// Opens the profile and walks all of it, as every kivu-profile command does.
std::expected<void, PackageError> walk(const std::expected<ProfileFile, PackageError>& file) {
  if (!file) return std::unexpected(file.error());
  return file->check();
}

constexpr long loose_bound_kib = 128 * 1024;

void expect_cheap_capnp_failure(const std::string& bytes) {
  const kivu_testing::ScratchDirectory dir;
  const std::string path = dir.file("hostile.capnp");
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  const std::pair<const char*, std::function<std::expected<void, PackageError>()>> reads[] = {
      {"read",
       [&]() -> std::expected<void, PackageError> {
         const auto report = ProfileReport::read(std::istringstream(bytes));
         if (!report) return std::unexpected(report.error());
         return {};
       }},
      {"view from memory", [&] { return walk(ProfileFile::from_bytes(bytes)); }},
      {"view of a file", [&] { return walk(ProfileFile::open(path)); }},
      {"view through a pipe",
       [&] {
         const kivu_testing::PipeFeeder pipe(bytes);
         return walk(ProfileFile::open(pipe.path()));
       }},
  };
  for (const auto& [how, read] : reads) {
    const ChildRead outcome = read_in_child(read);
    EXPECT_TRUE(outcome.failed_as_capnp) << how;
    EXPECT_LT(outcome.peak_growth_kib, loose_bound_kib) << how;
  }
}

// =============================================================================
// Claims the stream does not back

TEST(HostileProfile, ASixteenByteFileClaimingAHugeSegmentFailsCheaply) {
  // 2^31 words (16 GiB) in one segment, and the largest addressable one.
  expect_cheap_capnp_failure(raw_table({0, 0x8000'0000u}) + std::string(8, '\0'));
  expect_cheap_capnp_failure(raw_table({0, (1u << 29) - 1}) + std::string(8, '\0'));
}

TEST(HostileProfile, ManyHugeSegmentsClaimedInTheTableFailCheaply) {
  std::string bytes = raw_table({510});
  for (int i = 0; i < 511; ++i) bytes += raw_table({(1u << 29) - 1});
  bytes += std::string(64, '\0');
  expect_cheap_capnp_failure(bytes);
}

// =============================================================================
// Amplification

TEST(HostileProfile, AFortyEightByteFileOfZeroSizedTilesFailsCheaply) {
  Segment seg;
  seg.alloc(1);
  const std::size_t root = seg.add_struct(0, 2, 1);
  seg.set_u32(root, 0, 1);
  const std::size_t tag = seg.alloc(1);
  seg.words[root + 2] = list_pointer(root + 2, tag, ElementSize::Composite, 0);
  seg.words[tag] = composite_tag((1u << 29) - 1, 0, 0);
  const std::string bytes = frame({seg});
  ASSERT_EQ(bytes.size(), 48u);
  expect_cheap_capnp_failure(bytes);
}

// A profile in `seg` (empty) whose root holds a list of `tiles` tiles, each
// one data word and one pointer (samples); returns the word of the first.
std::size_t root_with_tiles(Segment& seg, std::uint32_t tiles) {
  seg.alloc(1);
  const std::size_t root = seg.add_struct(0, 2, 1);
  seg.set_u32(root, 0, 1);
  return seg.add_struct_list(root + 2, tiles, 1, 1);
}

// Sets the pointer of each of the `count` elements of a struct list (one
// data word, one pointer) that starts at `first` to `pointer(its word)`.
template <typename Pointer>
void point_each(Segment& seg, std::size_t first, std::size_t count, Pointer pointer) {
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t at = first + 2 * i + 1;
    seg.words[at] = pointer(at);
  }
}

TEST(HostileProfile, AVoidListOfTilesFailsCheaply) {
  HandProfile hand;
  hand.seg.words[hand.root + 2] = list_pointer(hand.root + 2, hand.root, ElementSize::Void, (1u << 29) - 1);
  expect_cheap_capnp_failure(hand.bytes());
}

TEST(HostileProfile, TilesThatAllShareOneSampleListFailCheaply) {
  // About 1 MB: 60000 tiles whose samples pointers all lead to one list of
  // 10000 samples, i.e. 6e8 samples to convert.
  constexpr std::uint32_t tiles = 60'000, samples = 10'000;
  Segment seg;
  const std::size_t first_tile = root_with_tiles(seg, tiles);
  const std::size_t tag = seg.alloc(1 + samples);
  seg.words[tag] = composite_tag(samples, 1, 0);
  point_each(seg, first_tile, tiles,
             [&](std::size_t at) { return list_pointer(at, tag, ElementSize::Composite, samples); });
  const std::string bytes = frame({seg});
  ASSERT_LT(bytes.size(), 1'100'000u);
  expect_cheap_capnp_failure(bytes);
}

TEST(HostileProfile, SamplesThatAllShareOneStepWithALongTextFailCheaply) {
  // 60000 samples pointing at one step whose operation is 64 KiB long:
  // about 4 GB of text to copy from a 1 MB file.
  constexpr std::uint32_t samples = 60'000;
  Segment seg;
  const std::size_t tile = root_with_tiles(seg, 1);
  const std::size_t first_sample = seg.add_struct_list(tile + 1, samples, 1, 1);
  const std::size_t step = seg.alloc(5);
  seg.add_text(step + 2, std::string(64 * 1024, 'o'));
  point_each(seg, first_sample, samples, [&](std::size_t at) { return struct_pointer(at, step, 2, 3); });
  expect_cheap_capnp_failure(frame({seg}));
}

TEST(HostileProfile, MetadataListsOfZeroSizedEntriesFailCheaply) {
  // Every sample's step carries 2^29-1 empty metadata entries in one word.
  HandProfile hand;
  const std::size_t tag = hand.seg.alloc(1);
  hand.seg.words[hand.step + 4] = list_pointer(hand.step + 4, tag, ElementSize::Composite, 0);
  hand.seg.words[tag] = composite_tag((1u << 29) - 1, 0, 0);
  expect_cheap_capnp_failure(hand.bytes());
}

}  // namespace

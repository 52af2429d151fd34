// The host link's write path, with optional jitter.
//
// A host write is the packets of one H2D transfer (or one raw packet).
// Without jitter it lands at once. With jitter, each write is queued with a
// delay drawn from the seeded generator (in submission order) and carried
// out by one of host_write_workers threads, which sleeps for the delay and
// then copies the packets' payloads, so writes land out of order. A write
// that overlaps one still in flight (same tile, overlapping range) waits for
// all writes in flight first, so overlapping writes land in program order.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include "kivu_runtime/host_write_jitter.hpp"

namespace kivu_runtime::detail {

class HostWriter {
public:
  explicit HostWriter(HostWriteJitter jitter);
  ~HostWriter();  // waits for writes in flight
  HostWriter(const HostWriter&) = delete;
  HostWriter& operator=(const HostWriter&) = delete;

  // One packet of a write: packet[offset, offset + length) goes to
  // `destination`. The packet is kept until the write lands.
  struct Piece {
    std::byte* destination;
    std::vector<std::byte> packet;
    std::size_t offset;
    std::size_t length;
  };

  // Carries out a write of `pieces`, which together cover [address,
  // address + size) of tile `physical`'s SRAM.
  void submit(std::uint16_t physical, std::uint32_t address, std::uint64_t size, std::vector<Piece> pieces);

  // Waits until every submitted write has landed.
  void drain();

private:
  struct Job {
    std::vector<Piece> pieces;
    std::uint32_t delay_us;
  };

  static void land(const std::vector<Piece>& pieces);

  void work();

  HostWriteJitter jitter_;
  std::mt19937_64 delays_;
  std::mutex mutex_;
  std::condition_variable work_ready_;
  std::condition_variable idle_;
  std::deque<Job> queue_;
  std::size_t pending_ = 0;
  bool stopping_ = false;
  // Ranges written since the last drain: (tile, start) -> end.
  std::map<std::pair<std::uint16_t, std::uint32_t>, std::uint64_t> in_flight_;
  std::vector<std::thread> workers_;
};

}  // namespace kivu_runtime::detail

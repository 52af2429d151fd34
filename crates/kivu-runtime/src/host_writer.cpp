#include "host_writer.hpp"

#include <chrono>
#include <cstring>

namespace kivu_runtime::detail {

HostWriter::HostWriter(HostWriteJitter jitter) : jitter_(jitter), delays_(jitter.seed) {
  if (jitter_.max_us == 0) return;
  // A worker that cannot be started leaves fewer in flight; with none at all
  // the writes land at once.
  try {
    workers_.reserve(host_write_workers);
    for (unsigned i = 0; i < host_write_workers; ++i) workers_.emplace_back([this] { work(); });
  } catch (...) {
  }
}

HostWriter::~HostWriter() {
  drain();
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  work_ready_.notify_all();
  for (auto& worker : workers_) worker.join();
}

void HostWriter::land(const std::vector<Piece>& pieces) {
  for (const Piece& piece : pieces) std::memcpy(piece.destination, piece.packet.data() + piece.offset, piece.length);
}

void HostWriter::submit(std::uint16_t physical, std::uint32_t address, std::uint64_t size, std::vector<Piece> pieces) {
  if (workers_.empty()) {
    land(pieces);
    return;
  }
  const std::uint64_t end = address + size;
  bool overlaps = false;
  {
    std::lock_guard lock(mutex_);
    auto next = in_flight_.lower_bound({physical, address});
    if (next != in_flight_.end() && next->first.first == physical && next->first.second < end) overlaps = true;
    if (next != in_flight_.begin()) {
      auto previous = std::prev(next);
      if (previous->first.first == physical && previous->second > address) overlaps = true;
    }
  }
  if (overlaps) drain();

  // Modulo keeps the draw the same on every standard library.
  const auto delay = static_cast<std::uint32_t>(delays_() % (static_cast<std::uint64_t>(jitter_.max_us) + 1));
  {
    std::lock_guard lock(mutex_);
    auto [slot, fresh] = in_flight_.try_emplace({physical, address}, end);
    if (!fresh) slot->second = std::max(slot->second, end);
    queue_.push_back(Job{std::move(pieces), delay});
    ++pending_;
  }
  work_ready_.notify_one();
}

void HostWriter::drain() {
  std::unique_lock lock(mutex_);
  idle_.wait(lock, [this] { return pending_ == 0; });
  in_flight_.clear();
}

void HostWriter::work() {
  std::unique_lock lock(mutex_);
  while (true) {
    work_ready_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) return;  // stopping, and nothing left
    Job job = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    std::this_thread::sleep_for(std::chrono::microseconds(job.delay_us));
    land(job.pieces);
    lock.lock();
    if (--pending_ == 0) idle_.notify_all();
  }
}

}  // namespace kivu_runtime::detail

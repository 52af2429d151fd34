// An exchange phase: buffers moved between tiles in one bulk-synchronous step.
//
// Each transfer copies `size` bytes from one source tile to one or more
// receiver tiles (a multicast when there are several), each at its own
// address. All transfers of a phase read their sources as they were when
// the phase began: a tile that receives and also sends in the same phase
// sends what it held before the phase, whatever it receives.
//
// A phase is checked as a whole before anything moves, and a phase that
// fails changes nothing:
//   no transfers, or a transfer of 0 bytes          Count(0)
//   a tile number beyond the board                  Tile(number)
//   a transfer without receivers                    ReceiverSet
//   the same receiver twice in one transfer         DuplicateTile
//   a source or receiver range outside SRAM         Address(start of the range)
//   two writes in the phase that overlap            Schedule("overlapping writes in one exchange phase")
// Tiles are logical tile numbers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kivu_package.hpp"

namespace kivu_runtime {

// Where one receiver stores the data.
struct Receiver {
  std::uint16_t tile = 0;
  std::uint32_t address = 0;

  bool operator==(const Receiver&) const = default;
};

// One source buffer sent to one or many receivers.
struct Transfer {
  std::uint16_t source = 0;
  std::uint32_t source_address = 0;
  std::uint32_t size = 0;
  std::vector<Receiver> receivers;

  bool operator==(const Transfer&) const = default;
};

// The transfers of one phase, with the names that the cycle profile shows.
struct ExchangePhase {
  std::string operation = "exchange";
  std::string kernel;
  std::vector<kivu_package::ProfileMetadata> metadata;
  std::vector<Transfer> transfers;
};

// Text of the Schedule error for overlapping writes.
inline constexpr const char* overlapping_writes_reason = "overlapping writes in one exchange phase";

}  // namespace kivu_runtime

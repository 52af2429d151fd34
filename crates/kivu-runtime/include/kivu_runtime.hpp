// kivu_runtime: the software model of the accelerator board.
// Includes every public header of the library; see kivu_runtime/board.hpp.
#pragma once

#include "kivu_runtime/board.hpp"
#include "kivu_runtime/board_constants.hpp"
#include "kivu_runtime/compute_step.hpp"
#include "kivu_runtime/cycle_accounting.hpp"
#include "kivu_runtime/environment.hpp"
#include "kivu_runtime/exchange_phase.hpp"
#include "kivu_runtime/fault_injection.hpp"
#include "kivu_runtime/host_packet.hpp"
#include "kivu_runtime/host_write_jitter.hpp"

#include "profile_stats.hpp"

#include <fmt/format.h>

#include "kivu_exchange.hpp"

namespace kivu_profile {

std::string tile_name(std::uint32_t physical_tile) {
  if (physical_tile >= kivu_exchange::halcyon_tile_count) {
    return fmt::format("tile {} (off the grid)", physical_tile);
  }
  return fmt::format("tile {} ({})", physical_tile,
                     kivu_exchange::to_string(kivu_exchange::tile_place(static_cast<std::uint16_t>(physical_tile))));
}

std::string format_ranges(const std::vector<std::uint32_t>& numbers) {
  std::string text;
  for (std::size_t i = 0; i < numbers.size();) {
    std::size_t j = i;
    while (j + 1 < numbers.size() && numbers[j + 1] == numbers[j] + 1) ++j;
    if (!text.empty()) text += ", ";
    text += std::to_string(numbers[i]);
    if (j > i) {
      // Appended piece by piece: "-" + to_string(...) trips a false
      // -Wrestrict warning of g++ 12 in optimised builds.
      text += '-';
      text += std::to_string(numbers[j]);
    }
    i = j + 1;
  }
  return text;
}

}  // namespace kivu_profile

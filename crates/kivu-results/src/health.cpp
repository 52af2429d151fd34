// kivu-results health: which board fails more than the rest of the pool
// (kivu_results/board_health.hpp says how it is judged).
#include <cmath>
#include <map>
#include <ostream>
#include <set>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "cli.hpp"
#include "fleet.hpp"
#include "kivu_base/debug_form.hpp"
#include "kivu_base/expected.hpp"
#include "kivu_base/number.hpp"
#include "kivu_cli/command_line.hpp"

namespace kivu_results {

namespace {

constexpr std::string_view tool = "kivu-results";
constexpr std::string_view health_usage = "usage: kivu-results health [--db URL] [--last N] [--alpha A] [--json]";

// A board's number as JSON shows it: a number, or the recorded text when it
// is none.
nlohmann::ordered_json board_json_value(const std::string& board) {
  const auto number = kivu_base::parse_digits(board, 10);
  if (!number) return board;
  return *number;
}

}  // namespace

std::expected<double, std::string> parse_alpha(std::string_view text) {
  // As many places as the text has after its point, so that the quotient of
  // two exact numbers is the double nearest to what was written.
  const auto point = text.find('.');
  const std::size_t places = point == std::string_view::npos ? 0 : text.size() - point - 1;
  constexpr std::size_t most_places = 19;
  const auto scaled = places <= most_places ? kivu_base::parse_decimal(text, static_cast<unsigned>(places))
                                            : std::nullopt;
  double value = 0;
  if (scaled) value = static_cast<double>(*scaled) / std::pow(10.0, static_cast<double>(places));
  if (!scaled || !(value > 0 && value < 1))
    return std::unexpected("--alpha needs a number above 0 and below 1, not " + kivu_base::debug_quoted(text));
  return value;
}

std::expected<FleetOptions, std::string> parse_fleet_options(std::span<const std::string> args, bool quarantine) {
  CLI::App app{"", std::string(tool)};
  const auto flags = kivu_cli::prepare(app);
  const auto* db = kivu_cli::add_value_option(app, "--db");
  const auto* last = kivu_cli::add_value_option(app, "--last");
  const auto* alpha = kivu_cli::add_value_option(app, "--alpha");
  const auto* json = quarantine ? nullptr : app.add_flag("--json");
  const auto* apply = quarantine ? app.add_flag("--apply") : nullptr;
  std::vector<std::string> words;
  app.add_option("words", words);
  KIVU_RETURN_IF_ERROR(kivu_cli::parse(app, args.subspan(1)));
  if (flags.help->count() > 0 || flags.version->count() > 0)
    return std::unexpected(std::string("--help and --version come without a subcommand"));
  if (!words.empty()) return std::unexpected("unexpected argument " + kivu_base::debug_quoted(words.front()));
  FleetOptions options;
  KIVU_ASSIGN_OR_RETURN(options.db, kivu_cli::single_value(*db, "--db"));
  KIVU_ASSIGN_OR_RETURN(const auto last_text, kivu_cli::single_value(*last, "--last"));
  if (last_text) {
    KIVU_ASSIGN_OR_RETURN(options.last, parse_last(*last_text));
  }
  KIVU_ASSIGN_OR_RETURN(const auto alpha_text, kivu_cli::single_value(*alpha, "--alpha"));
  if (alpha_text) {
    KIVU_ASSIGN_OR_RETURN(options.alpha, parse_alpha(*alpha_text));
  }
  options.json = json != nullptr && json->count() > 0;
  options.apply = apply != nullptr && apply->count() > 0;
  return options;
}

std::expected<std::vector<BoardHealth>, StoreError> fleet_health(Store& store, const FleetOptions& options) {
  KIVU_ASSIGN_OR_RETURN(const auto counts, store.board_counts(options.last));
  return assess_boards(counts, options.alpha);
}

int health(std::span<const std::string> args, const Environment& environment, std::ostream& out, std::ostream& err) {
  const auto options = parse_fleet_options(args, false);
  if (!options) return kivu_cli::usage_error(err, tool, options.error(), health_usage);
  auto store = open_store_at(options->db, environment);
  if (!store) return store_failure(err, store.error());
  const auto boards = fleet_health(*store, *options);
  if (!boards) return store_failure(err, boards.error());
  bool any_suspect = false;
  for (const auto& board : *boards) any_suspect = any_suspect || board.suspect;

  if (options->json) {
    auto array = nlohmann::ordered_json::array();
    for (const auto& board : *boards) {
      auto tiles = nlohmann::ordered_json::array();
      for (const auto& tile : board.tiles) {
        tiles.push_back({{"tile", tile.tile},
                         {"failures", tile.failures},
                         {"boards", tile.boards},
                         {"points_at", tile.software ? "software" : "board"}});
      }
      array.push_back({{"host", board.host},
                       {"board", board_json_value(board.board)},
                       {"runs", board.runs},
                       {"cases", board.cases},
                       {"failed", board.failed},
                       {"failure_rate", board.failure_rate},
                       {"p_value", board.p_value},
                       {"suspect", board.suspect},
                       {"tiles", tiles}});
    }
    out << array.dump(2) << '\n';
    return any_suspect ? exit_suspect : exit_success;
  }

  if (boards->empty()) {
    out << "no case results with a host and a board recorded\n";
    return exit_success;
  }
  out << fmt::format("{:<20}  {:>5}  {:>5}  {:>7}  {:>6}  {:>7}  {:>10}  {:<7}  {}\n", "host", "board", "runs", "cases",
                     "failed", "rate", "p (Holm)", "verdict", "failed tiles (logical x failures)");
  std::map<std::uint32_t, std::size_t> software;
  for (const auto& board : *boards) {
    out << fmt::format("{:<20}  {:>5}  {:>5}  {:>7}  {:>6}  {:>6.2f}%  {:>10.3g}  {:<7}  {}\n", board.host, board.board,
                       board.runs, board.cases, board.failed, 100 * board.failure_rate, board.p_value,
                       board.suspect ? "SUSPECT" : "ok", tiles_text(board));
    for (const auto& tile : board.tiles) {
      if (tile.software) software[tile.tile] = tile.boards;
    }
  }
  for (const auto& [tile, count] : software) {
    out << fmt::format("tile {} failed on {} boards: it points at the software, not at one board's hardware\n", tile,
                       count);
  }
  out << fmt::format("{} of {} boards suspect (Fisher's exact test, one-sided, Holm-corrected; alpha {})\n",
                     std::ranges::count_if(*boards, [](const BoardHealth& board) { return board.suspect; }),
                     boards->size(), options->alpha);
  return any_suspect ? exit_suspect : exit_success;
}

}  // namespace kivu_results

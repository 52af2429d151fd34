#include "cli.hpp"

#include <ostream>
#include <vector>

#include <nlohmann/json.hpp>

#include "board_quarantine.hpp"
#include "host_boards.hpp"
#include "kivu_base/debug_form.hpp"
#include "kivu_base/expected.hpp"
#include "kivu_base/number.hpp"
#include "kivu_base/utc_time.hpp"
#include "kivu_cli/command_line.hpp"
#include "kivu_host/board_identity.hpp"
#include "kivu_output_file/output_file.hpp"

namespace kivu_boards {

namespace {

// The resource file's subcommand, as CTest users know it.
constexpr std::string_view resource_file_subcommand = "resource-spec";
constexpr std::string_view slurm_gres_subcommand = "slurm-gres";
constexpr std::string_view release_subcommand = "release";

}  // namespace

// =============================================================================
// Arguments

std::string_view usage() noexcept {
  return "usage: kivu-boards [--json]\n"
         "       kivu-boards resource-spec [-o FILE]\n"
         "       kivu-boards slurm-gres [-o FILE]\n"
         "       kivu-boards release BOARD\n"
         "       kivu-boards --help | --version\n"
         "\n"
         "Without a subcommand, lists the boards of this host: id, kind, tiles, SRAM per\n"
         "tile, the lock that a suite holds while it uses the board (a name in the\n"
         "abstract socket namespace, shown as @kivu-board-N) and the board's state:\n"
         "\"free\", or \"held by pid N (command)\" for each process holding the lock (\"held\n"
         "(holder not visible)\" when the holder belongs to another user).\n"
         "  resource-spec  writes the CTest resource file of this host's boards (resource\n"
         "                 type \"boards\", one slot each), for\n"
         "                 ctest -j N --resource-spec-file FILE\n"
         "  slurm-gres     writes the two Slurm configuration lines of this host's boards,\n"
         "                 the generic resource \"kivu\": the node's Gres=kivu:N for\n"
         "                 slurm.conf, then its line for gres.conf\n"
         "  release        takes a quarantined board back into service\n"
         "A board that `kivu-results quarantine --apply` quarantined is listed as\n"
         "\"quarantined DATE: REASON\" and left out of resource-spec and slurm-gres; the\n"
         "quarantine file is KIVU_QUARANTINE_FILE, else $XDG_STATE_HOME/kivu/quarantine.json,\n"
         "else ~/.local/state/kivu/quarantine.json.\n"
         "\n"
         "Options: --json               the listing as a JSON array, one object per board\n"
         "                              with the keys id, kind, tiles, sram_per_tile\n"
         "                              (bytes), lock, state (\"free\", \"held\" or\n"
         "                              \"unknown\") and holder_pid (lowest holder's pid,\n"
         "                              null when none is seen)\n"
         "         -o, --output FILE  where a subcommand writes (replaced whole; \"-\" or\n"
         "                            no -o: standard output)\n"
         "         -h, --help         this text\n"
         "         --version          the workspace's version\n"
         "Environment: KIVU_SIM_BOARDS  simulated boards on this host, 1 to 64 (default 1)\n"
         "Exit status: 0 done, 1 the output not written or the boards' state unreadable\n"
         "(/proc/net/unix; the listing then shows \"unknown\"), 2 bad arguments or a bad\n"
         "KIVU_SIM_BOARDS, 3 release: the board is not quarantined, 4 the quarantine file\n"
         "is unreadable or corrupt (no board is handed out).\n";
}

std::string_view short_usage(std::span<const std::string> args) noexcept {
  const std::string_view action = args.empty() ? std::string_view() : std::string_view(args.front());
  if (action == resource_file_subcommand) return "usage: kivu-boards resource-spec [-o FILE]";
  if (action == slurm_gres_subcommand) return "usage: kivu-boards slurm-gres [-o FILE]";
  if (action == release_subcommand) return "usage: kivu-boards release BOARD";
  return "usage: kivu-boards [--json] | resource-spec|slurm-gres [-o FILE] | --help | --version";
}

std::expected<Command, std::string> parse_arguments(std::span<const std::string> args) {
  CLI::App app{"", "kivu-boards"};
  const auto flags = kivu_cli::prepare(app);
  const auto* output = kivu_cli::add_output_option(app);
  const auto* json = app.add_flag("--json");
  // The subcommand, if any; anything after it is refused below.
  std::vector<std::string> words;
  app.add_option("words", words);
  KIVU_RETURN_IF_ERROR(kivu_cli::parse(app, args));
  if (flags.help->count() > 0) return Command{.action = Command::Action::Help};
  if (flags.version->count() > 0) return Command{.action = Command::Action::Version};

  Command command;
  auto word = words.begin();
  if (word != words.end() && *word == resource_file_subcommand) {
    command.action = Command::Action::ResourceFile;
    ++word;
  } else if (word != words.end() && *word == slurm_gres_subcommand) {
    command.action = Command::Action::SlurmGres;
    ++word;
  } else if (word != words.end() && *word == release_subcommand) {
    command.action = Command::Action::Release;
    if (++word == words.end()) return std::unexpected(std::string("release needs the board's number"));
    const auto board = kivu_base::parse_digits(*word, 10, UINT32_MAX);
    if (!board) return std::unexpected("release needs a board number, not " + kivu_base::debug_quoted(*word));
    command.board = static_cast<std::uint32_t>(*board);
    ++word;
  }
  if (word != words.end()) return std::unexpected("unexpected argument " + kivu_base::debug_quoted(*word));
  if (json->count() > 0) {
    if (command.action != Command::Action::List) {
      return std::unexpected(command.action == Command::Action::ResourceFile
                                 ? std::string("--json belongs to the listing; ") +
                                       std::string(resource_file_subcommand) + " always writes JSON"
                                 : std::string("--json belongs to the listing"));
    }
    command.json = true;
  }
  if (output->count() > 0 && command.action == Command::Action::Release)
    return std::unexpected(std::string("release writes no file; -o belongs to ") +
                           std::string(resource_file_subcommand) + " and " + std::string(slurm_gres_subcommand));
  if (output->count() > 0 && command.action == Command::Action::List) {
    return std::unexpected(std::string("the listing writes no file; -o belongs to ") +
                           std::string(resource_file_subcommand) + " and " + std::string(slurm_gres_subcommand));
  }
  KIVU_ASSIGN_OR_RETURN(command.output, kivu_cli::output_path(*output));
  return command;
}

// =============================================================================
// Running

namespace {

// What the listing or a subcommand writes: the listing as a table or JSON,
// the resource file and the GRES lines of the boards in service.
std::string command_text(const Command& command, const std::vector<BoardInfo>& boards) {
  switch (command.action) {
    case Command::Action::List: return command.json ? board_json(boards).dump(2) + "\n" : board_table(boards);
    case Command::Action::ResourceFile: return resource_file(in_service(boards)).dump(2) + "\n";
    case Command::Action::SlurmGres: return slurm_gres(in_service(boards));
    case Command::Action::Release:
    case Command::Action::Help:
    case Command::Action::Version: break;
  }
  return "";
}

// Writes `text` to the command's -o file, or to standard output without
// one ("-"); false, having said why on `err`, when that fails.
bool write_text(const Command& command, const std::string& text, std::ostream& out, std::ostream& err) {
  const std::filesystem::path output = command.output.value_or("-");
  const auto written = kivu_output_file::write_command_text(output, text, out);
  if (written) return true;
  err << "kivu-boards: cannot write "
      << (kivu_output_file::names_standard_output(output) ? std::string("to standard output") : output.string()) << ": "
      << kivu_output_file::output_failure_reason(written.error()) << '\n';
  return false;
}

}  // namespace

int run(std::span<const std::string> args, std::optional<std::string_view> sim_boards, std::ostream& out,
        std::ostream& err, std::string_view lock_prefix) {
  const auto command = parse_arguments(args);
  if (!command) return kivu_cli::usage_error(err, "kivu-boards", command.error(), short_usage(args));
  if (command->action == Command::Action::Help) {
    out << usage();
    return exit_success;
  }
  if (command->action == Command::Action::Version) {
    kivu_cli::print_version(out, "kivu-boards");
    return exit_success;
  }
  const auto count = kivu_host::parse_sim_boards(sim_boards);
  if (!count) {
    err << "kivu-boards: " << count.error().message() << '\n';
    return exit_usage;
  }
  auto boards = simulated_boards(*count, lock_prefix);
  // The quarantine is read before anything is written: unreadable, no board
  // is handed out.
  const std::string quarantine_path = kivu_host::quarantine_file_from_environment();
  const auto quarantine = kivu_host::read_quarantine(quarantine_path);
  if (!quarantine) {
    err << "kivu-boards: " << quarantine.error().message << "; no board is handed out\n";
    return exit_quarantine_file;
  }
  const std::string host = kivu_host::this_host_name();
  if (command->action == Command::Action::Release) {
    if (command->board >= *count) {
      err << "kivu-boards: " << kivu_host::not_a_host_board(command->board, "release", *count) << '\n';
      return exit_usage;
    }
    return release_board(command->board, host, *quarantine, quarantine_path, kivu_base::utc_now_text(), out, err);
  }
  mark_quarantined(boards, *quarantine, host, err);

  // The listing is written also when the locks cannot be read, each board's
  // state then "unknown"; the exit status tells a script.
  std::optional<std::string> unreadable;
  if (command->action == Command::Action::List) {
    if (auto read = read_lock_states(boards, lock_prefix); !read) unreadable = std::move(read.error());
  }
  if (!write_text(*command, command_text(*command, boards), out, err)) return exit_failure;
  if (unreadable) {
    err << "kivu-boards: cannot tell which boards are held: " << *unreadable << '\n';
    return exit_failure;
  }
  return exit_success;
}

}  // namespace kivu_boards

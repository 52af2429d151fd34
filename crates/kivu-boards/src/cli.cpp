#include "cli.hpp"

#include <nlohmann/json.hpp>

#include <ostream>

#include "host_boards.hpp"
#include "kivu_output_file/output_file.hpp"
#include "kivu_host/board_identity.hpp"
#include "kivu_version.hpp"

namespace kivu_boards {

namespace {

// The resource file's subcommand, as CTest users know it.
constexpr std::string_view resource_file_subcommand = "resource-spec";
constexpr std::string_view slurm_gres_subcommand = "slurm-gres";

}  // namespace

// =============================================================================
// Arguments

std::string_view usage() noexcept {
  return "usage: kivu-boards [--json]\n"
         "       kivu-boards resource-spec [-o FILE]\n"
         "       kivu-boards slurm-gres [-o FILE]\n"
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
         "KIVU_SIM_BOARDS.\n";
}

std::expected<Command, std::string> parse_arguments(std::span<const std::string> args) {
  Command command;
  std::size_t i = 0;
  if (!args.empty() && args[0] == resource_file_subcommand) {
    command.action = Command::Action::ResourceFile;
    i = 1;
  } else if (!args.empty() && args[0] == slurm_gres_subcommand) {
    command.action = Command::Action::SlurmGres;
    i = 1;
  }
  for (; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "-h" || arg == "--help") return Command{.action = Command::Action::Help};
    if (arg == "--version") return Command{.action = Command::Action::Version};
    if (arg == "--json") {
      if (command.action != Command::Action::List) {
        return std::unexpected(command.action == Command::Action::ResourceFile
                                   ? std::string("--json belongs to the listing; ") +
                                         std::string(resource_file_subcommand) + " always writes JSON"
                                   : std::string("--json belongs to the listing"));
      }
      command.json = true;
      continue;
    }
    std::optional<std::string> output;
    if (arg == "-o" || arg == "--output") {
      if (i + 1 >= args.size()) return std::unexpected(arg + " needs a value");
      output = args[++i];
    } else if (arg.starts_with("--output=")) {
      output = arg.substr(std::string_view("--output=").size());
    } else if (arg.starts_with("-") && arg != "-") {
      return std::unexpected("unknown option '" + arg + "'");
    } else {
      return std::unexpected("unexpected argument '" + arg + "'");
    }
    if (command.action == Command::Action::List) {
      return std::unexpected(std::string("the listing writes no file; -o belongs to ") +
                             std::string(resource_file_subcommand) + " and " + std::string(slurm_gres_subcommand));
    }
    if (command.output) return std::unexpected(std::string("more than one output"));
    if (output->empty()) return std::unexpected(std::string("empty output path"));
    command.output = std::move(*output);
  }
  return command;
}

// =============================================================================
// Running

int run(std::span<const std::string> args, std::optional<std::string_view> sim_boards, std::ostream& out,
        std::ostream& err, std::string_view lock_prefix) {
  const auto command = parse_arguments(args);
  if (!command) {
    err << "kivu-boards: " << command.error() << "\n\n" << usage();
    return exit_usage;
  }
  if (command->action == Command::Action::Help) {
    out << usage();
    return exit_success;
  }
  if (command->action == Command::Action::Version) {
    out << "kivu-boards " << kivu::workspace_version << '\n';
    return exit_success;
  }
  const auto count = kivu_host::parse_sim_boards(sim_boards);
  if (!count) {
    err << "kivu-boards: " << count.error().message() << '\n';
    return exit_usage;
  }
  auto boards = simulated_boards(*count, lock_prefix);

  const bool listing = command->action == Command::Action::List;
  // The listing is written also when the locks cannot be read, each board's
  // state then "unknown"; the exit status tells a script.
  std::optional<std::string> unreadable;
  if (listing) {
    if (auto read = read_lock_states(boards, lock_prefix); !read) unreadable = std::move(read.error());
  }
  std::string text;
  switch (command->action) {
    case Command::Action::List: text = command->json ? board_json(boards).dump(2) + "\n" : board_table(boards); break;
    case Command::Action::ResourceFile: text = resource_file(boards).dump(2) + "\n"; break;
    case Command::Action::SlurmGres: text = slurm_gres(boards); break;
    case Command::Action::Help:
    case Command::Action::Version: break;
  }
  // The listing and a subcommand's text without -o go to standard output ("-").
  const std::filesystem::path output = command->output.value_or("-");
  const auto written = kivu_output_file::write_command_output(
      output,
      [&](std::ostream& stream) -> std::expected<void, std::string> {
        stream << text;
        return {};
      },
      out);
  if (!written) {
    err << "kivu-boards: cannot write "
        << (kivu_output_file::names_standard_output(output) ? std::string("to standard output") : output.string())
        << ": " << kivu_output_file::output_failure_reason(written.error()) << '\n';
    return exit_failure;
  }
  if (unreadable) {
    err << "kivu-boards: cannot tell which boards are held: " << *unreadable << '\n';
    return exit_failure;
  }
  return exit_success;
}

}  // namespace kivu_boards

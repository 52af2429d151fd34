#include "kivu_cli/command_line.hpp"

#include <algorithm>
#include <ostream>
#include <vector>

#include "kivu_base/debug_form.hpp"
#include "kivu_base/expected.hpp"
#include "kivu_version.hpp"

namespace kivu_cli {

StandardFlags prepare(CLI::App& app) {
  app.set_help_flag();
  app.allow_extras();
  StandardFlags flags;
  flags.help = app.add_flag("-h,--help");
  flags.version = app.add_flag("--version");
  return flags;
}

CLI::Option* add_value_option(CLI::App& app, const std::string& names) {
  // CLI11 would refuse a repeat in its own words; the tool refuses it.
  return app.add_option(names)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
}

CLI::Option* add_output_option(CLI::App& app) { return add_value_option(app, "-o,--output"); }

std::expected<std::optional<std::string>, std::string> single_value(const CLI::Option& option, std::string_view what) {
  const auto& given = option.results();
  if (given.empty()) return std::nullopt;
  if (given.size() > 1) return std::unexpected("more than one " + std::string(what));
  return given.front();
}

std::expected<std::optional<std::filesystem::path>, std::string> output_path(const CLI::Option& option) {
  KIVU_ASSIGN_OR_RETURN(const auto value, single_value(option, "output"));
  if (!value) return std::nullopt;
  if (value->empty()) return std::unexpected(std::string("empty output path"));
  return std::filesystem::path(*value);
}

std::expected<void, std::string> parse(CLI::App& app, std::span<const std::string> args) {
  // CLI11 takes the arguments from the back of a vector.
  std::vector<std::string> reversed;
  reversed.reserve(args.size() + 1);
  bool options_done = false;
  bool option_value = false;  // `arg` is the value of the option before it
  for (const auto& arg : args) {
    if (option_value) {
      option_value = false;
      reversed.push_back(arg);
      continue;
    }
    if (!options_done && arg.starts_with("-")) {
      const auto* option = app.get_option_no_throw(arg);
      option_value = option != nullptr && option->get_items_expected_min() > 0;
    }
    // CLI11 reads "--flag=false" as the flag not given; a flag takes no value.
    if (!options_done && arg.starts_with("--")) {
      if (const auto equals = arg.find('='); equals != std::string::npos) {
        const auto* option = app.get_option_no_throw(arg.substr(0, equals));
        if (option != nullptr && option->get_items_expected_max() == 0) {
          return std::unexpected(arg.substr(0, equals) + " takes no value");
        }
      }
    }
    // CLI11 skips the empty value of "--name=" and takes the next argument
    // instead (a profile as the output, say): keep the value the user wrote.
    if (!options_done && arg.size() > 3 && arg.starts_with("--") && arg.find('=') == arg.size() - 1) {
      reversed.push_back(arg.substr(0, arg.size() - 1));
      reversed.emplace_back();
      continue;
    }
    if (arg == "--") options_done = true;
    reversed.push_back(arg);
  }
  std::ranges::reverse(reversed);
  try {
    app.parse(reversed);
  } catch (const CLI::ArgumentMismatch& error) {
    // An option's value is taken whatever it looks like, so one is missing
    // only when the option is the last argument.
    if (!args.empty()) {
      const auto* option = app.get_option_no_throw(args.back());
      if (option != nullptr && option->get_items_expected_min() > 0) {
        return std::unexpected(args.back() + " needs a value");
      }
    }
    return std::unexpected(std::string(error.what()));
  } catch (const CLI::Error& error) {
    return std::unexpected(std::string(error.what()));
  }
  // CLI11 keeps "--" among the leftovers; it did its work.
  for (const auto& left : app.remaining()) {
    if (left == "--") continue;
    if (left.starts_with("-")) return std::unexpected("unknown option " + kivu_base::debug_quoted(left));
    return std::unexpected("unexpected argument " + kivu_base::debug_quoted(left));
  }
  return {};
}

int usage_error(std::ostream& err, std::string_view tool, std::string_view reason, std::string_view short_usage) {
  err << tool << ": " << reason << '\n' << short_usage << '\n';
  return exit_usage;
}

void print_version(std::ostream& out, std::string_view tool) { out << tool << ' ' << kivu::workspace_version << '\n'; }

}  // namespace kivu_cli

#include "frame.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <optional>

#include <gtest/gtest.h>

#include "kivu_base/descriptor.hpp"
#include "notice.hpp"

extern char** environ;

namespace kivu_e2e {

namespace {

// Where a runner started by the suite leaves its failing lines
// (kivu_runner/failure_file.hpp).
constexpr const char* failure_file_variable = "KIVU_RUNNER_FAILURE_FILE";

// The runner's name: the last part of the command's path.
std::string_view runner_name(const Command& command) {
  std::string_view name = command.program();
  if (const auto slash = name.rfind('/'); slash != std::string_view::npos) name.remove_prefix(slash + 1);
  return name;
}

// Holds back every inherited variable of the suite's environment that
// `held_back` accepts and `command` does not set, with one line for each.
template <typename Predicate>
void hold_back_inherited(Command& command, Predicate held_back) {
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    const auto equals = text.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string_view name = text.substr(0, equals);
    if (!held_back(name) || command.sets(name)) continue;
    if (std::ranges::find(command.removed(), name) != command.removed().end()) continue;
    command.env_remove(name);
    notice("not passing inherited " + std::string(name) + "=" + debug_quote(text.substr(equals + 1)) + " to " +
           std::string(runner_name(command)) + ": the case leaves it unset");
  }
}

// The file a runner leaves its failing lines in: a fresh folder of
// $TMPDIR (or /tmp) that only this user can enter, and in it a file made
// exclusively, mode 0600. Nobody else can put anything in its place or read
// it. Removed with its folder when it goes out of scope.
class FailureFile {
public:
  FailureFile() {
    const char* tmpdir = std::getenv("TMPDIR");
    std::string folder = tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp";
    if (folder.back() != '/') folder += '/';
    folder += "kivu-runner-failure-XXXXXX";
    if (::mkdtemp(folder.data()) == nullptr) return;
    folder_ = folder;
    const std::string file = folder + "/lines";
    if (!kivu_base::open_file(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)) return;
    path_ = file;
  }
  FailureFile(const FailureFile&) = delete;
  FailureFile& operator=(const FailureFile&) = delete;
  ~FailureFile() {
    if (!path_.empty()) (void)::unlink(path_.c_str());
    if (!folder_.empty()) (void)::rmdir(folder_.c_str());
  }

  // The file's path; empty when it could not be made.
  [[nodiscard]] const std::string& path() const noexcept { return path_; }

  // What the runner wrote, at most max_bytes of it, without a final line
  // break and without empty lines, control characters other than the line
  // breaks shown as '?'.
  [[nodiscard]] std::string lines() const {
    constexpr std::size_t max_bytes = 16 * 1024;
    std::string text;
    if (path_.empty()) return text;
    const auto file = kivu_base::open_file(path_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (!file) return text;
    text.resize(max_bytes);
    std::size_t size = 0;
    while (size < max_bytes) {
      const auto got = kivu_base::read_some(file->get(), text.data() + size, max_bytes - size);
      if (!got || *got == 0) break;
      size += *got;
    }
    text.resize(size);
    std::string lines;
    for (std::size_t at = 0; at < text.size();) {
      const auto end = std::min(text.find('\n', at), text.size());
      if (end > at) {
        if (!lines.empty()) lines += '\n';
        for (std::size_t i = at; i < end; ++i) {
          const auto byte = static_cast<unsigned char>(text[i]);
          lines += byte < 0x20 || byte == 0x7f ? '?' : text[i];
        }
      }
      at = end + 1;
    }
    return lines;
  }

private:
  std::string folder_;
  std::string path_;
};

// Records the host and the board of the running case in its result (the
// <properties> of its GoogleTest XML), so that results gathered from many
// hosts say where each case ran.
void record_where(std::uint32_t board) {
  std::array<char, 256> host{};
  if (::gethostname(host.data(), host.size() - 1) != 0) host[0] = '\0';
  testing::Test::RecordProperty("host", host.data());
  testing::Test::RecordProperty("board", std::to_string(board));
}

// The keys of a location line, in their order, and whether each value is
// hexadecimal ("0x...") rather than decimal.
constexpr std::array<std::pair<std::string_view, bool>, 10> location_keys = {{{"board", false},
                                                                              {"tile", false},
                                                                              {"physical_tile", false},
                                                                              {"row", false},
                                                                              {"position", false},
                                                                              {"address", true},
                                                                              {"expected", true},
                                                                              {"actual", true},
                                                                              {"values", false},
                                                                              {"tiles", false}}};

bool all_of_digits(std::string_view text, std::string_view digits) {
  return !text.empty() && text.size() <= 20 && text.find_first_not_of(digits) == std::string_view::npos;
}

// The properties of a location line; nothing when the line is not one.
std::optional<std::vector<std::pair<std::string, std::string>>> parse_location(std::string_view line) {
  constexpr std::string_view prefix = "location ";
  if (!line.starts_with(prefix)) return std::nullopt;
  line.remove_prefix(prefix.size());
  if (line == "none") return std::vector<std::pair<std::string, std::string>>{{"failed_location", "untied"}};
  std::vector<std::pair<std::string, std::string>> properties;
  for (const auto& [key, hexadecimal] : location_keys) {
    const auto space = line.find(' ');
    const std::string_view field = line.substr(0, space);
    if (!field.starts_with(key) || field.size() <= key.size() || field[key.size()] != '=') return std::nullopt;
    const std::string_view value = field.substr(key.size() + 1);
    const bool good = hexadecimal ? value.starts_with("0x") && all_of_digits(value.substr(2), "0123456789abcdef")
                                  : all_of_digits(value, "0123456789");
    if (!good) return std::nullopt;
    properties.emplace_back("failed_" + std::string(key), std::string(value));
    // The last field ends the line; every other is followed by one space.
    const bool last = key == location_keys.back().first;
    if (last != (space == std::string_view::npos)) return std::nullopt;
    if (!last) line.remove_prefix(space + 1);
  }
  return properties;
}

}  // namespace

RunnerReport read_runner_report(std::string_view lines) {
  RunnerReport report;
  while (!lines.empty()) {
    const auto end = lines.find('\n');
    const std::string_view line = lines.substr(0, end);
    if (auto location = parse_location(line); location && report.location.empty()) {
      report.location = std::move(*location);
    } else {
      if (!report.lines.empty()) report.lines += '\n';
      report.lines += line;
    }
    if (end == std::string_view::npos) break;
    lines.remove_prefix(end + 1);
  }
  return report;
}

bool is_scenario_variable(std::string_view name) noexcept {
  static constexpr std::array<std::string_view, 6> names = {"KIVU_GRAPH_TEST",     "KIVU_RANDOM_SEED",
                                                            "KIVU_GEMM_DIMENSION", "KIVU_GEMM_SRAM_CHECK_BLOCK",
                                                            "KIVU_GEMM_SCHEDULE",  "KIVU_PROFILE_OUTPUT"};
  return name.starts_with("KIVU_HOST_TEST_") || std::ranges::find(names, name) != names.end();
}

ExitStatus run(const Command& case_command, std::string_view launch_message, std::source_location where) {
  Command command = case_command;
  hold_back_inherited(command, is_scenario_variable);
  const FailureFile failure_file;
  if (failure_file.path().empty()) {
    command.env_remove(failure_file_variable);
  } else {
    command.env(failure_file_variable, failure_file.path());
  }
  if (const auto device = held_device()) {
    record_where(device->board);
    command.inherit_descriptor(device->board_lock->inheritable_descriptor());
    if (device->board != 0) {
      command.env("KIVU_BOARD", std::to_string(device->board));
    } else {
      hold_back_inherited(command, [](std::string_view name) { return name == "KIVU_BOARD"; });
    }
  }
  auto status = command.status();
  if (status && !status->success()) {
    RunnerReport report = read_runner_report(failure_file.lines());
    status->set_program_lines(std::move(report.lines));
    // Where the failure was, for the XML, the merged report and the store.
    for (const auto& [name, value] : report.location) testing::Test::RecordProperty(name, value);
  }
  if (!status) {
    std::string message(launch_message);
    message += ": ";
    message += status.error().text();
    fail(std::move(message), where);
  }
  return *status;
}

void require_success(std::string_view capability, ExitStatus status, std::source_location where) {
  if (status.success()) return;
  std::string message = "hardware capability " + debug_quote(capability) + " failed with " + status.text();
  if (!status.program_lines().empty()) message += "\n" + status.program_lines();
  fail(std::move(message), where);
}

void configure_host_write_jitter(Command& command) {
  if (const char* max_delay = std::getenv("KIVU_TEST_HOST_WRITE_JITTER_MAX_US")) {
    command.env("KIVU_HOST_WRITE_JITTER_MAX_US", max_delay);
  }
  if (const char* seed = std::getenv("KIVU_TEST_HOST_WRITE_JITTER_SEED")) {
    command.env("KIVU_HOST_WRITE_JITTER_SEED", seed);
  }
}

ExitStatus host_test(std::initializer_list<EnvVar> environment, std::source_location where) {
  Command command(runner_path("kivu-host-e2e"));
  for (const auto& [name, value] : environment) command.env(name, value);
  configure_host_write_jitter(command);
  return run(command, "launch host exchange test runner", where);
}

}  // namespace kivu_e2e

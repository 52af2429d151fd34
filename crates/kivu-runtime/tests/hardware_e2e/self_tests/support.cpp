#include "support.hpp"

#include <fcntl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "kivu_host/board_lock.hpp"
#include "kivu_testing/child_process.hpp"

namespace kivu_e2e::testing {

// =============================================================================
// What the stand-ins recorded

namespace {

// Reverses the stand-in's escaping (\\ and \xNN).
std::string unescape(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 >= text.size()) {
      out += text[i];
    } else if (text[i + 1] == '\\') {
      out += '\\';
      ++i;
    } else if (text[i + 1] == 'x' && i + 3 < text.size()) {
      out += static_cast<char>(std::stoi(std::string(text.substr(i + 2, 2)), nullptr, 16));
      i += 3;
    } else {
      out += text[i];
    }
  }
  return out;
}

Invocation parse_log(const fs::path& file) {
  Invocation invocation;
  std::istringstream lines(read_file(file));
  std::string line;
  while (std::getline(lines, line)) {
    const auto space = line.find(' ');
    const std::string key = line.substr(0, space);
    const std::string value = space == std::string::npos ? "" : unescape(line.substr(space + 1));
    if (key == "name")
      invocation.runner = value;
    else if (key == "pid")
      invocation.pid = std::stoi(value);
    else if (key == "ppid")
      invocation.ppid = std::stoi(value);
    else if (key == "start")
      invocation.start = std::stoull(value);
    else if (key == "end")
      invocation.end = std::stoull(value);
    else if (key == "arg")
      invocation.argv.push_back(value);
    else if (key == "cwd")
      invocation.cwd = value;
    else if (key == "env")
      invocation.env.push_back(value);
    else if (key == "alive")
      invocation.alive.push_back(std::stoi(value));
    else if (key == "note")
      invocation.notes.push_back(value);
  }
  return invocation;
}

}  // namespace

std::optional<std::string> Invocation::variable(std::string_view name) const {
  for (const auto& entry : env) {
    if (entry.size() > name.size() && entry.starts_with(name) && entry[name.size()] == '=') {
      return entry.substr(name.size() + 1);
    }
  }
  return std::nullopt;
}

std::vector<Invocation> read_invocations(const fs::path& log_dir) {
  std::vector<Invocation> invocations;
  if (!fs::exists(log_dir)) return invocations;
  for (const auto& entry : fs::directory_iterator(log_dir)) {
    if (entry.path().extension() == ".log") invocations.push_back(parse_log(entry.path()));
  }
  std::ranges::sort(invocations, {}, &Invocation::start);
  return invocations;
}

std::vector<std::string> expected_env(const std::vector<std::string>& suite_env,
                                      const std::vector<std::pair<std::string, std::string>>& added) {
  static const std::vector<std::string> held_back = {
      "KIVU_GRAPH_TEST=",    "KIVU_RANDOM_SEED=",    "KIVU_GEMM_DIMENSION=", "KIVU_GEMM_SRAM_CHECK_BLOCK=",
      "KIVU_GEMM_SCHEDULE=", "KIVU_PROFILE_OUTPUT=", "KIVU_BOARD="};
  std::vector<std::string> env;
  for (const auto& entry : suite_env) {
    const bool replaced = std::ranges::any_of(added, [&](const auto& variable) {
      return entry.starts_with(variable.first) && entry.size() > variable.first.size() &&
             entry[variable.first.size()] == '=';
    });
    const bool dropped = entry.starts_with("KIVU_HOST_TEST_") ||
                         std::ranges::any_of(held_back, [&](const auto& prefix) { return entry.starts_with(prefix); });
    if (!replaced && !dropped) env.push_back(entry);
  }
  for (const auto& [name, value] : added) env.push_back(name + "=" + value);
  return env;
}

std::vector<std::pair<std::string, std::string>> with_failure_file(
    std::vector<std::pair<std::string, std::string>> added, const Invocation& invocation) {
  added.emplace_back("KIVU_RUNNER_FAILURE_FILE", invocation.variable("KIVU_RUNNER_FAILURE_FILE").value_or("(unset)"));
  return added;
}

// =============================================================================
// What the harness reported

const CaseResult& SuiteRun::result(std::string_view name) const {
  for (const auto& result : cases) {
    if (result.name == name) return result;
  }
  throw std::runtime_error("case did not run: " + std::string(name) + "\n" + output);
}

std::string SuiteRun::failure(std::string_view name) const {
  const CaseResult& found = result(name);
  if (found.failures.empty()) return "";
  if (found.failures.size() != 1) throw std::runtime_error("more than one failure in " + std::string(name));
  return found.failures.front();
}

namespace {

std::vector<CaseResult> read_report(const fs::path& report) {
  std::vector<CaseResult> cases;
  const std::string text = read_file(report);
  if (text.empty()) return cases;
  const auto json = nlohmann::json::parse(text);
  for (const auto& suite : json.at("testsuites")) {
    for (const auto& test : suite.at("testsuite")) {
      CaseResult result;
      result.name = test.at("name").get<std::string>();
      if (test.contains("failures")) {
        for (const auto& failure : test.at("failures")) {
          // "<file>:<line>\n<message>"
          const auto text_of = failure.at("failure").get<std::string>();
          const auto newline = text_of.find('\n');
          result.failures.push_back(newline == std::string::npos ? text_of : text_of.substr(newline + 1));
        }
      }
      result.passed = result.failures.empty() && test.value("result", "") == "COMPLETED";
      // GoogleTest's JSON puts recorded properties among the test's own
      // fields, all of them strings; its own ones are left out.
      for (const auto& [key, value] : test.items()) {
        static const std::set<std::string> own = {"name",      "file", "line",      "status",  "result",
                                                  "timestamp", "time", "classname", "failures"};
        if (value.is_string() && !own.contains(key)) result.properties[key] = value.get<std::string>();
      }
      cases.push_back(std::move(result));
    }
  }
  return cases;
}

}  // namespace

// =============================================================================
// The sandbox

Sandbox::Sandbox() {
  for (const auto& dir : {runners(), logs(), tmp(), work()}) fs::create_directory(dir);
  for (const auto& runner : all_runners) fs::create_symlink(stand_in_runner(), runners() / runner);
  control("");
}

Sandbox::~Sandbox() {
  for (const auto& started : running_) {
    kill(started.pid, SIGKILL);
    (void)wait_status_of(started.pid);
  }
}

std::string Sandbox::lock_name(std::uint32_t board) const { return lock().string() + "-" + std::to_string(board); }

void Sandbox::control(std::string_view rules) const { write_file(root_ / "control", rules); }

void Sandbox::all_pass(std::string_view actions) const {
  const fs::path profile = root_ / "passing.capnp";
  write_profile(passing_profile(), profile);
  const std::string then = actions.empty() ? "" : " " + std::string(actions);
  control("kivu-gemm-e2e * copy " + profile.string() + then + "\n" + (then.empty() ? "" : "* *" + then + "\n"));
}

void Sandbox::remove_runner(std::string_view name) const { fs::remove(runners() / name); }

std::vector<std::string> Sandbox::environment() const {
  return {
      "KIVU_SELFTEST_RUNNER_DIR=" + runners().string(),
      "KIVU_SELFTEST_DEVICE_LOCK=" + lock().string(),
      "KIVU_STANDIN_LOG=" + logs().string(),
      "KIVU_STANDIN_CONTROL=" + (root_ / "control").string(),
      "TMPDIR=" + tmp().string(),
  };
}

pid_t Sandbox::start(const std::vector<std::string>& args, const std::vector<std::string>& env,
                     std::optional<fs::path> cwd) {
  const int number = ++started_;
  Started started{0, root_ / ("output-" + std::to_string(number) + ".txt"),
                  root_ / ("report-" + std::to_string(number) + ".json")};
  std::vector<std::string> argv = prefix_;
  argv.push_back(suite_on_stand_ins());
  argv.insert(argv.end(), args.begin(), args.end());
  argv.push_back("--gtest_output=json:" + started.report.string());
  started.pid = spawn(argv, env, cwd.value_or(work()), started.output);
  running_.push_back(started);
  return started.pid;
}

std::string Sandbox::output(pid_t pid) const {
  const auto found = std::ranges::find(running_, pid, &Started::pid);
  if (found == running_.end()) throw std::runtime_error("not a suite of this sandbox");
  return read_file(found->output);
}

SuiteRun Sandbox::finish(pid_t pid) {
  const auto found = std::ranges::find(running_, pid, &Started::pid);
  if (found == running_.end()) throw std::runtime_error("not a suite of this sandbox");
  const Started started = *found;
  running_.erase(found);
  SuiteRun run;
  run.pid = pid;
  run.wait_status = wait_status_of(pid);
  run.output = read_file(started.output);
  run.cases = read_report(started.report);
  return run;
}

SuiteRun Sandbox::run(std::string_view filter, const std::vector<std::string>& env) {
  std::string gtest_filter;
  std::string_view rest = filter;
  while (!rest.empty()) {
    const auto colon = rest.find(':');
    if (!gtest_filter.empty()) gtest_filter += ':';
    gtest_filter += "hardware_e2e.";
    gtest_filter += rest.substr(0, colon);
    rest = colon == std::string_view::npos ? std::string_view{} : rest.substr(colon + 1);
  }
  return finish(start({"--gtest_filter=" + gtest_filter}, env));
}

// =============================================================================
// Helpers

std::string suite_on_stand_ins() { return SUITE_ON_STAND_INS; }
std::string stand_in_runner() { return STAND_IN_RUNNER; }

pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, const fs::path& cwd,
            const fs::path& output) {
  const auto pid = kivu_testing::start_child({.program = argv.at(0),
                                              .arguments = {argv.begin() + 1, argv.end()},
                                              .full_environment = env,
                                              .directory = cwd.string()},
                                             output.string());
  if (!pid) throw std::runtime_error(pid.error());
  return *pid;
}

int wait_status_of(pid_t pid) { return kivu_testing::wait_for_child(pid); }

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::istringstream in(text);
  std::string part;
  while (std::getline(in, part, separator)) {
    if (!part.empty()) parts.push_back(part);
  }
  return parts;
}

void write_file(const fs::path& path, std::string_view content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out.flush()) throw std::runtime_error("cannot write " + path.string());
}

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::optional<kivu_host::BoardLock> hold_lock_name(const std::string& name) {
  auto taken = kivu_host::BoardLock::try_take(name);
  if (taken) return std::move(*taken);
  if (taken.error().kind == kivu_host::BoardLockError::Kind::held) return std::nullopt;
  throw std::runtime_error("cannot take lock " + taken.error().locks + ": " + taken.error().reason);
}

std::uint64_t monotonic_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000ULL + static_cast<std::uint64_t>(ts.tv_nsec);
}

kivu_package::ProfileReport passing_profile() {
  using kivu_package::ProfileStepKind;
  kivu_package::ProfileReport report;
  report.clock_hz = 1'000'000'000;
  for (std::uint32_t tile = 0; tile < 1472; ++tile) {
    kivu_package::TileProfile profile;
    profile.physical_tile = tile;
    kivu_package::CycleSample sample;
    sample.step.kind = tile == 3     ? ProfileStepKind::Idle
                       : tile == 736 ? ProfileStepKind::Synchronization
                                     : ProfileStepKind::Compute;
    sample.start_cycle = 10;
    sample.end_cycle = 20;
    profile.samples.push_back(sample);
    if (tile == 1471) {
      sample.step.kind = ProfileStepKind::Exchange;
      profile.samples.push_back(sample);
    }
    report.tiles.push_back(std::move(profile));
  }
  return report;
}

void write_profile(const kivu_package::ProfileReport& report, const fs::path& path) {
  const auto written = kivu_package::write_profile_file(report, path);
  if (!written) throw std::runtime_error("cannot write profile " + path.string());
}

}  // namespace kivu_e2e::testing

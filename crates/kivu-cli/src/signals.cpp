// The tool frame's signal handlers (tool_frame.hpp).
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <csignal>

#include "kivu_cli/tool_frame.hpp"
#include "kivu_output_file/output_file.hpp"

namespace kivu_cli {

namespace {

// The SIGBUS line, assembled before any fault so that the handler only
// writes it: "TOOL: cannot read NAME: the file changed while it was
// read\n". `line_length` is published after the bytes are in place.
constexpr std::string_view line_middle = ": cannot read ";
constexpr std::string_view line_end = ": the file changed while it was read\n";
constexpr std::size_t max_tool = 100;
constexpr std::size_t max_name = 4000;
std::array<char, max_tool> tool_name{};
std::size_t tool_length = 0;
std::array<char, max_tool + line_middle.size() + max_name + line_end.size()> bus_line{};
std::atomic<std::size_t> line_length{0};

extern "C" void end_on_signal(int signal_number) {
  kivu_output_file::remove_output_temporaries();
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

extern "C" void end_on_bus_error(int signal_number, siginfo_t* info, void*) {
  // BUS_ADRERR is the kernel's code for an access to a mapped page past the
  // end of its file.
  if (info != nullptr && info->si_code == BUS_ADRERR) {
    kivu_output_file::remove_output_temporaries();
    const std::size_t length = line_length.load(std::memory_order_acquire);
    std::size_t written = 0;
    while (written < length) {
      const ssize_t got = ::write(STDERR_FILENO, bus_line.data() + written, length - written);
      if (got <= 0) break;
      written += static_cast<std::size_t>(got);
    }
    ::_exit(exit_failure);
  }
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

}  // namespace

void note_file_being_read(std::string_view name) noexcept {
  line_length.store(0, std::memory_order_release);
  name = name.substr(0, max_name);
  char* at = bus_line.data();
  at = std::copy_n(tool_name.data(), tool_length, at);
  at = std::copy(line_middle.begin(), line_middle.end(), at);
  at = std::copy(name.begin(), name.end(), at);
  at = std::copy(line_end.begin(), line_end.end(), at);
  line_length.store(static_cast<std::size_t>(at - bus_line.data()), std::memory_order_release);
}

void install_output_cleanup() noexcept {
  struct sigaction action {};
  action.sa_handler = end_on_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESETHAND;
  for (const int signal_number : {SIGINT, SIGTERM}) ::sigaction(signal_number, &action, nullptr);
}

void install_mapped_file_guard(std::string_view tool) noexcept {
  tool = tool.substr(0, max_tool);
  tool_length = std::copy(tool.begin(), tool.end(), tool_name.begin()) - tool_name.begin();
  note_file_being_read("a mapped file");
  struct sigaction bus {};
  bus.sa_sigaction = end_on_bus_error;
  sigemptyset(&bus.sa_mask);
  bus.sa_flags = SA_SIGINFO;
  ::sigaction(SIGBUS, &bus, nullptr);
}

void install_signal_handlers(std::string_view tool) noexcept {
  install_output_cleanup();
  install_mapped_file_guard(tool);
}

}  // namespace kivu_cli

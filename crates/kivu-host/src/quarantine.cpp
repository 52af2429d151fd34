// The quarantine file (see kivu_host/quarantine.hpp).
#include "kivu_host/quarantine.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include <nlohmann/json.hpp>

#include "kivu_base/debug_form.hpp"
#include "kivu_base/os_error.hpp"
#include "kivu_host/board_identity.hpp"
#include "kivu_host/settings.hpp"

namespace kivu_host {

namespace {

// The most a quarantine file may hold: a few hundred entries are a few KiB.
constexpr std::size_t max_file_bytes = 4 * 1024 * 1024;

QuarantineError corrupt(std::string_view path, std::string_view why) {
  return {QuarantineError::Kind::corrupt,
          "the quarantine file " + kivu_base::debug_quoted(path) + " is corrupt: " + std::string(why)};
}

// One entry of "boards" or "released"; `released` says which.
std::expected<QuarantineEntry, std::string> entry_of(const nlohmann::json& item, bool released) {
  if (!item.is_object()) return std::unexpected(std::string("an entry is not an object"));
  QuarantineEntry entry;
  const auto text = [&](const char* key, std::string& into) -> bool {
    const auto found = item.find(key);
    if (found == item.end() || !found->is_string()) return false;
    into = found->get_ref<const std::string&>();
    return true;
  };
  const auto board = item.find("board");
  if (board == item.end() || !board->is_number_unsigned() || board->get<std::uint64_t>() > UINT32_MAX)
    return std::unexpected(std::string("an entry's \"board\" is not a board number"));
  entry.board = static_cast<std::uint32_t>(board->get<std::uint64_t>());
  if (!text("host", entry.host) || !text("reason", entry.reason) || !text("date", entry.date))
    return std::unexpected(std::string("an entry lacks its text \"host\", \"reason\" or \"date\""));
  if (released && !text("released", entry.released))
    return std::unexpected(std::string("a released entry lacks its text \"released\""));
  return entry;
}

nlohmann::ordered_json entry_json(const QuarantineEntry& entry, bool released) {
  nlohmann::ordered_json item = {
      {"host", entry.host}, {"board", entry.board}, {"reason", entry.reason}, {"date", entry.date}};
  if (released) item["released"] = entry.released;
  return item;
}

}  // namespace

std::string quarantine_file_path(std::optional<std::string_view> quarantine_file,
                                 std::optional<std::string_view> xdg_state_home, std::optional<std::string_view> home) {
  if (quarantine_file && !quarantine_file->empty()) return std::string(*quarantine_file);
  if (xdg_state_home && xdg_state_home->starts_with('/')) return std::string(*xdg_state_home) + "/kivu/quarantine.json";
  if (home && !home->empty()) return std::string(*home) + "/.local/state/kivu/quarantine.json";
  return "quarantine.json";
}

std::string quarantine_file_from_environment() {
  const auto file = board_setting_value(quarantine_file_variable);
  const auto state = board_setting_value("XDG_STATE_HOME");
  const auto home = board_setting_value("HOME");
  return quarantine_file_path(setting_view(file), setting_view(state), setting_view(home));
}

std::expected<Quarantine, QuarantineError> parse_quarantine(std::string_view text, std::string_view path) {
  const auto document = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (document.is_discarded()) return std::unexpected(corrupt(path, "not JSON"));
  if (!document.is_object()) return std::unexpected(corrupt(path, "not a JSON object"));
  const auto version = document.find("version");
  if (version == document.end() || !version->is_number_unsigned() || version->get<std::uint64_t>() != 1)
    return std::unexpected(corrupt(path, "no \"version\": 1"));
  Quarantine quarantine;
  for (const bool released : {false, true}) {
    const auto list = document.find(released ? "released" : "boards");
    if (list == document.end()) continue;
    if (!list->is_array())
      return std::unexpected(corrupt(path, released ? "\"released\" is not an array" : "\"boards\" is not an array"));
    for (const auto& item : *list) {
      auto entry = entry_of(item, released);
      if (!entry) return std::unexpected(corrupt(path, entry.error()));
      (released ? quarantine.released : quarantine.boards).push_back(std::move(*entry));
    }
  }
  return quarantine;
}

std::expected<Quarantine, QuarantineError> read_quarantine(const std::string& path) {
  const auto unreadable = [&](int code) {
    return std::unexpected(QuarantineError{QuarantineError::Kind::unreadable, "cannot read the quarantine file " +
                                                                                  kivu_base::debug_quoted(path) + ": " +
                                                                                  kivu_base::os_error_display(code)});
  };
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return Quarantine{};
    return unreadable(errno);
  }
  std::string text;
  std::array<char, 8192> buffer{};
  for (;;) {
    const ssize_t got = ::read(fd, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      const int code = errno;
      ::close(fd);
      return unreadable(code);
    }
    if (got == 0) break;
    text.append(buffer.data(), static_cast<std::size_t>(got));
    if (text.size() > max_file_bytes) {
      ::close(fd);
      return std::unexpected(corrupt(path, "larger than 4 MiB"));
    }
  }
  ::close(fd);
  return parse_quarantine(text, path);
}

std::string quarantine_text(const Quarantine& quarantine) {
  nlohmann::ordered_json boards = nlohmann::ordered_json::array();
  for (const auto& entry : quarantine.boards) boards.push_back(entry_json(entry, false));
  nlohmann::ordered_json released = nlohmann::ordered_json::array();
  for (const auto& entry : quarantine.released) released.push_back(entry_json(entry, true));
  const nlohmann::ordered_json document = {{"version", 1}, {"boards", boards}, {"released", released}};
  return document.dump(2) + "\n";
}

std::string this_host_name() {
  std::array<char, 256> host{};
  if (::gethostname(host.data(), host.size() - 1) != 0) return "";
  return host.data();
}

std::set<std::uint32_t> quarantined_boards(const Quarantine& quarantine, std::string_view host, std::uint32_t boards,
                                           std::vector<std::string>& warnings) {
  std::set<std::uint32_t> found;
  for (const auto& entry : quarantine.boards) {
    if (entry.host != host) continue;
    if (entry.board >= boards) {
      warnings.push_back("ignored a quarantine entry: " + not_a_host_board(entry.board, "in the quarantine", boards));
      continue;
    }
    found.insert(entry.board);
  }
  return found;
}

const QuarantineEntry* find_quarantined(const Quarantine& quarantine, std::string_view host, std::uint32_t board) {
  for (const auto& entry : quarantine.boards) {
    if (entry.host == host && entry.board == board) return &entry;
  }
  return nullptr;
}

}  // namespace kivu_host

#include "kivu_results/inputs.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>
#include <system_error>

#include "kivu_base/expected.hpp"
#include "kivu_package/profile_file.hpp"
#include "kivu_package/profile_stats.hpp"
#include "kivu_results/test_cases.hpp"

namespace kivu_results {

namespace {

namespace fs = std::filesystem;

// =============================================================================
// SHA-256 (FIPS 180-4), streamed

class Sha256 {
public:
  void update(std::string_view bytes) {
    length_ += bytes.size();
    for (const char c : bytes) {
      block_[fill_++] = static_cast<std::uint8_t>(c);
      if (fill_ == 64) {
        compress();
        fill_ = 0;
      }
    }
  }

  std::string hex() {
    const std::uint64_t bits = length_ * 8;
    block_[fill_++] = 0x80;
    if (fill_ > 56) {
      std::fill(block_.begin() + static_cast<std::ptrdiff_t>(fill_), block_.end(), 0);
      compress();
      fill_ = 0;
    }
    std::fill(block_.begin() + static_cast<std::ptrdiff_t>(fill_), block_.begin() + 56, 0);
    for (int i = 0; i < 8; ++i)
      block_[56 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
    compress();
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    for (const std::uint32_t word : state_) {
      for (int shift = 28; shift >= 0; shift -= 4) text += digits[(word >> shift) & 0xf];
    }
    return text;
  }

private:
  static std::uint32_t rotate(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

  void compress() {
    static constexpr std::array<std::uint32_t, 64> k = {
        0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
        0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
        0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
        0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
        0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
        0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
        0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
        0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
    std::array<std::uint32_t, 64> w{};
    for (std::size_t i = 0; i < 16; ++i) {
      w[i] = std::uint32_t{block_[4 * i]} << 24 | std::uint32_t{block_[4 * i + 1]} << 16 |
             std::uint32_t{block_[4 * i + 2]} << 8 | std::uint32_t{block_[4 * i + 3]};
    }
    for (std::size_t i = 16; i < 64; ++i) {
      const std::uint32_t s0 = rotate(w[i - 15], 7) ^ rotate(w[i - 15], 18) ^ (w[i - 15] >> 3);
      const std::uint32_t s1 = rotate(w[i - 2], 17) ^ rotate(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    auto [a, b, c, d, e, f, g, h] = state_;
    for (std::size_t i = 0; i < 64; ++i) {
      const std::uint32_t t1 = h + (rotate(e, 6) ^ rotate(e, 11) ^ rotate(e, 25)) + ((e & f) ^ (~e & g)) + k[i] + w[i];
      const std::uint32_t t2 = (rotate(a, 2) ^ rotate(a, 13) ^ rotate(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
      h = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + t2;
    }
    const std::array<std::uint32_t, 8> add = {a, b, c, d, e, f, g, h};
    for (std::size_t i = 0; i < 8; ++i) state_[i] += add[i];
  }

  std::array<std::uint32_t, 8> state_ = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                         0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::array<std::uint8_t, 64> block_{};
  std::size_t fill_ = 0;
  std::uint64_t length_ = 0;
};

// =============================================================================
// XML

Verdict verdict_of(Outcome outcome) {
  switch (outcome) {
    case Outcome::Passed: return Verdict::Passed;
    case Outcome::Failed: return Verdict::Failed;
    case Outcome::Skipped: return Verdict::Skipped;
    case Outcome::Missing: return Verdict::Missing;
  }
  return Verdict::Failed;
}

// What the store keeps of a case: its message and text as one failure text.
CaseRecord case_record(CaseResult result) {
  CaseRecord record;
  // JUnit writers other than GoogleTest name the suite in classname.
  record.case_name = (result.suite.empty() ? result.classname : result.suite) + "." + result.name;
  record.seconds = seconds_of(result.time).value_or(0);
  record.verdict = verdict_of(result.outcome);
  for (auto& property : result.properties)
    record.properties.emplace_back(std::move(property.name), std::move(property.value));
  if (result.outcome == Outcome::Failed || result.outcome == Outcome::Missing) {
    record.failure = std::move(result.message);
    if (!result.text.empty() && result.text != record.failure) {
      if (!record.failure.empty() && !record.failure.ends_with('\n')) record.failure += '\n';
      record.failure += result.text;
    }
  }
  return record;
}

// True when the document declares a document type before its root element.
bool has_doctype(std::string_view xml) {
  std::size_t at = 0;
  while ((at = xml.find('<', at)) != std::string_view::npos) {
    const auto rest = xml.substr(at);
    if (rest.starts_with("<!DOCTYPE") || rest.starts_with("<!ENTITY")) return true;
    if (rest.starts_with("<?")) {
      at = xml.find("?>", at);
    } else if (rest.starts_with("<!--")) {
      at = xml.find("-->", at);
    } else {
      return false;  // the root element
    }
    if (at == std::string_view::npos) return false;
    ++at;
  }
  return false;
}

InputError error(InputError::Kind kind, const std::string& source, const std::string& reason) {
  return {kind, source + ": " + reason};
}

int rank(Verdict verdict) {
  switch (verdict) {
    case Verdict::Missing: return 0;
    case Verdict::Skipped: return 1;
    case Verdict::Passed: return 2;
    case Verdict::Failed: return 3;
  }
  return 0;
}

std::expected<std::uintmax_t, InputError> regular_file_size(const fs::path& path) {
  std::error_code code;
  const auto status = fs::status(path, code);
  if (code) return std::unexpected(error(InputError::Kind::Unreadable, path.string(), code.message()));
  if (!fs::is_regular_file(status))
    return std::unexpected(error(InputError::Kind::NotResult, path.string(), "not a regular file"));
  const auto size = fs::file_size(path, code);
  if (code) return std::unexpected(error(InputError::Kind::Unreadable, path.string(), code.message()));
  return size;
}

// Reads the whole file.
std::expected<std::string, InputError> read_bytes(const fs::path& path) {
  std::ifstream stream(path, std::ios::binary);
  if (!stream) {
    return std::unexpected(
        error(InputError::Kind::Unreadable, path.string(), std::error_code(errno, std::generic_category()).message()));
  }
  std::string bytes((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
  if (stream.bad()) return std::unexpected(error(InputError::Kind::Unreadable, path.string(), "read error"));
  return bytes;
}

// Hashes the file in pieces (a profile can be large).
std::expected<std::string, InputError> hash_file(const fs::path& path, std::string& first_bytes) {
  std::ifstream stream(path, std::ios::binary);
  if (!stream) {
    return std::unexpected(
        error(InputError::Kind::Unreadable, path.string(), std::error_code(errno, std::generic_category()).message()));
  }
  Sha256 hash;
  std::string buffer(std::size_t{1} << 16, '\0');
  while (stream) {
    stream.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    const auto got = static_cast<std::size_t>(stream.gcount());
    if (first_bytes.empty()) first_bytes.assign(buffer.data(), std::min<std::size_t>(got, 64));
    hash.update(std::string_view(buffer.data(), got));
  }
  if (stream.bad()) return std::unexpected(error(InputError::Kind::Unreadable, path.string(), "read error"));
  return hash.hex();
}

std::expected<std::vector<fs::path>, InputError> input_files(std::span<const std::string> inputs) {
  std::vector<fs::path> files;
  for (const auto& input : inputs) {
    auto named = named_files(input, {".xml", ".capnp"});
    if (!named) {
      return std::unexpected(
          error(InputError::Kind::Unreadable, input, "cannot list the folder: " + named.error().message()));
    }
    if (named->empty())
      return std::unexpected(error(InputError::Kind::NotResult, input, "a folder without *.xml or *.capnp files"));
    files.insert(files.end(), named->begin(), named->end());
  }
  return files;
}

}  // namespace

std::expected<std::vector<fs::path>, std::error_code> named_files(const std::string& input,
                                                                  std::initializer_list<std::string_view> extensions) {
  std::error_code code;
  if (!fs::is_directory(input, code)) return std::vector<fs::path>{input};
  std::vector<fs::path> found;
  for (fs::directory_iterator it(input, code), end; !code && it != end; it.increment(code)) {
    if (std::ranges::find(extensions, it->path().extension().string()) != extensions.end()) found.push_back(it->path());
  }
  if (code) return std::unexpected(code);
  std::ranges::sort(found);
  return found;
}

std::string sha256_hex(std::string_view bytes) {
  Sha256 hash;
  hash.update(bytes);
  return hash.hex();
}

std::expected<std::vector<CaseRecord>, InputError> read_result_xml(std::string_view xml, std::string_view source) {
  const std::string name(source);
  if (has_doctype(xml)) {
    return std::unexpected(error(InputError::Kind::Doctype, name,
                                 "refused: XML with a document type declaration (entities could expand without "
                                 "bound; no test result has one)"));
  }
  auto read = read_test_cases(xml, source, Documents::ResultsAndReports);
  if (!read) {
    if (read.error().kind == TestCasesError::Kind::Malformed) {
      return std::unexpected(
          error(InputError::Kind::Malformed, name, "truncated or malformed XML: " + read.error().detail));
    }
    return std::unexpected(
        error(InputError::Kind::NotResult, name,
              "not a test result (its root is <" + read.error().detail + ">, not <testsuites> or <testsuite>)"));
  }
  std::vector<CaseRecord> results;
  for (auto& result : *read) results.push_back(case_record(std::move(result)));
  return results;
}

std::expected<ProfileRecord, InputError> read_profile(const fs::path& path, std::string case_name) {
  auto file = kivu_package::ProfileFile::open(path);
  if (!file) {
    return std::unexpected(
        error(InputError::Kind::NotResult, path.string(),
              "neither a test result nor a cycle profile (" + kivu_package::debug_string(file.error()) + ")"));
  }
  kivu_package::ProfileStats stats;
  const auto walked = file->visit(
      [&](const kivu_package::ProfileView& view) { stats = kivu_package::compute_stats(view); });
  if (!walked) {
    return std::unexpected(error(InputError::Kind::NotResult, path.string(),
                                 "a broken cycle profile (" + kivu_package::debug_string(walked.error()) + ")"));
  }
  ProfileRecord record;
  record.case_name = std::move(case_name);
  record.total_cycles = stats.total_cycles();
  record.compute_cycles = stats.cycles.compute;
  record.exchange_cycles = stats.cycles.exchange;
  record.sync_cycles = stats.cycles.synchronization;
  record.idle_cycles = stats.cycles.idle;
  record.tile_count = stats.tiles.size();
  record.clock_hz = stats.clock_hz;
  // The busiest tile: most busy cycles, the lowest number among equals.
  for (const auto& tile : stats.tiles) {
    if (tile.busy_cycles() > record.busiest_tile_cycles) {
      record.busiest_tile = tile.physical_tile;
      record.busiest_tile_cycles = tile.busy_cycles();
    }
  }
  return record;
}

std::expected<InputContent, InputError> read_inputs(std::span<const std::string> inputs,
                                                    const std::string& profile_case, const InputLimits& limits) {
  KIVU_ASSIGN_OR_RETURN(const auto files, input_files(inputs));
  InputContent content;
  std::map<std::string, std::size_t> index;
  for (const auto& path : files) {
    KIVU_ASSIGN_OR_RETURN(const auto size, regular_file_size(path));
    std::string first_bytes;
    std::string digest;
    // XML is read whole (the bound applies first); a profile is hashed in
    // pieces and mapped by its reader.
    const auto limit = std::max(limits.max_xml_bytes, limits.max_profile_bytes);
    if (size > limit) {
      return std::unexpected(
          error(InputError::Kind::TooLarge, path.string(),
                "refused: " + std::to_string(size) + " bytes, over the bound of " + std::to_string(limit) + " bytes"));
    }
    KIVU_ASSIGN_OR_RETURN(digest, hash_file(path, first_bytes));
    const auto first = first_bytes.find_first_not_of(" \t\r\n\xef\xbb\xbf");
    if (size == 0 || first == std::string::npos) {
      return std::unexpected(error(InputError::Kind::NotResult, path.string(), "an empty file, not a test result"));
    }
    if (first_bytes[first] == '<') {
      if (size > limits.max_xml_bytes) {
        return std::unexpected(error(InputError::Kind::TooLarge, path.string(),
                                     "refused: " + std::to_string(size) + " bytes of XML, over the bound of " +
                                         std::to_string(limits.max_xml_bytes) + " bytes"));
      }
      KIVU_ASSIGN_OR_RETURN(const auto bytes, read_bytes(path));
      KIVU_ASSIGN_OR_RETURN(auto cases, read_result_xml(bytes, path.string()));
      for (auto& result : cases) {
        const auto [found, added] = index.emplace(result.case_name, content.cases.size());
        if (added) {
          content.cases.push_back(std::move(result));
        } else if (rank(result.verdict) > rank(content.cases[found->second].verdict)) {
          content.cases[found->second] = std::move(result);
        }
      }
      content.digests.push_back(std::move(digest));
    } else {
      if (size > limits.max_profile_bytes) {
        return std::unexpected(error(InputError::Kind::TooLarge, path.string(),
                                     "refused: " + std::to_string(size) + " bytes of profile, over the bound of " +
                                         std::to_string(limits.max_profile_bytes) + " bytes"));
      }
      KIVU_ASSIGN_OR_RETURN(auto profile, read_profile(path, profile_case));
      content.profiles.push_back(std::move(profile));
      content.digests.push_back(std::move(digest));
    }
  }
  return content;
}

std::string content_hash(std::vector<std::string> digests, std::string_view commit,
                         const std::map<std::string, std::string>& labels, std::string_view profile_case) {
  std::ranges::sort(digests);
  Sha256 hash;
  for (const auto& digest : digests) {
    hash.update(digest);
    hash.update("\n");
  }
  // Lengths first, so that no two different lists read the same.
  const auto field = [&](std::string_view text) {
    hash.update(std::to_string(text.size()));
    hash.update(":");
    hash.update(text);
  };
  field(commit);
  field(profile_case);
  for (const auto& [name, value] : labels) {
    field(name);
    field(value);
  }
  return hash.hex();
}

}  // namespace kivu_results

// What `kivu-results record` reads: GoogleTest/JUnit XML results (single
// runs, shards, or the merged report of the suite) and cycle profiles, and
// the content hash that recognises the same inputs recorded twice.
//
// An input is taken by its content, not its name: a file whose first
// non-blank byte is '<' is XML, anything else must be a cycle profile. A
// folder gives its *.xml and *.capnp files in name order. Refused, each with
// one line:
//   - XML with a document type declaration (<!DOCTYPE, and so any entity
//     definition): entity expansion could make a few kilobytes into
//     gigabytes, and no result file has one;
//   - a file larger than the limits (by default 64 MiB of XML, 4 GiB of
//     profile), before it is read;
//   - XML that does not parse (truncated, malformed), or whose root is not
//     <testsuites> or <testsuite>;
//   - a file that is neither XML nor a readable cycle profile.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <initializer_list>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "kivu_results/store.hpp"

namespace kivu_results {

struct InputLimits {
  std::uintmax_t max_xml_bytes = std::uintmax_t{64} << 20;
  std::uintmax_t max_profile_bytes = std::uintmax_t{4} << 30;
};

struct InputError {
  enum class Kind {
    Unreadable,  // missing, a folder that cannot be listed, a read error
    TooLarge,    // over InputLimits
    Doctype,     // XML with a document type declaration
    Malformed,   // XML that does not parse: truncated or broken
    NotResult,   // neither a test result nor a cycle profile
  };
  Kind kind = Kind::NotResult;
  std::string message;  // one line, naming the file
};

// The cases of one GoogleTest/JUnit XML document. Cases that did not run
// (status="notrun") are left out. A case of the merged report whose failure
// message begins "no result:" is Missing; <skipped> is Skipped.
[[nodiscard]] std::expected<std::vector<CaseRecord>, InputError> read_result_xml(std::string_view xml,
                                                                                 std::string_view source);

// The figures of the cycle profile at `path`, tied to `case_name`.
[[nodiscard]] std::expected<ProfileRecord, InputError> read_profile(const std::filesystem::path& path,
                                                                    std::string case_name);

// What a record's inputs hold, and the hex SHA-256 digest of each file's bytes.
struct InputContent {
  std::vector<CaseRecord> cases;  // a case reported twice counts once: failed when any report failed
  std::vector<ProfileRecord> profiles;
  std::vector<std::string> digests;
};

// The files that `input` names: itself when it is no folder, otherwise the
// folder's files whose extension is one of `extensions` (".xml"), in name
// order (none for a folder without such files). The error: why the folder
// could not be listed.
[[nodiscard]] std::expected<std::vector<std::filesystem::path>, std::error_code> named_files(
    const std::string& input, std::initializer_list<std::string_view> extensions);

// Reads every input (files and folders); profiles are tied to `profile_case`
// (empty when none is given).
[[nodiscard]] std::expected<InputContent, InputError> read_inputs(std::span<const std::string> inputs,
                                                                  const std::string& profile_case,
                                                                  const InputLimits& limits = {});

// The content hash of a record: SHA-256 over the sorted digests of its
// files, the commit and the labels, so that the order of the files does not
// matter and the same files under another commit or label are a new run.
[[nodiscard]] std::string content_hash(std::vector<std::string> digests, std::string_view commit,
                                       const std::map<std::string, std::string>& labels, std::string_view profile_case);

// Hex SHA-256 of `bytes`.
[[nodiscard]] std::string sha256_hex(std::string_view bytes);

}  // namespace kivu_results

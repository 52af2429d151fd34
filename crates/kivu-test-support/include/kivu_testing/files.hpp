// Test support: reading what a test's subject wrote, the one way every
// component's tests do it: a file's bytes exactly as on disk (no newline
// translation), so a test may compare them with what it expects, and the
// names a directory holds, to see that nothing was left behind.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace kivu_testing {

// The whole content of `path`, byte for byte; "" when it cannot be opened
// or read (missing, unreadable, a directory), and what was read before a
// read error: the comparison that follows then shows the fault. Never throws
// but bad_alloc.
[[nodiscard]] std::string read_file(const std::filesystem::path& path);

// The names of the entries of the directory `path` (files, links, folders;
// not "." and ".."), sorted. Throws std::filesystem::filesystem_error when
// the directory cannot be read, which fails the test with the reason.
[[nodiscard]] std::vector<std::string> directory_entries(const std::filesystem::path& path);

}  // namespace kivu_testing

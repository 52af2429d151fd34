// Test support: reading a file a test's subject wrote, the one way every
// component's tests do it. Bytes come back exactly as on disk (no newline
// translation), so a test may compare them with what it expects.
#pragma once

#include <filesystem>
#include <string>

namespace kivu_testing {

// The whole content of `path`, byte for byte; "" when it cannot be opened
// or read (missing, unreadable, a directory), and what was read before a
// read error: the comparison that follows then shows the fault. Never throws
// but bad_alloc.
[[nodiscard]] std::string read_file(const std::filesystem::path& path);

}  // namespace kivu_testing

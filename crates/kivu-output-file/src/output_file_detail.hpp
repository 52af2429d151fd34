// Output files, the library's side: the choice of how the new file of an
// atomic replacement is made, so that tests can take the named-temporary
// path that real runs take only on filesystems without unnamed files.
#pragma once

#include "kivu_output_file/output_file.hpp"

namespace kivu_output_file::detail {

// How write_output_file makes the new file of an atomic replacement.
enum class NewFile {
  UnnamedWhenPossible,  // O_TMPFILE, falling back to a named file where refused
  Named,                // always a named temporary file
};

// write_output_file with the way of making the new file chosen.
[[nodiscard]] std::expected<void, OutputError> write_output_file(const std::filesystem::path& path,
                                                                 const OutputWriter& write, OutputLink link,
                                                                 NewFile new_file) noexcept;

}  // namespace kivu_output_file::detail

// Strict UTF-8 validation.
//
// Cap'n Proto's Text readers hand out the bytes unchecked, so the profile
// reader validates every text itself. The answers match those of the usual
// strict decoders: overlong forms, UTF-16 surrogates (U+D800..U+DFFF) and
// code points above U+10FFFF are invalid; the error names the length of the
// valid prefix and the length of the maximal invalid subsequence (1 to 3),
// or no length when the input ends inside a sequence that was valid so far.
#pragma once

#include "kivu_package.hpp"

#include <optional>
#include <string_view>

namespace kivu_package::detail {

// Nothing when `bytes` is valid UTF-8, otherwise where and how it fails.
[[nodiscard]] std::optional<Utf8Error> check_utf8(std::string_view bytes) noexcept;

}  // namespace kivu_package::detail

// kivu_package: the cycle profile file and its reader.
//
// This file holds the library-wide reader settings. The rest lives beside
// it: reader.cpp (decoding), writer.cpp (encoding; files are written through
// kivu-output-file), framing.cpp (the stream framing), utf8.cpp (text
// checks) and error.cpp (PackageError's debug form and the Cap'n Proto
// boundary).
#include <limits>

#include "kivu_package.hpp"
#include "kivu_package/capnp_reader_options.hpp"

namespace kivu_package {

// =============================================================================
// Reader settings

namespace {

// An honest message is visited about once; four times its size leaves ample
// room for the reader's own bookkeeping (list tags, far-pointer landing pads),
// and the slack lets tiny messages hold a few empty elements.
constexpr std::uint64_t traversal_words_per_message_word = 4;
constexpr std::uint64_t traversal_slack_words = std::uint64_t{1} << 16;

}  // namespace

std::uint64_t profile_traversal_limit(std::uint64_t message_words) noexcept {
  constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  if (message_words > (max - traversal_slack_words) / traversal_words_per_message_word) return max;
  return message_words * traversal_words_per_message_word + traversal_slack_words;
}

capnp::ReaderOptions capnp_reader_options() noexcept {
  capnp::ReaderOptions options;
  options.traversalLimitInWords = std::numeric_limits<std::uint64_t>::max();
  return options;
}

}  // namespace kivu_package

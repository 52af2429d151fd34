// The Cap'n Proto reader options of a profile read, for code that decodes a
// profile message with Cap'n Proto itself (the library's reader does): kept
// out of kivu_package.hpp so that the library's users do not compile Cap'n
// Proto's headers.
#pragma once

#include <capnp/message.h>

namespace kivu_package {

// The Cap'n Proto reader options of a profile read: the library's defaults
// with the traversal limit switched off (the nesting limit stays at 64).
// ProfileReport::read itself bounds traversal by the size of the message
// instead (profile_traversal_limit in kivu_package.hpp).
[[nodiscard]] capnp::ReaderOptions capnp_reader_options() noexcept;

}  // namespace kivu_package

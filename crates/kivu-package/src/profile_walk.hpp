// Walking a profile message through the views of profile_file.hpp: shared by
// ProfileFile and ProfileReport::read. These functions raise kj exceptions
// and detail::ViewFailure; call them inside run_guarded.
#pragma once

#include <capnp/message.h>

#include "kivu_package/profile_file.hpp"

namespace kivu_package::detail {

// The message's root as a profile, after the schema version check: a
// version outside 1 to 3 fails as Invalid before anything else is read.
[[nodiscard]] ProfileView profile_root(capnp::MessageReader& message);

// Reads every field of `profile` in the order ProfileReport::read converts
// them, texts as text and kinds against the schema, keeping nothing.
void walk_profile(const ProfileView& profile);

}  // namespace kivu_package::detail

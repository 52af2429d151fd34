// The generated schema header is installed beside the library headers and
// compiles on its own against the Cap'n Proto that find_package(kivu) found.
#include "profile.capnp.h"

static_assert(capnp::typeId<kivu_package::profile_capnp::Profile>() != 0);

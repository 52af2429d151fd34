// Included first in every translation unit of the clang fuzz build only.
//
// kj/string.h of Cap'n Proto 0.9.2 leaves out `const char* == StringPtr` and
// `!=` when the compiler has C++20 three-way comparison, relying on the
// compiler to use the reversed member operator. Newer clang no longer does
// that when a matching operator!= exists, so capnp/blob.h stops compiling.
// This puts the two free operators back. They call StringPtr's members by
// name: written as `b == a`, the comparison would find the reversed form of
// the free operator itself and recurse until the stack ran out.
#pragma once

#include <kj/string.h>

#if defined(__clang__) && defined(__cpp_impl_three_way_comparison)
namespace kj {
inline bool operator==(const char* a, const StringPtr& b) { return b.operator==(StringPtr(a)); }
inline bool operator!=(const char* a, const StringPtr& b) { return b.operator!=(StringPtr(a)); }
}  // namespace kj
#endif

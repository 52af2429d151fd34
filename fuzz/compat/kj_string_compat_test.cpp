// Compiled by clang with kj_string_compat.h included first (test
// kj_string_compat_compares_texts): both comparisons of a C string with a
// kj::StringPtr give the right answer in either order, without recursing.
#include <cstdio>

int main(int argc, char**) {
  const kj::StringPtr text = "abc";
  // Not constants, so that the comparisons happen at run time.
  const char* same = argc > 0 ? "abc" : "x";
  const char* other = argc > 0 ? "abd" : "abc";
  const bool right = (same == text) && !(same != text) && !(other == text) && (other != text) && (text == same) &&
                     (text != other);
  if (!right) std::fprintf(stderr, "wrong comparison result\n");
  return right ? 0 : 1;
}

# Compiler settings shared by every target.
#
# The pattern is specified to the bit, so floating-point contraction (fused multiply-add) and
# fast-math are off in every build type: the same sample must give the same bits in Debug, Release
# and sanitizer builds alike.

add_compile_options(-ffp-contract=off -fno-fast-math -fno-finite-math-only)
add_compile_options(-Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion)
# GCC 12 reports std::string concatenation at -O2 as an overlapping memcpy (GCC bug 105329).
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  add_compile_options(-Wno-restrict)
endif()

if(TAMREL_SANITIZE)
  string(REPLACE ";" "," _tamrel_san "${TAMREL_SANITIZE}")
  add_compile_options(-fsanitize=${_tamrel_san} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${_tamrel_san})
endif()

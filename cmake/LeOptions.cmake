# Compiler flags shared by every target of the project.
add_compile_options(-Wall -Wextra
  # Kernels promise the same bits on every target and thread count: the
  # compiler must never fuse a multiply and an add behind our back.
  -ffp-contract=off)
if(LE_WERROR)
  add_compile_options(-Werror)
endif()
if(LE_SANITIZE)
  add_compile_options(-fsanitize=${LE_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${LE_SANITIZE})
  # Plain-C programs link the engine's C++ code, whose UBSan checks (vptr)
  # live in the C++ half of clang's runtime; clang links that half, and the
  # C++ library it leans on, only into C++ links unless told to.
  if(CMAKE_C_COMPILER_ID MATCHES "Clang" AND LE_SANITIZE MATCHES "undefined")
    add_link_options($<$<LINK_LANGUAGE:C>:-fsanitize-link-c++-runtime>)
    link_libraries($<$<LINK_LANGUAGE:C>:stdc++>)
  endif()
endif()
if(LE_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "LE_FUZZ needs clang (CC=clang CXX=clang++).")
  endif()
  # Coverage feedback must come from the engine's code, not only from the
  # fuzz target's own file; libFuzzer's main is linked into the targets alone.
  add_compile_options(-fsanitize=fuzzer-no-link)
  add_link_options(-fsanitize=fuzzer-no-link)
endif()

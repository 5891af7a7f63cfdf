# Every target of the project links quorvel_warnings; CI turns warnings into errors.
option(QUORVEL_WERROR "Treat compiler warnings as errors" OFF)

add_library(quorvel_warnings INTERFACE)
target_compile_options(quorvel_warnings INTERFACE
  -Wall -Wextra -Wshadow
  $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor>
  $<$<BOOL:${QUORVEL_WERROR}>:-Werror>)

# Warnings for our own targets only; third-party headers come in as system includes.
add_library(pallador_warnings INTERFACE)
target_compile_options(pallador_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast -Wcast-align
  -Woverloaded-virtual -Wconversion -Wsign-conversion -Wnull-dereference -Wimplicit-fallthrough
  $<$<BOOL:${PALLADOR_WERROR}>:-Werror>)

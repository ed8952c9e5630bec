# One sanitizer set for the whole build, so that the core, the tests and the
# application are instrumented alike.
if(PALLADOR_SANITIZE)
  set(_san_flags -fsanitize=${PALLADOR_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_compile_options(${_san_flags})
  add_link_options(${_san_flags})
endif()

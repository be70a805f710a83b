# CLIPMENDER_SANITIZE=address,undefined or thread: applied to every target of the build.
if(CLIPMENDER_SANITIZE)
  set(_san "-fsanitize=${CLIPMENDER_SANITIZE}")
  add_compile_options(${_san} -fno-omit-frame-pointer)
  add_link_options(${_san})
  if(CLIPMENDER_SANITIZE MATCHES "undefined")
    add_compile_options(-fno-sanitize-recover=undefined)
  endif()
endif()
if(CLIPMENDER_SANITIZE AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # g++ 12 reports false maybe-uninitialized warnings inside libstdc++
  # (std::regex, std::function) once sanitizer instrumentation is on.
  add_compile_options(-Wno-maybe-uninitialized)
endif()

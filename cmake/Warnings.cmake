# Every target of the project compiles without warnings under -Wall -Wextra.
add_compile_options(-Wall -Wextra)
if(CLIPMENDER_WERROR)
  add_compile_options(-Werror)
endif()

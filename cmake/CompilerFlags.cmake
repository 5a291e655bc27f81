# Flags for the library's own code (third-party code is compiled with its own flags).
add_library(quillmark_flags INTERFACE)
target_compile_options(quillmark_flags INTERFACE -Wall -Wextra)
if(QUILLMARK_WARNINGS_AS_ERRORS)
  target_compile_options(quillmark_flags INTERFACE -Werror)
endif()

if(QUILLMARK_SANITIZE)
  add_compile_options(-fsanitize=${QUILLMARK_SANITIZE} -fno-omit-frame-pointer
                      -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${QUILLMARK_SANITIZE})
endif()

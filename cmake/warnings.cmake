# Warnings for every target of the project. Third-party headers (Qt, GoogleTest) come in
# as system includes, so their warnings do not count.
add_compile_options(-Wall -Wextra -Wpedantic)
if(VELDORAN_WERROR)
  add_compile_options(-Werror)
endif()

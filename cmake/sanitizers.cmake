# QUORVEL_SANITIZE is a comma-separated -fsanitize= list ("address,undefined", "thread").
set(QUORVEL_SANITIZE "" CACHE STRING "Sanitizers to build with (passed to -fsanitize=)")

if(QUORVEL_SANITIZE)
  add_compile_options(-fsanitize=${QUORVEL_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${QUORVEL_SANITIZE})
endif()

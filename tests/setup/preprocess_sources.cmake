# Runs the preprocessor over every source of a configured build, with the compile
# command the build would use and the given include folder in front of all others.
# Fails, naming the sources, when any source does not preprocess.
#
#   cmake -DBUILD_DIR=... -DFIRST_INCLUDES=... -P preprocess_sources.cmake
file(READ ${BUILD_DIR}/compile_commands.json commands)
string(JSON count LENGTH "${commands}")
if(count EQUAL 0)
  message(FATAL_ERROR "${BUILD_DIR}/compile_commands.json lists no source")
endif()
math(EXPR last "${count} - 1")
set(failed "")
foreach(i RANGE ${last})
  string(JSON directory GET "${commands}" ${i} directory)
  string(JSON command GET "${commands}" ${i} command)
  string(JSON source GET "${commands}" ${i} file)
  separate_arguments(words UNIX_COMMAND "${command}")
  # The compiler, then its flags without the output and dependency files: the
  # preprocessed text goes nowhere, and nothing is written into the build.
  list(POP_FRONT words compiler)
  set(arguments "")
  set(skip_next FALSE)
  foreach(word IN LISTS words)
    if(skip_next)
      set(skip_next FALSE)
    elseif(word MATCHES "^-(o|MF|MT|MQ)$")
      set(skip_next TRUE)
    elseif(NOT word MATCHES "^-(c|MD|MMD)$")
      list(APPEND arguments ${word})
    endif()
  endforeach()
  execute_process(COMMAND ${compiler} -I${FIRST_INCLUDES} ${arguments} -E -o /dev/null
                  WORKING_DIRECTORY ${directory}
                  RESULT_VARIABLE status
                  ERROR_VARIABLE errors)
  if(NOT status EQUAL 0)
    list(APPEND failed ${source})
    message("${errors}")
  endif()
endforeach()
if(failed)
  list(JOIN failed "\n  " failed)
  message(FATAL_ERROR "these sources do not preprocess:\n  ${failed}")
endif()
message("${count} sources preprocess")

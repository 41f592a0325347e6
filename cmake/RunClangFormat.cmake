# cmake -DCLANG_FORMAT=... -DMODE=fix|check -DSOURCE_DIR=... -P RunClangFormat.cmake
set(folders app bench core framework fuzz help net platform tests ui)
set(files)
foreach(folder IN LISTS folders)
  file(GLOB_RECURSE found "${SOURCE_DIR}/${folder}/*.cpp" "${SOURCE_DIR}/${folder}/*.h")
  list(APPEND files ${found})
endforeach()
list(SORT files)

if(MODE STREQUAL "fix")
  execute_process(COMMAND ${CLANG_FORMAT} -i ${files} COMMAND_ERROR_IS_FATAL ANY)
  return()
endif()

# The column limit is clang-format's own, read from the style file, so the two
# checks can never disagree about it.
file(STRINGS "${SOURCE_DIR}/.clang-format" limit_line REGEX "^ColumnLimit:")
string(REGEX REPLACE "^ColumnLimit: *([0-9]+).*" "\\1" limit "${limit_line}")

set(bad 0)
execute_process(COMMAND ${CLANG_FORMAT} --dry-run --Werror ${files} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  set(bad 1)
endif()
# Lines clang-format cannot break (a long literal, an include) still count.
# Bytes are counted, which is stricter than columns for text beyond ASCII.
math(EXPR over "${limit} + 1")
string(REPEAT "." ${over} too_long)
foreach(f IN LISTS files)
  file(STRINGS "${f}" long_lines REGEX "^${too_long}")
  if(long_lines)
    file(RELATIVE_PATH rel "${SOURCE_DIR}" "${f}")
    message(STATUS "${rel}: a line is longer than ${limit} columns")
    set(bad 1)
  endif()
endforeach()
if(bad)
  message(FATAL_ERROR "Format differs from .clang-format; run the 'format' target "
                      "(cmake --build build --target format)")
endif()
list(LENGTH files count)
message(STATUS "${count} files in format")

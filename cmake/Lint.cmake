# Build targets that keep every C++ file of the tree in the repository's one
# format: `format` rewrites them, `check-format` fails on any difference and
# on any line past the column limit. The files are listed when the target
# runs, so a file added since the last configure is included.
find_program(SENTREL_CLANG_FORMAT NAMES clang-format-14 clang-format)
if(SENTREL_CLANG_FORMAT)
  add_custom_target(format
    COMMAND ${CMAKE_COMMAND} -DCLANG_FORMAT=${SENTREL_CLANG_FORMAT} -DMODE=fix
            -DSOURCE_DIR=${CMAKE_SOURCE_DIR} -P ${CMAKE_SOURCE_DIR}/cmake/RunClangFormat.cmake
    COMMENT "Formatting the C++ sources" VERBATIM)
  add_custom_target(check-format
    COMMAND ${CMAKE_COMMAND} -DCLANG_FORMAT=${SENTREL_CLANG_FORMAT} -DMODE=check
            -DSOURCE_DIR=${CMAKE_SOURCE_DIR} -P ${CMAKE_SOURCE_DIR}/cmake/RunClangFormat.cmake
    COMMENT "Checking the format of the C++ sources" VERBATIM)
endif()

# `tidy` runs clang-tidy (the checks in .clang-tidy) over the product
# libraries' sources and their headers; any finding fails it. It needs the
# compilation database and Qt's generated files, so it builds the program
# first.
find_program(SENTREL_RUN_CLANG_TIDY NAMES run-clang-tidy-14 run-clang-tidy)
find_program(SENTREL_CLANG_TIDY NAMES clang-tidy-14 clang-tidy)
if(SENTREL_RUN_CLANG_TIDY AND SENTREL_CLANG_TIDY)
  set(product "${CMAKE_SOURCE_DIR}/(app|core|framework|help|net|platform|ui)/")
  cmake_host_system_information(RESULT cores QUERY NUMBER_OF_LOGICAL_CORES)
  add_custom_target(tidy
    COMMAND ${SENTREL_RUN_CLANG_TIDY} -quiet -j ${cores} -p ${CMAKE_BINARY_DIR}
            -clang-tidy-binary ${SENTREL_CLANG_TIDY} "-header-filter=^${product}" "^${product}"
    COMMENT "clang-tidy on the product libraries" VERBATIM)
  add_dependencies(tidy sentrel-probe icmp)
  if(SENTREL_BUILD_UI)
    add_dependencies(tidy sentrel)
  endif()
endif()

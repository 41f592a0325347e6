# One place for the flags every target shares.
add_library(sentrel_flags INTERFACE)
target_compile_options(sentrel_flags INTERFACE
  -Wall -Wextra -Wnon-virtual-dtor -Woverloaded-virtual)
target_include_directories(sentrel_flags INTERFACE ${CMAKE_SOURCE_DIR})

# Qt targets additionally link this one.
add_library(sentrel_qt_flags INTERFACE)
target_compile_definitions(sentrel_qt_flags INTERFACE
  QT_NO_CAST_FROM_ASCII
  QT_NO_NARROWING_CONVERSIONS_IN_CONNECT
  QT_DISABLE_DEPRECATED_BEFORE=0x060400)

set(SENTREL_SANITIZE "" CACHE STRING "Sanitizers to build with: thread, address or empty")
if(SENTREL_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(SENTREL_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# Helpers shared by every component's CMakeLists.txt.
#
#   card_plugin(<name> SOURCES ... [LIBS ...])
#       lib<name>.so, loaded by the runtime by name; installed to lib/. Written
#       on the card's shell (cardkit: card_plugin.hpp, card_runtime.hpp).
#   card_unit_test(<name> SOURCES ... [LIBS ...] [INCLUDES ...])
#       a GoogleTest program registered with ctest (label "unit"); nothing
#       when the tests are not built (CARDMON_TESTS off, the device build).

function(card_plugin name)
  cmake_parse_arguments(P "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} SHARED ${P_SOURCES})
  target_compile_options(${name} PRIVATE ${CARD_WARNINGS})
  target_link_libraries(${name} PRIVATE fieldcore cardkit ${P_LIBS})
  # Each plug-in keeps its own copy of the shell's symbols.
  target_link_options(${name} PRIVATE -Wl,--exclude-libs,libcardkit.a)
  set_target_properties(${name} PROPERTIES INSTALL_RPATH "$ORIGIN")
  install(TARGETS ${name} LIBRARY DESTINATION lib)
endfunction()

function(card_unit_test name)
  if(NOT CARDMON_TESTS)
    return()
  endif()
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;INCLUDES" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_include_directories(${name} PRIVATE ${T_INCLUDES})
  target_compile_options(${name} PRIVATE ${CARD_WARNINGS})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  gtest_discover_tests(${name} PROPERTIES LABELS unit DISCOVERY_TIMEOUT 60)
endfunction()

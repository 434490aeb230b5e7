# GoogleTest from the Debian source package, built with the current compiler.
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

if(WIN32)
  # Every test executable runs under 64-bit Wine in one prefix made by the
  # WinePrefix fixture (tests/CMakeLists.txt).
  set(ZAVEX_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run.sh
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE
    @ONLY)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run.sh)
  # scripts/test.sh runs several trees in one CTest run; each tree has a prefix
  # and a server port of its own, so its fixture and locks are its own too.
  set(ZAVEX_TREE_TAG "@${CMAKE_BINARY_DIR}")
  # CTest finds a fixture's setup and cleanup tests by name across the trees
  # of one run, so the names of the tests in the fixture name their tree.
  get_filename_component(ZAVEX_TREE_NAME ${CMAKE_BINARY_DIR} NAME)
  set(ZAVEX_TEST_SUFFIX "@${ZAVEX_TREE_NAME}")
  # Windows view of the build tree, for tests that start the built programs.
  string(REPLACE "/" "\\\\" ZAVEX_BUILD_DIR_WIN "Z:${CMAKE_BINARY_DIR}")
else()
  include(GoogleTest)
  # The 32-bit tree runs the host tree's cases in the same CTest run: their
  # names carry the tree's, as those of the Wine trees do.
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    get_filename_component(ZAVEX_TREE_NAME ${CMAKE_BINARY_DIR} NAME)
    set(ZAVEX_TEST_SUFFIX "@${ZAVEX_TREE_NAME}")
  endif()
endif()

# zavex_add_gtest(<name> SOURCES ... [LIBRARIES ...] [RESOURCE_LOCK ...] [TIMEOUT s])
# One GoogleTest executable; natively each case is a CTest test, under Wine the
# whole executable is one test inside the Wine prefix fixture.
function(zavex_add_gtest name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBRARIES;RESOURCE_LOCK" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES} GTest::gtest GTest::gmock GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/tests)
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  if(WIN32)
    target_compile_definitions(${name} PRIVATE ZAVEX_BUILD_DIR_WIN=L"${ZAVEX_BUILD_DIR_WIN}")
    add_test(NAME ${name}${ZAVEX_TEST_SUFFIX} COMMAND ${name} --gtest_color=no)
    set_tests_properties(${name}${ZAVEX_TEST_SUFFIX} PROPERTIES
      FIXTURES_REQUIRED WinePrefix${ZAVEX_TREE_TAG} TIMEOUT ${ARG_TIMEOUT})
    if(ARG_RESOURCE_LOCK)
      list(TRANSFORM ARG_RESOURCE_LOCK APPEND "${ZAVEX_TREE_TAG}")
      set_tests_properties(${name}${ZAVEX_TEST_SUFFIX} PROPERTIES
        RESOURCE_LOCK "${ARG_RESOURCE_LOCK}")
    endif()
  else()
    gtest_discover_tests(${name} TEST_SUFFIX "${ZAVEX_TEST_SUFFIX}" PROPERTIES TIMEOUT ${ARG_TIMEOUT})
  endif()
endfunction()

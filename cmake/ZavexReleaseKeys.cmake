# The public keys whose signatures the updater accepts on a server manifest,
# read from PEM files at configure time and compiled in as CNG key blobs.
set(ZAVEX_RELEASE_PUBLIC_KEYS "" CACHE STRING
    "List of PEM public keys (ECDSA P-256) that sign releases; empty: manifests are not signed")
option(ZAVEX_ALLOW_UNSIGNED "Allow a build without release keys for a server off loopback" OFF)

# Stops the configure of a build for a server off loopback without release
# keys, unless ZAVEX_ALLOW_UNSIGNED is on: anyone who can answer for that
# address could have their own files installed elevated.
function(zavex_check_release_signing url key_count)
  if(key_count GREATER 0)
    return()
  endif()
  if(url MATCHES "^https?://(127\\.[0-9.]+|localhost|\\[::1\\])(:[0-9]+)?/")
    return()
  endif()
  if(ZAVEX_ALLOW_UNSIGNED)
    message(WARNING "ZAVEX_ALLOW_UNSIGNED is on: this build for ${url} accepts any server manifest.")
    return()
  endif()
  message(FATAL_ERROR
    "This build for ${url} has no release keys: it would install, elevated, whatever any server "
    "answering for that address sends. Set ZAVEX_RELEASE_PUBLIC_KEYS (README.md, \"Signed "
    "releases\"), or configure with -DZAVEX_ALLOW_UNSIGNED=ON to build unsigned on purpose.")
endfunction()

# Sets ZAVEX_RELEASE_KEY_BLOBS (C++ initialisers) and ZAVEX_RELEASE_KEY_COUNT.
function(zavex_read_release_keys)
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  set(blobs "")
  set(count 0)
  foreach(key IN LISTS ZAVEX_RELEASE_PUBLIC_KEYS)
    get_filename_component(key "${key}" ABSOLUTE)
    execute_process(
      COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/scripts/release_key_blob.py ${key}
      OUTPUT_VARIABLE bytes ERROR_VARIABLE reason RESULT_VARIABLE failed
      OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(failed)
      string(STRIP "${reason}" reason)
      message(FATAL_ERROR "ZAVEX_RELEASE_PUBLIC_KEYS: ${key} is not a P-256 public key: ${reason}")
    endif()
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${key})
    string(APPEND blobs "ReleaseKeyBlob{${bytes}},\n")
    math(EXPR count "${count} + 1")
  endforeach()
  if(WIN32)
    zavex_check_release_signing("${ZAVEX_SERVER_BASE_URL}" ${count})
  endif()
  if(count EQUAL 0 AND WIN32)
    message(WARNING "ZAVEX_RELEASE_PUBLIC_KEYS is empty: this build accepts any server manifest "
                    "and its releases are unsigned. See README.md, \"Signed releases\".")
  endif()
  set(ZAVEX_RELEASE_KEY_BLOBS "${blobs}" PARENT_SCOPE)
  set(ZAVEX_RELEASE_KEY_COUNT ${count} PARENT_SCOPE)
endfunction()

# An executable of the updater; extra arguments are further sources.
function(zavex_add_updater target)
  add_executable(${target} WIN32 ${CMAKE_SOURCE_DIR}/src/app/main.cpp
    ${CMAKE_SOURCE_DIR}/res/zavex_updater.rc ${ARGN})
  target_link_libraries(${target} PRIVATE zavex_app)
  target_link_options(${target} PRIVATE -municode -mwindows)
endfunction()

# outputFolder/zavex_updater.exe, built from the same sources but trusting
# keys (a list of PEM files) instead of ZAVEX_RELEASE_PUBLIC_KEYS: the updater
# that a release carries when the release keys change. Its own compiled key
# unit is linked before zavex_app, so the linker takes no other from there.
function(zavex_add_updater_with_keys target outputFolder keys)
  set(ZAVEX_RELEASE_PUBLIC_KEYS "${keys}")
  zavex_read_release_keys()
  set(generated ${CMAKE_CURRENT_BINARY_DIR}/${target}-generated)
  configure_file(${CMAKE_SOURCE_DIR}/src/app/release_keys.h.in ${generated}/app/release_keys.h
    @ONLY)
  zavex_add_updater(${target} ${CMAKE_SOURCE_DIR}/src/app/compiled_release_server.cpp)
  target_include_directories(${target} BEFORE PRIVATE ${generated})
  set_target_properties(${target} PROPERTIES OUTPUT_NAME zavex_updater
    RUNTIME_OUTPUT_DIRECTORY ${outputFolder})
endfunction()

# The configure-time check of the server address on URL alone, as a build
# with the given ZAVEX_BUILD_TESTS sees it: cmake -DURL=... -P this file.
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/ZavexServerUrl.cmake)
zavex_check_server_url("${URL}")

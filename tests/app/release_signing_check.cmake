# The configure-time check that a Windows build for a server off loopback has
# release keys, on URL, KEY_COUNT and ALLOW_UNSIGNED alone:
# cmake -DURL=... -DKEY_COUNT=N [-DALLOW_UNSIGNED=ON] -P this file.
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/ZavexReleaseKeys.cmake)
set(ZAVEX_ALLOW_UNSIGNED ${ALLOW_UNSIGNED})
zavex_check_release_signing("${URL}" ${KEY_COUNT})

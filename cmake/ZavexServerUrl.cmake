# The server address is compiled in; reject a value that would build a broken program.
function(zavex_check_server_url url)
  if(NOT url MATCHES "^https?://.+/$")
    message(FATAL_ERROR
      "ZAVEX_SERVER_BASE_URL must start with http:// or https:// and end with '/' (got '${url}')")
  endif()
  if(url MATCHES "^http://" AND NOT ZAVEX_BUILD_TESTS AND NOT ZAVEX_HOST_BUILD)
    message(WARNING
      "ZAVEX_SERVER_BASE_URL is a plain http:// address (${url}). The manifest and the files "
      "that this elevated program installs and runs then travel unencrypted and unauthenticated: "
      "anyone on the network path can replace them with their own. Use an https:// address for "
      "a release for real users.")
  endif()
endfunction()

# The server address is compiled in; reject a value that would build a broken program.
function(zavex_check_server_url url)
  if(NOT url MATCHES "^https?://.+/$")
    message(FATAL_ERROR
      "ZAVEX_SERVER_BASE_URL must start with http:// or https:// and end with '/' (got '${url}')")
  endif()
endfunction()

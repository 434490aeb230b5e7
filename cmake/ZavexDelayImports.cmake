# A statically imported DLL that is not a known DLL is searched in the
# executable's folder first, before the program runs a line: a DLL planted
# there (in Downloads, say) would run with administrator rights. Such DLLs are
# imported with delay loading instead, so they load on first use, after
# SetDefaultDllDirectories has limited the search to System32.
#
# zavex_delay_import(<dll>) defines the target zavex_delay_<dll>: a
# delay-import library made by dlltool from a .def file that lists every
# function of the toolchain's own import library for <dll>, decorated as the
# target's calling convention wants (i686 stdcall names keep "@<bytes>").
function(zavex_delay_import dll)
  find_library(ZAVEX_IMPORT_LIBRARY_${dll} NAMES ${dll} REQUIRED NO_CACHE)
  execute_process(COMMAND ${CMAKE_NM} -g ${ZAVEX_IMPORT_LIBRARY_${dll}}
    OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
  # i686 C names carry a leading underscore, which the .def leaves out; the
  # DLLs export stdcall functions without their "@<bytes>", hence --kill-at.
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(import_prefix "__imp__")
    set(kill_at --kill-at)
  else()
    set(import_prefix "__imp_")
    set(kill_at)
  endif()
  string(REGEX MATCHALL "${import_prefix}[^\r\n]+" imports "${symbols}")
  list(TRANSFORM imports REPLACE "^${import_prefix}" "")
  list(REMOVE_DUPLICATES imports)
  list(JOIN imports "\n" exports)

  set(folder ${CMAKE_BINARY_DIR}/delay-imports)
  file(CONFIGURE OUTPUT ${folder}/${dll}.def CONTENT "LIBRARY ${dll}.dll\nEXPORTS\n${exports}\n")
  # dlltool names its symbols after the output path: a relative one keeps the
  # build folder's path out of the executable.
  execute_process(COMMAND ${CMAKE_DLLTOOL} ${kill_at} --input-def ${dll}.def
    --dllname ${dll}.dll --output-delaylib lib${dll}_delay.a
    WORKING_DIRECTORY ${folder} COMMAND_ERROR_IS_FATAL ANY)

  add_library(zavex_delay_${dll} STATIC IMPORTED GLOBAL)
  set_target_properties(zavex_delay_${dll} PROPERTIES
    IMPORTED_LOCATION ${folder}/lib${dll}_delay.a INTERFACE_LINK_LIBRARIES delayimp)
endfunction()

# 32-bit (i386) Linux build of the platform-free code and its tests, so that
# the decoders' size_t arithmetic is tested at the shipped width, with UBSan.
# Where the kernel refuses 32-bit programs (or only an emulator runs them),
# the tests run under qemu-i386-static.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER clang-14)
set(CMAKE_CXX_COMPILER clang++-14)
# time_t of 64 bits, as the shipped MinGW build has, for the C runtime that
# the tests compare with.
set(CMAKE_C_FLAGS_INIT "-m32 -D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64")
set(CMAKE_CXX_FLAGS_INIT
    "${CMAKE_C_FLAGS_INIT} -fsanitize=undefined -fno-sanitize-recover=all -fno-omit-frame-pointer")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32 -fsanitize=undefined")
set(ZAVEX_HOST_BUILD ON CACHE BOOL "Build only the platform-free code natively" FORCE)
set(ZAVEX_FUZZING OFF CACHE BOOL "Instrument zavex_formats and build the fuzz targets" FORCE)

execute_process(COMMAND ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-prefix.sh kernel-runs-32-bit
  RESULT_VARIABLE zavex_kernel_runs_32_bit)
if(NOT zavex_kernel_runs_32_bit EQUAL 0)
  find_program(ZAVEX_QEMU_I386 qemu-i386-static REQUIRED)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ZAVEX_QEMU_I386})
endif()

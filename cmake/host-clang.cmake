# Native build of the platform-free code with AddressSanitizer and UBSan.
set(CMAKE_C_COMPILER clang-14)
set(CMAKE_CXX_COMPILER clang++-14)
set(ZAVEX_HOST_BUILD ON CACHE BOOL "Build only the platform-free code natively" FORCE)
set(CMAKE_CXX_FLAGS_INIT "-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fsanitize=address,undefined")

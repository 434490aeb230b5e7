#!/bin/sh
# Rebuilds the sample executables from sample.c with MinGW-w64: stripped, and
# for 32 bits also with the symbol table but without debug sections.
set -eu
cd "$(dirname "$0")"
for version in 1 2; do
  i686-w64-mingw32-gcc -O2 -s -Wl,--dynamicbase -DSAMPLE_VERSION=$version sample.c -o sample_32_v$version.exe
  i686-w64-mingw32-gcc -O2 -Wl,--strip-debug -Wl,--dynamicbase -DSAMPLE_VERSION=$version sample.c \
    -o sample_32_symbols_v$version.exe
  x86_64-w64-mingw32-gcc -O2 -s -Wl,--dynamicbase -DSAMPLE_VERSION=$version sample.c -o sample_64_v$version.exe
done

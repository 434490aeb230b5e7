/* Source of the sample executables: sample_{32,64}_v{1,2}.exe and sample_32_symbols_v{1,2}.exe (see build.sh).
   Version 2 adds a function in the middle, so that code and data move. */
#include <stdio.h>
#include <string.h>

static const char* const kNames[] = {"alfa", "bravo", "charlie", "delta", "echo"};

__attribute__((noinline)) static int Weigh(const char* text) {
  int weight = 0;
  for (const char* c = text; *c; ++c) weight = weight * 31 + *c;
  return weight;
}

__attribute__((noinline)) static int Longest(void) {
  size_t best = 0;
  for (unsigned i = 0; i < sizeof(kNames) / sizeof(kNames[0]); ++i) {
    if (strlen(kNames[i]) > best) best = strlen(kNames[i]);
  }
  return (int)best;
}

#if SAMPLE_VERSION >= 2
__attribute__((noinline)) static int Mix(int a, int b) {
  int mixed = a;
  for (int round = 0; round < b % 7; ++round) mixed = (mixed << 3) ^ (mixed >> 2) ^ Weigh(kNames[round % 5]);
  return mixed;
}
#endif

__attribute__((noinline)) static int Total(int count) {
  int total = 0;
  for (int i = 0; i < count; ++i) total += Weigh(kNames[i % 5]) ^ Longest();
#if SAMPLE_VERSION >= 2
  total = Mix(total, count);
#endif
  return total;
}

typedef int (*Step)(int);
static int Twice(int value) { return Total(value) * 2; }
static int Half(int value) { return Total(value) / 2; }
static const Step kSteps[] = {Twice, Half, Total};

int main(int argc, char** argv) {
  int result = 0;
  for (int i = 0; i < argc; ++i) result += kSteps[i % 3](argc + (int)strlen(argv[i]));
  printf("%d %d\n", result, Longest());
  return result == 42;
}

// bench_main.cpp - entry point of rtk_bench. Standard output is kept for
// the trace benchmarks (which point it at a scratch file and need it fully
// buffered, as it is for a program whose output goes to a file), so the
// console report goes to standard error; --benchmark_out still writes JSON.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <iostream>

int main(int argc, char **argv) {
  // Before anything is written: a file-like stdout even on a terminal.
  std::setvbuf(stdout, nullptr, _IOFBF, BUFSIZ);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::ConsoleReporter console(benchmark::ConsoleReporter::OO_Tabular);
  console.SetOutputStream(&std::cerr);
  console.SetErrorStream(&std::cerr);
  benchmark::RunSpecifiedBenchmarks(&console);
  benchmark::Shutdown();
  return 0;
}

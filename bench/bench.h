// The subcommands of holm-bench. Each prints its figures on standard output,
// one measurement per line, for bench/bench.py to gather; each returns the
// exit status.
#pragma once

namespace bench {

// bare -j N -o DIR BUNDLE PRINTERS: starts BUNDLE -n ADDRESS for every
// printer at once and reaps them, nothing more: the fleet benchmark's floor.
int bare(int argc, char* argv[]);

// burn SECONDS MIB: touches MIB MiB of memory and keeps it while it spends
// SECONDS of CPU time of its own; the control load of the fleet benchmark.
int burn(int argc, char* argv[]);

// meter REPORT NETNS OWN BUNDLES BUNDLE PROGRAM ARGS...: runs PROGRAM in
// the network namespace NETNS ("-": the meter's own) with its processes in
// the cgroups OWN (folders, separated by ':'), each execution of the file
// BUNDLE moved into the cgroups BUNDLES before its first instruction.
// Writes "status N" (the program's), "bundles N" (moved), "others N",
// "missed N", "lingering 0|1", "cpu SECONDS" (the meter's own) and
// "longest SECONDS" (the longest any execve was held) to REPORT.
int meter(int argc, char* argv[]);

// scan-entries COUNT REPS: walks an in-memory archive of COUNT small entries
// to its end, REPS times; prints "walk SECONDS" per repetition.
int scan_entries(int argc, char* argv[]);

// scan-prefix KIND MIB REPS [FILE]: a prefix of MIB MiB (KIND zeros, random,
// or code: FILE repeated) before one header; prints "holm SECONDS" and
// "memchr SECONDS" per repetition, side by side.
int scan_prefix(int argc, char* argv[]);

// sink PORT: accepts connections on 127.0.0.1:PORT one after the other,
// reads each to its end and prints "BYTES NANOSECONDS" (CLOCK_MONOTONIC at
// the end of the stream). Runs until killed.
int sink(int argc, char* argv[]);

// spawn COUNT PROGRAM ARGS...: starts PROGRAM COUNT times, one after the
// other, output discarded; prints "each SECONDS", the mean time per run.
int spawn(int argc, char* argv[]);

}  // namespace bench

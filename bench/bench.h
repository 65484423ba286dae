// The subcommands of holm-bench. Each prints its figures on standard output,
// one measurement per line, for bench/bench.py to gather; each returns the
// exit status.
#pragma once

namespace bench {

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

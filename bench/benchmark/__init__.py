"""The benchmark's parts, in the order bench/bench.py uses them:

  constants   the program's pacing, read from its headers, and what is sent
  stats       summaries of timings
  scheduling  real-time priority and scheduler slices
  programs    a measured program on pipes; the simulated device
  parsing     the simulator's trace and the call log of syscall_log.c
  procedures  the measurements themselves
  machine     what the figures were recorded on
  reports     the tables in docs/benchmarks.md and the gap plot

and, for bench/serve_bench.py (the long-running program, --serve):

  serve         the run: simulated meters, the program, the phases measured
  serve_report  its tables in docs/benchmarks.md
"""

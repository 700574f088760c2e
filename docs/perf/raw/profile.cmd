perf record -e cpu-clock -F 999 redowl-snapshot --mode traced --frames 15 --light-angle 1 --out /work/main/build/release/bench-report/traced.png --budget-ms 0

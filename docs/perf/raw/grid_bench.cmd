build/release/bench/grid_bench --rounds 3 --benchmark_out=/work/main/build/release/bench-report/grid_bench.json --benchmark_out_format=json --benchmark_color=false

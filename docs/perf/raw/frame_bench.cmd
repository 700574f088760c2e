build/release/bench/frame_bench --benchmark_out=/work/main/build/release/bench-report/frame_bench.json --benchmark_out_format=json --benchmark_color=false

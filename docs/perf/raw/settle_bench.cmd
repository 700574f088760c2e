build/release/bench/settle_bench --reference-passes 1024

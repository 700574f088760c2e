build/release/bench/budget_bench --frames 30

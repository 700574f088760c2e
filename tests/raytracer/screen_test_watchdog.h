#pragma once
// Bounds the running time of a thread test: when the guarded scope has not ended after the
// given number of seconds, the process is ended with a message (a deadlock must fail the test,
// not hang the suite). This is a bound, not a speed measurement.

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace redowl_test {

class Watchdog {
public:
    Watchdog(const char* what, int seconds) : thread_([this, what, seconds] {
          std::unique_lock<std::mutex> lock(mutex_);
          if (!cv_.wait_for(lock, std::chrono::seconds(seconds), [this] { return done_; })) {
              std::fprintf(stderr, "watchdog: %s did not finish within %d s (deadlock?)\n", what, seconds);
              std::fflush(stderr);
              std::_Exit(3);
          }
      }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        cv_.notify_one();
        thread_.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;
    std::thread thread_;
};

}  // namespace redowl_test

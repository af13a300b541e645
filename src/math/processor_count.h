#pragma once
// How many threads to use, and running work on them.

#include <algorithm>
#include <cstddef>
#include <exception>
#include <system_error>
#include <thread>
#include <vector>

namespace lumivex {

// The number of processors this process may run on (its affinity mask, so
// `taskset -c 0` gives 1), at least 1.
std::size_t usableProcessorCount();

// Threads for a caller's setting: 0 means as many as the process may run on.
inline std::size_t threadsFor(std::size_t requested) { return requested > 0 ? requested : usableProcessorCount(); }

// Runs work(0) here and work(1), ... work(count - 1) on threads of their own;
// a thread the system refuses is done here instead. Once all are done, the
// first exception any of them threw (by index) is thrown here.
template <typename Work>
void onWorkers(std::size_t count, Work&& work) {
  std::vector<std::exception_ptr> thrown(std::max<std::size_t>(count, 1));
  const auto caught = [&](std::size_t index) {
    try {
      work(index);
    } catch (...) {
      thrown[index] = std::current_exception();
    }
  };
  {
    std::vector<std::jthread> helpers;
    for (std::size_t index = 1; index < count; ++index) {
      try {
        helpers.emplace_back(caught, index);
      } catch (const std::system_error&) {
        caught(index);
      }
    }
    caught(0);
  }
  for (const std::exception_ptr& exception : thrown) {
    if (exception) std::rethrow_exception(exception);
  }
}

// Runs work(i) for every i in [0, count), in `threads` stretches of
// consecutive i, one per thread. What each i computes must not depend on the
// others, so the result is the same for any number of threads.
template <typename Work>
void forEachInParallel(std::size_t count, std::size_t threads, Work&& work) {
  threads = std::clamp<std::size_t>(threads, 1, std::max<std::size_t>(count, 1));
  onWorkers(threads, [&](std::size_t worker) {
    const std::size_t end = count * (worker + 1) / threads;
    for (std::size_t i = count * worker / threads; i < end; ++i) work(i);
  });
}

// Sorts [begin, end) with `less` on up to `threads` threads: stretches
// sorted side by side, then merged. `less` must order every element (no two
// equal unless identical), so the result is the same for any number of threads.
template <typename Iterator, typename Less>
void sortInParallel(Iterator begin, Iterator end, std::size_t threads, Less less) {
  const auto count = static_cast<std::size_t>(end - begin);
  threads = std::clamp<std::size_t>(threads, 1, std::max<std::size_t>(1, count / 65536));
  std::vector<std::size_t> bounds(threads + 1);
  for (std::size_t t = 0; t <= threads; ++t) bounds[t] = count * t / threads;
  onWorkers(threads, [&](std::size_t t) { std::sort(begin + bounds[t], begin + bounds[t + 1], less); });
  for (std::size_t width = 1; width < threads; width *= 2) {
    for (std::size_t t = 0; t + width < threads; t += 2 * width) {
      const std::size_t last = std::min(t + 2 * width, threads);
      std::inplace_merge(begin + bounds[t], begin + bounds[t + width], begin + bounds[last], less);
    }
  }
}

}  // namespace lumivex

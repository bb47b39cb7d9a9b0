// A tree of tasks on the worker pool: every task may hand out more while it
// runs. The one place besides the pool itself where threads wait for each
// other.
//
// With one lane everything runs on the calling thread, the task handed out
// last first (depth first, so pending tasks stay few). With more, `lanes`
// workers of the pool share a heap of the large tasks, largest first: a big
// subtree starts as soon as it is handed out, wherever a lane is free. Tasks
// below `shared_work` stay with the lane that made them: handing out every
// small task through the shared heap would have the lanes queue on its lock.
// A lane that finds the heap empty while others still run waits for them
// (they may hand out more) and leaves when the last one finishes.
//
// The first exception ends the run: the lane that threw stops the others
// from taking new tasks, running ones finish (or see the pool's wind-down at
// their next cancellation poll), and the pool rethrows it to the caller.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

#include "runtime/pool.hpp"

namespace cladorix {

// Task: movable and default-constructible, with `uint64_t work() const`.
// run(lane, task, spawn) runs one task on lane `lane` (0 <= lane < lanes,
// one thread at a time per lane); spawn(Task&&) hands out another.
template <class Task, class Run>
void run_task_tree(size_t lanes, std::vector<Task> roots, uint64_t shared_work, Run&& run) {
  using Spawn = std::function<void(Task &&)>;
  if (lanes <= 1) {
    std::vector<Task> stack = std::move(roots);
    const Spawn spawn = [&](Task&& t) { stack.push_back(std::move(t)); };
    while (!stack.empty()) {
      Task task = std::move(stack.back());
      stack.pop_back();
      run(size_t{0}, task, spawn);
    }
    return;
  }
  std::mutex m;
  std::condition_variable cv;
  const auto smaller = [](const Task& a, const Task& b) { return a.work() < b.work(); };
  std::vector<Task> heap = std::move(roots);  // guarded by m
  std::make_heap(heap.begin(), heap.end(), smaller);
  size_t running = 0;  // lanes inside a task; guarded by m
  bool stop = false;   // a lane failed; guarded by m
  WorkerPool::global().run(lanes, [&](size_t lane) {
    std::vector<Task> local;
    const Spawn spawn = [&](Task&& t) {
      if (t.work() < shared_work) {
        local.push_back(std::move(t));
        return;
      }
      {
        const std::lock_guard lk(m);
        heap.push_back(std::move(t));
        std::push_heap(heap.begin(), heap.end(), smaller);
      }
      cv.notify_one();
    };
    for (;;) {
      Task task;
      {
        std::unique_lock lk(m);
        cv.wait(lk, [&] { return stop || !heap.empty() || running == 0; });
        if (stop || heap.empty()) return;
        std::pop_heap(heap.begin(), heap.end(), smaller);
        task = std::move(heap.back());
        heap.pop_back();
        ++running;
      }
      try {
        run(lane, task, spawn);
        while (!local.empty()) {
          Task next = std::move(local.back());
          local.pop_back();
          run(lane, next, spawn);
        }
      } catch (...) {
        {
          const std::lock_guard lk(m);
          stop = true;
          --running;
        }
        cv.notify_all();
        throw;
      }
      bool last;
      {
        const std::lock_guard lk(m);
        last = --running == 0 && heap.empty();
      }
      if (last) cv.notify_all();
    }
  });
}

}  // namespace cladorix

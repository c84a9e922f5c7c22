#include "worker_pool.hpp"

#include "../kernels/result.hpp"

#include <cxxabi.h>

#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

namespace vexel::runtime {

namespace {

constexpr std::size_t kMaxWorkers = 1024;

/// One parallel map: the chunks still to hand out and the first failure.
struct Job {
  const std::function<void(std::size_t, std::size_t)>* body = nullptr;
  std::size_t count = 0;
  std::size_t grain = 1;
  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  std::mutex error_mutex;
  std::exception_ptr error;

  /// Takes chunks until none is left (or a chunk has failed).
  VEXEL_FORCED_UNWIND_HANDLER void run_chunks() {
    while (!failed.load(std::memory_order_relaxed)) {
      const std::size_t begin = next.fetch_add(grain, std::memory_order_relaxed);
      if (begin >= count) return;
      const std::size_t end = (count - begin < grain) ? count : begin + grain;
      try {
        (*body)(begin, end);
      } catch (abi::__forced_unwind&) {
        throw;  // the thread is being ended: never held as a failure
      } catch (...) {
        std::lock_guard<std::mutex> lock(error_mutex);
        if (!error) error = std::current_exception();
        failed.store(true, std::memory_order_relaxed);
      }
    }
  }
};

}  // namespace

class WorkerPool::Impl {
 public:
  explicit Impl(std::size_t workers) {
    // Workers never handle signals: they stay with the interpreter's thread.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    threads_.reserve(workers);
    for (std::size_t i = 0; i < workers; ++i) {
      try {
        threads_.emplace_back([this] { worker_main(); });
      } catch (const std::system_error&) {
        break;  // run with the workers we could get (or on the caller)
      }
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  }

  std::size_t size() const { return threads_.empty() ? 1 : threads_.size(); }

  void parallel_for(std::size_t count, std::size_t grain, const std::function<void(std::size_t, std::size_t)>& body) {
    if (count == 0) return;
    Job job;
    job.body = &body;
    job.count = count;
    job.grain = grain == 0 ? 1 : grain;
    const std::size_t chunks = count / job.grain + (count % job.grain != 0 ? 1 : 0);
    if (chunks == 1 || threads_.empty()) {
      // Too small to split (or no worker at all): waking a worker would
      // cost more than the work, so the calling thread does it.
      job.run_chunks();
    } else {
      // One map at a time; a second caller waits here for the pool.
      std::lock_guard<std::mutex> serial(run_mutex_);
      // Only as many workers as there are chunks are woken: each takes one
      // ticket, the others sleep on.
      const std::size_t helpers = chunks < threads_.size() ? chunks : threads_.size();
      {
        std::lock_guard<std::mutex> lock(mutex_);
        job_ = &job;
        tickets_ = helpers;
        running_ = helpers;
      }
      for (std::size_t k = 0; k < helpers; ++k) wake_.notify_one();
      std::unique_lock<std::mutex> lock(mutex_);
      done_.wait(lock, [this] { return running_ == 0; });
      job_ = nullptr;
    }
    if (job.error) std::rethrow_exception(job.error);
  }

 private:
  void worker_main() {
    for (;;) {
      Job* job = nullptr;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [this] { return tickets_ > 0; });
        --tickets_;
        job = job_;
      }
      job->run_chunks();
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (--running_ == 0) done_.notify_one();
      }
    }
  }

  std::mutex run_mutex_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  std::size_t tickets_ = 0;  // workers still to join the current map
  Job* job_ = nullptr;
  std::size_t running_ = 0;  // workers of the current map not yet finished
  std::vector<std::thread> threads_;
};

namespace {

// The pool is never destroyed: its workers wait for work until the process
// ends (joining them during static destruction could race with interpreter
// shutdown, and a std::thread destroyed while joinable would terminate).
std::mutex g_instance_mutex;
WorkerPool* g_pool = nullptr;
pid_t g_pool_pid = 0;
bool g_fork_handler_registered = false;

/// Runs in the child right after fork(): only the forking thread exists
/// there, so the parent's workers are gone and any lock of the old pool may
/// be held forever.  The old pool is abandoned (never touched again) and a
/// fresh one is built on first use.
void reset_pool_in_child() {
  new (&g_instance_mutex) std::mutex();
  g_pool = nullptr;
}

std::size_t available_hardware_threads() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<std::size_t>(count);
  }
  const unsigned hw = std::thread::hardware_concurrency();
  return hw > 0 ? hw : 1;
}

/// Positive decimal integer with optional surrounding blanks; 0 otherwise.
std::size_t parse_worker_count(const char* text) {
  const char* p = text;
  while (*p != '\0' && std::isspace(static_cast<unsigned char>(*p))) ++p;
  if (!std::isdigit(static_cast<unsigned char>(*p))) return 0;
  std::size_t value = 0;
  while (std::isdigit(static_cast<unsigned char>(*p))) {
    value = value * 10 + static_cast<std::size_t>(*p - '0');
    if (value > kMaxWorkers) value = kMaxWorkers + 1;  // saturate, capped below
    ++p;
  }
  while (*p != '\0' && std::isspace(static_cast<unsigned char>(*p))) ++p;
  if (*p != '\0') return 0;
  return value > kMaxWorkers ? kMaxWorkers : value;
}

}  // namespace

std::size_t configured_worker_count() {
  if (const char* env = std::getenv("VEXEL_CKF_NUM_THREADS")) {
    const std::size_t n = parse_worker_count(env);
    if (n > 0) return n;
  }
  const std::size_t hw = available_hardware_threads();
  return hw > kMaxWorkers ? kMaxWorkers : hw;
}

WorkerPool& WorkerPool::instance() {
  std::lock_guard<std::mutex> lock(g_instance_mutex);
  if (!g_fork_handler_registered) {
    if (pthread_atfork(nullptr, nullptr, &reset_pool_in_child) == 0) g_fork_handler_registered = true;
  }
  // A pool made by another process (a fork whose child handler did not run)
  // is abandoned like in reset_pool_in_child.
  if (g_pool != nullptr && g_pool_pid != getpid()) g_pool = nullptr;
  if (g_pool == nullptr) {
    g_pool = new WorkerPool(new Impl(configured_worker_count()));
    g_pool_pid = getpid();
  }
  return *g_pool;
}

std::size_t WorkerPool::size() const { return impl_->size(); }

void WorkerPool::parallel_for(std::size_t count, std::size_t grain,
                              const std::function<void(std::size_t, std::size_t)>& body) {
  impl_->parallel_for(count, grain, body);
}

}  // namespace vexel::runtime

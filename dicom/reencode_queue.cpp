// ReencodeQueue: the staging copy's re-encoding on worker threads, taken in
// order by the caller.
#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "dicom/toolkit.hpp"

namespace velunor {

struct ReencodeQueue::State {
    std::vector<Job> jobs;
    MediaProfile profile;
    std::size_t ahead;
    std::mutex mutex;
    std::condition_variable space;   // a worker may start the next job, or must stop
    std::condition_variable ready;   // a result arrived
    std::size_t next = 0;            // the next job a worker starts
    std::size_t taken = 0;           // results handed out
    bool stop = false;
    std::vector<std::optional<EncodedFile>> results;
    std::vector<std::thread> workers;

    void Work() {
        std::unique_lock lock(mutex);
        for (;;) {
            space.wait(lock, [this] { return stop || next >= jobs.size() || next < taken + ahead; });
            if (stop || next >= jobs.size()) return;
            const std::size_t i = next++;
            lock.unlock();
            EncodedFile result = EncodeForDisc(jobs[i].source, jobs[i].target, profile);
            lock.lock();
            results[i].emplace(std::move(result));
            ready.notify_all();
        }
    }

    void Stop() noexcept {
        {
            std::lock_guard lock(mutex);
            stop = true;
        }
        space.notify_all();
        for (std::thread& t : workers) t.join();
        workers.clear();
        results.clear();   // deletes what was written and not taken
    }
};

ReencodeQueue::ReencodeQueue(std::vector<Job> jobs, MediaProfile profile, int workers, int ahead)
    : state_(std::make_unique<State>()) {
    State& s = *state_;
    s.jobs = std::move(jobs);
    s.profile = profile;
    s.ahead = static_cast<std::size_t>(std::max(1, ahead));
    s.results.resize(s.jobs.size());
    if (s.jobs.empty()) return;
    InitDicomToolkit();   // once, before threads share it
    const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    const std::size_t count = std::min({static_cast<std::size_t>(workers > 0 ? workers : cores), s.ahead,
                                        s.jobs.size()});
    try {
        for (std::size_t i = 0; i < count; ++i) s.workers.emplace_back([&s] { s.Work(); });
    } catch (const std::system_error& e) {
        if (s.workers.empty()) throw Error(e.code().value(), std::string("Cannot start a re-encoding thread: ") + e.what());
        // Fewer workers than asked for still do the work.
    }
}

ReencodeQueue::~ReencodeQueue() { state_->Stop(); }

EncodedFile ReencodeQueue::Next() {
    State& s = *state_;
    std::unique_lock lock(s.mutex);
    if (s.taken >= s.jobs.size()) throw Error(0, "The re-encoding queue has no more files");
    const std::size_t i = s.taken;
    s.ready.wait(lock, [&] { return s.results[i].has_value(); });
    EncodedFile result = std::move(*s.results[i]);
    s.results[i].reset();
    ++s.taken;
    lock.unlock();
    s.space.notify_all();
    return result;
}

}  // namespace velunor

#pragma once
// Serial and concurrent task queues: the stand-in for the platform's dispatch queues.
//
// Async work runs on an elastic pool of worker threads (a blocked task never starves another
// queue). `sync` and `barrierSync` run the task on the caller's thread once its turn comes, as the
// platform does. Every worker thread blocks SIGPIPE, so a write to a dead socket returns EPIPE
// instead of killing the host process.
#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace platform {

enum class QueuePriority { High, Default, Low, Background };

class DispatchQueue {
public:
    using Task = std::function<void()>;

    // A serial queue runs one task at a time, in order. A serial target makes the two queues run
    // their tasks one at a time between them; a concurrent target only lends its priority.
    static std::shared_ptr<DispatchQueue> createSerial(std::string label,
                                                       std::shared_ptr<DispatchQueue> target = nullptr);
    // Tasks run side by side; barrier tasks run alone, after everything queued before them.
    static std::shared_ptr<DispatchQueue> createConcurrent(std::string label);
    static std::shared_ptr<DispatchQueue> global(QueuePriority priority = QueuePriority::Default);
    // Serial; its tasks run only where the host drains RunLoop::main().
    static std::shared_ptr<DispatchQueue> main();

    // The queue whose task runs on this thread now (innermost), or null.
    static std::shared_ptr<DispatchQueue> current();

    ~DispatchQueue();
    DispatchQueue(const DispatchQueue&) = delete;
    DispatchQueue& operator=(const DispatchQueue&) = delete;

    const std::string& label() const;
    bool isSerial() const;
    // True while this thread runs a task of this queue (or of a queue that targets it).
    bool isCurrent() const;

    void async(Task task);
    // Runs the task on the calling thread once everything queued before it has run. A sync onto
    // the queue the caller is running on would never return: it aborts with a message instead.
    void sync(const Task& task);
    void after(std::chrono::nanoseconds delay, Task task);
    void afterSeconds(double seconds, Task task);
    // On a serial queue these are plain async and sync.
    void barrierAsync(Task task);
    void barrierSync(const Task& task);
    // A serial queue (without a target) that has nothing running and nothing waiting runs the task
    // at once on the calling thread, as its current task, and answers true; otherwise it answers
    // false without running it. Never waits.
    bool trySync(const Task& task);

    struct Impl;

private:
    explicit DispatchQueue(std::shared_ptr<Impl> impl);
    std::shared_ptr<Impl> impl_;
};

}  // namespace platform

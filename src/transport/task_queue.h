// A queue of tasks run in posting order on a worker thread of the queue's own.
//
// The pipe event loop must never wait for the host, so whatever may call the host or take an
// endpoint's locks is wrapped in a task and posted here. The client endpoint and the pipe
// server hold one queue each, as a member, for as long as they live.
//
// Tasks run one at a time, in the order in which post_task appended them, without any lock of
// the queue held, so a task may post further tasks. A task posted while the worker waits wakes
// it at once; an idle worker sleeps until a task or the stop arrives. A worker whose tasks come
// close together looks for the next one for a moment before it sleeps. Tasks capture what they
// need by value.
//
// Stopping: once stop_tasks has begun, posts are dropped and no further task starts; the task
// running at that moment finishes, and stop_tasks returns after the worker has ended. Tasks
// still queued then are discarded without running.
//
// Failure: a task that throws is caught, logged and dropped; the worker goes on with the next
// task. When the worker thread cannot be created the queue logs an error and stays stopped:
// posts are dropped.
//
// Threads and locks: post_task on any thread; stop_tasks and the destructor on the owner's
// thread. The queue's lock (a std::mutex, with a std::condition_variable) is
// held only to append or to take the queued tasks, never while a task runs, and no other lock
// is taken while it is held. stop_tasks may also be called from inside a task (its own
// worker): it then stops the queue without waiting for the worker, which ends when the task
// returns.
#pragma once

#include <functional>
#include <memory>
#include <thread>

class task_queue {
  public:
    using task = std::shared_ptr<std::function<void()>>;

    // Starts the worker thread.
    task_queue();
    // stop_tasks; queued tasks never run.
    ~task_queue();
    task_queue(const task_queue&) = delete;
    task_queue& operator=(const task_queue&) = delete;

    // Appends the task and wakes the worker; dropped once stop_tasks has begun. An empty
    // pointer or function is skipped when its turn comes. Any thread.
    void post_task(task work);

    // Stops the queue and joins the worker. Idempotent.
    void stop_tasks();

    // True while the worker runs and the queue has not been stopped.
    bool is_running() const;
    // True on the worker thread.
    bool is_worker_thread() const { return std::this_thread::get_id() == worker_id_; }

  private:
    struct shared_state;
    // The worker's body: runs the queued tasks until the queue stops.
    static void run_tasks(const std::shared_ptr<shared_state>& state);

    // Shared with the worker, so that a worker left running (stop_tasks from inside a task)
    // never touches a destroyed queue.
    std::shared_ptr<shared_state> state_;
    std::thread worker_;
    std::thread::id worker_id_;  // set once by the constructor
};

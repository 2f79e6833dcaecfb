// SPDX-License-Identifier: BSD-2-Clause
// The worker pool and the line, in portable C++: only the start and the end
// of a thread are the system's (start_thread, join_thread). std::thread is
// not used because it throws where a thread cannot start, and without
// exceptions that ends the process instead of running the job here.
#include <condition_variable>
#include <mutex>

#include "platform/platform.h"

namespace {

void pool_thread(void* argument) {
    auto* pool = static_cast<WorkerPool*>(argument);
    std::unique_lock<std::mutex> held(pool->lock);
    for (;;) {
        while (pool->head == nullptr && !pool->stopping) {
            ++pool->idle;
            pool->queued.wait(held);
            --pool->idle;
        }
        if (pool->head == nullptr) break;
        PoolJob* job = pool->head;
        pool->head = job->next;
        if (pool->head == nullptr) pool->tail = nullptr;
        --pool->waiting_jobs;
        held.unlock();
        job->run(job->argument);
        held.lock();
        job->done = true;
        pool->finished.notify_all();
    }
}

bool start_pool_thread(WorkerPool* pool) {
    if (!start_thread(&pool->threads[pool->started], pool_thread, pool)) return false;
    ++pool->started;
    return true;
}

}  // namespace

WorkerPool::WorkerPool(unsigned most) { limit = most < MAX_POOL_THREADS ? most : MAX_POOL_THREADS; }

WorkerPool::~WorkerPool() {
    {
        std::lock_guard<std::mutex> held(lock);
        stopping = true;
        queued.notify_all();
    }
    for (unsigned k = 0; k < started; ++k) join_thread(threads[k]);
}

void submit_job(WorkerPool* pool, PoolJob* job, void (*run)(void* argument), void* argument) {
    job->run = run;
    job->argument = argument;
    job->next = nullptr;
    job->done = false;
    std::unique_lock<std::mutex> held(pool->lock);
    const bool needs_thread = pool->waiting_jobs + 1 > pool->idle && pool->started < pool->limit;
    // No thread can be had (a process or memory limit): fewer threads from
    // now on, and with none at all the job runs here.
    if (needs_thread && !start_pool_thread(pool)) pool->limit = pool->started;
    if (pool->started == 0) {
        held.unlock();
        run(argument);
        held.lock();
        job->done = true;
        return;
    }
    if (pool->tail != nullptr) {
        pool->tail->next = job;
    } else {
        pool->head = job;
    }
    pool->tail = job;
    ++pool->waiting_jobs;
    pool->queued.notify_one();
}

void wait_job(WorkerPool* pool, PoolJob* job) {
    std::unique_lock<std::mutex> held(pool->lock);
    while (!job->done) pool->finished.wait(held);
}

namespace {

void line_job(void* argument) {
    auto* task = static_cast<LineTask*>(argument);
    task->work(task->argument);
    Line* line = task->line;
    std::unique_lock<std::mutex> held(line->lock);
    task->worked = true;
    while (!line->finishing && !line->stopped && line->finished < line->handed_in) {
        LineTask* next = line->ring[line->finished % MAX_LINE_TASKS];
        if (!next->worked) break;
        line->finishing = true;
        held.unlock();
        const bool ok = next->finish(next->argument);
        held.lock();
        line->finishing = false;
        next->finish_ok = ok;
        next->finished = true;
        ++line->finished;
        if (!ok) line->stopped = true;
    }
    line->settled.notify_all();
}

}  // namespace

void submit_in_line(WorkerPool* pool, Line* line, LineTask* task, void (*work)(void* argument),
                    bool (*finish)(void* argument), void* argument) {
    task->work = work;
    task->finish = finish;
    task->argument = argument;
    task->line = line;
    {
        std::lock_guard<std::mutex> held(line->lock);
        task->worked = false;
        task->finished = false;
        task->finish_ok = false;
        line->ring[line->handed_in % MAX_LINE_TASKS] = task;
        ++line->handed_in;
    }
    submit_job(pool, &task->job, line_job, task);
}

LineState take_oldest(WorkerPool* pool, Line* line, bool wait) {
    LineTask* task = line->ring[line->taken % MAX_LINE_TASKS];
    LineState state = LineState::kBusy;
    {
        std::unique_lock<std::mutex> held(line->lock);
        while (!task->finished && !(line->stopped && task->worked)) {
            if (!wait) return LineState::kBusy;
            line->settled.wait(held);
        }
        state = !task->finished ? LineState::kPassed : (task->finish_ok ? LineState::kFinished : LineState::kFailed);
    }
    // Its job may still be finishing the tasks after it.
    wait_job(pool, &task->job);
    ++line->taken;
    return state;
}

void restart_line(Line* line) {
    std::lock_guard<std::mutex> held(line->lock);
    line->finished = line->handed_in;
    line->stopped = false;
}

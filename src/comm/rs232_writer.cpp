// The writer of a port's output queue: one thread per open port that has a
// queue. It writes a copy of the queue's front and then removes exactly what
// the device took, unless FlushOutQ emptied the queue meanwhile, so
// ComWrt may refill the queue while a write is out. A device write waits at
// most one slice inside VISA; a write that times out (flow control) is no
// error, the writer simply goes on.
#include <algorithm>
#include <cstring>
#include <new>

#include "comm/rs232_port.h"
#include "core/thread_naming.h"

namespace kez::comm::rs232 {
namespace {

constexpr std::size_t kChunk = 16384;
constexpr std::uint32_t kErrorPauseMs = 100;  // after a failed device write

std::atomic<int> g_running_writers{0};

void writer_main(void *arg) {
    auto *p = static_cast<Port *>(arg);
    unsigned char chunk[kChunk];
    p->writer_lock.lock();
    for (;;) {
        while (!p->stop_writer && p->queue_fill == 0) {
            const std::uint32_t seen = p->work_seq.load();
            p->writer_lock.unlock();
            wait_word(p->work_seq, seen, 1000);
            p->writer_lock.lock();
        }
        if (p->stop_writer) break;
        const std::size_t n = std::min(p->queue_fill, kChunk);
        std::memcpy(chunk, p->queue, n);
        const std::uint32_t flushes = p->flush_count;
        const std::uint32_t session = p->session.load();
        const ViSession vi = p->vi.load();
        p->writing = true;
        p->writer_lock.unlock();

        ViUInt32 got = 0;
        const ViStatus status = visa::Write(vi, chunk, static_cast<ViUInt32>(n), &got);

        p->writer_lock.lock();
        p->writing = false;
        if (flushes == p->flush_count && got > 0) {
            std::memmove(p->queue, p->queue + got, p->queue_fill - got);
            p->queue_fill -= got;
        }
        const bool failed = status < 0 && status != VI_ERROR_TMO;
        if (failed) p->pending_error = translate(status);
        const bool emptied = got > 0 && p->queue_fill == 0 && p->last_write_complete;
        p->space_seq.fetch_add(1);
        os::wake_all(&p->space_seq);
        if (emptied || failed) {
            p->writer_lock.unlock();
            if (emptied) post_event(p, session, COM_EVENT_OUTPUT_EMPTY);
            if (failed) os::sleep_ms(kErrorPauseMs);
            p->writer_lock.lock();
        }
    }
    p->writer_lock.unlock();
    g_running_writers.fetch_sub(1);
}

}  // namespace

bool start_writer(Port *p) {
    p->writer_lock.lock();
    if (p->queue_capacity < static_cast<std::size_t>(p->out_queue)) {
        delete[] p->queue;
        p->queue = new (std::nothrow) unsigned char[static_cast<std::size_t>(p->out_queue)];
        p->queue_capacity = p->queue != nullptr ? static_cast<std::size_t>(p->out_queue) : 0;
    }
    const bool have_queue = p->queue != nullptr;
    p->queue_fill = 0;
    p->writing = false;
    p->stop_writer = false;
    p->pending_error = 0;
    p->last_write_complete = false;
    p->writer_lock.unlock();
    if (!have_queue) return false;
    int priority = 0;
    const bool inherit = os::thread_priority_get(&priority);
    os::ThreadId id = 0;
    g_running_writers.fetch_add(1);
    os::Thread *t = os::thread_create_suspended(writer_main, p, 0, &id);
    if (t == nullptr) {
        g_running_writers.fetch_sub(1);
        return false;
    }
    if (inherit) os::thread_priority_set_of(t, priority);
    core::name_engine_thread(id, "Pellix/Kez RS232 Writer");
    p->writer = t;
    os::thread_resume(t);
    return true;
}

void stop_writer(Port *p, bool may_wait) {
    p->writer_lock.lock();
    p->stop_writer = true;
    p->work_seq.fetch_add(1);
    os::Thread *t = p->writer;
    p->writer = nullptr;
    p->writer_lock.unlock();
    os::wake_all(&p->work_seq);
    if (t == nullptr) return;
    if (may_wait) {
        os::thread_join(t, os::kInfinite);
        os::thread_close(t);
    }
    // Otherwise the thread ends alone; its record and queue stay.
}

// Unload without waiting: gives writers a moment to leave the engine's code.
void let_writers_leave(std::uint32_t budget_ms) {
    for (std::uint32_t waited = 0; g_running_writers.load() != 0 && waited < budget_ms; ++waited) os::sleep_ms(1);
}

}  // namespace kez::comm::rs232

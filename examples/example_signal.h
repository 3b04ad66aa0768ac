/*
 * A one-shot signal from a library callback to the host's main thread, with a time-out.
 *
 * ToviIPC calls a host's callbacks on its own threads, so a host that waits for an event needs
 * some way to hear of it. This is the smallest such way on each system; a real host would use
 * its own event loop or queue.
 */
#ifndef EXAMPLE_SIGNAL_H
#define EXAMPLE_SIGNAL_H

#if defined(_WIN32)

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

typedef struct example_signal {
    HANDLE event;
} example_signal;

static void example_signal_init(example_signal* s) {
    s->event = CreateEventA(NULL, TRUE, FALSE, NULL);
}
static void example_signal_raise(example_signal* s) {
    SetEvent(s->event);
}
/* 1 once raised, 0 when the time ran out first. */
static int example_signal_wait(example_signal* s, unsigned long milliseconds) {
    return WaitForSingleObject(s->event, milliseconds) == WAIT_OBJECT_0;
}
static void example_signal_destroy(example_signal* s) {
    CloseHandle(s->event);
}

#else

#include <pthread.h>
#include <time.h>

typedef struct example_signal {
    pthread_mutex_t lock;
    pthread_cond_t changed;
    int raised;
} example_signal;

static void example_signal_init(example_signal* s) {
    pthread_mutex_init(&s->lock, NULL);
    pthread_cond_init(&s->changed, NULL);
    s->raised = 0;
}
static void example_signal_raise(example_signal* s) {
    pthread_mutex_lock(&s->lock);
    s->raised = 1;
    pthread_cond_broadcast(&s->changed);
    pthread_mutex_unlock(&s->lock);
}
/* 1 once raised, 0 when the time ran out first. */
static int example_signal_wait(example_signal* s, unsigned long milliseconds) {
    struct timespec deadline;
    int raised;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += (time_t)(milliseconds / 1000);
    deadline.tv_nsec += (long)(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    pthread_mutex_lock(&s->lock);
    while (!s->raised && pthread_cond_timedwait(&s->changed, &s->lock, &deadline) == 0) {
    }
    raised = s->raised;
    pthread_mutex_unlock(&s->lock);
    return raised;
}
static void example_signal_destroy(example_signal* s) {
    pthread_cond_destroy(&s->changed);
    pthread_mutex_destroy(&s->lock);
}

#endif

#endif /* EXAMPLE_SIGNAL_H */

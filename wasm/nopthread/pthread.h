/* SPDX-License-Identifier: MIT */
/* The WebAssembly build's threads, where wasi-libc has no <pthread.h> of
 * its own (older ones): a module instance runs on one thread, so "once" is
 * a flag and the one thread key sealkit.cpp makes is one slot. Its
 * destructor never runs: the instance's memory goes with the instance. */
#ifndef SEALKIT_WASM_PTHREAD_H
#define SEALKIT_WASM_PTHREAD_H

typedef int pthread_once_t;
typedef int pthread_key_t;
#define PTHREAD_ONCE_INIT 0

static void *sealkit_wasm_thread_slot;

static inline int pthread_once(pthread_once_t *once, void (*init)(void)) {
    if (*once == 0) {
        *once = 1;
        init();
    }
    return 0;
}

static inline int pthread_key_create(pthread_key_t *key, void (*destructor)(void *)) {
    (void)destructor;
    *key = 0;
    return 0;
}

static inline void *pthread_getspecific(pthread_key_t key) {
    (void)key;
    return sealkit_wasm_thread_slot;
}

static inline int pthread_setspecific(pthread_key_t key, const void *value) {
    (void)key;
    sealkit_wasm_thread_slot = (void *)value;
    return 0;
}

#endif

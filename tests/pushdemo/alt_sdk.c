/* SPDX-License-Identifier: MIT */
/* A feature-test macro, for MAP_ANONYMOUS.
 * NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp) */
#define _DEFAULT_SOURCE
/* Another libostrel_sdk.so, written apart from the stand-in: pushdemo must run
 * against it unchanged. Its delivery thread sends two pushes around one with
 * a negative length whose data pointer lies on an inaccessible page. */
#include <ostrel_sdk/ostrel_sdk.h>
#include <pthread.h>
#include <stddef.h>
#include <sys/mman.h>

static OstrelMsgCallback push_callback;

int OstrelInit(const char *client_id, const char *server_url, const char *data) {
    (void)client_id;
    (void)server_url;
    (void)data;
    return 0;
}

int OstrelSubScribe(int count, const char *const *apps) {
    (void)count;
    (void)apps;
    return 0;
}

int OstrelRegister(OstrelMsgType type, OstrelMsgCallback callback) {
    if (type == eOstrelMsg_Push) push_callback = callback;
    return 0;
}

static void *deliver(void *arg) {
    static const char first[] = {'a', 'l', 't', ' ', '1'};
    void *nothing = mmap(NULL, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    (void)arg;
    push_callback(first, (int)sizeof first);
    push_callback((const char *)nothing, -7);
    push_callback("alt 2", 5);
    return NULL;
}

int OstrelStart(void) {
    pthread_t t;
    if (push_callback == NULL || pthread_create(&t, NULL, deliver, NULL) != 0) return -1;
    pthread_detach(t);
    return 0;
}

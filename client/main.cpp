// SPDX-License-Identifier: MIT
// pushdemo: shows the push SDK at work. It sets the SDK up, then prints every
// push that the SDK delivers, until the process is killed.
#include <ostrel_sdk/ostrel_sdk.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// Compiled-in identity. The default server lies in 192.0.2.0/24, an address
// range reserved for documentation, so a demo build never contacts a real
// host; the build can name another (PUSHDEMO_SERVER_URL).
#ifndef PUSHDEMO_SERVER_URL
#define PUSHDEMO_SERVER_URL "https://192.0.2.17"
#endif
const char *const kClientId = "7301845529163047";
const char *const kServerUrl = PUSHDEMO_SERVER_URL;
const char *const kInitData = "data";
const char *const kAppId = "com.dravo.cloud";

}  // namespace

// Called by the SDK, possibly on several of its threads at once. `data` holds
// `len` bytes, need not be NUL-terminated and is the SDK's after we return.
// Each printf locks stdout for the whole line, so concurrent pushes never
// interleave.
extern "C" void OnPush(const char *data, int len) {
    if (len <= 0 || data == nullptr) {  // a negative len reads nothing
        printf("recv push:\n");
        return;
    }
    char *body = strndup(data, static_cast<size_t>(len));
    if (body == nullptr) {
        // No memory for the copy: print straight from the SDK's buffer. The
        // precision bounds the read to len bytes, and %s stops at a NUL.
        printf("recv push:%.*s\n", len, data);
        return;
    }
    printf("recv push:%s\n", body);
    free(body);
}

int main() {
    // stdout is fully buffered on a pipe or file and this program never
    // exits normally, so pushes would sit in the buffer and be lost when it
    // is killed. Line buffering sends each one out as it is printed.
    setvbuf(stdout, nullptr, _IOLBF, 0);

    // Let a crash leave a core file of any size; failing that is harmless.
    struct rlimit no_limit;
    no_limit.rlim_cur = RLIM_INFINITY;
    no_limit.rlim_max = RLIM_INFINITY;
    setrlimit(RLIMIT_CORE, &no_limit);

    if (OstrelInit(kClientId, kServerUrl, kInitData) == -1) {
        puts("Init error.");
        return 1;
    }

    // The SDK gets the subscription and the callback before it starts. The
    // list lives in this frame, which stays for the life of the process.
    const char *apps[1];
    apps[0] = kAppId;
    OstrelSubScribe(1, apps);
    OstrelRegister(eOstrelMsg_Push, OnPush);

    if (OstrelStart() == -1) {
        puts("Start error.");
        return 1;
    }
    puts("start success.");

    // From here on only the SDK's threads work.
    for (;;) sleep(1);
}

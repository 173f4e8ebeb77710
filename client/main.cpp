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
const char *const kClientId = PUSHDEMO_CLIENT_ID;  // these two: identity.env
const char *const kAppId = PUSHDEMO_APP_ID;
const char *const kServerUrl = PUSHDEMO_SERVER_URL;
const char *const kInitData = "data";

// Whether standard output is a terminal. A push is anyone's bytes, and on a
// terminal an escape sequence in it could retitle or clear the screen, or
// forge lines: there its control characters are shown escaped. Through a
// pipe or a file every byte goes out as it came, which scripts rely on.
bool g_terminal = false;

// The length of the well-formed UTF-8 sequence at p (of n bytes) when it
// encodes a printable character (U+00A0 and up), else 0: bytes that are
// not UTF-8 text, and the C1 controls U+0080 to U+009F, which some
// terminals obey as they do ESC.
size_t printable_utf8(const unsigned char *p, size_t n) {
    const unsigned char b = p[0];
    const size_t len = b >= 0xC2 && b <= 0xDF   ? 2
                       : b >= 0xE0 && b <= 0xEF ? 3
                       : b >= 0xF0 && b <= 0xF4 ? 4
                                                : 0;
    if (len == 0 || len > n) return 0;
    for (size_t i = 1; i < len; ++i)
        if ((p[i] & 0xC0) != 0x80) return 0;
    // Overlong forms, surrogates, code points past U+10FFFF, and C1.
    if ((b == 0xE0 && p[1] < 0xA0) || (b == 0xED && p[1] > 0x9F) || (b == 0xF0 && p[1] < 0x90) ||
        (b == 0xF4 && p[1] > 0x8F) || (b == 0xC2 && p[1] < 0xA0))
        return 0;
    return len;
}

// Writes the n bytes at s to stdout as they are, except control characters
// other than newline and tab, and bytes that are not printable UTF-8,
// which are written as \xHH. Called with stdout locked.
void put_escaped(const char *s, size_t n) {
    const auto *p = reinterpret_cast<const unsigned char *>(s);
    for (size_t i = 0; i < n;) {
        const unsigned char b = p[i];
        if ((b >= 0x20 && b < 0x7F) || b == '\n' || b == '\t') {
            putc_unlocked(b, stdout);
            ++i;
        } else if (const size_t len = b >= 0x80 ? printable_utf8(p + i, n - i) : 0; len > 0) {
            fwrite_unlocked(p + i, 1, len, stdout);
            i += len;
        } else {
            fprintf(stdout, "\\x%02x", b);
            ++i;
        }
    }
}

// Prints one push line; on a terminal, escaped, as one locked write so that
// pushes from several threads never interleave.
void print_push(const char *body, size_t n) {
    if (!g_terminal) {
        printf("recv push:%.*s\n", static_cast<int>(n), body);
        return;
    }
    flockfile(stdout);
    fputs_unlocked("recv push:", stdout);
    put_escaped(body, n);
    putc_unlocked('\n', stdout);
    funlockfile(stdout);
}

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
        // No memory for the copy: print straight from the SDK's buffer,
        // bounded to len bytes and ending at a NUL.
        print_push(data, strnlen(data, static_cast<size_t>(len)));
        return;
    }
    print_push(body, strlen(body));
    free(body);
}

int main() {
    // stdout is fully buffered on a pipe or file and this program never
    // exits normally, so pushes would sit in the buffer and be lost when it
    // is killed. Line buffering sends each one out as it is printed.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    g_terminal = isatty(STDOUT_FILENO) != 0;

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

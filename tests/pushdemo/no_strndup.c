/* SPDX-License-Identifier: MIT */
/* Preloaded into pushdemo to make every strndup fail as if memory ran out.
 * Each refusal is noted on stderr, so a test can tell that it took effect. */
#include <errno.h>
#include <stddef.h>
#include <unistd.h>

char *strndup(const char *s, size_t n) {
    static const char note[] = "strndup refused\n";
    (void)s;
    (void)n;
    if (write(2, note, sizeof note - 1) < 0) {
        /* nothing to do: the note is only a marker */
    }
    errno = ENOMEM;
    return NULL;
}

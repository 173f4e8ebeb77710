/* SPDX-License-Identifier: MIT */
/* Preloaded into the command to make open() refuse O_TMPFILE, as file
 * systems without it do, so that a new output goes through a named
 * temporary file. Built with _GNU_SOURCE, for RTLD_NEXT. */
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>

static int refuse_tmpfile(const char *name, const char *path, int flags, va_list ap) {
    if ((flags & O_TMPFILE) == O_TMPFILE) {
        errno = EOPNOTSUPP;
        return -1;
    }
    int (*real)(const char *, int, ...) = (int (*)(const char *, int, ...))dlsym(RTLD_NEXT, name);
    return real(path, flags, (flags & O_CREAT) != 0 ? va_arg(ap, int) : 0);
}

int open(const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const int fd = refuse_tmpfile("open", path, flags, ap);
    va_end(ap);
    return fd;
}

int open64(const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const int fd = refuse_tmpfile("open64", path, flags, ap);
    va_end(ap);
    return fd;
}

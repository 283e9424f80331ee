/* Failing file operations on demand, for the write-fault tests.
 *
 * Interposes fwrite, fflush, fclose, fsync and rename. When armed for an
 * operation, its Nth call from then on fails like a full disk or a broken
 * device would: fwrite stores only part of the data, fflush and fsync return
 * an error, fclose closes the stream but reports failure, rename leaves both
 * names alone. Linked into (or preloaded under) a test program; arming comes
 * from fault_shim_arm() or, for preloading, IMGWATERMARK_FAULT="op:N" read
 * at the first intercepted call. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

enum { OP_FWRITE, OP_FFLUSH, OP_FCLOSE, OP_FSYNC, OP_RENAME, OP_COUNT };
static const char *const op_names[OP_COUNT] = {"fwrite", "fflush", "fclose", "fsync", "rename"};

static int armed_op = -1;
static long armed_nth = 0;
static long calls[OP_COUNT];
static int env_read = 0;

static int op_index(const char *name) {
    for (int i = 0; i < OP_COUNT; ++i)
        if (name && strcmp(name, op_names[i]) == 0) return i;
    return -1;
}

/* Arms `op` to fail on its nth call counted from now (nth >= 1); a NULL or
 * unknown op disarms. Every call counter restarts at zero. */
void fault_shim_arm(const char *op, long nth) {
    env_read = 1;
    armed_op = op_index(op);
    armed_nth = nth;
    memset(calls, 0, sizeof calls);
}

/* Calls of `op` seen since the last fault_shim_arm(). */
long fault_shim_calls(const char *op) {
    int i = op_index(op);
    return i < 0 ? -1 : calls[i];
}

static void read_env(void) {
    if (env_read) return;
    env_read = 1;
    const char *request = getenv("IMGWATERMARK_FAULT");
    if (!request) return;
    const char *colon = strchr(request, ':');
    if (!colon || (size_t)(colon - request) >= 16) return;
    char name[16];
    memcpy(name, request, (size_t)(colon - request));
    name[colon - request] = '\0';
    armed_op = op_index(name);
    armed_nth = strtol(colon + 1, NULL, 10);
}

/* Counts a call of op; non-zero when this one must fail. */
static int should_fail(int op) {
    read_env();
    ++calls[op];
    return armed_op == op && calls[op] == armed_nth;
}

/* Stores the next definition of `name` into *slot (a function pointer);
 * copied bytewise because ISO C has no object-to-function pointer cast. */
static void next(const char *name, void *slot) {
    void *f = dlsym(RTLD_NEXT, name);
    if (!f) abort();
    memcpy(slot, &f, sizeof f);
}

size_t fwrite(const void *data, size_t size, size_t count, FILE *stream) {
    static size_t (*real)(const void *, size_t, size_t, FILE *);
    if (!real) next("fwrite", &real);
    if (should_fail(OP_FWRITE)) {
        /* A disk that fills part-way: half of the items go out, then ENOSPC. */
        size_t part = real(data, size, count / 2, stream);
        errno = ENOSPC;
        return part;
    }
    return real(data, size, count, stream);
}

int fflush(FILE *stream) {
    static int (*real)(FILE *);
    if (!real) next("fflush", &real);
    if (stream && should_fail(OP_FFLUSH)) {
        errno = ENOSPC;
        return EOF;
    }
    return real(stream);
}

int fclose(FILE *stream) {
    static int (*real)(FILE *);
    if (!real) next("fclose", &real);
    if (should_fail(OP_FCLOSE)) {
        (void)real(stream); /* the stream is gone either way, as with a failed close */
        errno = EIO;
        return EOF;
    }
    return real(stream);
}

int fsync(int fd) {
    static int (*real)(int);
    if (!real) next("fsync", &real);
    if (should_fail(OP_FSYNC)) {
        errno = EIO;
        return -1;
    }
    return real(fd);
}

int rename(const char *from, const char *to) {
    static int (*real)(const char *, const char *);
    if (!real) next("rename", &real);
    if (should_fail(OP_RENAME)) {
        errno = EXDEV;
        return -1;
    }
    return real(from, to);
}

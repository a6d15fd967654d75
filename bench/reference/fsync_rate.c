/* How many durable writes a second the disk under a folder takes: the ceiling of any
 * importer that commits each row (a commit waits for at least one flush).
 *
 *   gcc -O2 -o fsync_rate fsync_rate.c && ./fsync_rate DIR [OPS]
 *
 * Three ways a database flushes its log, each OPS times (default 1000) in a scratch file
 * in DIR that is removed afterwards; one line each:
 *   fdatasync     8 KiB written over a file laid out beforehand, then fdatasync
 *                 (PostgreSQL's write-ahead log: its segments are filled in place)
 *   fsync         the same with fsync
 *   fsync_append  4 KiB appended to a growing file, then fsync
 *                 (SQLite's write-ahead log while it grows)
 * Each line: NAME bytes=B ops=N secs=S ops_per_s=X
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static void die(const char *what, const char *path) {
    fprintf(stderr, "fsync_rate: %s %s: %s\n", what, path, strerror(errno));
    exit(1);
}

static int scratch(const char *dir, char *path, size_t size) {
    snprintf(path, size, "%s/fsync_rate.XXXXXX", dir);
    int fd = mkstemp(path);
    if (fd < 0)
        die("cannot make a file in", dir);
    return fd;
}

static void write_all(int fd, const char *buf, size_t len, off_t at, const char *path) {
    size_t done = 0;
    while (done < len) {
        ssize_t n = at < 0 ? write(fd, buf + done, len - done) : pwrite(fd, buf + done, len - done, at + (off_t)done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            die("cannot write", path);
        }
        done += (size_t)n;
    }
}

/* mode 0: overwrite + fdatasync, 1: overwrite + fsync, 2: append + fsync */
static void probe(const char *name, int mode, const char *dir, long ops) {
    char path[4096];
    const size_t block = mode == 2 ? 4096 : 8192;
    char *buf = malloc(block);
    if (!buf) {
        fputs("fsync_rate: out of memory\n", stderr);
        exit(1);
    }
    memset(buf, 'x', block);
    int fd = scratch(dir, path, sizeof path);
    if (mode != 2) {
        /* Laid out and flushed before the clock starts, as a log segment is. */
        for (long i = 0; i < ops; ++i)
            write_all(fd, buf, block, (off_t)i * (off_t)block, path);
        if (fsync(fd) != 0)
            die("cannot flush", path);
    }
    double t0 = now();
    for (long i = 0; i < ops; ++i) {
        buf[0] = (char)('a' + i % 26);
        write_all(fd, buf, block, mode == 2 ? -1 : (off_t)i * (off_t)block, path);
        if ((mode == 0 ? fdatasync(fd) : fsync(fd)) != 0)
            die("cannot flush", path);
    }
    double secs = now() - t0;
    close(fd);
    unlink(path);
    free(buf);
    printf("%-13s bytes=%zu ops=%ld secs=%.3f ops_per_s=%.1f\n", name, block, ops, secs,
           secs > 0 ? (double)ops / secs : 0.0);
    fflush(stdout);
}

int main(int argc, char **argv) {
    if (argc < 2 || argc > 3) {
        fputs("usage: fsync_rate DIR [OPS]\n", stderr);
        return 2;
    }
    long ops = argc == 3 ? strtol(argv[2], NULL, 10) : 1000;
    if (ops < 1) {
        fputs("fsync_rate: OPS must be 1 or more\n", stderr);
        return 2;
    }
    probe("fdatasync", 0, argv[1], ops);
    probe("fsync", 1, argv[1], ops);
    probe("fsync_append", 2, argv[1], ops);
    return 0;
}

/* A host written in C: creates KQ through the C entry point and opens the window.
   With the argument "unloadable" its database cannot be loaded: the call fails, and the host
   returns from main without releasing KQ, as a careless host does. */
#include <tallyfold/tallyfold.h>

#include <pthread.h>
#include <stdio.h>
#include <string.h>

static tallyfold_kq* kq;

static int failsWith(long expected, const char* words, long rc) {
    if (rc == expected && strstr(tallyfold_last_error(), words) != NULL)
        return 1;
    fprintf(stderr, "expected error %ld (%s), got %ld %s\n", expected, words, rc, tallyfold_last_error());
    return 0;
}

static void* showOffMainThread(void* unused) {
    (void)unused;
    long rc = tallyfold_kq_show_a(kq, "admin", "title", "消费管理", NULL);
    return (void*)(long)failsWith(5, "thread", rc);
}

static int offMainThreadRefused(void) {
    pthread_t thread;
    void* refused = NULL;
    return pthread_create(&thread, NULL, showOffMainThread, NULL) == 0 && pthread_join(thread, &refused) == 0 &&
           refused != NULL;
}

int main(int argc, char** argv) {
    kq = tallyfold_kq_create();
    if (argc > 1 && strcmp(argv[1], "unloadable") == 0) {
        long rc = tallyfold_kq_show_a(kq, "admin", "title", "消费管理", NULL);
        if (rc == 0) {
            fputs("ShowA loaded a database without tables\n", stderr);
            return 1;
        }
        printf("C host: the load failed (%ld %s), KQ left as it is\n", rc, tallyfold_last_error());
        return 0;
    }
    /* Before the application exists and after, another thread is refused and changes nothing. */
    if (!offMainThreadRefused())
        return 1;
    if (!failsWith(13, "2024-13-45", tallyfold_kq_show_a(kq, "admin", "title", "消费管理", "2024-13-45")))
        return 1;
    long rc = tallyfold_kq_show_a(kq, "admin", "title", "消费管理", "2024-03-05");
    if (rc != 0) {
        fprintf(stderr, "ShowA failed: %ld %s\n", rc, tallyfold_last_error());
        return 1;
    }
    if (!offMainThreadRefused())
        return 1;
    /* A Null user cannot become text: the error comes back as its number and description. */
    if (!failsWith(94, "Null", tallyfold_kq_show_a(kq, NULL, "title", "消费管理", NULL)))
        return 1;
    tallyfold_kq_release(kq);
    puts("C host: window opened");
    return 0;
}

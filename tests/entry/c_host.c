/* A host written in C: creates KQ through the C entry point and opens the window. */
#include <tallyfold/tallyfold.h>

#include <stdio.h>
#include <string.h>

int main(void) {
    tallyfold_kq* kq = tallyfold_kq_create();
    long rc = tallyfold_kq_show_a(kq, "admin", "title", "消费管理", "2024-03-05");
    if (rc != 0) {
        fprintf(stderr, "ShowA failed: %ld %s\n", rc, tallyfold_last_error());
        return 1;
    }
    /* A Null user cannot become text: the error comes back as its number and description. */
    rc = tallyfold_kq_show_a(kq, NULL, "title", "消费管理", NULL);
    if (rc != 94 || strstr(tallyfold_last_error(), "Null") == NULL) {
        fprintf(stderr, "expected error 94, got %ld %s\n", rc, tallyfold_last_error());
        return 1;
    }
    tallyfold_kq_release(kq);
    puts("C host: window opened");
    return 0;
}

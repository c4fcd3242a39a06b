/* A library of its own that starts a thread, as a third-party library would. */
#include <pthread.h>

int foreign_library_run_thread(void* (*fn)(void*), void* arg) {
    pthread_t t;
    void* result = 0;
    int rc = pthread_create(&t, 0, fn, arg);
    if (rc != 0) return rc;
    pthread_join(t, &result);
    return result == arg ? 0 : -1;
}

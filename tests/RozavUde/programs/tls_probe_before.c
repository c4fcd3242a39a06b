/* Takes TLS slots 0 to 69 before the library's start-up runs. */
#include <pthread.h>

__attribute__((constructor)) static void use_up_tls_slots(void) {
    for (int i = 0; i < 70; ++i) {
        pthread_key_t k;
        if (pthread_key_create(&k, 0) != 0) return;
    }
}

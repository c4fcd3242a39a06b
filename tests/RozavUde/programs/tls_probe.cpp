// Linked with the library and with a library that uses up the first 70 TLS
// slots before the library starts: it never reaches main.
#include <cstdio>

int main() {
    std::puts("reached_main=1");
    return 0;
}

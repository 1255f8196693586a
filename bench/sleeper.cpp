// The idle program's waits and nothing else, for comparing CPU use: a link
// thread that waits 1 ms and 5 ms per cycle (the exchange cycle's waits) and
// a main thread that waits 20 ms per pass, for SECONDS seconds.
#include <pthread.h>
#include <time.h>

#include <cstdlib>

namespace {
void sleep_ms(long ms) {
  timespec t{ms / 1000, (ms % 1000) * 1000000};
  while (nanosleep(&t, &t) != 0) {
  }
}

void* link_waits(void*) {
  for (;;) {
    sleep_ms(1);
    sleep_ms(5);
  }
}
}  // namespace

int main(int argc, char** argv) {
  const long seconds = argc > 1 ? atol(argv[1]) : 10;
  pthread_t link;
  pthread_create(&link, nullptr, link_waits, nullptr);
  for (long passes = seconds * 50; passes > 0; --passes) {
    sleep_ms(20);
  }
  return 0;
}

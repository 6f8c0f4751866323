// Peak heap use of a stretch of code in vbbench (every malloc-family call of the process).
#ifndef VB_BENCH_HEAP_TRACKING_H
#define VB_BENCH_HEAP_TRACKING_H

#include <stdint.h>

// Starts a measurement: what is held now counts as 0.
void BeginHeapPeak();
// The most bytes held at any moment since BeginHeapPeak, beyond what was held then.
int64_t ReadHeapPeak();
// Bytes held now beyond what was held at BeginHeapPeak.
int64_t ReadHeapHeld();

#endif

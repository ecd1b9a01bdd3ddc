#pragma once

#include <cstdint>

// Start-up: queue_init, then the worker thread. A thread that cannot be
// started is reported in a box and start-up goes on without a worker.
void start_worker();

int worker_main(void* unused);
int process_requests();
int dispatch_request(uint8_t type, uint8_t length, const uint8_t* data);
int worker_idle();

// Tests only: true while the worker thread started by start_worker runs;
// join_worker_for_tests waits for it to end.
bool worker_running_for_tests();
void join_worker_for_tests();

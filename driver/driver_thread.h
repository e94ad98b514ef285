// Starting a driver thread through the OS layer.
//
// The platform may refuse a new thread (out of resources); the OS layer then
// raises std::system_error. Every driver thread marks itself alive (or marks
// the work it stands for as running) before it starts, so a refused start
// that escaped would leave that mark behind and a later stop would wait for a
// thread that never existed. The driver's call sites therefore start their
// threads through this one helper, which turns the refusal into a logged
// failure that the caller undoes and reports.
#pragma once

#include <cstdint>

#include "runtime/os_layer.h"

// Starts the thread described by params and returns its handle (also stored
// in params->handle). When the platform refuses the thread, logs
// "Failed to start <name> thread: <reason>" at ERROR, leaves params->handle
// null and returns null.
OS_LYRG_threadT PZThread_start(OS_LYRG_threadParamsT* params);

// Starts the thread and detaches it at once. False when it could not be started.
bool PZThread_startDetached(OS_LYRG_threadParamsT* params);

// Test seam: after `after` more starts, the next `count` starts are refused
// as the platform refuses them, with std::system_error, before any thread
// is created.
void PZThreadP_failStartsForTest(uint32_t count, uint32_t after = 0);

// Extra exports of "Vsk1394api.dll" for test programs and tools (callers that load the library
// with dlopen bind them by name like the others).
//
// By default the library reaches the bus through the bus service, which it starts on first use
// (real time, shared by every program of the platform root). A test can instead host the bus
// inside its own process, so that its manual clock drives every transaction:
//   - Vsk1394HostBus(&bus) hosts a sim::Bus the test owns (call it before the first transaction;
//     Vsk1394HostBus(nullptr) lets go of it again, before the test destroys its bus), or
//   - the environment variable LUMAREL_BUS_INPROCESS, read on first use: "default" hosts the
//     default bus, any other value names a bus description file to host.
#pragma once

#include <cstdint>

#include "vsk1394/vsk1394api.h"

extern "C" {

// Hosts the given sim::Bus (passed as void*) in this process; nullptr returns to the service.
// Returns 1. Transactions must not be in flight on another thread while the host changes.
VSK1394_EXPORT int32_t Vsk1394HostBus(void* bus);
// The sim::Bus hosted in this process (given or built from LUMAREL_BUS_INPROCESS), or nullptr
// while the library talks to the service.
VSK1394_EXPORT void* Vsk1394InProcessBus();
// A control command (JSON, as the control tool sends it) to whichever bus the library reaches.
// The JSON answer is copied into reply (cut to replySize - 1 bytes and zero-terminated).
// Returns 0 when done, else a non-zero code.
VSK1394_EXPORT int32_t Vsk1394Control(const char* request, char* reply, int32_t replySize);
// Why the library has no bus (the bus service could not be reached or started, or refused its
// bus description), copied into text like a reply; "" while it has one or has not tried. The
// length of the whole reason.
VSK1394_EXPORT int32_t Vsk1394BusError(char* text, int32_t size);
// Why the bus the library reaches is not the one the program's bus description names
// (LUMAREL_BUS_DESCRIPTION named a description, and the bus service was already running another
// bus), naming both, copied into text like a reply; "" while they agree, while no description is
// named, before the first use and for a bus hosted in this process. The length of the whole text.
VSK1394_EXPORT int32_t Vsk1394BusMismatch(char* text, int32_t size);
}  // extern "C"

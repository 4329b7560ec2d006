// What the shell (GUI or headless) asks of the test engine. Everything here
// runs on the window's thread unless said otherwise.
#pragma once

#include <mutex>

#include "engine/engine_state.h"
#include "platform/wintypes.h"

class CVN32TestView;

// The interface records' life.
bool ResetInterfaceRec(INTERFACEREC& record, bool bTAPMode);
void DeriveInterfaceAddrs();
void ResolveAdapterValues(INTERFACEREC& record);
// Opens and configures the record's interface; the descriptor or -1.
int CreateInterface(INTERFACEREC& record);

// The simulated guest: one monitor thread per interface in use.
void StartGorlan(CVN32TestView& view);
void StopGorlan(CVN32TestView& view);
// The view's event that is set while the record's interface is not being
// created (hInterface1Settled or hInterface2Settled).
HANDLE InterfaceSettledEvent(CVN32TestView& view, const INTERFACEREC& record);

// The ping test, from the interface the view's switch names to the target in
// TheEngineGlobals(); the view's numbers say how.
void StartPingTest(CVN32TestView& view);
void StopPingTest(CVN32TestView& view);

// Stops the ping test and the guest and joins all their threads; the view's
// destruction runs it first (installed by the two starts).
void StopEngineThreads(CVN32TestView& view);

// The engine's messages (WM_APP+1 .. WM_APP+3), posted by its threads.
long OnEngineMessage(CVN32TestView& view, UINT message);

// Writes the interface statistics block of an open interface.
void ReportInterfaceStatistics(INTERFACEREC& record);

// Held while a monitor thread closes its descriptor and marks the record
// closed, and while the stop command shuts that descriptor down, so that the
// stop never reaches a number that is no longer the interface's. A leaf.
std::mutex& DescriptorLock();
// Sets the record's descriptor under that lock (the monitor thread that owns
// the record is its only writer).
void SetRecordFd(INTERFACEREC& record, int fd);

// Thread entries (exposed for tests).
DWORD MonitorThread(void* record);

// The test engine's state. The view (CVN32TestView) carries the per-view part
// as a base class, so the engine's members are members of the view; the
// process-wide part lives in EngineGlobals.
//
// Lock order: csPingList, then the descriptor lock (DescriptorLock), then
// the lock of the adapter values (ResolveAdapterValues), then the log lock of
// the view (a leaf). The log lock is never taken around any of the others.
#pragma once

#include <atomic>
#include <functional>
#include <list>
#include <string>

#include "engine/interface_rec.h"
#include "platform/sync.h"
#include "platform/wintypes.h"

// One echo request sent by the ping test.
struct CPing {
  WORD wIdent = 0;     // ICMP identifier as sent (network order)
  WORD wSeq = 0;       // ICMP sequence number as sent (network order)
  WORD wChecksum = 0;  // ICMP checksum as sent
  WORD wDataSize = 0;  // payload bytes
  DWORD dwSendTime = 0;
  DWORD dwDeadline = 0;
  DWORD dwReplyTime = 0;  // of the latest matching reply; 0 before one
  LONG nReplies = 0;
  LONG nTimedOut = 0;
};

// The requests of one test, in send order; entries are updated in place.
class CPingList : public std::list<CPing> {};

class CVN32TestView;

// The engine's members of the view. Events and the timer are manual-reset,
// created with the view and closed with it.
//
// The thread handles are atomic: the window's thread reads them (the enabling
// of commands, the waits for a test's end) while the ping thread stores the
// ping monitor's handle. Each handle is stored by one thread at a time: the
// window's thread, except hPingMonitorThread, which the ping thread stores
// while it runs and the window's thread clears once it has joined it.
class CVN32TestEngineState {
 public:
  CVN32TestEngineState()
      : hStopEvent(platform::CreateEvent(false)),
        hInterface1Settled(platform::CreateEvent(true)),
        hInterface2Settled(platform::CreateEvent(true)),
        hPingEvent(platform::CreateEvent(false)),
        hPingStopEvent(platform::CreateEvent(false)),
        hPingTimer(platform::CreateWaitableTimer()) {}
  ~CVN32TestEngineState() {
    for (HANDLE h : {hStopEvent, hInterface1Settled, hInterface2Settled, hPingEvent, hPingStopEvent, hPingTimer}) {
      if (h != nullptr) platform::CloseHandle(h);
    }
  }
  CVN32TestEngineState(const CVN32TestEngineState&) = delete;
  CVN32TestEngineState& operator=(const CVN32TestEngineState&) = delete;

  bool IsRunning() const { return hMonitorThread1.load() != nullptr || hMonitorThread2.load() != nullptr; }
  bool IsPinging() const { return hPingThread.load() != nullptr || hPingMonitorThread.load() != nullptr; }

  // Interface threads.
  std::atomic<HANDLE> hMonitorThread1{nullptr};
  std::atomic<HANDLE> hMonitorThread2{nullptr};
  HANDLE hStopEvent;
  // Set while no creation of interface 1 (2) is under way: reset when the
  // guest starts, set by the monitor thread once CreateInterface has returned
  // (the interface up or closed again). The ping test waits for it before it
  // writes through the interface, so it never reads a record being filled in.
  HANDLE hInterface1Settled;
  HANDLE hInterface2Settled;

  // Debug and notify switches, read when a test starts.
  DWORD DebugFlags = 0x80008080;
  bool SocketNotifyMode = false;

  // The ping test.
  int PingDataSize = 32;
  int NumPings = 3;
  int PingTimeout = 500;
  int PingDelay = 1000;
  bool bPingFromInterface1 = true;
  WORD wPingIdent = 0;
  WORD wPingSeq = 0;
  WORD wPingBaseSeq = 0;
  std::string strPingTarget;
  std::string strPingTargetIP;
  CPingList PingList;
  platform::CriticalSection csPingList;  // recursive: the ping thread holds it across SendPing
  HANDLE hPingEvent;
  HANDLE hPingStopEvent;
  HANDLE hPingTimer;
  std::atomic<HANDLE> hPingThread{nullptr};
  std::atomic<HANDLE> hPingMonitorThread{nullptr};

  // What the view's destruction runs first, so that no engine thread outlives
  // the view: stops the ping test and the guest and joins their threads. The
  // engine sets it when it starts a thread (null before: nothing to stop); the
  // view cannot name the engine's functions, whose library is built on it.
  void (*m_pfnStopThreads)(CVN32TestView& view) = nullptr;
};

// Process-wide values the engine reads; the shell's settings, dialogs and
// discovery fill them.
struct EngineGlobals {
  DWORD dwDriverBufferSize = 1048576;  // the capture buffer given to the library
  DWORD dwDllBufferSize = 65536;       // the library's packet buffer
  wire::MacAddress DefaultGatewayMAC{};  // all zero until known
  DWORD dwPingTargetIP = 0;            // network order
  std::string strPingTargetName;
  // The subnet mask of the host adapter with this IPv4 address (network
  // order), 0 when no adapter has it. Installed by the discovery.
  std::function<DWORD(DWORD)> AdapterMaskOf;
  // Called on a monitor thread once its interface is created and up, before
  // it reads anything. Optional: the headless program waits for it.
  std::function<void(INTERFACEREC&)> InterfaceReady;
};
EngineGlobals& TheEngineGlobals();

// The two interface records of the process.
INTERFACEREC& Interface1();
INTERFACEREC& Interface2();
// Interface 2 takes part in a test when it names a host adapter.
bool Interface2InUse();

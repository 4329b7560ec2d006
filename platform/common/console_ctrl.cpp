// Console control: the signals that ask a program to end, handed to the
// program's handler on a thread of their own (sigwait), where it may lock,
// post messages and wait like any other thread.
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "platform/process.h"

namespace platform {
namespace {

std::atomic<PHANDLER_ROUTINE> g_ctrlHandler{nullptr};
std::once_flag g_ctrlThreadStarted;

sigset_t CtrlSignals() {
  sigset_t set;
  ::sigemptyset(&set);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaddset(&set, signal);
  return set;
}

void CtrlThread() {
  const sigset_t set = CtrlSignals();
  for (;;) {
    int signal = 0;
    if (::sigwait(&set, &signal) != 0) continue;
    PHANDLER_ROUTINE handler = g_ctrlHandler.load();
    if (handler != nullptr && handler(signal == SIGINT ? CTRL_C_EVENT : CTRL_CLOSE_EVENT)) continue;
    // Nobody took it: the signal's own action, on this thread.
    ::signal(signal, SIG_DFL);
    sigset_t one;
    ::sigemptyset(&one);
    ::sigaddset(&one, signal);
    ::pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    ::raise(signal);
  }
}

}  // namespace

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
  if (!add) {
    PHANDLER_ROUTINE expected = handler;
    g_ctrlHandler.compare_exchange_strong(expected, nullptr);
    return 1;
  }
  g_ctrlHandler.store(handler);
  std::call_once(g_ctrlThreadStarted, [] {
    // Blocked here, and so in every thread started from now on: only the
    // control thread takes them.
    const sigset_t set = CtrlSignals();
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread(CtrlThread).detach();
  });
  return 1;
}

bool WithConsoleCtrlSignalsUnblocked(const std::function<bool()>& start) {
  const sigset_t set = CtrlSignals();
  sigset_t before;
  ::pthread_sigmask(SIG_UNBLOCK, &set, &before);
  const bool started = start();
  ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
  return started;
}

}  // namespace platform

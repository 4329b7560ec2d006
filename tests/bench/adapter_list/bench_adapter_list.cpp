// One listing of the host's adapters, the way a caller of each library makes
// it, timed from the first call to the last close:
//   bench_adapter_list mestrapack   MestraPack's two-call protocol (the size
//                                   query, then the list, which opens and
//                                   closes every adapter it lists)
//   bench_adapter_list libpcap      pcap_findalldevs, then pcap_open_live and
//                                   pcap_close of every Ethernet device
// Prints one line: "adapters=N ms=TOTAL" and the parts of the total. The
// first call of a process is the one measured, as a program that lists the
// adapters at its start pays it.
#include <net/if.h>
#include <pcap/pcap.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common_clock.h"
#include "mestrapack/mestrapack.h"

namespace {

int ListWithMestraPack() {
  const double start = bench::NowMs();
  // The installation facts come first on every path; timed apart, they show
  // what starting the information utility costs.
  WPCINFO info{};
  info.dwSize = sizeof info;
  if (!MestraPackGetWinPCapInfo(&info)) {
    std::fprintf(stderr, "bench_adapter_list: MestraPackGetWinPCapInfo failed (errno %d)\n", errno);
    return 1;
  }
  const double facts = bench::NowMs();
  uint32_t size = 0;
  if (MestraPackGetAdaptersList(nullptr, &size) || size == 0) {
    std::fprintf(stderr, "bench_adapter_list: the size query did not ask for a buffer (errno %d)\n", errno);
    return 1;
  }
  const double sized = bench::NowMs();
  std::vector<ADAPTER_INFO_LIST_ENTRY> list(size / sizeof(ADAPTER_INFO_LIST_ENTRY) + 1);
  uint32_t length = static_cast<uint32_t>(list.size() * sizeof(ADAPTER_INFO_LIST_ENTRY));
  if (!MestraPackGetAdaptersList(list.data(), &length)) {
    std::fprintf(stderr, "bench_adapter_list: MestraPackGetAdaptersList failed (errno %d)\n", errno);
    return 1;
  }
  const double end = bench::NowMs();
  int adapters = 0;
  for (const ADAPTER_INFO_LIST_ENTRY* entry = list.data(); entry != nullptr; entry = entry->pNext) {
    if (entry->szAdapterName[0] != 0) ++adapters;
  }
  std::printf("adapters=%d ms=%.3f facts_ms=%.3f size_query_ms=%.3f list_ms=%.3f\n", adapters, end - start,
              facts - start, sized - facts, end - sized);
  return 0;
}

int ListWithLibpcap() {
  char error[PCAP_ERRBUF_SIZE] = {};
  const double start = bench::NowMs();
  pcap_if_t* devices = nullptr;
  if (pcap_findalldevs(&devices, error) != 0) {
    std::fprintf(stderr, "bench_adapter_list: pcap_findalldevs: %s\n", error);
    return 1;
  }
  const double found = bench::NowMs();
  int adapters = 0;
  for (pcap_if_t* device = devices; device != nullptr; device = device->next) {
    // The interfaces of the machine only ("any", nflog, dbus ... are not
    // adapters), and not the loopback, which MestraPack does not list either.
    if ((device->flags & PCAP_IF_LOOPBACK) != 0 || if_nametoindex(device->name) == 0) continue;
    pcap_t* handle = pcap_open_live(device->name, 65535, 1, 1000, error);
    if (handle == nullptr) continue;
    if (pcap_datalink(handle) == DLT_EN10MB) ++adapters;
    pcap_close(handle);
  }
  pcap_freealldevs(devices);
  const double end = bench::NowMs();
  std::printf("adapters=%d ms=%.3f findalldevs_ms=%.3f opens_ms=%.3f\n", adapters, end - start, found - start,
              end - found);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string which = argc == 2 ? argv[1] : "";
  if (which == "mestrapack") return ListWithMestraPack();
  if (which == "libpcap") return ListWithLibpcap();
  std::fprintf(stderr, "usage: bench_adapter_list mestrapack|libpcap\n");
  return 2;
}

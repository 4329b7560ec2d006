/* Loads the library the way an outside program would (by file name, nothing
 * linked) and calls its exports on the simulated host: versions, the adapter
 * list, an ARP exchange with the router and the packet-capture information.
 * Exit code 0 when everything answered as expected. */
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "mestrapack/mestrapack.h"

#define CHECK(cond)                                                  \
  do {                                                               \
    if (!(cond)) {                                                   \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      return 1;                                                      \
    }                                                                \
  } while (0)

#define LOAD(name) name##_t name##_p = (name##_t)dlsym(library, #name); CHECK(name##_p != NULL)

typedef const char16_t* (*MestraPackGetVersionString_t)(void);
typedef void (*MestraPackGetVersionNumbers_t)(int32_t*, int32_t*, int32_t*, int32_t*);
typedef MESTRAPACK_BOOL (*MestraPackGetAdaptersList_t)(ADAPTER_INFO_LIST_ENTRY*, uint32_t*);
typedef MESTRAPACK_HANDLE (*MestraPackOpenAdapter_t)(const char16_t*);
typedef void (*MestraPackCloseAdapter_t)(MESTRAPACK_HANDLE);
typedef MESTRAPACK_BOOL (*MestraPackSendPacket_t)(MESTRAPACK_HANDLE, const void*, uint32_t);
typedef MESTRAPACK_BOOL (*MestraPackRecvPacket_t)(MESTRAPACK_HANDLE, void*, uint32_t, uint32_t*,
                                                 MESTRAPACK_OVERLAPPED*);
typedef MESTRAPACK_BOOL (*MestraPackGetWinPCapInfo_t)(WPCINFO*);

/* 16-bit text against 8-bit ASCII. */
static int Same(const char16_t* wide, const char* narrow) {
  size_t i = 0;
  for (; narrow[i] != 0; ++i) {
    if (wide[i] != (char16_t)(unsigned char)narrow[i]) return 0;
  }
  return wide[i] == 0;
}

/* The capture records of one read: is there an ARP reply from 192.0.2.1? */
static int HasRouterReply(const unsigned char* data, uint32_t size) {
  static const unsigned char routerIp[4] = {192, 0, 2, 1};
  static const unsigned char routerMac[6] = {0x02, 0, 0, 0, 0, 0x01};
  uint32_t offset = 0;
  while (offset + 20 <= size) {
    uint32_t caplen;
    uint16_t hdrlen;
    memcpy(&caplen, data + offset + 8, 4);
    memcpy(&hdrlen, data + offset + 16, 2);
    if (hdrlen < 20 || offset + hdrlen + caplen > size) return 0;
    const unsigned char* frame = data + offset + hdrlen;
    if (caplen >= 42 && frame[12] == 0x08 && frame[13] == 0x06 && frame[21] == 2 &&
        memcmp(frame + 28, routerIp, 4) == 0 && memcmp(frame + 22, routerMac, 6) == 0) {
      return 1;
    }
    offset = (offset + hdrlen + caplen + 3u) & ~3u;
  }
  return 0;
}

int main(int argc, char** argv) {
  CHECK(argc == 2);
  setenv("MORVANE_PLATFORM", "sim", 1);
  void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (library == NULL) {
    fprintf(stderr, "dlopen: %s\n", dlerror());
    return 1;
  }
  LOAD(MestraPackGetVersionString);
  LOAD(MestraPackGetVersionNumbers);
  LOAD(MestraPackGetAdaptersList);
  LOAD(MestraPackOpenAdapter);
  LOAD(MestraPackCloseAdapter);
  LOAD(MestraPackSendPacket);
  LOAD(MestraPackRecvPacket);
  LOAD(MestraPackGetWinPCapInfo);

  int32_t major = 0, inter = 0, minor = 0, build = 0;
  MestraPackGetVersionNumbers_p(&major, &inter, &minor, &build);
  CHECK(major == 3 && inter == 9 && minor == 0 && build == 6222);
  CHECK(Same(MestraPackGetVersionString_p(), "3.9.0.6222-D"));

  uint32_t size = 0;
  CHECK(!MestraPackGetAdaptersList_p(NULL, &size) && size >= sizeof(ADAPTER_INFO_LIST_ENTRY));
  ADAPTER_INFO_LIST_ENTRY* list = calloc(1, size);
  CHECK(list != NULL && MestraPackGetAdaptersList_p(list, &size));
  static const unsigned char hostMac[6] = {0x02, 0, 0, 0, 0, 0x10};
  CHECK(list->dwSize == 1376 && Same(list->szAdapterName, "NPF_sim0"));
  CHECK(memcmp(list->bMACAddress, hostMac, 6) == 0);
  CHECK(list->dwIPAddress == 0x0A0200C0u && list->dwIPMask == 0x00FFFFFFu && list->dwGateway == 0x010200C0u);
  CHECK(list->bMediaConnected && list->bPromiscuous && list->bHaveChecksumOffload);
  CHECK(list->ChecksumOffload.V4Transmit & MESTRAPACK_CKSUM_TCP);

  MESTRAPACK_HANDLE adapter = MestraPackOpenAdapter_p(list->szAdapterName);
  CHECK(adapter != NULL);
  unsigned char request[42] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0, 0, 0, 0, 0x10, 0x08, 0x06,
                               0x00, 0x01, 0x08, 0x00, 6, 4, 0x00, 0x01, 0x02, 0, 0, 0, 0, 0x10,
                               192, 0, 2, 10, 0, 0, 0, 0, 0, 0, 192, 0, 2, 1};
  CHECK(MestraPackSendPacket_p(adapter, request, sizeof request));
  static unsigned char buffer[65536];
  int answered = 0;
  /* The reply comes after the router's simulated delay; each failed read
   * returns at once, so poll with a bound of about ten seconds. */
  for (int tries = 0; tries < 10000 && !answered; ++tries) {
    uint32_t count = 0;
    if (MestraPackRecvPacket_p(adapter, buffer, sizeof buffer, &count, NULL)) {
      answered = HasRouterReply(buffer, count);
    } else {
      struct timespec pause = {0, 1000000};
      nanosleep(&pause, NULL);
    }
  }
  CHECK(answered);
  MestraPackCloseAdapter_p(adapter);
  free(list);

  WPCINFO info;
  memset(&info, 0, sizeof info);
  info.dwSize = sizeof info;
  CHECK(MestraPackGetWinPCapInfo_p(&info));
  CHECK(Same(info.pszLibraryName, "Packet.DLL") && Same(info.pszDeviceNamePrefix, "NPF_"));
  printf("MestraPack %d.%d.%d.%d: NPF_sim0 listed, ARP answered by 192.0.2.1, WinPcap %u.%u\n", major, inter, minor,
         build, info.wWinPCapMajorVersion, info.wWinPCapMinorVersion);
  return 0;
}

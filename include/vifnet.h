/* The virtual-interface library ("Vifnet"): what VNTest requires of it.
 *
 * Descriptors are signed integers, negative on failure; errors come back
 * through errno. Everything here has C linkage so that the library can be
 * replaced by any implementation that keeps these names and layouts.
 *
 * The request codes and records are the library's own numbering, not the
 * Linux kernel's: several codes differ from the kernel's (TUNSETIFF is
 * 0x800454CA here, 0x400454CA in <linux/if_tun.h>) and the records are laid
 * out as the library's callers lay them out. Every name therefore carries the
 * VN32_ / vn32 prefix, so that a backend may include the kernel's headers in
 * the same file without a clash of macros or struct names. */
#ifndef MORVANE_VIFNET_H
#define MORVANE_VIFNET_H

#include <stddef.h>
#include <stdint.h>

#ifndef __cplusplus
#include <assert.h> /* static_assert in C11 */
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- vifnet32_open flags ---- */
#define VN32_OPEN_RDWR 0x00000002            /* the only access VNTest asks for */
#define VN32_OPEN_SOCKET_NOTIFY 0x08000000   /* the descriptor can be waited on with select */

/* ---- vifnet32_ioctl request codes ---- */
/* with a vn32ctl */
#define VN32_TUNSETDEBUG 0x800454C9u         /* value: the library's debug-flag word */
#define VN32SDEVBUFF 0x800454DCu             /* value: driver capture buffer, bytes */
#define VN32SIOBUFF 0x800454DDu              /* value: library packet buffer, bytes */
#define VN32STIMEOUT 0x800454DEu             /* value: read time-out, milliseconds */
/* with a vn32_ifreq */
#define VN32_TUNSETIFF 0x800454CAu           /* ifr flags: IFF_TUN or IFF_TAP, or'ed with IFF_NO_PI */
#define VN32_TUNSETIFF_OLD 0x000054CAu       /* retried when VN32_TUNSETIFF fails with errno 22 */
#define VN32_SIOCSIFFLAGS 0x8914u
#define VN32_SIOCSIFADDR 0x8916u
#define VN32_SIOCGIFDSTADDR 0x8917u          /* answers the host adapter's IPv4 address */
#define VN32_SIOCSIFDSTADDR 0x8918u
#define VN32_SIOCSIFBRDADDR 0x891Au
#define VN32_SIOCSIFNETMASK 0x891Cu
#define VN32_SIOCSIFMTU 0x8922u
#define VN32_SIOCSIFHWADDR 0x8924u
#define VN32_SIOCGIFHWADDR 0x8927u
/* with a vn32_arpreq; answered from the host's tables also for descriptor -1 */
#define VN32_SIOCGARP 0x8954u                /* caller fills arp_pa, reads arp_ha */
#define VN32_SIOCGRARP 0x8961u               /* caller fills arp_ha, reads arp_pa */

/* ---- values inside the records ---- */
#define VN32_IFF_TUN 0x0001
#define VN32_IFF_TAP 0x0002
#define VN32_IFF_NO_PI 0x1000
#define VN32_IFF_UP 0x0001
#define VN32_IFF_DEBUG 0x0004
#define VN32_AF_INET 2                       /* family of address requests */
#define VN32_ARPHRD_ETHER 1                  /* family of hardware-address requests */
#define VN32_ARP_FLAGS 4                     /* arp_flags of every arpreq VNTest sends */

#define VN32_IFNAMSIZ 16                     /* at most 15 characters and a zero byte */
#define VN32_STATS_SIZE 136
#define VN32_MAX_PACKET 65535                /* the largest read VNTest asks for */

/* A 16-byte socket address as the records carry it: family, then data.
 * Multi-byte addresses inside are in network byte order; the family is a
 * native 16-bit integer. */
typedef struct vn32_sockaddr {
  uint16_t family;
  uint8_t data[14];
} vn32_sockaddr;

/* An IPv4 socket address: family, port (always 0), address, eight zero bytes. */
typedef struct vn32_sockaddr_in {
  uint16_t family;
  uint16_t port;
  uint8_t address[4];
  uint8_t zero[8];
} vn32_sockaddr_in;

/* The interface request record (32 bytes). Zeroed in full before every use. */
typedef struct vn32_ifreq {
  char name[VN32_IFNAMSIZ];                  /* byte 15 is always 0 */
  union {
    vn32_sockaddr_in addr;                   /* address requests: family 2 */
    vn32_sockaddr hwaddr;                    /* MAC requests: family 1, MAC in data[0..5] */
    uint16_t flags;                          /* flag requests and TUNSETIFF */
    int32_t mtu;                             /* MTU request */
    uint8_t bytes[16];
  } u;
} vn32_ifreq;

/* The ARP request record (36 bytes; the library reads no more). The IPv4
 * address of arp_pa sits directly after its family, at data[0..3]. */
typedef struct vn32_arpreq {
  vn32_sockaddr arp_pa;                      /* family 2, IPv4 address in data[0..3] */
  vn32_sockaddr arp_ha;                      /* family 0, MAC in data[0..5] */
  int32_t arp_flags;                         /* VN32_ARP_FLAGS */
} vn32_arpreq;

/* The library's own requests: an interface name like ifreq's, then a value. */
typedef struct vn32ctl {
  char name[VN32_IFNAMSIZ];
  uint32_t value;
} vn32ctl;

/* Interface statistics (136 bytes). The caller sets size to VN32_STATS_SIZE. */
typedef struct vn32_stats {
  uint32_t size;
  uint32_t kernel_buffer_size;               /* bytes */
  uint32_t dll_buffer_size;                  /* bytes */
  uint32_t max_io_bytes_received;            /* largest byte count of one library I/O */
  uint64_t write_calls;
  uint64_t write_ios;
  uint64_t read_calls;
  uint64_t read_ios;
  uint64_t packets_read;
  uint64_t packets_written;
  uint64_t bytes_read;
  uint64_t bytes_written;
  uint64_t arp_handled;                      /* ARP packets the library answered itself */
  uint64_t ignored;
  uint64_t from_ourself;
  uint64_t to_zero_mac_read;
  uint64_t to_zero_mac_written;
  uint64_t from_zero_mac_read;
  uint64_t from_zero_mac_written;
} vn32_stats;

static_assert(sizeof(vn32_sockaddr) == 16, "vn32_sockaddr is 16 bytes");
static_assert(sizeof(vn32_sockaddr_in) == 16, "vn32_sockaddr_in is 16 bytes");
static_assert(offsetof(vn32_sockaddr_in, port) == 2, "port at 2");
static_assert(offsetof(vn32_sockaddr_in, address) == 4, "address at 4");

static_assert(sizeof(vn32_ifreq) == 32, "ifreq is 32 bytes");
static_assert(offsetof(vn32_ifreq, name) == 0, "ifr_name at 0");
static_assert(offsetof(vn32_ifreq, u.addr.family) == 16, "family at 16");
static_assert(offsetof(vn32_ifreq, u.addr.port) == 18, "port at 18");
static_assert(offsetof(vn32_ifreq, u.addr.address) == 20, "address at 20");
static_assert(offsetof(vn32_ifreq, u.addr.zero) == 24, "zero tail at 24");
static_assert(offsetof(vn32_ifreq, u.hwaddr.data) == 18, "hardware address at 18");
static_assert(offsetof(vn32_ifreq, u.flags) == 16, "ifr_flags at 16");
static_assert(offsetof(vn32_ifreq, u.mtu) == 16, "ifr_mtu at 16");

static_assert(sizeof(vn32_arpreq) == 36, "arpreq is 36 bytes");
static_assert(offsetof(vn32_arpreq, arp_pa.family) == 0, "arp_pa family at 0");
static_assert(offsetof(vn32_arpreq, arp_pa.data) == 2, "arp_pa address at 2");
static_assert(offsetof(vn32_arpreq, arp_ha.family) == 16, "arp_ha family at 16");
static_assert(offsetof(vn32_arpreq, arp_ha.data) == 18, "arp_ha address at 18");
static_assert(offsetof(vn32_arpreq, arp_flags) == 32, "arp_flags at 32");

static_assert(sizeof(vn32ctl) == 20, "vn32ctl is 20 bytes");
static_assert(offsetof(vn32ctl, value) == 16, "vn32ctl value at 16");

static_assert(sizeof(vn32_stats) == VN32_STATS_SIZE, "statistics record is 136 bytes");
static_assert(offsetof(vn32_stats, kernel_buffer_size) == 4, "stats offset 4");
static_assert(offsetof(vn32_stats, dll_buffer_size) == 8, "stats offset 8");
static_assert(offsetof(vn32_stats, max_io_bytes_received) == 12, "stats offset 12");
static_assert(offsetof(vn32_stats, write_calls) == 16, "stats offset 16");
static_assert(offsetof(vn32_stats, write_ios) == 24, "stats offset 24");
static_assert(offsetof(vn32_stats, read_calls) == 32, "stats offset 32");
static_assert(offsetof(vn32_stats, read_ios) == 40, "stats offset 40");
static_assert(offsetof(vn32_stats, packets_read) == 48, "stats offset 48");
static_assert(offsetof(vn32_stats, packets_written) == 56, "stats offset 56");
static_assert(offsetof(vn32_stats, bytes_read) == 64, "stats offset 64");
static_assert(offsetof(vn32_stats, bytes_written) == 72, "stats offset 72");
static_assert(offsetof(vn32_stats, arp_handled) == 80, "stats offset 80");
static_assert(offsetof(vn32_stats, ignored) == 88, "stats offset 88");
static_assert(offsetof(vn32_stats, from_ourself) == 96, "stats offset 96");
static_assert(offsetof(vn32_stats, to_zero_mac_read) == 104, "stats offset 104");
static_assert(offsetof(vn32_stats, to_zero_mac_written) == 112, "stats offset 112");
static_assert(offsetof(vn32_stats, from_zero_mac_read) == 120, "stats offset 120");
static_assert(offsetof(vn32_stats, from_zero_mac_written) == 128, "stats offset 128");

/* The sink for the library's own debug text: one 8-bit text, possibly
 * holding several lines. Called from any thread, the library's own included. */
typedef void (*vifnet32_debug_output_func_t)(const char* text);

/* name: the host adapter's IP address text, else its MAC address text.
 * flags: VN32_OPEN_RDWR, or'ed with VN32_OPEN_SOCKET_NOTIFY.
 * Returns the descriptor, negative with errno set on failure. */
int vifnet32_open(const char* name, int flags);

/* 0 on success, non-zero with errno set on failure. arg points to the record
 * the request code names (vn32_ifreq, vn32_arpreq or vn32ctl). */
int vifnet32_ioctl(int fd, uint32_t request, void* arg);

/* One frame (TAP) or IPv4 packet (TUN): its length, 0 when the read time-out
 * passed with nothing, negative on error. */
int vifnet32_read(int fd, void* buffer, int size);

/* One frame or packet: the count written, negative on error. */
int vifnet32_write(int fd, const void* buffer, int length);

int vifnet32_close(int fd);

/* stats->size must be VN32_STATS_SIZE. 0 on success. */
int vifnet32_get_stats(int fd, vn32_stats* stats);

/* The default host adapter's MAC address as text ("02-00-5E-..."). */
const char* vifnet32_get_default_iface(void);

/* The MAC address the emulator derives from an IPv4 address (network order). */
void vifnet32_build_gorlan_iface_mac(uint8_t mac[6], const uint8_t ip[4]);

/* The Internet checksum of the buffer (one's complement of the one's
 * complement sum of its 16-bit words), as a host-order number: the caller
 * stores htons() of it. */
uint16_t vifnet32_calc_inet_checksum(const void* buffer, int length);

/* Installs the debug-text sink. Non-zero on success. */
int vifnet32_set_debug_output_func(vifnet32_debug_output_func_t function);

const char* vifnet32_version_string(void);
const char* vifnet32_copyright_string(void);
void vifnet32_version_numbers(int* major, int* inter, int* minor, int* build);

#ifdef __cplusplus
}
#endif

#endif /* MORVANE_VIFNET_H */

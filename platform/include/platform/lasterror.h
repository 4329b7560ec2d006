/* The thread's last error value. One value per thread for the whole process:
 * every library of the kit and every outside caller reads and writes the same
 * one. Usable from C. */
#ifndef MORVANE_PLATFORM_LASTERROR_H
#define MORVANE_PLATFORM_LASTERROR_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

uint32_t GetLastError(void);
void SetLastError(uint32_t code);

#ifdef __cplusplus
}
#endif

#endif

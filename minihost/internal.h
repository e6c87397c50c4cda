// What the host library's files share among themselves stays out of what it
// exports: plug-ins and host programs see the MEX API and minihost.h only.
#ifndef QUORV_MINIHOST_INTERNAL_H
#define QUORV_MINIHOST_INTERNAL_H

#if defined(__GNUC__) && !defined(_WIN32)
#define MINIHOST_INTERNAL __attribute__((visibility("hidden")))
#else
#define MINIHOST_INTERNAL  // no visibility for a DLL: libmx.dll exports all it defines
#endif

#endif

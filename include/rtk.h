/*
 * rtk.h - the driver installer: the entry points that the product's
 * installer and administration programs call, the install and uninstall
 * sequences behind them, and the platform-name and version helpers.
 *
 * The product is installed in PF_INSTALL_DIR (pf_user.h); the package
 * directory that a caller names holds "misc/version.txt" and
 * "platforms/<platform>/rtkinstall".
 */
#ifndef RTK_RTK_H
#define RTK_RTK_H

#include "rtkdefs.h"

RTK_EXTERN_C_BEGIN

/* Longest package directory path, terminator included, that the request holds. */
#define RTK_UNTARDIR_SIZE 4096

/* The version of the driver that this library carries (the build reads it
 * from here for the sample package: cmake/RtkProduct.cmake). */
#define RTK_DRIVER_VERSION "1.0.0.8"

/*
 * What a caller passes to RTK_InstallDriver.
 *
 *   offset 0  traceOn   8 bytes   nonzero: log to the system log, trace Fine under RTK
 *   offset 8  untarDir  4096      the package directory, absolute, NUL-terminated
 *
 * untarDir directly follows the 8-byte traceOn; programs rely on that layout.
 */
typedef struct RTK_InstallRequest {
    int64_t traceOn;
    char untarDir[RTK_UNTARDIR_SIZE];
} RTK_InstallRequest;

/* Entry points. */
RTK_API RTK_Result RTK_InstallDriver(const RTK_InstallRequest *request);
RTK_API RTK_Result RTK_UninstallDriver(int32_t mode);
RTK_API RTK_Result RTK_SetTrace(const char *device, const char *mask, const char *level,
                                const char *program);

/* The install and uninstall sequences that run the product's scripts. */
RTK_API RTK_Result PF_rtk_InstallDriver(const RTK_InstallRequest *request);
RTK_API RTK_Result PF_rtk_UninstallDriver(int32_t mode);

/* Platform directory name for an operating-system name: 0, or -8 when none matches. */
#define RTK_NO_PLATFORM (-8)
RTK_API int32_t rtkutils_getPlatform(const char *osName, char *platform, int32_t size);

/* 1 when installedVersion is older than newVersion, 0 when not, -1 when unreadable. */
RTK_API int32_t rtkutils_compareQuillmarVersions(const char *installedVersion,
                                                 const char *newVersion);

/* Sixteen bytes, zero at load, kept for the product's programs; the library never uses them. */
RTK_API extern uint8_t extent[16];

RTK_EXTERN_C_END

#endif /* RTK_RTK_H */

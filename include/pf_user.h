/*
 * pf_user.h - the platform layer's identities, users and processes.
 *
 * Users and groups travel as ID texts (IDType, pf_file.h): signed decimal
 * text in a 64-byte field. An identity kind of 0 means a user, any other
 * value a group; group ids are never turned into names. Results are codes
 * of qmerror.h unless a comment says otherwise.
 */
#ifndef RTK_PF_USER_H
#define RTK_PF_USER_H

#include "pf_file.h"
#include "rtkdefs.h"

RTK_EXTERN_C_BEGIN

/* Copies the name of the current program ("rtk" in this library) into buf,
 * bounded by size like STR_copy, and returns buf. */
RTK_API char *PF_GetCurrentProgram(char *buf, int32_t size);

/* Access levels that PF_UserAuthenticates gives. */
#define PF_ACCESS_NONE 0u  /* not authenticated */
#define PF_ACCESS_USER 1u  /* an ordinary local user */
#define PF_ACCESS_ADMIN 2u /* "root" or the product's user "quillmar" */

/* The product's installation directory, with its trailing '/' (the build
 * reads it from here for the sample package's scripts). */
#define PF_INSTALL_DIR "/opt/quillmar/"

/*
 * PF_HostInfo: facts about the host, filled by PF_GetHostInfo.
 *
 *   offset  size  field
 *      0     32   osName     system name, cut to 31 characters
 *     32     64   osRelease  release, cut to 63 characters
 *     96    128   hostName   network node name, cut to 127 characters
 *    224          total
 */
typedef struct PF_HostInfo {
    char osName[32];
    char osRelease[64];
    char hostName[128];
} PF_HostInfo;

/* A function that PF_ExecuteFunctionAs runs in a child process; its result
 * becomes the child's exit status. */
typedef int32_t (*PF_UserFunction)(void *argument);

/* Identities. PF_IDType2Str returns out. */
RTK_API int32_t PF_GetCurrentID(char *out);
RTK_API char *PF_IDType2Str(int32_t kind, const char *text, char *out, int32_t size);
RTK_API int32_t PF_IDStr2IDType(int32_t kind, const char *name, char *out);

/* Password check of a local user given by ID text or name: SUCCESS,
 * UNKNOWNUSER or IVPASSWORD; *accessLevel is PF_ACCESS_NONE on failure. */
RTK_API int32_t PF_UserAuthenticates(const char *text, const char *password,
                                     uint32_t *accessLevel);

/* Runs function(argument) in a child process as the user of text and returns
 * the raw wait status (a function result n gives n * 256; a refused user
 * switch gives 0). -1 when no child is started (no function, a text that
 * is no ID text, fork failed); then no other child of the process is waited
 * for. The second argument is not used. */
RTK_API int32_t PF_ExecuteFunctionAs(const char *text, void *ignored, PF_UserFunction function,
                                     void *argument);

/* Runs a command line through the shell in the current directory and waits
 * for it; directory and wait are traced only. SUCCESS whatever the command's
 * exit status, BADFILE when no shell could be started. */
RTK_API int32_t PF_DoSystemCommand(const char *command, const char *directory, int32_t wait);

RTK_API int32_t PF_GetHostInfo(PF_HostInfo *info);
RTK_API int32_t PF_GetInstallDir(char *out, int32_t size);

/* Counterparts of other platforms' operations, with fixed results:
 * PF_DriveLetter2GUID copies drive into out and returns out;
 * PF_ReplaceGUIDs returns value; pf_StartWebPage and PF_KillProcess do
 * nothing and return BADFILE; pf_YesNoDialog logs that it is not
 * implemented and returns 0. */
RTK_API char *PF_DriveLetter2GUID(const char *drive, char *out, int32_t size);
RTK_API char *PF_ReplaceGUIDs(char *value);
RTK_API int32_t pf_StartWebPage(void);
RTK_API int32_t PF_KillProcess(int64_t process, ...);
RTK_API int32_t pf_YesNoDialog(void);

RTK_EXTERN_C_END

#ifdef __cplusplus
#include <cstddef>
static_assert(sizeof(PF_HostInfo) == 224, "PF_HostInfo is 224 bytes");
static_assert(offsetof(PF_HostInfo, osRelease) == 32 && offsetof(PF_HostInfo, hostName) == 96,
              "PF_HostInfo fields");
#endif

#endif /* RTK_PF_USER_H */

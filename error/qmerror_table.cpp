/*
 * qmerror_table.cpp - the rows of the result-code catalogue and their
 * lookups: one row per result code with its mnemonic, the severity at which
 * it is announced and its message text, found by code (binary search) or by
 * name; the rows' run-time fields under the table lock; and the current
 * printf-ready text of a code copied into a caller's buffer.
 *
 * The table is initialised data; nothing runs when the library is loaded.
 * Each row is written with its constant from qmerror.h, which gives its
 * code, its mnemonic and its severity at once. This module uses nothing but
 * the strings: the message log reads its repeat notice here, below the heap
 * and the diagnostics.
 *
 * Threads: the constant fields need no lock. `disabled` and `announceCount`
 * are single atomic words. Text pointers are published atomically, and
 * every writer of the text fields holds the table lock (error_internal.h).
 */
#include <pthread.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "error/error_internal.h"
#include "qmerror.h"
#include "qmlog.h"
#include "qmstr.h"

namespace rtk::error {
namespace {

// A row named by its constant QM_ERR_<name> (severity ERROR) or
// QM_INFO_<name> (severity Info); the mnemonic is the name itself.
#define ERROR_ROW(name, text) ErrEntry{QM_ERR_##name, #name, QM_LOG_ERROR, text, nullptr, 0, 0, 0}
#define INFO_ROW(name, text) ErrEntry{QM_INFO_##name, #name, QM_LOG_INFO, text, nullptr, 0, 0, 0}
#define VAR_S RTK_MARKER_STRING
#define VAR_I32 RTK_MARKER_INT32
#define VAR_I64 RTK_MARKER_INT64

// The built-in catalogue, in ascending code order.
constexpr std::array<ErrEntry, kRowCount> kBuiltin = {{
    INFO_ROW(SUCCESS, "Success"),
    ERROR_ROW(NOMEM, "No memory available for operation"),
    ERROR_ROW(INTRPTD, "Semaphore interrupted"),
    ERROR_ROW(DRVROPEN, "The device driver could not be opened"),
    ERROR_ROW(BAD_IOCTL, "The device driver rejected the control request."),
    ERROR_ROW(ITEMNF, "The requested item was not found."),
    INFO_ROW(FAIL_AND_DELETE, "The operation failed and its partial result was deleted."),
    INFO_ROW(WATCH, "The object is being watched for changes."),
    ERROR_ROW(IVLOGLVL, "The specified tracing level is not known."),
    ERROR_ROW(IVLOGDEV, "The specified logging device is unknown or unsupported on this platform."),
    ERROR_ROW(OVERFLOW, "A value or a buffer went beyond its limit."),
    ERROR_ROW(HTML, "The web administration interface reported an error."),
    ERROR_ROW(QMQ_KILLED, "The work queue was shut down while requests were waiting."),
    ERROR_ROW(QMQ_EMPTY, "The work queue is empty."),
    ERROR_ROW(QMQ_FULL, "The work queue is full; the request was not queued."),
    ERROR_ROW(ILACTION, "The action specified is not allowed for this object."),
    ERROR_ROW(PERM, "The current operation is denied by the operating system due to permission"),
    ERROR_ROW(QITEM, "A queued item is damaged or incomplete."),
    ERROR_ROW(BADFILE, "Unable to access the specified file"),
    ERROR_ROW(BADPRIORITY, "The priority specified is not valid."),
    INFO_ROW(TRANSLATED, "The name was translated for the target system."),
    ERROR_ROW(COMM, "Communication with the remote system failed."),
    ERROR_ROW(TOOSMALL, "The buffer supplied is too small for the result."),
    INFO_ROW(FAIL, "The operation did not complete."),
    ERROR_ROW(IVNAME, "The name specified is not valid."),
    ERROR_ROW(IVKEYWORD, "Unknown XML command"),
    ERROR_ROW(IVWHEN, "The 'when' value specified is not valid."),
    ERROR_ROW(IVSELBY, "The 'select by' value specified is not valid."),
    ERROR_ROW(IVPART, "The 'part' value specified is not valid."),
    ERROR_ROW(IVMATCH, "The match pattern specified is not valid."),
    ERROR_ROW(IVMETRIC, "The metric specified is not known."),
    ERROR_ROW(IVQUOTA, "The quota value specified is not valid."),
    ERROR_ROW(UNUSEDXML, "The XML command holds attributes that were not used."),
    ERROR_ROW(IVACTIONWHEN, "The action 'when' value specified is not valid."),
    ERROR_ROW(IVACTIONTYPE, "The action type specified is not known."),
    ERROR_ROW(NOSPACE, "There is not enough space to complete the operation."),
    ERROR_ROW(IVCOMMAND, "The command specified is not known."),
    ERROR_ROW(INAPPROPRIATEVFS, "The operation is not supported on this type of file system."),
    ERROR_ROW(CHAINPRECEDENCE, "The rule chain has conflicting precedence values."),
    ERROR_ROW(NULLPARAM, "A required parameter was not supplied (null)."),
    ERROR_ROW(DRVRREAD, "Failed to read from driver"),
    ERROR_ROW(CHAINLOOP, "The rule chain refers back to itself."),
    ERROR_ROW(SYSERR, "A system command (such as mkdir or unlink or system) resulted in an error"),
    INFO_ROW(XMLRESPONSE, "Result is in XML; this is not an error"),
    ERROR_ROW(HOOKFILE, "Failed to open hook file"),
    INFO_ROW(DBCHANGED, "The configuration database has changed."),
    ERROR_ROW(IOERR, "Error doing file I/O"),
    ERROR_ROW(NOENT, "File (or path) does not exist"),
    ERROR_ROW(BADPARAM, "A parameter specified does not meet the contract of the function"),
    ERROR_ROW(HASHDUP, "An entry with the same key already exists in the table."),
    ERROR_ROW(IVVALUE, "Value specified for an error value is either missing or invalid"),
    ERROR_ROW(IVSYNTAX, "The xml paragraph does not contain the 'MsgText' and '/MsgText' tags"),
    ERROR_ROW(HASHNULL, "An empty key was given to the table."),
    ERROR_ROW(IVHEX, "The value specified is not a valid hexadecimal number."),
    ERROR_ROW(IVLENGTH, "The length specified is not valid."),
    ERROR_ROW(UNKNOWNVAR, "There is an &lt; var &gt; item in a message that is not understood or is invalid."),
    ERROR_ROW(NOLONGERWHEN, "The 'when' attribute is no longer supported; use the action time instead."),
    ERROR_ROW(OPENERR1, "Failed to open the file."),
    ERROR_ROW(IVMIRRORACTIONTIME, "The mirror action time specified is not valid."),
    ERROR_ROW(IVREPLICATIONACTIONTIME, "The replication action time specified is not valid."),
    ERROR_ROW(IVACTIONTIME, "The action time specified is not valid."),
    INFO_ROW(CLIP, "The value was clipped to its allowed range."),
    ERROR_ROW(HTTPGET, "The web request failed."),
    ERROR_ROW(HTTPSET, "The web update failed."),
    INFO_ROW(PARSEABLE_XML, "The result is parseable XML."),
    ERROR_ROW(HTTPGETSYNTAX, "The web request is not well formed."),
    ERROR_ROW(IVMISC, "A setting has a value that is not valid."),
    ERROR_ROW(SRCMISSING, "No source was specified for the replication."),
    ERROR_ROW(DSTMISSING, "No destination was specified for the replication."),
    ERROR_ROW(NOTFULLNAME, "The path specified is not a full path name."),
    ERROR_ROW(IVVFSTYPE, "The file system type is not supported."),
    ERROR_ROW(SRCFNF, "The source file for a replication/copy is not found."),
    ERROR_ROW(SRCEPERM, "The source file for replication has a permission problem."),
    ERROR_ROW(DSTEPERM, "The destination file for replication has a permission problem."),
    ERROR_ROW(DSTFILE, "Some operating system error reported trying to open the destination file for replication."),
    ERROR_ROW(SRCFILE, "Some operating system error reporting trying to open the source file for replication."),
    ERROR_ROW(NOSPC, "Replication failed due to the operating system reporting 'no space'."),
    ERROR_ROW(MTIMEMISMATCH, "The modification time of the copy does not match its source."),
    INFO_ROW(SKIP, "The object was skipped."),
    ERROR_ROW(DBTOOBIG, "The database has grown beyond its size limit."),
    ERROR_ROW(TOOMANYGENS, "The file has too many generations."),
    ERROR_ROW(NOCATEGORIES, "No categories are defined."),
    ERROR_ROW(NOTRETAIN, "The object is not under retention."),
    ERROR_ROW(UNKNOWNRETENTION, "The retention class specified is not known."),
    ERROR_ROW(RETAINMISSING, "No retention period was specified."),
    ERROR_ROW(NOTINCREASING, "The values must be given in increasing order."),
    ERROR_ROW(FAILDUETOSKIP, "The operation failed because an earlier step was skipped."),
    ERROR_ROW(MIRRORINUSE, "The mirror is already in use."),
    ERROR_ROW(SKIPFNF, "The file was skipped because it no longer exists."),
    ERROR_ROW(UNKNOWNCGI, "The web request is not known."),
    ERROR_ROW(UNKNOWNUSER, "The username specified is not recognized by the system."),
    ERROR_ROW(UNKNOWNGROUP, "The group name specified is not recognized by the system."),
    INFO_ROW(FSSUBMITTED, "The file system scan was submitted."),
    ERROR_ROW(FSSUBMITFAILED, "The file system scan could not be submitted."),
    ERROR_ROW(RESTARTABLE, "Replication failed likely due to a networking error and thus a re-try is possible."),
    ERROR_ROW(IVPASSWORD, "The password is not correct for the specified user."),
    INFO_ROW(SKIPDUETOMATCH, "The object was skipped because it matched an exclusion rule."),
    INFO_ROW(SKIPSEQ, "The object was skipped to keep the replication sequence."),
    ERROR_ROW(BADPACK, "The package is damaged or incomplete."),
    INFO_ROW(WORM, "The object is write-once and cannot be changed."),
    INFO_ROW(FLUSH, "The buffers were flushed."),
    ERROR_ROW(IVSUBPRODUCT, "The sub-product specified is not known; choose Replicator, Mirror, Retention or Audit."),
    ERROR_ROW(REMOTETARGETBAD, "The remote target specified is not valid."),
    INFO_ROW(REDORULES, "The rules are being processed again."),
    ERROR_ROW(INCOMPATIBLE_VERSION, "The version of the other component is not compatible with this version."),
    ERROR_ROW(ABORT, "The operation was aborted."),
    INFO_ROW(BUFFER_FULL, "The buffer is full."),
    INFO_ROW(BUFFER_NO_DATA, "The buffer holds no data."),
    ERROR_ROW(BUFFER_ERROR, "The buffer is damaged."),
    INFO_ROW(TAB_NEWENTRY, "A new entry was added to the table."),
    INFO_ROW(TAB_UPDATEDENTRY, "An entry of the table was updated."),
    ERROR_ROW(VSB, "The storage manager reported an error."),
    ERROR_ROW(VSBPASSWORD, "The storage manager refused the password."),
    ERROR_ROW(VSBSESSION, "A session with the storage manager could not be established."),
    INFO_ROW(FINISHED_PROCESSING, "Processing has finished."),
    INFO_ROW(FILE_FINISHED, "Processing of the file has finished."),
    INFO_ROW(EXCLUDED, "No rules processed due to object being excluded."),
    INFO_ROW(SKIPDUETOCANCEL, "The object was skipped because the operation was cancelled."),
    INFO_ROW(SKIPDIRNOTEMPTY, "The directory was skipped because it is not empty."),
    INFO_ROW(SKIPTARGETMISSING, "The object was skipped because its target is missing."),
    INFO_ROW(NETWORKWAIT,
        "Quillmar is waiting for the network to become available.\n"
        "Replication continues when the network returns.\n"),
    ERROR_ROW(EISDIR, "Is a directory"),
    ERROR_ROW(EEXIST, "Already exists"),
    ERROR_ROW(OS_NOT_SUPPORTED, "System OS is not currently supported."),
    ERROR_ROW(FUNC_FAILED, "The requested function failed."),
    ERROR_ROW(INSTALL_FAILED, "Install of package failed."),
    ERROR_ROW(UNLOAD_DRV_FAILED, "Driver unload failed."),
    ERROR_ROW(UNINSTALL_FAILED, "Uninstall of package failed."),
    INFO_ROW(TRUNCATED, "The text was truncated to fit."),
    ERROR_ROW(LOGLOG, VAR_S),
    INFO_ROW(MSGREPEAT, "Last message repeated " VAR_I32 " times."),
    ERROR_ROW(OPENERR, "Function: " VAR_S " Failed to open file: [" VAR_S "] Reason: " VAR_S "."),
    ERROR_ROW(THREAD, "Failed to create a thread in function " VAR_S "."),
    ERROR_ROW(CMDFAIL, "The command '" VAR_S "' failed."),
    INFO_ROW(FILECMDFAIL, "The command '" VAR_S "' failed for file '" VAR_S "'."),
    ERROR_ROW(UNKNOWNMISC, "The setting is not known."),
    ERROR_ROW(HTTPSETf, "The web update of '" VAR_S "' failed: " VAR_S "."),
    ERROR_ROW(SOCKET, "Socket operation " VAR_S " failed with error " VAR_I32 "."),
    ERROR_ROW(GENERAL, "A general error occurred."),
    ERROR_ROW(ALLOC, "Memory allocation failed of " VAR_I32 " bytes in function " VAR_S "."),
    ERROR_ROW(BADIOCTL, "The driver control request failed."),
    ERROR_ROW(EXEC, "Failed to run the program '" VAR_S "'."),
    ERROR_ROW(REPLLOG, "Failed to write the replication log '" VAR_S "'."),
    ERROR_ROW(REPLOWN, "Failed to set the owner of the replicated file '" VAR_S "'."),
    ERROR_ROW(BUFFERTOOSMALL, "A buffer of " VAR_I32 " bytes is too small; " VAR_I32 " bytes are needed."),
    ERROR_ROW(RENAMECOPY, "Failed to copy '" VAR_S "' to '" VAR_S "' for a rename."),
    ERROR_ROW(RENAMEUNLINK, "Failed to remove '" VAR_S "' after a rename."),
    ERROR_ROW(GETQ, "Failed to read the next entry from the driver queue."),
    ERROR_ROW(DRIVERBUFFER, "The driver returned a buffer that is not valid."),
    ERROR_ROW(DRIVERQ, "Data (0x%x) sent to driver does not match any addresses in queue."),
    ERROR_ROW(DRIVERWRITE, "Failed to write " VAR_I32 " bytes to the driver."),
    ERROR_ROW(WRITEUNLINK, "Failed to remove '" VAR_S "' after writing it."),
    ERROR_ROW(RULESERR, "The rules could not be loaded."),
    ERROR_ROW(HOOKIVF, "The hook file is not valid."),
    ERROR_ROW(IOCTLFAIL, "The driver control request failed: " VAR_S "."),
    ERROR_ROW(OSINTERNAL, "Internal operating system error " VAR_I32 " in function " VAR_S "."),
    INFO_ROW(QMAPROMPT, "qma> "),
    INFO_ROW(QMAPROMPT2, "qma (cont)> "),
    INFO_ROW(EXITWAIT, "Waiting for the work in progress to finish before exiting."),
    ERROR_ROW(AUDITOVERFLOW, "The audit log overflowed; some audit records were lost."),
    ERROR_ROW(HTMLDAEMON, "The HTML daemon did not start; consult system error log.\n"),
    ERROR_ROW(SYSERRMSG, "System command '" VAR_S "' resulted in error " VAR_S "."),
    INFO_ROW(READY, "Quillmar (host) driver loaded and ready."),
    INFO_ROW(UNLOADING, "Quillmar (host) driver is being unloaded."),
    INFO_ROW(BADXML, "The system could not recognize the XML command: " VAR_S "."),
    INFO_ROW(MIRRORCOPY, "Mirror copy of " VAR_S " to " VAR_S " started.\n"),
    ERROR_ROW(NOTDIR, "'" VAR_S "' is not a directory."),
    ERROR_ROW(DAEMONERR, "The Quillmar daemon reported an error: " VAR_S "."),
    ERROR_ROW(MIRRORFAIL, "Mirror copy of " VAR_S " failed: " VAR_S ".\n"),
    INFO_ROW(MIRRORCATCHUPSIZE,
        "Source file:" VAR_S "  Size:" VAR_I64 " specifies a mirror file:" VAR_S "  Size:" VAR_I64
        " which isn't in-sync size-wise; catch-up replication will start now.\n"),
    INFO_ROW(MIRRORCATCHUPMTIME,
        "Source file:" VAR_S "  Mtime:" VAR_I64 " specifies a mirror file:" VAR_S "  Mtime:" VAR_I64
        " which isn't in-sync time-wise; catch-up replication will start now.\n"),
    ERROR_ROW(SAMENAME, "Source and destination are the same file: '" VAR_S "'."),
    ERROR_ROW(FILEOWN, "Failed to set the owner of '" VAR_S "'."),
    ERROR_ROW(REPLUNLINK, "Failed to remove the replicated file '" VAR_S "'."),
    INFO_ROW(BADMESSAGESFILE, "The messages file '" VAR_S "' could not be read; the built-in messages are used."),
    INFO_ROW(PRIVILEGE_NOT_HELD, "The program does not hold the privilege needed for this operation."),
    INFO_ROW(DAEMONSTARTED, "Quillmar daemon started, version " VAR_S ".\n"),
    INFO_ROW(HTMLSTARTED, "Quillmar web administration started on port " VAR_I32 ".\n"),
    ERROR_ROW(BADPACKf, "The package file '" VAR_S "' is damaged: " VAR_S "."),
    INFO_ROW(SYNTAX1,
        "Usage: qma [-h] [-f &lt;file&gt;] [&lt;command&gt;]\n"
        "  -h           show this help and the list of commands\n"
        "  -f &lt;file&gt;    read the commands from &lt;file&gt; instead of the terminal\n"
        "Without a command, qma prompts for commands until 'quit'.\n"
        "Type 'help &lt;command&gt;' for the syntax of one command.\n"),
    INFO_ROW(SYNTAX2,
        "Commands (each is one XML element):\n"
        "  &lt;trace device=\"file|terminal\" mask=\"&lt;names&gt;\" level=\"Coarse|Medium|Fine\"\n"
        "         program=\"&lt;name&gt;\" mode=\"xml|text\"/&gt;\n"
        "      Sets where trace lines go, which subsystems are traced, how much detail\n"
        "      is written and which program is traced. Without attributes it shows the\n"
        "      current settings. &lt;names&gt; is a list of subsystem names separated by\n"
        "      commas, or \"all\".\n"
        "  &lt;kversion/&gt;\n"
        "      Shows the version of the running Quillmar driver.\n"
        "  &lt;reset/&gt;\n"
        "      Clears the driver's hooked objects and queued data.\n"
        "  &lt;hook file=\"&lt;path&gt;\"/&gt;\n"
        "      Attaches the driver to the file system that holds &lt;path&gt;.\n"
        "  &lt;unhook file=\"&lt;path&gt;\"/&gt;\n"
        "      Detaches the driver from the file system that holds &lt;path&gt;.\n"
        "  &lt;replicate source=\"&lt;path&gt;\" target=\"&lt;path&gt;\" catchup=\"yes|no\"/&gt;\n"
        "      Copies &lt;source&gt; to &lt;target&gt; and keeps the copy up to date.\n"
        "      With catchup=\"yes\" only what the target lacks is copied.\n"
        "  &lt;mirror source=\"&lt;dir&gt;\" target=\"&lt;dir&gt;\"/&gt;\n"
        "      Mirrors the directory tree &lt;source&gt; into &lt;target&gt;.\n"
        "  &lt;retain path=\"&lt;dir&gt;\" days=\"&lt;n&gt;\" shred=\"yes|no\"/&gt;\n"
        "      Makes the files below &lt;dir&gt; write-once for &lt;n&gt; days.\n"
        "  &lt;purge path=\"&lt;dir&gt;\" older=\"&lt;n&gt;\"/&gt;\n"
        "      Removes the generations of the files below &lt;dir&gt; that are older\n"
        "      than &lt;n&gt; days.\n"
        "  &lt;messages file=\"&lt;path&gt;\"/&gt;\n"
        "      Reads the message texts from &lt;path&gt;.\n"
        "  &lt;status/&gt;\n"
        "      Shows the state of the daemon and the replication queues.\n"
        "  quit\n"
        "      Ends qma.\n"),
    INFO_ROW(SYNTAX3,
        "Names and values:\n"
        "  &lt;path&gt;   a full path name that starts with '/'\n"
        "  &lt;dir&gt;    a full path name of a directory\n"
        "  &lt;n&gt;      a decimal number; a k, m or g right after it multiplies by\n"
        "           1024, 1048576 or 1073741824\n"
        "  &lt;names&gt;  subsystem names such as RTK, FILE or ERR\n"
        "Values are written in double or in single quotes. A value that holds\n"
        "a quote of the other kind keeps it; write &amp;quot; or &amp;apos;\n"
        "for a quote of the same kind, and &amp;lt;, &amp;gt; and &amp;amp;\n"
        "for the characters that XML reserves.\n"
        "Answers come back as one XML element, or as a result code with its\n"
        "mnemonic and its text, for example NOENT(5053)."),
    INFO_ROW(DUALSTART, "The Quillmar daemon is already running; this second start is ignored."),
    ERROR_ROW(SEMAPHORE_MISC, "A semaphore operation failed in function " VAR_S "."),
    ERROR_ROW(INVALID_LOGON, "The logon of user '" VAR_S "' was refused."),
    INFO_ROW(WORM_MKDIR_HOLD, "The directory '" VAR_S "' was created with a legal hold."),
    INFO_ROW(WORM_MKDIR_SHRED_INVALID, "The shred setting of the new directory is not valid and was ignored."),
    INFO_ROW(WORM_MKDIR_SHRED, "The directory '" VAR_S "' was created with shredding on deletion."),
    INFO_ROW(WORM_MKDIR_RETAIN_INVALID, "The retention setting of the new directory is not valid and was ignored."),
    INFO_ROW(WORM_MKDIR_RETAIN, "The directory '" VAR_S "' was created with a retention of " VAR_I64 " seconds."),
    INFO_ROW(WORM_MKDIR_RETAIN_NESTED, "The new directory lies inside a retained directory and keeps its retention."),
    INFO_ROW(WORM_ILLEGAL_RENAME, "Renaming '" VAR_S "' is not allowed for a write-once object."),
    INFO_ROW(WORM_ILLEGAL_RENAME_SOURCE, "'" VAR_S "' cannot be renamed because its source is write-once."),
    INFO_ROW(WORM_ILLEGAL_RENAME_FROM_UNSPECIFIED, "'" VAR_S "' cannot be renamed out of a directory without a retention setting."),
    INFO_ROW(WORM_ILLEGAL_RENAME_DURATION, "'" VAR_S "' cannot be renamed to a shorter retention period."),
    INFO_ROW(WORM_ILLEGAL_RENAME_TO_UNSPECIFIED, "'" VAR_S "' cannot be renamed into a directory without a retention setting."),
    INFO_ROW(WORM_NORETAIN, "'" VAR_S "' is not under retention."),
    INFO_ROW(RESTARTABLE_WAIT,
        "Replication of " VAR_S " failed likely due to a networking error.\n"
        "Quillmar waits " VAR_I32 " seconds before it tries again.\n"),
    INFO_ROW(RESTARTABLE_CONTINUE,
        "The network is available again.\n"
        "Replication of " VAR_S " is being retried.\n"),
    ERROR_ROW(WORKSTATIONMKDIR, "Failed to create the directory '" VAR_S "' on the workstation."),
    INFO_ROW(PURGED, "'" VAR_S "' was purged."),
    INFO_ROW(WORM_BAD_RENAME_DIRECTORY, "The directory '" VAR_S "' cannot be renamed because it holds write-once objects."),
    ERROR_ROW(SYSERRMSG2,
        "System command '" VAR_S "' resulted in error " VAR_S ".\n"
        "Output: " VAR_S "\n"),
    ERROR_ROW(NOTABSOLUTE, "The path '" VAR_S "' is not absolute."),
    INFO_ROW(NOBACKUPAPI, "The backup interface is not available on this system."),
    INFO_ROW(NOSPC_WAIT, "The destination '" VAR_S "' is full; Quillmar waits for free space."),
    ERROR_ROW(CAS_KEY_MISMATCH, "The content key of the object does not match its contents."),
    INFO_ROW(VSB_RESTARTABLE,
        "The storage manager could not be reached for " VAR_S ".\n"
        "The request will be retried.\n"),
    INFO_ROW(VSB_RESTARTABLE_CLEAR, "The storage manager can be reached again."),
    ERROR_ROW(ANALRUNNING, "A file system analysis is already running."),
    ERROR_ROW(ANALFAIL, "The file system analysis of '" VAR_S "' failed."),
    INFO_ROW(RESYNCDONE, "Resynchronisation of '" VAR_S "' is done."),
    INFO_ROW(RESCANDONE, "Rescan of '" VAR_S "' is done."),
    INFO_ROW(RESTORECOMPLETED, "Restore of '" VAR_S "' completed: " VAR_I64 " files restored."),
    ERROR_ROW(REPLFAILED, "Replication of '" VAR_S "' failed."),
    INFO_ROW(NETWORKUNAVAILABLE, "Quillmar cannot reach the network; replication is paused."),
    INFO_ROW(NETWORKAVAILABLE, "Quillmar can reach the network again; replication resumes."),
    INFO_ROW(MISCERR, "An unexpected error occurred."),
    INFO_ROW(TARGETUNAVAILABLE, "The replication target '" VAR_S "' is unavailable."),
    INFO_ROW(VSB_Sent, VAR_I64 " bytes were sent to the storage manager."),
    INFO_ROW(VSB_Expiring, "Objects in the storage manager are about to expire."),
    INFO_ROW(VSB_Unsuccessful, "The transfer of '" VAR_S "' to the storage manager was unsuccessful."),
    INFO_ROW(xyz, "Last message"),
    ERROR_ROW(WEIRD, "WEIRD ERROR"),
}};

#undef ERROR_ROW
#undef INFO_ROW
#undef VAR_S
#undef VAR_I32
#undef VAR_I64

// True when the rows are in strictly ascending code order, so that every
// code has exactly one row and the binary search finds it.
constexpr bool codesAscend() {
  for (size_t i = 1; i < kBuiltin.size(); ++i) {
    if (kBuiltin[i - 1].code >= kBuiltin[i].code) return false;
  }
  return true;
}
static_assert(codesAscend(), "catalogue rows must be in ascending, unique code order");
static_assert(kBuiltin.back().code == QM_ERR_WEIRD, "the last row is WEIRD");

// The longest built-in text, which must fit kBuiltinTextRoom with its
// terminator.
constexpr size_t longestBuiltin() {
  size_t longest = 0;
  for (const ErrEntry &e : kBuiltin) longest = std::max(longest, std::char_traits<char>::length(e.message));
  return longest;
}
static_assert(longestBuiltin() < kBuiltinTextRoom, "a built-in text outgrows kBuiltinTextRoom");

constexpr int32_t kWeirdIndex = kRowCount - 1;

// Name prefixes that QMERR_str2err strips, tried in this order; at most one
// is removed and it need not agree with the row's severity.
constexpr const char *kNamePrefixes[] = {"QM_ERR_", "QM_INFO_", "QM_PANIC_", "QM_WARN_"};

// ---- process-wide state ----------------------------------------------------
// The rows with their run-time fields, constant-initialised from the
// built-in rows; first_time is 1 until the one-time conversion of the texts
// has run and is never set back. The text fields (message, savedMessage,
// owned) are written under tableLock; the other fields are atomic words.
constinit struct {
  std::array<ErrEntry, kRowCount> errs;
  std::atomic<int32_t> first_time;
  pthread_mutex_t tableLock;
} catalogue = {kBuiltin, 1, PTHREAD_MUTEX_INITIALIZER};
// ---------------------------------------------------------------------------

}  // namespace

// The table lock, taken and released with the scope.
TableLock::TableLock() { pthread_mutex_lock(&catalogue.tableLock); }

TableLock::~TableLock() { pthread_mutex_unlock(&catalogue.tableLock); }

// Around fork: the table lock is held across it, and the child starts with
// a free one.
void TableForkPrepare() { pthread_mutex_lock(&catalogue.tableLock); }
void TableForkParent() { pthread_mutex_unlock(&catalogue.tableLock); }
void TableForkChild() {
  pthread_mutex_t fresh = PTHREAD_MUTEX_INITIALIZER;
  catalogue.tableLock = fresh;
}

// Binary search over the ascending codes; an unknown code answers WEIRD.
int32_t qmerr2idx(int32_t code) {
  const auto &errs = catalogue.errs;
  const auto found = std::lower_bound(errs.begin(), errs.end(), code,
                                      [](const ErrEntry &e, int32_t c) { return e.code < c; });
  return found != errs.end() && found->code == code ? static_cast<int32_t>(found - errs.begin()) : kWeirdIndex;
}

// The row at an index, and the row of a code.
ErrEntry &RowAt(int32_t idx) { return catalogue.errs[static_cast<size_t>(idx)]; }

ErrEntry &Row(int32_t code) { return RowAt(qmerr2idx(code)); }

// The built-in text of a row, markers included.
const char *BuiltinText(int32_t idx) { return kBuiltin[static_cast<size_t>(idx)].message; }

// Atomic access to the fields that readers use without the lock.
const char *TextOf(const ErrEntry &e) {
  return std::atomic_ref(const_cast<ErrEntry &>(e).message).load(std::memory_order_acquire);
}

void SetText(ErrEntry &e, const char *text) { std::atomic_ref(e.message).store(text, std::memory_order_release); }

std::atomic_ref<int32_t> DisabledOf(ErrEntry &e) { return std::atomic_ref(e.disabled); }

// Whether the one-time conversion has run, and marking that it has.
bool TextsConverted() { return catalogue.first_time.load(std::memory_order_acquire) == 0; }

void MarkTextsConverted() { catalogue.first_time.store(0, std::memory_order_release); }

// Replaces the argument markers of a text by printf conversions; true when
// no "<var" is left.
bool SubstituteMarkers(char *text, uint32_t size) {
  for (const auto &marker : kMarkers) STR_substitute(text, size, marker[0], marker[1]);
  return std::strstr(text, "<var") == nullptr;
}

// Copies the text QMERR_err2str answers for a code, without converting the
// table. Before the conversion a text that the row does not own is a
// built-in text (or one saved from it), which the conversion would copy and
// convert; a text that the row owns is converted already. Afterwards the
// text is what the conversion left, markers included where it could not
// make a copy.
void CurrentFormat(int32_t code, char *out, uint32_t size) {
  const ErrEntry &e = Row(code);
  TableLock lock;
  STR_copy(out, TextOf(e), static_cast<int32_t>(size));
  if (!TextsConverted() && e.owned == 0) SubstituteMarkers(out, size);
}

// Copies a code's built-in text with its markers converted.
void BuiltinFormat(int32_t code, char *out, uint32_t size) {
  STR_copy(out, BuiltinText(qmerr2idx(code)), static_cast<int32_t>(size));
  SubstituteMarkers(out, size);
}

}  // namespace rtk::error

using rtk::error::ErrEntry;
using rtk::error::Row;

extern "C" {

// The severity (log level) at which a code is announced.
int32_t QMERR_getSeverity(int32_t code) { return Row(code).severity; }

// The constant mnemonic of a code; "WEIRD" for a code that is not in the table.
const char *QMERR_err2mnemonic(int32_t code) { return Row(code).mnemonic; }

// The disabled value of a code's row, as it was stored.
int32_t QMERR_getDisabled(int32_t code) {
  return rtk::error::DisabledOf(Row(code)).load(std::memory_order_relaxed);
}

// The code whose mnemonic is the name, after removing at most one of the
// "QM_ERR_"-style prefixes; case is ignored. 100000 (WEIRD) when none matches.
int32_t QMERR_str2err(const char *name) {
  if (name == nullptr) return QM_ERR_WEIRD;
  for (const char *prefix : rtk::error::kNamePrefixes) {
    const auto length = static_cast<int32_t>(std::strlen(prefix));
    if (STR_strncasecmp(name, prefix, length) == 0) {
      name += length;
      break;
    }
  }
  for (const ErrEntry &entry : rtk::error::kBuiltin) {
    if (STR_strcasecmp(name, entry.mnemonic) == 0) return entry.code;
  }
  return QM_ERR_WEIRD;
}

}  // extern "C"

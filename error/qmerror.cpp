/*
 * qmerror.cpp - the result-code catalogue: one row per result code with its
 * mnemonic, the severity at which it is announced and its message text; the
 * lookups by code and by name; the printf-ready texts and the disabled flag;
 * the messages file that replaces texts; announcements to the message log.
 *
 * The table is initialised data; nothing runs when the library is loaded.
 * Lookups by code walk the rows in order and answer the last row, WEIRD, for
 * a code that is not in the table. The first QMERR_err2str or announcement
 * turns the argument markers of the texts into printf conversions, in heap
 * copies that the exit handler "err" releases again.
 *
 * Threads: the constant fields need no lock. `disabled` and `announceCount`
 * are single atomic words. Text pointers are published atomically, and every
 * writer of the text fields (the one-time conversion, the messages file,
 * error_fini) holds `tableLock`. Threads that arrive during the one-time
 * conversion wait for it. Nothing is logged, traced or released while the
 * lock is held (only the conversion allocates under it), because a logging
 * thread may itself be waiting for the conversion: the log's repeat notice
 * reads a catalogue text. A text handed out stays valid until the messages
 * file replaces it or error_fini releases it; callers must not run those
 * while they use it.
 */
#include "qmerror.h"

#include <pthread.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "qmexit.h"
#include "qmlog.h"
#include "qmmem.h"
#include "qmstr.h"
#include "qmtrace.h"
#include "qmxml.h"

namespace {

/*
 * One row of the catalogue (64-bit pointers):
 *
 *   offset  0  int32_t      code           the result code
 *   offset  8  const char  *mnemonic       constant name of the code
 *   offset 16  int32_t      severity       log level of announcements
 *   offset 24  const char  *message        current text (built-in, heap copy
 *                                          or replacement)
 *   offset 32  const char  *savedMessage   text before the first replacement
 *   offset 40  int32_t      disabled       nonzero: announcements suppressed
 *   offset 44  int32_t      announceCount  announcements so far
 *   offset 48  int32_t      owned          1: message is a heap copy we own
 *   size   56
 *
 * The text pointers are const: built-in texts live in read-only storage and
 * are never written; a heap copy is edited through its own pointer before it
 * is hung into a row.
 */
struct ErrEntry {
  int32_t code;
  const char *mnemonic;
  int32_t severity;
  const char *message;
  const char *savedMessage;
  int32_t disabled;
  int32_t announceCount;
  int32_t owned;
};
static_assert(sizeof(void *) != 8 || sizeof(ErrEntry) == 56, "ErrEntry layout");
static_assert(offsetof(ErrEntry, mnemonic) == sizeof(void *), "ErrEntry layout");
static_assert(offsetof(ErrEntry, disabled) == 5 * sizeof(void *), "ErrEntry layout");
static_assert(offsetof(ErrEntry, owned) == 5 * sizeof(void *) + 8, "ErrEntry layout");

// Severities used by the built-in rows (log levels of the message log).
constexpr int32_t kError = 1;
constexpr int32_t kInfo = 3;

constexpr ErrEntry err(int32_t code, const char *mnemonic, const char *text) {
  return ErrEntry{code, mnemonic, kError, text, nullptr, 0, 0, 0};
}
constexpr ErrEntry info(int32_t code, const char *mnemonic, const char *text) {
  return ErrEntry{code, mnemonic, kInfo, text, nullptr, 0, 0, 0};
}

// Argument markers of the message texts; the one-time conversion turns them
// into "%s", "%d" and "%Ld".
#define VAR_S "<var type=\"string\"/>"
#define VAR_I32 "<var type=\"int32\"/>"
#define VAR_I64 "<var type=\"int64\"/>"

// The built-in catalogue, in ascending code order.
constexpr std::array<ErrEntry, 224> kBuiltin = {{
    info(0, "SUCCESS", "Success"),
    err(5001, "NOMEM", "No memory available for operation"),
    err(5002, "INTRPTD", "Semaphore interrupted"),
    err(5003, "DRVROPEN", "The device driver could not be opened"),
    err(5004, "BAD_IOCTL", "The device driver rejected the control request."),
    err(5005, "ITEMNF", "The requested item was not found."),
    info(5008, "FAIL_AND_DELETE", "The operation failed and its partial result was deleted."),
    info(5009, "WATCH", "The object is being watched for changes."),
    err(5010, "IVLOGLVL", "The specified tracing level is not known."),
    err(5011, "IVLOGDEV", "The specified logging device is unknown or unsupported on this platform."),
    err(5012, "OVERFLOW", "A value or a buffer went beyond its limit."),
    err(5013, "HTML", "The web administration interface reported an error."),
    err(5014, "QMQ_KILLED", "The work queue was shut down while requests were waiting."),
    err(5015, "QMQ_EMPTY", "The work queue is empty."),
    err(5016, "QMQ_FULL", "The work queue is full; the request was not queued."),
    err(5017, "ILACTION", "The action specified is not allowed for this object."),
    err(5018, "PERM", "The current operation is denied by the operating system due to permission"),
    err(5019, "QITEM", "A queued item is damaged or incomplete."),
    err(5022, "BADFILE", "Unable to access the specified file"),
    err(5023, "BADPRIORITY", "The priority specified is not valid."),
    info(5024, "TRANSLATED", "The name was translated for the target system."),
    err(5025, "COMM", "Communication with the remote system failed."),
    err(5026, "TOOSMALL", "The buffer supplied is too small for the result."),
    info(5027, "FAIL", "The operation did not complete."),
    err(5028, "IVNAME", "The name specified is not valid."),
    err(5030, "IVKEYWORD", "Unknown XML command"),
    err(5031, "IVWHEN", "The 'when' value specified is not valid."),
    err(5032, "IVSELBY", "The 'select by' value specified is not valid."),
    err(5033, "IVPART", "The 'part' value specified is not valid."),
    err(5034, "IVMATCH", "The match pattern specified is not valid."),
    err(5035, "IVMETRIC", "The metric specified is not known."),
    err(5036, "IVQUOTA", "The quota value specified is not valid."),
    err(5037, "UNUSEDXML", "The XML command holds attributes that were not used."),
    err(5038, "IVACTIONWHEN", "The action 'when' value specified is not valid."),
    err(5039, "IVACTIONTYPE", "The action type specified is not known."),
    err(5040, "NOSPACE", "There is not enough space to complete the operation."),
    err(5041, "IVCOMMAND", "The command specified is not known."),
    err(5042, "INAPPROPRIATEVFS", "The operation is not supported on this type of file system."),
    err(5043, "CHAINPRECEDENCE", "The rule chain has conflicting precedence values."),
    err(5044, "NULLPARAM", "A required parameter was not supplied (null)."),
    err(5045, "DRVRREAD", "Failed to read from driver"),
    err(5046, "CHAINLOOP", "The rule chain refers back to itself."),
    err(5047, "SYSERR", "A system command (such as mkdir or unlink or system) resulted in an error"),
    info(5049, "XMLRESPONSE", "Result is in XML; this is not an error"),
    err(5050, "HOOKFILE", "Failed to open hook file"),
    info(5051, "DBCHANGED", "The configuration database has changed."),
    err(5052, "IOERR", "Error doing file I/O"),
    err(5053, "NOENT", "File (or path) does not exist"),
    err(5054, "BADPARAM", "A parameter specified does not meet the contract of the function"),
    err(5055, "HASHDUP", "An entry with the same key already exists in the table."),
    err(5056, "IVVALUE", "Value specified for an error value is either missing or invalid"),
    err(5057, "IVSYNTAX", "The xml paragraph does not contain the 'MsgText' and '/MsgText' tags"),
    err(5058, "HASHNULL", "An empty key was given to the table."),
    err(5059, "IVHEX", "The value specified is not a valid hexadecimal number."),
    err(5060, "IVLENGTH", "The length specified is not valid."),
    err(5061, "UNKNOWNVAR", "There is an &lt; var &gt; item in a message that is not understood or is invalid."),
    err(5062, "NOLONGERWHEN", "The 'when' attribute is no longer supported; use the action time instead."),
    err(5063, "OPENERR1", "Failed to open the file."),
    err(5064, "IVMIRRORACTIONTIME", "The mirror action time specified is not valid."),
    err(5065, "IVREPLICATIONACTIONTIME", "The replication action time specified is not valid."),
    err(5066, "IVACTIONTIME", "The action time specified is not valid."),
    info(5067, "CLIP", "The value was clipped to its allowed range."),
    err(5068, "HTTPGET", "The web request failed."),
    err(5069, "HTTPSET", "The web update failed."),
    info(5070, "PARSEABLE_XML", "The result is parseable XML."),
    err(5071, "HTTPGETSYNTAX", "The web request is not well formed."),
    err(5072, "IVMISC", "A setting has a value that is not valid."),
    err(5073, "SRCMISSING", "No source was specified for the replication."),
    err(5074, "DSTMISSING", "No destination was specified for the replication."),
    err(5075, "NOTFULLNAME", "The path specified is not a full path name."),
    err(5076, "IVVFSTYPE", "The file system type is not supported."),
    err(5077, "SRCFNF", "The source file for a replication/copy is not found."),
    err(5078, "SRCEPERM", "The source file for replication has a permission problem."),
    err(5079, "DSTEPERM", "The destination file for replication has a permission problem."),
    err(5080, "DSTFILE", "Some operating system error reported trying to open the destination file for replication."),
    err(5081, "SRCFILE", "Some operating system error reporting trying to open the source file for replication."),
    err(5082, "NOSPC", "Replication failed due to the operating system reporting 'no space'."),
    err(5083, "MTIMEMISMATCH", "The modification time of the copy does not match its source."),
    info(5084, "SKIP", "The object was skipped."),
    err(5086, "DBTOOBIG", "The database has grown beyond its size limit."),
    err(5087, "TOOMANYGENS", "The file has too many generations."),
    err(5088, "NOCATEGORIES", "No categories are defined."),
    err(5089, "NOTRETAIN", "The object is not under retention."),
    err(5090, "UNKNOWNRETENTION", "The retention class specified is not known."),
    err(5091, "RETAINMISSING", "No retention period was specified."),
    err(5092, "NOTINCREASING", "The values must be given in increasing order."),
    err(5093, "FAILDUETOSKIP", "The operation failed because an earlier step was skipped."),
    err(5094, "MIRRORINUSE", "The mirror is already in use."),
    err(5095, "SKIPFNF", "The file was skipped because it no longer exists."),
    err(5096, "UNKNOWNCGI", "The web request is not known."),
    err(5097, "UNKNOWNUSER", "The username specified is not recognized by the system."),
    err(5098, "UNKNOWNGROUP", "The group name specified is not recognized by the system."),
    info(5099, "FSSUBMITTED", "The file system scan was submitted."),
    err(5100, "FSSUBMITFAILED", "The file system scan could not be submitted."),
    err(5101, "RESTARTABLE", "Replication failed likely due to a networking error and thus a re-try is possible."),
    err(5103, "IVPASSWORD", "The password is not correct for the specified user."),
    info(5105, "SKIPDUETOMATCH", "The object was skipped because it matched an exclusion rule."),
    info(5106, "SKIPSEQ", "The object was skipped to keep the replication sequence."),
    err(5107, "BADPACK", "The package is damaged or incomplete."),
    info(5108, "WORM", "The object is write-once and cannot be changed."),
    info(5109, "FLUSH", "The buffers were flushed."),
    err(5110, "IVSUBPRODUCT", "The sub-product specified is not known; choose Replicator, Mirror, Retention or Audit."),
    err(5111, "REMOTETARGETBAD", "The remote target specified is not valid."),
    info(5112, "REDORULES", "The rules are being processed again."),
    err(5113, "INCOMPATIBLE_VERSION", "The version of the other component is not compatible with this version."),
    err(5114, "ABORT", "The operation was aborted."),
    info(5115, "BUFFER_FULL", "The buffer is full."),
    info(5116, "BUFFER_NO_DATA", "The buffer holds no data."),
    err(5117, "BUFFER_ERROR", "The buffer is damaged."),
    info(5118, "TAB_NEWENTRY", "A new entry was added to the table."),
    info(5119, "TAB_UPDATEDENTRY", "An entry of the table was updated."),
    err(5120, "VSB", "The storage manager reported an error."),
    err(5121, "VSBPASSWORD", "The storage manager refused the password."),
    err(5122, "VSBSESSION", "A session with the storage manager could not be established."),
    info(5123, "FINISHED_PROCESSING", "Processing has finished."),
    info(5124, "FILE_FINISHED", "Processing of the file has finished."),
    info(5125, "EXCLUDED", "No rules processed due to object being excluded."),
    info(5126, "SKIPDUETOCANCEL", "The object was skipped because the operation was cancelled."),
    info(5127, "SKIPDIRNOTEMPTY", "The directory was skipped because it is not empty."),
    info(5128, "SKIPTARGETMISSING", "The object was skipped because its target is missing."),
    info(5129, "NETWORKWAIT",
         "Quillmar is waiting for the network to become available.\n"
         "Replication continues when the network returns.\n"),
    err(5130, "EISDIR", "Is a directory"),
    err(5131, "EEXIST", "Already exists"),
    err(5132, "OS_NOT_SUPPORTED", "System OS is not currently supported."),
    err(5133, "FUNC_FAILED", "The requested function failed."),
    err(5134, "INSTALL_FAILED", "Install of package failed."),
    err(5135, "UNLOAD_DRV_FAILED", "Driver unload failed."),
    err(5136, "UNINSTALL_FAILED", "Uninstall of package failed."),
    info(5137, "TRUNCATED", "The text was truncated to fit."),
    err(6000, "LOGLOG", VAR_S),
    info(6001, "MSGREPEAT", "Last message repeated " VAR_I32 " times."),
    err(6002, "OPENERR", "Function: " VAR_S " Failed to open file: [" VAR_S "] Reason: " VAR_S "."),
    err(6003, "THREAD", "Failed to create a thread in function " VAR_S "."),
    err(6004, "CMDFAIL", "The command '" VAR_S "' failed."),
    info(6005, "FILECMDFAIL", "The command '" VAR_S "' failed for file '" VAR_S "'."),
    err(6006, "UNKNOWNMISC", "The setting is not known."),
    err(6007, "HTTPSETf", "The web update of '" VAR_S "' failed: " VAR_S "."),
    err(6008, "SOCKET", "Socket operation " VAR_S " failed with error " VAR_I32 "."),
    err(6009, "GENERAL", "A general error occurred."),
    err(6010, "ALLOC", "Memory allocation failed of " VAR_I32 " bytes in function " VAR_S "."),
    err(6011, "BADIOCTL", "The driver control request failed."),
    err(6012, "EXEC", "Failed to run the program '" VAR_S "'."),
    err(6013, "REPLLOG", "Failed to write the replication log '" VAR_S "'."),
    err(6014, "REPLOWN", "Failed to set the owner of the replicated file '" VAR_S "'."),
    err(6015, "BUFFERTOOSMALL", "A buffer of " VAR_I32 " bytes is too small; " VAR_I32 " bytes are needed."),
    err(6016, "RENAMECOPY", "Failed to copy '" VAR_S "' to '" VAR_S "' for a rename."),
    err(6017, "RENAMEUNLINK", "Failed to remove '" VAR_S "' after a rename."),
    err(6018, "GETQ", "Failed to read the next entry from the driver queue."),
    err(6019, "DRIVERBUFFER", "The driver returned a buffer that is not valid."),
    err(6020, "DRIVERQ", "Data (0x%x) sent to driver does not match any addresses in queue."),
    err(6021, "DRIVERWRITE", "Failed to write " VAR_I32 " bytes to the driver."),
    err(6022, "WRITEUNLINK", "Failed to remove '" VAR_S "' after writing it."),
    err(6023, "RULESERR", "The rules could not be loaded."),
    err(6024, "HOOKIVF", "The hook file is not valid."),
    err(6025, "IOCTLFAIL", "The driver control request failed: " VAR_S "."),
    err(6026, "OSINTERNAL", "Internal operating system error " VAR_I32 " in function " VAR_S "."),
    info(6027, "QMAPROMPT", "qma> "),
    info(6028, "QMAPROMPT2", "qma (cont)> "),
    info(6029, "EXITWAIT", "Waiting for the work in progress to finish before exiting."),
    err(6030, "AUDITOVERFLOW", "The audit log overflowed; some audit records were lost."),
    err(6031, "HTMLDAEMON", "The HTML daemon did not start; consult system error log.\n"),
    err(6032, "SYSERRMSG", "System command '" VAR_S "' resulted in error " VAR_S "."),
    info(6033, "READY", "Quillmar (host) driver loaded and ready."),
    info(6035, "UNLOADING", "Quillmar (host) driver is being unloaded."),
    info(6036, "BADXML", "The system could not recognize the XML command: " VAR_S "."),
    info(6037, "MIRRORCOPY", "Mirror copy of " VAR_S " to " VAR_S " started.\n"),
    err(6038, "NOTDIR", "'" VAR_S "' is not a directory."),
    err(6039, "DAEMONERR", "The Quillmar daemon reported an error: " VAR_S "."),
    err(6040, "MIRRORFAIL", "Mirror copy of " VAR_S " failed: " VAR_S ".\n"),
    info(6041, "MIRRORCATCHUPSIZE",
         "Source file:" VAR_S "  Size:" VAR_I64 " specifies a mirror file:" VAR_S "  Size:" VAR_I64
         " which isn't in-sync size-wise; catch-up replication will start now.\n"),
    info(6042, "MIRRORCATCHUPMTIME",
         "Source file:" VAR_S "  Mtime:" VAR_I64 " specifies a mirror file:" VAR_S "  Mtime:" VAR_I64
         " which isn't in-sync time-wise; catch-up replication will start now.\n"),
    err(6043, "SAMENAME", "Source and destination are the same file: '" VAR_S "'."),
    err(6044, "FILEOWN", "Failed to set the owner of '" VAR_S "'."),
    err(6045, "REPLUNLINK", "Failed to remove the replicated file '" VAR_S "'."),
    info(6046, "BADMESSAGESFILE", "The messages file '" VAR_S "' could not be read; the built-in messages are used."),
    info(6047, "PRIVILEGE_NOT_HELD", "The program does not hold the privilege needed for this operation."),
    info(6048, "DAEMONSTARTED", "Quillmar daemon started, version " VAR_S ".\n"),
    info(6049, "HTMLSTARTED", "Quillmar web administration started on port " VAR_I32 ".\n"),
    err(6050, "BADPACKf", "The package file '" VAR_S "' is damaged: " VAR_S "."),
    info(6051, "SYNTAX1",
         "Usage: qma [-h] [-f &lt;file&gt;] [&lt;command&gt;]\n"
         "  -h           show this help and the list of commands\n"
         "  -f &lt;file&gt;    read the commands from &lt;file&gt; instead of the terminal\n"
         "Without a command, qma prompts for commands until 'quit'.\n"
         "Type 'help &lt;command&gt;' for the syntax of one command.\n"),
    info(6052, "SYNTAX2",
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
    info(6053, "SYNTAX3",
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
    info(6054, "DUALSTART", "The Quillmar daemon is already running; this second start is ignored."),
    err(6055, "SEMAPHORE_MISC", "A semaphore operation failed in function " VAR_S "."),
    err(6056, "INVALID_LOGON", "The logon of user '" VAR_S "' was refused."),
    info(6057, "WORM_MKDIR_HOLD", "The directory '" VAR_S "' was created with a legal hold."),
    info(6058, "WORM_MKDIR_SHRED_INVALID", "The shred setting of the new directory is not valid and was ignored."),
    info(6059, "WORM_MKDIR_SHRED", "The directory '" VAR_S "' was created with shredding on deletion."),
    info(6060, "WORM_MKDIR_RETAIN_INVALID", "The retention setting of the new directory is not valid and was ignored."),
    info(6061, "WORM_MKDIR_RETAIN", "The directory '" VAR_S "' was created with a retention of " VAR_I64 " seconds."),
    info(6062, "WORM_MKDIR_RETAIN_NESTED", "The new directory lies inside a retained directory and keeps its retention."),
    info(6063, "WORM_ILLEGAL_RENAME", "Renaming '" VAR_S "' is not allowed for a write-once object."),
    info(6064, "WORM_ILLEGAL_RENAME_SOURCE", "'" VAR_S "' cannot be renamed because its source is write-once."),
    info(6065, "WORM_ILLEGAL_RENAME_FROM_UNSPECIFIED", "'" VAR_S "' cannot be renamed out of a directory without a retention setting."),
    info(6066, "WORM_ILLEGAL_RENAME_DURATION", "'" VAR_S "' cannot be renamed to a shorter retention period."),
    info(6067, "WORM_ILLEGAL_RENAME_TO_UNSPECIFIED", "'" VAR_S "' cannot be renamed into a directory without a retention setting."),
    info(6068, "WORM_NORETAIN", "'" VAR_S "' is not under retention."),
    info(6069, "RESTARTABLE_WAIT",
         "Replication of " VAR_S " failed likely due to a networking error.\n"
         "Quillmar waits " VAR_I32 " seconds before it tries again.\n"),
    info(6070, "RESTARTABLE_CONTINUE",
         "The network is available again.\n"
         "Replication of " VAR_S " is being retried.\n"),
    err(6071, "WORKSTATIONMKDIR", "Failed to create the directory '" VAR_S "' on the workstation."),
    info(6072, "PURGED", "'" VAR_S "' was purged."),
    info(6073, "WORM_BAD_RENAME_DIRECTORY", "The directory '" VAR_S "' cannot be renamed because it holds write-once objects."),
    err(6074, "SYSERRMSG2",
         "System command '" VAR_S "' resulted in error " VAR_S ".\n"
         "Output: " VAR_S "\n"),
    err(6075, "NOTABSOLUTE", "The path '" VAR_S "' is not absolute."),
    info(6076, "NOBACKUPAPI", "The backup interface is not available on this system."),
    info(6077, "NOSPC_WAIT", "The destination '" VAR_S "' is full; Quillmar waits for free space."),
    err(6078, "CAS_KEY_MISMATCH", "The content key of the object does not match its contents."),
    info(6079, "VSB_RESTARTABLE",
         "The storage manager could not be reached for " VAR_S ".\n"
         "The request will be retried.\n"),
    info(6080, "VSB_RESTARTABLE_CLEAR", "The storage manager can be reached again."),
    err(6081, "ANALRUNNING", "A file system analysis is already running."),
    err(6082, "ANALFAIL", "The file system analysis of '" VAR_S "' failed."),
    info(6083, "RESYNCDONE", "Resynchronisation of '" VAR_S "' is done."),
    info(6084, "RESCANDONE", "Rescan of '" VAR_S "' is done."),
    info(6085, "RESTORECOMPLETED", "Restore of '" VAR_S "' completed: " VAR_I64 " files restored."),
    err(6086, "REPLFAILED", "Replication of '" VAR_S "' failed."),
    info(6087, "NETWORKUNAVAILABLE", "Quillmar cannot reach the network; replication is paused."),
    info(6088, "NETWORKAVAILABLE", "Quillmar can reach the network again; replication resumes."),
    info(6089, "MISCERR", "An unexpected error occurred."),
    info(6090, "TARGETUNAVAILABLE", "The replication target '" VAR_S "' is unavailable."),
    info(8000, "VSB_Sent", VAR_I64 " bytes were sent to the storage manager."),
    info(8001, "VSB_Expiring", "Objects in the storage manager are about to expire."),
    info(8002, "VSB_Unsuccessful", "The transfer of '" VAR_S "' to the storage manager was unsuccessful."),
    info(99999, "xyz", "Last message"),
    err(100000, "WEIRD", "WEIRD ERROR"),
}};

#undef VAR_S
#undef VAR_I32
#undef VAR_I64

// True when the rows are in strictly ascending code order, so that every
// code has exactly one row.
constexpr bool codesAscend() {
  for (size_t i = 1; i < kBuiltin.size(); ++i) {
    if (kBuiltin[i - 1].code >= kBuiltin[i].code) return false;
  }
  return true;
}
static_assert(codesAscend(), "catalogue rows must be in ascending, unique code order");
static_assert(kBuiltin.back().code == QM_ERR_WEIRD, "the last row is WEIRD");

constexpr int32_t kWeirdIndex = static_cast<int32_t>(kBuiltin.size()) - 1;

// Text shown by a row whose converted copy was released at exit and that had
// no earlier text to go back to.
constexpr const char kDeletedText[] = "(msg deleted)";

// Argument markers and the printf conversions that replace them, in the
// order in which they are replaced.
constexpr const char *kMarkers[][2] = {
    {"<var type=\"string\"/>", "%s"},
    {"<var type=\"int32\"/>", "%d"},
    {"<var type=\"int64\"/>", "%Ld"},
};

// ---- process-wide state ----------------------------------------------------
// The catalogue with its run-time fields, constant-initialised from the
// built-in rows.
constinit std::array<ErrEntry, 224> errs = kBuiltin;
// 1 until the one-time conversion of the texts has run; never set back.
constinit std::atomic<int32_t> first_time{1};
// Held by every writer of the text fields (message, savedMessage, owned).
pthread_mutex_t tableLock = PTHREAD_MUTEX_INITIALIZER;
// Set while this thread runs the one-time conversion: a log line written
// from inside it (by the heap) must not wait for the conversion again.
thread_local bool convertingHere = false;
// ---------------------------------------------------------------------------

// Holds tableLock for one scope.
class TableLock {
 public:
  TableLock() { pthread_mutex_lock(&tableLock); }
  ~TableLock() { pthread_mutex_unlock(&tableLock); }
  TableLock(const TableLock &) = delete;
  TableLock &operator=(const TableLock &) = delete;
};

// Answers the row index of a code; every code that is not in the table
// answers the last row, WEIRD.
int32_t qmerr2idx(int32_t code) {
  for (int32_t i = 0; i < kWeirdIndex + 1; ++i) {
    if (errs[static_cast<size_t>(i)].code == code) return i;
  }
  return kWeirdIndex;
}

// The row of a code (the WEIRD row for a code that is not in the table).
ErrEntry &Row(int32_t code) { return errs[static_cast<size_t>(qmerr2idx(code))]; }

// Atomic access to the run-time fields that readers use without the lock.
const char *TextOf(ErrEntry &e) { return std::atomic_ref(e.message).load(std::memory_order_acquire); }
void SetText(ErrEntry &e, const char *text) { std::atomic_ref(e.message).store(text, std::memory_order_release); }
std::atomic_ref<int32_t> DisabledOf(ErrEntry &e) { return std::atomic_ref(e.disabled); }

// Releases a text that the table owned; it was allocated here as writable.
void ReleaseText(const char *text) { MEM_free(const_cast<char *>(text)); }

// Name prefixes that QMERR_str2err strips, tried in this order; at most one
// is removed and it need not agree with the row's severity.
constexpr const char *kNamePrefixes[] = {"QM_ERR_", "QM_INFO_", "QM_PANIC_", "QM_WARN_"};

// Replaces the argument markers of a writable text within size bytes (the
// text only shrinks). True when no "<var" is left in it.
bool SubstituteMarkers(char *text, uint32_t size) {
  for (const auto &marker : kMarkers) STR_substitute(text, size, marker[0], marker[1]);
  return std::strstr(text, "<var") == nullptr;
}

// Turns the markers of a text into printf conversions; a text that keeps a
// "<var" is reported in the message log and answers UNKNOWNVAR.
int32_t convertVarToPercents(char *text, uint32_t size) {
  if (SubstituteMarkers(text, size)) return QM_SUCCESS;
  LOG_Log(QM_LOG_ERROR, "qmerror convert failed:%s\n", text);
  return QM_ERR_UNKNOWNVAR;
}

void error_fini();

// Makes every text of the table a printf format, once per process: a text
// with markers that the table does not own yet is replaced by a converted
// heap copy. A text that is not copied holds no complete marker, so the
// conversion could not change it and only the check for a leftover "<var"
// applies. If a copy cannot be allocated the row keeps its built-in text; its
// markers hold no '%', so it is still a harmless format. Threads that come
// while another converts wait for it; leftovers are logged after the lock.
void convertVarToPercents_all() {
  if (first_time.load(std::memory_order_acquire) == 0 || convertingHere) return;
  bool leftover[kBuiltin.size()] = {};
  bool copied = false;
  {
    TableLock lock;
    if (first_time.load(std::memory_order_relaxed) == 0) return;
    convertingHere = true;
    for (size_t i = 0; i < errs.size(); ++i) {
      ErrEntry &e = errs[i];
      const char *text = TextOf(e);
      if (e.owned == 0 && std::strstr(text, "<var ") != nullptr) {
        const auto size = static_cast<uint32_t>(std::strlen(text) + 1);
        if (auto *copy = static_cast<char *>(MEM_malloc(-8, static_cast<int32_t>(size), "er11"))) {
          std::memcpy(copy, text, size);
          leftover[i] = !SubstituteMarkers(copy, size);
          SetText(e, copy);
          e.owned = 1;
          copied = true;
          continue;
        }
      }
      leftover[i] = std::strstr(text, "<var") != nullptr;
    }
    first_time.store(0, std::memory_order_release);
    convertingHere = false;
  }
  if (copied) qmexit_register(error_fini, "err");
  for (size_t i = 0; i < errs.size(); ++i) {
    if (!leftover[i]) continue;
    char shown[1024];  // the log keeps no more of a message than this
    {
      TableLock lock;
      STR_copy(shown, TextOf(errs[i]), sizeof shown);
    }
    LOG_Log(QM_LOG_ERROR, "qmerror convert failed:%s\n", shown);
  }
}

// Exit handler "err": releases every text that the table owns and points
// the row back at the text it had before the messages file replaced it, or
// at "(msg deleted)". The table stays usable; the conversion does not rerun.
void error_fini() {
  const char *released[kBuiltin.size()];
  size_t count = 0;
  {
    TableLock lock;
    for (ErrEntry &e : errs) {
      if (e.owned == 0) continue;
      e.owned = 0;
      released[count++] = TextOf(e);
      SetText(e, e.savedMessage != nullptr ? e.savedMessage : kDeletedText);
    }
  }
  for (size_t i = 0; i < count; ++i) ReleaseText(released[i]);
}

// True when the white character c (1 to 32) is one the text comparison skips.
constexpr bool isWhite(unsigned char c) { return c >= 1 && c <= 32; }

// Decides whether a new text n from the messages file counts as the row's
// current text o: white space of o is skipped freely, n may stop early, and
// a blank in n that o lacks makes them different.
bool sameText(const char *newText, const char *oldText) {
  const auto *n = reinterpret_cast<const unsigned char *>(newText);
  const auto *o = reinterpret_cast<const unsigned char *>(oldText);
  for (;;) {
    while (isWhite(*o)) ++o;
    if (*n == 0) return true;
    while (isWhite(*n)) ++n;
    if (*n == 0) return true;
    if (*o == 0) return false;
    while (*o > 32 && *o == *n) {
      ++o;
      ++n;
    }
    if (*n == 0) return true;
    if (*o == 0) {
      while (isWhite(*n)) ++n;
      return *n == 0;
    }
    if (*o != ' ') return false;
  }
}

// Cleans a message text taken from the messages file, in place: line
// breaks and tabs become blanks, backslash-n a blank and a line feed, outer
// blanks go, markers become conversions, and the entities are decoded.
void cleanMessageText(char *text) {
  for (char *p = text; *p != '\0'; ++p) {
    if (*p == '\r' || *p == '\n' || *p == '\t') *p = ' ';
  }
  for (char *p = text; *p != '\0'; ++p) {
    if (p[0] == '\\' && p[1] == 'n') {
      p[0] = ' ';
      p[1] = '\n';
    }
  }
  size_t length = std::strlen(text);
  while (length > 0 && text[length - 1] == ' ') text[--length] = '\0';
  size_t lead = 0;
  while (text[lead] == ' ') ++lead;
  std::memmove(text, text + lead, length - lead + 1);
  const auto size = static_cast<uint32_t>(length - lead + 1);
  convertVarToPercents(text, size);
  STR_substitute(text, size, "&lt;", "<");
  STR_substitute(text, size, "&gt;", ">");
  STR_substitute(text, size, "&amp;", "&");
}

// True when a text ends with a line feed, looking back from its last
// character to its second past white space; the first is never examined.
bool endsWithLineFeed(const char *text) {
  for (size_t i = std::strlen(text); i-- > 1;) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\n') return true;
    if (c > 32) return false;
  }
  return false;
}

// Longest built-in text; the announcement converts one into a buffer of this
// size plus the terminator.
constexpr size_t longestBuiltin() {
  size_t longest = 0;
  for (const ErrEntry &e : kBuiltin) longest = std::max(longest, std::char_traits<char>::length(e.message));
  return longest;
}
constexpr size_t kLongestBuiltin = longestBuiltin();

// The kinds of the arguments that a text's printf conversions consume, in
// order, one letter each: d int, l long, q long long, f double, F long
// double, s string, S wide string, C wide character, p pointer. No built-in
// text takes more than four arguments; a text that takes more than the room
// here is not trusted.
struct ArgumentKinds {
  static constexpr size_t kRoom = 16;
  char kinds[kRoom + 1] = "";
  size_t count = 0;
  bool add(char kind) {
    if (count == kRoom) return false;
    kinds[count++] = kind;
    kinds[count] = '\0';
    return true;
  }
};

// The argument kind of a conversion character after `longs` 'l's (2 for
// "ll", 'L' and 'q'); '\0' for "%n" (it writes through its argument) and
// for every character that printf does not take as a conversion.
char kindOf(char conversion, int longs) {
  switch (conversion) {
    case 'd': case 'i': case 'o': case 'u': case 'x': case 'X':
      return longs == 0 ? 'd' : longs == 1 ? 'l' : 'q';
    case 'c': return longs == 0 ? 'd' : 'C';
    case 'e': case 'E': case 'f': case 'F': case 'g': case 'G': case 'a': case 'A':
      return longs == 2 ? 'F' : 'f';
    case 's': return longs == 0 ? 's' : 'S';
    case 'p': return 'p';
    default: return '\0';
  }
}

// Reads the conversion whose '%' is at p and leaves p on its last character.
// Flags, a width and a precision are passed over ('*' takes an int argument),
// "hh" and "h" read an int like no modifier. False for a conversion that
// could not be formatted safely whatever the arguments: "%n", a positional
// "%1$s", a "j", "z" or "t" size, or anything unknown.
bool readConversion(const char *&p, ArgumentKinds &out) {
  ++p;
  if (*p == '%' || *p == 'm') return true;  // these take no argument
  p += std::strspn(p, "-+ #0'I");
  for (bool precision = false;; precision = true) {
    if (*p == '*') {
      if (!out.add('d')) return false;
      ++p;
    }
    p += std::strspn(p, "0123456789");
    if (precision || *p != '.') break;
    ++p;
  }
  p += std::strspn(p, "h");
  int longs = static_cast<int>(std::strspn(p, "l"));
  p += longs;
  if (*p == 'L' || *p == 'q') {
    longs = 2;
    ++p;
  }
  const char kind = kindOf(*p, longs > 2 ? 2 : longs);
  return kind != '\0' && out.add(kind);
}

// Gathers the argument kinds of a text's conversions. With `markers`, the
// argument markers of a built-in text count as the conversions they become.
bool argumentKinds(const char *text, bool markers, ArgumentKinds &out) {
  for (const char *p = text; *p != '\0'; ++p) {
    if (*p == '%') {
      if (!readConversion(p, out)) return false;
    } else if (markers && *p == '<') {
      for (const auto &marker : kMarkers) {
        const size_t length = std::strlen(marker[0]);
        if (std::strncmp(p, marker[0], length) != 0) continue;
        if (!out.add(marker[1][1] == 'L' ? 'q' : marker[1][1])) return false;
        p += length - 1;
        break;
      }
    }
  }
  return true;
}

// Whether a code's current text may be formatted with the arguments that
// callers pass for it. Callers are written against the built-in text, so
// the current text (from the messages file, say) must consume the same
// kinds of arguments in the same order, or fewer of them (printf leaves the
// rest unread); any "%n" or unknown conversion disqualifies it.
bool fitsCallers(const char *current, const char *builtin) {
  ArgumentKinds want;
  ArgumentKinds have;
  if (!argumentKinds(current, false, have)) return false;
  if (!argumentKinds(builtin, true, want)) return have.count == 0;
  return std::strncmp(want.kinds, have.kinds, have.count) == 0;
}

}  // namespace

extern "C" {

// The severity (log level) at which a code is announced.
int32_t QMERR_getSeverity(int32_t code) { return Row(code).severity; }

// The constant mnemonic of a code; "WEIRD" for a code that is not in the table.
const char *QMERR_err2mnemonic(int32_t code) { return Row(code).mnemonic; }

// The disabled value of a code's row, as it was stored.
int32_t QMERR_getDisabled(int32_t code) { return DisabledOf(Row(code)).load(std::memory_order_relaxed); }

// The code whose mnemonic is the name, after removing at most one of the
// "QM_ERR_"-style prefixes; case is ignored. 100000 (WEIRD) when none matches.
int32_t QMERR_str2err(const char *name) {
  if (name == nullptr) return QM_ERR_WEIRD;
  for (const char *prefix : kNamePrefixes) {
    const auto length = static_cast<int32_t>(std::strlen(prefix));
    if (STR_strncasecmp(name, prefix, length) == 0) {
      name += length;
      break;
    }
  }
  for (const ErrEntry &entry : errs) {
    if (STR_strcasecmp(name, entry.mnemonic) == 0) return entry.code;
  }
  return QM_ERR_WEIRD;
}

// The current text of a code as a printf format, after the one-time
// conversion of the table.
const char *QMERR_err2str(int32_t code) {
  ErrEntry &e = Row(code);
  convertVarToPercents_all();
  return TextOf(e);
}

// Stores a code's disabled value as given (not reduced to 0 or 1).
void QMERR_setDisabled(int32_t code, int32_t value) {
  const int32_t idx = qmerr2idx(code);
  TRACE_LogFine(QM_TRACE_ERR, "QMERR_setDisbled: err:%d idx:%d to disabled:%d\n", code, idx, value);
  DisabledOf(errs[static_cast<size_t>(idx)]).store(value, std::memory_order_relaxed);
}

// Integrates the element at the start of text, which runs to the end of the
// whole messages text: the code's disabled flag and its replacement text.
int32_t QMERR_Integrate1(char *text) {
  if (text == nullptr) return QM_ERR_NULLPARAM;
  TRACE_LogFine(QM_TRACE_DEBUG1, "QMERR_Integrate1: %s\n", text);
  if (!xml_isKeyword("Message", text)) return QM_ERR_IVKEYWORD;
  const int32_t code = xml_getAssignment32(text, "val", "999990");
  if (code == 999990) return QM_ERR_IVVALUE;
  ErrEntry &e = Row(code);

  char flag[10];
  if (xml_getAssignment(text, "disabled", flag, sizeof flag, "") != nullptr) DisabledOf(e).store(1);
  if (xml_getAssignment(text, "enabled", flag, sizeof flag, "") != nullptr) DisabledOf(e).store(0);

  static constexpr char kOpen[] = "<MsgText>";
  const char *open = std::strstr(text, kOpen);
  const char *close = std::strstr(text, "</MsgText>");
  if (open == nullptr || close == nullptr) return QM_ERR_IVSYNTAX;
  // A closing tag before the opening one leaves no text between them: the
  // element is refused as malformed instead of copying a negative length.
  const char *body = open + sizeof kOpen - 1;
  if (close < body) return QM_ERR_IVSYNTAX;

  const auto length = static_cast<size_t>(close - body);
  if (length > INT32_MAX - 8) return QM_ERR_NOMEM;  // more than one heap block can hold
  auto *fresh = static_cast<char *>(MEM_malloc(8, static_cast<int32_t>(length + 8), "erst"));
  if (fresh == nullptr) return QM_ERR_NOMEM;
  std::memcpy(fresh, body, length);
  fresh[length] = '\0';
  cleanMessageText(fresh);

  const char *previous = nullptr;
  bool same;
  {
    TableLock lock;
    const char *current = TextOf(e);
    same = sameText(fresh, current);
    if (!same) {
      if (e.savedMessage == nullptr && e.owned == 0) e.savedMessage = current;
      if (e.owned != 0) previous = current;
      SetText(e, fresh);
      e.owned = 1;
    }
  }
  if (same) {
    TRACE_LogFine(QM_TRACE_DEBUG1, "QMERR_Integrate1, already set %s(%d).\n", e.mnemonic, e.code);
    ReleaseText(fresh);
    return QM_SUCCESS;
  }
  if (previous != nullptr) ReleaseText(previous);
  qmexit_register(error_fini, "err");
  TRACE_LogFine(QM_TRACE_DEBUG1, "QMERR_Integrate1, setting %s(%d) to '%s'\n", e.mnemonic, e.code, fresh);
  return QM_SUCCESS;
}

// Integrates every "<Message" element of a messages text in order and stops
// at the first that fails, logging the failure with that element's text.
int32_t QMERR_Integrate(char *text) {
  if (text == nullptr) return QM_ERR_NULLPARAM;
  static constexpr char kElement[] = "<Message";
  int32_t rc = QM_SUCCESS;
  for (char *at = std::strstr(text, kElement); at != nullptr;) {
    char *next = std::strstr(at + 1, kElement);
    rc = QMERR_Integrate1(at);
    if (rc != QM_SUCCESS) {
      if (next != nullptr) *next = '\0';
      LOG_Log(QM_LOG_ERROR, "QMERR_Integrate, err: %s for [%s]\n", QMERR_err2str(rc), at);
      if (next != nullptr) *next = '<';
      break;
    }
    at = next;
  }
  TRACE_LogFine(QM_TRACE_DEBUG1, "Integrate done, %d\n", rc);
  return rc;
}

// Logs a code at its severity as "MNEMONIC(code):" and its text filled with
// the arguments, with a line feed added to a text of up to 510 characters
// that lacks one. A disabled code is neither logged nor counted.
void QMERR_Announce(int32_t code, ...) {
  ErrEntry &e = Row(code);
  convertVarToPercents_all();
  if (DisabledOf(e).load(std::memory_order_relaxed) != 0) return;

  char prefix[40];
  STR_snprintf(prefix, sizeof prefix, "%s(%d):", e.mnemonic, code);
  // A text whose conversions do not fit the callers' arguments is replaced
  // by the built-in text of the row, converted here.
  const char *text = TextOf(e);
  char builtin[kLongestBuiltin + 1];
  const char *const original = kBuiltin[static_cast<size_t>(qmerr2idx(code))].message;
  if (!fitsCallers(text, original)) {
    STR_copy(builtin, original, sizeof builtin);
    SubstituteMarkers(builtin, sizeof builtin);
    text = builtin;
  }
  char line[512];
  const size_t length = std::strlen(text);
  if (!endsWithLineFeed(text) && length <= 510) {
    const size_t kept = length < 502 ? length : 502;
    std::memcpy(line, text, kept);
    line[kept] = '\n';
    line[kept + 1] = '\0';
    text = line;
  }
  va_list args;
  va_start(args, code);
  LOG_Logv(static_cast<uint32_t>(e.severity), prefix, text, args);
  va_end(args);
  std::atomic_ref(e.announceCount).fetch_add(1, std::memory_order_relaxed);
}

}  // extern "C"

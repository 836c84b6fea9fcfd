/*
 * qmtrace_command.cpp - the trace command: the XML element
 *
 *   <trace device="file|screen|terminal" mask="NAME,..." level="Coarse|Medium|Fine"
 *          program="NAME" mode="xml|text"/>
 *
 * that changes the trace settings, and the same element built from the
 * current settings as the reply. The attributes are read with the XML
 * scanner; the settings are the trace's and the log target the message
 * log's.
 */
#include <cstdint>

#include "diag/diag_internal.h"
#include "qmerror.h"
#include "qmlog.h"
#include "qmstr.h"
#include "qmtrace.h"
#include "qmxml.h"

namespace {

constexpr int32_t kMaskTextSize = 256;   // mask text of the reply
constexpr int32_t kEntityWidth = 6;      // an encoded character takes at most "&quot;"

// Reads one attribute of a trace command; answers whether it was present.
bool getAttribute(char *cmd, const char *key, char *out, int32_t outSize, const char *dflt) {
  return xml_getAssignment(cmd, key, out, outSize, dflt) != nullptr;
}

}  // namespace

extern "C" {

// Writes the settings as a trace command. Every target other than 0 is
// named "terminal".
int32_t TRACE_getXmlTraceCommand(char *out, int32_t size) {
  if (out == nullptr) return QM_ERR_NULLPARAM;
  int32_t target = QM_LOG_TARGET_FILE;
  LOG_GetTarget(&target);
  uint64_t mask = 0;
  TRACE_Get(&mask);
  char maskText[kMaskTextSize];
  TRACE_mask2str(mask, maskText, kMaskTextSize);
  // The filter is free text: its quotes and markup go out as entities, so
  // the reply stays one command.
  char program[rtk::diag::kProgramSize * kEntityWidth];
  rtk::diag::CopyProgramFilter(program, rtk::diag::kProgramSize);
  xml_ConvertToAmpersands(program, sizeof program);
  STR_snprintf(out, size, "<trace device=\"%s\" mask=\"%s\" level=\"%s\" program=\"%s\"/>",
               target != QM_LOG_TARGET_FILE ? "terminal" : "file", maskText, TRACE_GetLevelStr(),
               program);
  return QM_SUCCESS;
}

// Applies a trace command. Level, program and mode are applied first; with
// neither mask nor device the settings are written back into cmd as the
// reply (XMLRESPONSE); a device is applied before the mask, and a bad device
// keeps the mask from being applied.
int32_t TRACE_Parse_Common(char *cmd, int32_t size) {
  if (cmd == nullptr) return QM_ERR_NULLPARAM;
  char device[32];
  char level[128];
  char program[128];
  char mode[32];
  char mask[1024];
  getAttribute(cmd, "device", device, sizeof device, "");
  if (getAttribute(cmd, "level", level, sizeof level, "")) {
    const int32_t rc = TRACE_SetLevelByStr(level);
    if (rc != QM_SUCCESS) return rc;
  }
  if (getAttribute(cmd, "program", program, sizeof program, "")) TRACE_SetProgram(program);
  getAttribute(cmd, "mode", mode, sizeof mode, "!");
  if (mode[0] != '!') TRACE_SetMode(STR_strcasecmp(mode, "xml") == 0 ? 1 : 0);
  getAttribute(cmd, "mask", mask, sizeof mask, "!");
  const bool haveMask = mask[0] != '!';
  if (!haveMask && device[0] == '\0') {
    TRACE_getXmlTraceCommand(cmd, size);
    return QM_INFO_XMLRESPONSE;
  }
  if (device[0] != '\0') {
    const int32_t rc = LOG_SetTargetByStr(device);
    if (rc != QM_SUCCESS) return rc;
  }
  return haveMask ? TRACE_SetByStr(mask) : QM_SUCCESS;
}

}  // extern "C"

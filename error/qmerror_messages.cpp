/*
 * qmerror_messages.cpp - the messages file: its elements
 *
 *   <Message val="CODE" [disabled|enabled]><MsgText>text</MsgText></Message>
 *
 * replace the texts of the catalogue's rows and switch rows off and on. The
 * program reads the file and passes its contents; the text is edited while
 * it is read (the scanner blanks each attribute it takes).
 *
 * A replaced text is a heap copy that the row owns; the first replacement of
 * a row keeps the text it had before in savedMessage, and the exit handler
 * "err" puts that text back.
 */
#include <cstdint>
#include <cstring>

#include "error/error_internal.h"
#include "qmerror.h"
#include "qmexit.h"
#include "qmlog.h"
#include "qmmem.h"
#include "qmstr.h"
#include "qmtrace.h"
#include "qmxml.h"

namespace {

using rtk::error::ErrEntry;

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
  rtk::error::convertVarToPercents(text, size);
  STR_substitute(text, size, "&lt;", "<");
  STR_substitute(text, size, "&gt;", ">");
  STR_substitute(text, size, "&amp;", "&");
}

// Hangs a fresh text into a row unless it counts as the row's current text;
// answers whether it did. The row's text before the first replacement is
// kept; an owned text that is replaced is released after the lock.
bool replaceText(ErrEntry &e, char *fresh) {
  const char *previous = nullptr;
  {
    rtk::error::TableLock lock;
    const char *current = rtk::error::TextOf(e);
    if (sameText(fresh, current)) return false;
    if (e.savedMessage == nullptr && e.owned == 0) e.savedMessage = current;
    if (e.owned != 0) previous = current;
    rtk::error::SetText(e, fresh);
    e.owned = 1;
  }
  if (previous != nullptr) rtk::error::ReleaseText(previous);
  return true;
}

}  // namespace

extern "C" {

// Integrates the element at the start of text, which runs to the end of the
// whole messages text: the code's disabled flag and its replacement text.
int32_t QMERR_Integrate1(char *text) {
  if (text == nullptr) return QM_ERR_NULLPARAM;
  TRACE_LogFine(QM_TRACE_DEBUG1, "QMERR_Integrate1: %s\n", text);
  if (!xml_isKeyword("Message", text)) return QM_ERR_IVKEYWORD;
  const int32_t code = xml_getAssignment32(text, "val", "999990");
  if (code == 999990) return QM_ERR_IVVALUE;
  ErrEntry &e = rtk::error::Row(code);

  char flag[10];
  if (xml_getAssignment(text, "disabled", flag, sizeof flag, "") != nullptr) rtk::error::DisabledOf(e).store(1);
  if (xml_getAssignment(text, "enabled", flag, sizeof flag, "") != nullptr) rtk::error::DisabledOf(e).store(0);

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

  if (!replaceText(e, fresh)) {
    TRACE_LogFine(QM_TRACE_DEBUG1, "QMERR_Integrate1, already set %s(%d).\n", e.mnemonic, e.code);
    rtk::error::ReleaseText(fresh);
    return QM_SUCCESS;
  }
  qmexit_register(rtk::error::error_fini, "err");
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

}  // extern "C"

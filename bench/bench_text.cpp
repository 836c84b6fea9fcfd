// bench_text.cpp - string and text operations against the C library: the
// wildcard match against fnmatch, the UTF-8/UTF-16 converters against
// iconv, and the XML attribute scanner against a strstr-based extraction.
// Each pair first checks that both sides give the same answer on its data.
#include <benchmark/benchmark.h>
#include <fnmatch.h>
#include <iconv.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "qmstr.h"
#include "qmxml.h"

namespace {

// ---- wildcards -------------------------------------------------------------

// File names as they turn up in the product's directories, and patterns
// whose only wildcard is '*' (so that both matchers read them alike).
constexpr const char *kNames[] = {
    "report.txt", "Report-2024-Q1.XLSX", "report.txt-QM12.txt", "qma.log", "qma.log.1",
    "qmdrvd.log.2.gz", "IMG_20240101_120000.JPG", "img_20240101_120001.jpg", "backup.tar.gz",
    "Backup-Full.TAR.GZ", "Thumbs.db", "desktop.ini", "~$budget.xlsx", "budget.xlsx", ".bashrc",
    "core.12345", "a_rather_long_file_name_for_the_project_plan_version_3_final.docx", "notes",
    "Makefile", "main.cpp"};
constexpr const char *kPatterns[] = {"*.log", "*.LOG.*", "*.jpg", "img_*", "report*", "*-QM*",
                                     "*.tar.gz", "~$*", "core.*", "*final*.doc*", "thumbs.db",
                                     "*", "*.txt", "qma.log.*", "*budget*"};

// Runs every pattern over every name; answers the number of matches.
template <typename Match>
int MatchAll(Match match) {
  int hits = 0;
  for (const char *pattern : kPatterns) {
    for (const char *name : kNames) hits += match(name, pattern) ? 1 : 0;
  }
  return hits;
}

bool OursMatch(const char *name, const char *pattern) { return STR_wildcardMatch(name, pattern) != 0; }
bool PeerMatch(const char *name, const char *pattern) {
  return fnmatch(pattern, name, FNM_CASEFOLD) == 0;
}

// The first name and pattern on which the two matchers differ, or "".
std::string WildcardDisagreement() {
  for (const char *pattern : kPatterns) {
    for (const char *name : kNames) {
      if (OursMatch(name, pattern) != PeerMatch(name, pattern)) {
        return std::string("matchers differ on ") + name + " / " + pattern;
      }
    }
  }
  return "";
}

template <bool (*Match)(const char *, const char *)>
void BM_Wildcard(benchmark::State &state) {
  const std::string differ = WildcardDisagreement();
  if (!differ.empty()) return state.SkipWithError(differ.c_str());
  for (auto _ : state) benchmark::DoNotOptimize(MatchAll(Match));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(std::size(kNames) * std::size(kPatterns)));
}
BENCHMARK(BM_Wildcard<OursMatch>)->Name("ours:wildcard_vs_fnmatch");
BENCHMARK(BM_Wildcard<PeerMatch>)->Name("peer:wildcard_vs_fnmatch");

// ---- UTF-8 <-> UTF-16 --------------------------------------------------------

#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
constexpr const char *kUtf16 = "UTF-16LE";
#else
constexpr const char *kUtf16 = "UTF-16BE";
#endif

// A sample phrase repeated to about 1 KiB of UTF-8.
std::string Sample(int kind) {
  static constexpr const char *kPhrases[] = {
      "The quick brown fox jumps over the lazy dog; copy 42 of 97 done. ",
      "Gr\xC3\xB6\xC3\x9F" "en\xC3\xA4nderung der Datei \xC2\xAB\xC3\x9C" "bersicht\xC2\xBB "
      "fehlgeschlagen; r\xC3\xA9" "essayez \xC3\xA0 c\xC3\xB4t\xC3\xA9. ",
      "\xE3\x83\x95\xE3\x82\xA1\xE3\x82\xA4\xE3\x83\xAB\xE3\x81\xAE\xE3\x82\xB3\xE3\x83\x94\xE3"
      "\x83\xBC \xE6\x96\x87\xE4\xBB\xB6\xE5\xA4\x8D\xE5\x88\xB6 \xF0\x9F\x98\x80\xF0\x9F\x9A"
      "\x80\xF0\x9F\x93\x81 "};
  std::string text;
  while (text.size() < 1024) text += kPhrases[kind];
  return text;
}

// One conversion descriptor, closed with the object.
class Iconv {
 public:
  Iconv(const char *to, const char *from) : cd_(iconv_open(to, from)) {}
  ~Iconv() {
    if (ok()) iconv_close(cd_);
  }
  Iconv(const Iconv &) = delete;
  Iconv &operator=(const Iconv &) = delete;
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  // Converts n bytes at in into out (room bytes); answers the bytes written
  // or -1.
  long Run(const void *in, size_t n, void *out, size_t room) {
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    char *src = const_cast<char *>(static_cast<const char *>(in));
    char *dst = static_cast<char *>(out);
    const size_t before = room;
    if (iconv(cd_, &src, &n, &dst, &room) == static_cast<size_t>(-1)) return -1;
    return static_cast<long>(before - room);
  }

 private:
  iconv_t cd_;
};

// The UTF-16 form of a sample, by ours; empty when ours and iconv disagree.
std::vector<uint16_t> ToUtf16Checked(const std::string &utf8) {
  std::vector<uint16_t> ours(utf8.size() + 1);
  const int32_t units = utf8array_to_utf16asciz(reinterpret_cast<const uint8_t *>(utf8.data()),
                                                utf8.size(), ours.data(),
                                                static_cast<int64_t>(ours.size()) - 1);
  std::vector<uint16_t> peer(utf8.size() + 1);
  Iconv cd(kUtf16, "UTF-8");
  const long bytes = cd.Run(utf8.data(), utf8.size(), peer.data(), peer.size() * 2);
  if (units < 0 || bytes != units * 2L || std::memcmp(ours.data(), peer.data(), static_cast<size_t>(bytes)) != 0) {
    return {};
  }
  ours.resize(static_cast<size_t>(units));
  return ours;
}

void BM_Utf8To16_Ours(benchmark::State &state) {
  const std::string text = Sample(static_cast<int>(state.range(0)));
  if (ToUtf16Checked(text).empty()) return state.SkipWithError("converters differ");
  std::vector<uint16_t> out(text.size() + 1);
  const auto *src = reinterpret_cast<const uint8_t *>(text.data());
  for (auto _ : state) {
    benchmark::DoNotOptimize(utf8array_to_utf16asciz(src, text.size(), out.data(),
                                                     static_cast<int64_t>(out.size()) - 1));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_Utf8To16_Peer(benchmark::State &state) {
  const std::string text = Sample(static_cast<int>(state.range(0)));
  if (ToUtf16Checked(text).empty()) return state.SkipWithError("converters differ");
  std::vector<uint16_t> out(text.size() + 1);
  Iconv cd(kUtf16, "UTF-8");
  for (auto _ : state) benchmark::DoNotOptimize(cd.Run(text.data(), text.size(), out.data(), out.size() * 2));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_Utf16To8_Ours(benchmark::State &state) {
  const std::string text = Sample(static_cast<int>(state.range(0)));
  const std::vector<uint16_t> units = ToUtf16Checked(text);
  if (units.empty()) return state.SkipWithError("converters differ");
  std::vector<uint8_t> out(text.size() + 1);
  const int32_t wrote = utf16array_to_utf8asciz(units.data(), units.size(), out.data(),
                                                static_cast<int32_t>(out.size()));
  if (wrote != static_cast<int32_t>(text.size()) || std::memcmp(out.data(), text.data(), text.size()) != 0) {
    return state.SkipWithError("UTF-16 to UTF-8 does not give the text back");
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(utf16array_to_utf8asciz(units.data(), units.size(), out.data(),
                                                     static_cast<int32_t>(out.size())));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_Utf16To8_Peer(benchmark::State &state) {
  const std::string text = Sample(static_cast<int>(state.range(0)));
  const std::vector<uint16_t> units = ToUtf16Checked(text);
  if (units.empty()) return state.SkipWithError("converters differ");
  std::vector<uint8_t> out(text.size() + 1);
  Iconv cd("UTF-8", kUtf16);
  if (cd.Run(units.data(), units.size() * 2, out.data(), out.size()) != static_cast<long>(text.size())) {
    return state.SkipWithError("iconv does not give the text back");
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(cd.Run(units.data(), units.size() * 2, out.data(), out.size()));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void TextKinds(benchmark::internal::Benchmark *b) { b->ArgName("text")->Arg(0)->Arg(1)->Arg(2); }
BENCHMARK(BM_Utf8To16_Ours)->Name("ours:utf8_to_utf16_vs_iconv")->Apply(TextKinds);
BENCHMARK(BM_Utf8To16_Peer)->Name("peer:utf8_to_utf16_vs_iconv")->Apply(TextKinds);
BENCHMARK(BM_Utf16To8_Ours)->Name("ours:utf16_to_utf8_vs_iconv")->Apply(TextKinds);
BENCHMARK(BM_Utf16To8_Peer)->Name("peer:utf16_to_utf8_vs_iconv")->Apply(TextKinds);

// ---- XML attribute -------------------------------------------------------------

// A trace command of 200 bytes; the benchmark reads its "file" attribute.
constexpr char kCommand[] =
    "<trace device=\"terminal\" mask=\"RTK,FILE,PF,ERR\" level=\"Fine\" program=\"qmadmin\" "
    "mode=\"plain\" file=\"/var/opt/quillmar/log/trace.log\" note=\"nightly replication, "
    "run 42 of the weekly set, host qm01.lan\"/>";
static_assert(sizeof kCommand - 1 == 200);
constexpr const char *kValue = "/var/opt/quillmar/log/trace.log";

// The value of key="..." found with strstr, copied within size bytes.
char *StrstrValue(const char *text, const char *keyEq, char *out, size_t size) {
  const char *at = std::strstr(text, keyEq);
  if (at == nullptr) return nullptr;
  const char *value = at + std::strlen(keyEq);
  const char *end = std::strchr(value, '"');
  if (end == nullptr) return nullptr;
  size_t n = static_cast<size_t>(end - value);
  if (n > size - 1) n = size - 1;
  std::memcpy(out, value, n);
  out[n] = '\0';
  return out;
}

void BM_Xml_Ours(benchmark::State &state) {
  char work[sizeof kCommand];
  char value[256];
  std::memcpy(work, kCommand, sizeof work);
  if (xml_getAssignment(work, "file", value, sizeof value, "") == nullptr || std::strcmp(value, kValue) != 0) {
    return state.SkipWithError("xml_getAssignment gave another value");
  }
  for (auto _ : state) {
    std::memcpy(work, kCommand, sizeof work);
    benchmark::DoNotOptimize(xml_getAssignment(work, "file", value, sizeof value, ""));
  }
}

void BM_Xml_Peer(benchmark::State &state) {
  char work[sizeof kCommand];
  char value[256];
  std::memcpy(work, kCommand, sizeof work);
  if (StrstrValue(work, "file=\"", value, sizeof value) == nullptr || std::strcmp(value, kValue) != 0) {
    return state.SkipWithError("strstr extraction gave another value");
  }
  for (auto _ : state) {
    std::memcpy(work, kCommand, sizeof work);
    benchmark::DoNotOptimize(StrstrValue(work, "file=\"", value, sizeof value));
  }
}
BENCHMARK(BM_Xml_Ours)->Name("ours:xml_attribute_vs_strstr");
BENCHMARK(BM_Xml_Peer)->Name("peer:xml_attribute_vs_strstr");

}  // namespace

// The bench's ser2net as tests under Wine reach it: its addresses, the files
// of the bench, and the settings of a served port as `stty` reads them.
#pragma once

#include <windows.h>

#include <fstream>
#include <sstream>
#include <string>

#include "support/unix_program.h"

namespace vemblaric::testing {

inline const std::string kBench = VEMBLARIC_BENCH_DIR;  // a Linux path
inline const std::string kSttyScript = VEMBLARIC_STTY_SCRIPT;

inline std::wstring WideText(const std::string& s) { return std::wstring(s.begin(), s.end()); }

// A file of the bench as this Wine process names it.
inline std::string BenchFile(const std::string& name) {
  std::string path = "Z:" + kBench + "/" + name;
  for (char& c : path)
    if (c == '/') c = '\\';
  return path;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The addresses of the Telnet and the raw accepter; false when the bench
// runs no ser2net.
inline bool Ser2netAddresses(std::string& rfc2217, std::string& raw) {
  std::istringstream ports(ReadFile(BenchFile("ser2net.ports")));
  std::string scheme, number;
  while (ports >> scheme >> number) {
    if (scheme == "rfc2217") rfc2217 = "rfc2217://127.0.0.1:" + number;
    if (scheme == "raw") raw = "socket://127.0.0.1:" + number;
  }
  return !rfc2217.empty() && !raw.empty();
}

// The served end's settings as `stty -a` prints them, from a run of the
// Linux program that this Wine process starts.
inline std::string ServedSettings(const char* served) {
  const std::string out = BenchFile("stty.out");
  ::DeleteFileA(out.c_str());
  std::wstring line = L"Z:\\bin\\sh " + WideText(kSttyScript) + L" " +
                      WideText(kBench + "/" + served) + L" " + WideText(kBench + "/stty.out");
  if (!RunUnixProgram(line)) return "(stty did not start)";
  // Wine does not report a Linux program's end: the file appears whole when it is done.
  for (int i = 0; i < 1000 && ::GetFileAttributesA(out.c_str()) == INVALID_FILE_ATTRIBUTES; ++i)
    ::Sleep(10);
  return ReadFile(out);
}

inline bool Has(const std::string& settings, const std::string& word) {
  return (" " + settings + " ").find(" " + word + " ") != std::string::npos ||
         settings.find(word + ";") != std::string::npos || settings.find(word + "\n") != std::string::npos;
}

}  // namespace vemblaric::testing

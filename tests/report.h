// The lines romtest prints, as the end-to-end tests expect them.
#ifndef ROMTEST_TESTS_REPORT_H_
#define ROMTEST_TESTS_REPORT_H_

#include <string>

const std::string kBanner = "QUELM ROM Test V1.10\n";
const std::string kUnpacking = "Unpacking data...\n";
const std::string kIllegalSize = "Illegal ROM size!\n";
const std::string kError = "Checksum Error!\n";
const std::string kOk = "Checksum(s) ok!\n";

inline std::string ChipLine(unsigned chip, const char* sum, bool ok) {
  return "ROM Chip " + std::to_string(chip) + " = " + sum + " -> " + (ok ? "Ok" : "Fail") + "\n";
}

// The whole report of a run whose chips all pass.
inline std::string Passed(bool packed, unsigned chips) {
  std::string out = kBanner + (packed ? kUnpacking : "");
  for (unsigned chip = 1; chip <= chips; ++chip)
    out += ChipLine(chip, "01", true);
  return out + kOk;
}

inline std::string CannotOpen(const std::string& path) {
  return "Cannot open file " + path + ".\n";
}

inline std::string CannotWrite(const std::string& path) {
  return "Cannot write to file " + path + ".\n";
}

#endif  // ROMTEST_TESTS_REPORT_H_

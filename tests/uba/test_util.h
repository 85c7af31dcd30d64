// Small helpers shared by the library tests.
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct pci_dev;

// A fresh directory under /tmp, removed with everything in it when the
// object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &path() const { return path_; }
  // Writes a file below the directory (making its parent directories) and
  // returns its full path.
  std::string write(const std::string &relative, const std::string &content) const;
  std::string mkdir(const std::string &relative) const;

 private:
  std::string path_;
};

std::string read_file(const std::string &path);

// The text escaped for a regular expression.
std::string re_escape(std::string_view text);
// The whole report of a failed check in the library file `unit` (a unit's
// name stands for its .cpp; its line number may be any), as a regular
// expression.
std::string library_error(std::string_view unit, std::string_view msg);

// Forces access method `method`, scans, and returns the names of the listed
// functions in list order.
std::vector<std::string> scan_with(int method);
// The listed function of that name, or null.
pci_dev *listed(std::string_view name);

// Configuration accesses of a width given as a number (1, 2 or 4).
unsigned read_cfg(pci_dev *dev, unsigned reg, int width);
void write_cfg(pci_dev *dev, unsigned reg, int width, unsigned value);

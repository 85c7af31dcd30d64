// Small helpers shared by the library tests.
#pragma once

#include <string>

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

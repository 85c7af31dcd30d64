#include "test_util.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

TempDir::TempDir() {
  char tmpl[] = "/tmp/uba_test.XXXXXX";
  if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

std::string TempDir::write(const std::string &relative, const std::string &content) const {
  fs::path p = fs::path(path_) / relative;
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << content;
  return p;
}

std::string TempDir::mkdir(const std::string &relative) const {
  fs::path p = fs::path(path_) / relative;
  fs::create_directories(p);
  return p;
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}
